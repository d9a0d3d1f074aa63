#include "app/drift_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "app/drift_report.h"
#include "text/text_util.h"

namespace skewmon {
namespace {

constexpr double kWidth = 960, kHeight = 540;
constexpr double kLeft = 80, kRight = 250, kTop = 56, kBottom = 60;
constexpr double kPlotWidth = kWidth - kLeft - kRight, kPlotHeight = kHeight - kTop - kBottom;
constexpr const char* kColours[kPlotLabelled] = {"#d62728", "#1f77b4", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b"};

std::string Number(double value, int decimals = 1) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

// Text for XML: the five special characters as entities, control characters
// (which XML does not allow) as '?'.
std::string Xml(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
        }
    }
    return out;
}

// A step of 1, 2 or 5 times a power of ten that cuts `span` into about `parts`.
double NiceStep(double span, int parts) {
    const double raw = span / parts;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * power) return m * power;
    return 10 * power;
}

// A time step for the axis, from a list of steps a clock reader knows.
std::int64_t TimeStep(std::int64_t span) {
    constexpr std::int64_t m = 60000, h = 60 * m, d = 24 * h;
    for (std::int64_t step : {m, 2 * m, 5 * m, 10 * m, 15 * m, 30 * m, h, 2 * h, 3 * h, 6 * h, 12 * h, d, 2 * d, 7 * d,
                              14 * d, 30 * d})
        if (span / step <= 8) return step;
    return 90 * d;
}

struct Series {
    std::string name;
    std::vector<DriftReading> readings;
    const MachineDrift* drift = nullptr;
};

}  // namespace

std::string DriftPlotSvg(const std::vector<HistoryRecord>& records, const std::vector<MachineDrift>& drifts) {
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"960\" height=\"540\" viewBox=\"0 0 960 540\" "
                      "font-family=\"DejaVu Sans, Verdana, sans-serif\" font-size=\"12\">\n"
                      "<rect width=\"960\" height=\"540\" fill=\"white\"/>\n";
    const std::string reference = records.empty() ? std::string() : records.back().reference;
    svg += "<text x=\"" + Number(kLeft, 0) + "\" y=\"24\" font-size=\"16\" font-weight=\"bold\">Clock offsets against " +
           Xml(reference.empty() ? "this machine" : reference) + "</text>\n";

    // Each machine's answered readings, in time order.
    std::vector<Series> series;
    std::map<std::string, std::size_t> index;
    for (const HistoryRecord& record : records) {
        if (!SameNameIgnoringCase(record.reference, reference)) continue;
        for (const HistoryMachine& machine : record.machines) {
            if (!machine.answered) continue;
            const std::string key = AsciiUpperCase(machine.name);
            auto [at, added] = index.try_emplace(key, series.size());
            if (added) series.push_back({machine.name, {}, nullptr});
            series[at->second].readings.push_back(
                {ReadingTimeMs(record, machine), static_cast<double>(machine.offsetMs), machine.errorBoundMs});
        }
    }
    for (Series& each : series) {
        std::stable_sort(each.readings.begin(), each.readings.end(),
                         [](const DriftReading& a, const DriftReading& b) { return a.timeMs < b.timeMs; });
        for (const MachineDrift& drift : drifts)
            if (SameNameIgnoringCase(drift.name, each.name)) each.drift = &drift;
    }
    if (series.empty()) {
        svg += "<text x=\"" + Number(kLeft, 0) + "\" y=\"" + Number(kTop + 40, 0) +
               "\">No machine has answered in the history yet.</text>\n</svg>\n";
        return svg;
    }

    // The fastest drifters get colours and names, then (while there is room)
    // machines still without a rate; the others are drawn grey.
    std::vector<std::string> fastest;
    for (const MachineDrift& drift : ByAbsoluteRate(drifts))
        if (drift.status != DriftStatus::kNoAnswers && fastest.size() < kPlotLabelled) fastest.push_back(drift.name);
    auto colourOf = [&](const Series& each) -> int {
        for (std::size_t i = 0; i < fastest.size(); ++i)
            if (SameNameIgnoringCase(fastest[i], each.name)) return static_cast<int>(i);
        return -1;
    };

    std::int64_t t0 = series.front().readings.front().timeMs, t1 = t0;
    double y0 = 0, y1 = 0;  // seconds; zero always in view
    for (const Series& each : series)
        for (const DriftReading& r : each.readings) {
            t0 = std::min(t0, r.timeMs);
            t1 = std::max(t1, r.timeMs);
            y0 = std::min(y0, r.offsetMs / 1000);
            y1 = std::max(y1, r.offsetMs / 1000);
        }
    if (t1 - t0 < 60000) {
        t0 -= 30000;
        t1 += 30000;
    }
    // Within a third of the limit, the limit itself comes into view.
    const double limit = static_cast<double>(kKerberosLimitMs) / 1000;
    if (y1 >= limit / 3) y1 = std::max(y1, limit);
    if (y0 <= -limit / 3) y0 = std::min(y0, -limit);
    double pad = (y1 - y0) * 0.06;
    if (pad <= 0) pad = 0.5;
    y0 -= pad;
    y1 += pad;
    const bool inMs = y1 - y0 < 2.0;
    auto x = [&](std::int64_t t) { return kLeft + kPlotWidth * static_cast<double>(t - t0) / static_cast<double>(t1 - t0); };
    auto y = [&](double seconds) { return kTop + kPlotHeight * (y1 - seconds) / (y1 - y0); };

    // Grid and axes.
    svg += "<g stroke=\"#dddddd\" stroke-width=\"1\">\n";
    std::string labels;
    const double yStep = NiceStep(y1 - y0, 6);
    for (double v = std::ceil(y0 / yStep) * yStep; v <= y1 + 1e-9; v += yStep) {
        const double py = y(v);
        svg += "<line x1=\"" + Number(kLeft) + "\" y1=\"" + Number(py) + "\" x2=\"" + Number(kLeft + kPlotWidth) +
               "\" y2=\"" + Number(py) + "\"/>\n";
        const double shown = inMs ? v * 1000 : v;
        const int decimals = (inMs ? yStep * 1000 : yStep) < 1 ? 1 : 0;
        labels += "<text x=\"" + Number(kLeft - 8) + "\" y=\"" + Number(py + 4) + "\" text-anchor=\"end\">" +
                  Number(std::fabs(shown) < 1e-9 ? 0 : shown, decimals) + "</text>\n";
    }
    const std::int64_t tStep = TimeStep(t1 - t0);
    const bool days = t1 - t0 > 2 * kMsPerDay;
    for (std::int64_t t = (t0 / tStep + 1) * tStep; t <= t1; t += tStep) {
        const double px = x(t);
        svg += "<line x1=\"" + Number(px) + "\" y1=\"" + Number(kTop) + "\" x2=\"" + Number(px) + "\" y2=\"" +
               Number(kTop + kPlotHeight) + "\"/>\n";
        const std::string iso = IsoUtc(t);
        labels += "<text x=\"" + Number(px) + "\" y=\"" + Number(kTop + kPlotHeight + 18) + "\" text-anchor=\"middle\">" +
                  (days ? iso.substr(5, 5) : iso.substr(11, 5)) + "</text>\n";
    }
    svg += "</g>\n" + labels;
    svg += "<rect x=\"" + Number(kLeft) + "\" y=\"" + Number(kTop) + "\" width=\"" + Number(kPlotWidth) + "\" height=\"" +
           Number(kPlotHeight) + "\" fill=\"none\" stroke=\"#444444\"/>\n";
    svg += "<text x=\"" + Number(kLeft + kPlotWidth / 2) + "\" y=\"" + Number(kHeight - 14) +
           "\" text-anchor=\"middle\">" + Xml(IsoUtc(t0).substr(0, 10)) +
           (IsoUtc(t0).substr(0, 10) == IsoUtc(t1).substr(0, 10) ? "" : " to " + IsoUtc(t1).substr(0, 10)) +
           ", UTC</text>\n";
    svg += "<text transform=\"translate(20 " + Number(kTop + kPlotHeight / 2) +
           ") rotate(-90)\" text-anchor=\"middle\">offset (" + std::string(inMs ? "ms" : "s") + ", ahead is up)</text>\n";
    if (y0 < 0 && y1 > 0) {
        svg += "<line x1=\"" + Number(kLeft) + "\" y1=\"" + Number(y(0)) + "\" x2=\"" + Number(kLeft + kPlotWidth) +
               "\" y2=\"" + Number(y(0)) + "\" stroke=\"#888888\"/>\n";
    }
    for (double edge : {limit, -limit}) {
        if (edge < y0 || edge > y1) continue;
        svg += "<line x1=\"" + Number(kLeft) + "\" y1=\"" + Number(y(edge)) + "\" x2=\"" + Number(kLeft + kPlotWidth) +
               "\" y2=\"" + Number(y(edge)) + "\" stroke=\"#c00000\" stroke-width=\"1.5\" stroke-dasharray=\"8 5\"/>\n";
        svg += "<text x=\"" + Number(kLeft + 6) + "\" y=\"" + Number(y(edge) + (edge > 0 ? -6 : 15)) +
               "\" fill=\"#c00000\">Kerberos limit " + std::string(edge > 0 ? "+" : "\u2212") + "5 min</text>\n";
    }

    // Grey lines first, so that the named ones stay on top. A step breaks
    // the line.
    struct Label {
        double y;
        std::string text;
        int colour;
    };
    std::vector<Label> named;
    for (int pass = 0; pass < 2; ++pass) {
        for (const Series& each : series) {
            const int colour = colourOf(each);
            if ((colour >= 0) != (pass == 1)) continue;
            const std::string stroke = colour >= 0 ? kColours[colour] : "#b0b0b0";
            const Segments segments = SplitAtSteps(each.readings);
            const std::vector<std::size_t>& starts = segments.starts;
            for (std::size_t s = 0; s < starts.size(); ++s) {
                const std::size_t end = s + 1 < starts.size() ? starts[s + 1] : each.readings.size();
                std::string points;
                for (std::size_t i = starts[s]; i < end; ++i)
                    if (!segments.outlier[i])
                        points += Number(x(each.readings[i].timeMs)) + "," +
                                  Number(y(each.readings[i].offsetMs / 1000)) + " ";
                svg += "<polyline fill=\"none\" stroke=\"" + stroke + "\" stroke-width=\"" +
                       (colour >= 0 ? "2" : "1") + "\" points=\"" + points + "\"/>\n";
            }
            if (colour < 0) continue;
            for (const DriftReading& r : each.readings)
                svg += "<circle cx=\"" + Number(x(r.timeMs)) + "\" cy=\"" + Number(y(r.offsetMs / 1000)) +
                       "\" r=\"2.5\" fill=\"" + stroke + "\"/>\n";
            std::string name = each.name;
            if (name.size() > 24) name = CutUtf8ToCapacity(name, 24) + "\u2026";
            const bool rated = each.drift && each.drift->status == DriftStatus::kRate;
            named.push_back({y(each.readings.back().offsetMs / 1000),
                             name + "  " + (rated ? SignedFixed(each.drift->rateMsPerDay, 0) + " ms/day" : "no rate yet"),
                             colour});
        }
    }
    // Names beside the right edge, pushed apart so that none covers another.
    std::sort(named.begin(), named.end(), [](const Label& a, const Label& b) { return a.y < b.y; });
    for (std::size_t i = 1; i < named.size(); ++i) named[i].y = std::max(named[i].y, named[i - 1].y + 15);
    for (const Label& label : named) {
        svg += "<text x=\"" + Number(kLeft + kPlotWidth + 8) + "\" y=\"" + Number(label.y + 4) + "\" fill=\"" +
               kColours[label.colour] + "\">" + Xml(label.text) + "</text>\n";
    }
    if (series.size() > named.size())
        svg += "<text x=\"" + Number(kLeft + kPlotWidth + 8) + "\" y=\"" + Number(kTop + kPlotHeight + 18) +
               "\" fill=\"#888888\">" + std::to_string(series.size() - named.size()) + " more in grey</text>\n";
    svg += "</svg>\n";
    return svg;
}

}  // namespace skewmon
