#include "app/drift_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/console_formats.h"

namespace skewmon {
namespace {

using nlohmann::json;

constexpr std::size_t kMostDriftItems = 50;

// A name from the network as one line of text: control characters as '?'.
std::string Printable(std::string_view name) {
    std::string shown(name);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return shown;
}

// Columns count characters, not the bytes of UTF-8.
std::size_t Width(std::string_view text) {
    std::size_t width = 0;
    for (unsigned char c : text) width += (c & 0xC0) != 0x80;
    return width;
}

std::string Padded(std::string text, std::size_t width, bool right = false) {
    const std::size_t shown = Width(text);
    if (shown < width) text.insert(right ? 0 : text.size(), width - shown, ' ');
    return text;
}

std::string Span(std::int64_t ms) {
    const std::int64_t minutes = ms / 60000;
    if (minutes < 120) return std::to_string(minutes) + " minutes";
    if (minutes < 48 * 60) return std::to_string(minutes / 60) + " hours";
    return std::to_string(minutes / 1440) + " days";
}

std::string KerberosColumn(const MachineDrift& drift) {
    if (drift.status != DriftStatus::kRate) return "";
    if (drift.pastKerberosLimit) return "already past";
    if (!drift.significant) return "not significant";
    if (!drift.kerberosCrossingMs) return "beyond 10 years";
    return ShortUtc(*drift.kerberosCrossingMs);
}

}  // namespace

std::string SignedFixed(double value, int decimals) {
    if (!std::isfinite(value)) return "0";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%+.*f", decimals, value);
    return buffer;
}

std::string ShortUtc(std::int64_t timeMs) {
    const std::string iso = IsoUtc(timeMs);  // 2026-12-08T13:40:02.123Z
    return iso.substr(0, 10) + " " + iso.substr(11, 5) + " UTC";
}

std::string DriftText(const std::vector<MachineDrift>& drifts, const DriftSource& source) {
    std::string text = "Skewmon drift from " + std::to_string(source.scans) + (source.scans == 1 ? " scan" : " scans");
    if (source.scans > 0) text += ", " + ShortUtc(source.firstMs) + " to " + ShortUtc(source.lastMs);
    text += "\nOffsets against " +
            (source.reference.empty() ? std::string("this machine's clock") : Printable(source.reference)) +
            "; history in " + Printable(source.historyPath) + "\n\n";

    struct Row {
        std::string name, rate, ppm, readings, offset, step, kerberos, note;
    };
    std::vector<Row> rows;
    Row heading{"Machine", "Rate (ms/day)", "ppm", "Readings", "Offset now", "Last step", "Reaches 5 minutes", ""};
    for (const MachineDrift& drift : ByAbsoluteRate(drifts)) {
        Row row;
        row.name = Printable(drift.name);
        row.step = drift.lastStepMs ? ShortUtc(*drift.lastStepMs) : "none";
        if (drift.status == DriftStatus::kRate) {
            row.rate = SignedFixed(drift.rateMsPerDay, 1) + " \u00b1 " + SignedFixed(drift.uncertaintyMsPerDay, 1).substr(1);
            row.ppm = SignedFixed(drift.ratePpm(), 2);
            row.readings = std::to_string(drift.readings);
            row.offset = SignedFixed(drift.offsetNowMs / 1000.0, 3) + " s";
            row.kerberos = KerberosColumn(drift);
        } else if (drift.status == DriftStatus::kNotEnoughHistory) {
            row.note = "not enough history: " + std::to_string(drift.readings) +
                       (drift.readings == 1 ? " reading" : " readings") + " over " +
                       Span(drift.lastReadingMs - drift.segmentStartMs) +
                       (drift.lastStepMs ? ", since a step at " + ShortUtc(*drift.lastStepMs) : std::string());
        } else {
            row.note = "no answers";
        }
        rows.push_back(std::move(row));
    }
    std::size_t widths[7] = {};
    auto measure = [&](const Row& row) {
        const std::string* cells[7] = {&row.name, &row.rate, &row.ppm, &row.readings, &row.offset, &row.step, &row.kerberos};
        for (int i = 0; i < 7; ++i) widths[i] = std::max(widths[i], Width(*cells[i]));
    };
    measure(heading);
    for (const Row& row : rows)
        if (row.note.empty()) measure(row);
        else widths[0] = std::max(widths[0], Width(row.name));
    auto line = [&](const Row& row) {
        std::string out = Padded(row.name, widths[0]) + "  ";
        if (!row.note.empty()) return out + row.note + "\n";
        out += Padded(row.rate, widths[1], true) + "  " + Padded(row.ppm, widths[2], true) + "  " +
               Padded(row.readings, widths[3], true) + "  " + Padded(row.offset, widths[4], true) + "  " +
               Padded(row.step, widths[5]) + "  " + row.kerberos;
        while (!out.empty() && out.back() == ' ') out.pop_back();
        return out + "\n";
    };
    text += line(heading);
    if (rows.empty()) text += "(no machines in the history)\n";
    for (const Row& row : rows) text += line(row);
    return text;
}

DriftCheck EvaluateDriftCheck(const std::vector<MachineDrift>& drifts, const std::optional<DriftRange>& warning,
                              const std::optional<DriftRange>& critical) {
    DriftCheck check;
    if (!warning && !critical) return check;
    const std::vector<MachineDrift> sorted = ByAbsoluteRate(drifts);
    const MachineDrift* named = nullptr;
    std::size_t items = 0, rated = 0;
    for (const MachineDrift& drift : sorted) {
        if (drift.status != DriftStatus::kRate) continue;
        ++rated;
        const double rate = std::fabs(drift.rateMsPerDay);
        const int state = critical && critical->alerts(rate) ? 2 : warning && warning->alerts(rate) ? 1 : 0;
        // The fastest of the worst state is the one named.
        if (state > check.state || (!named && state == check.state)) {
            if (state > check.state || !named) named = &drift;
            check.state = std::max(check.state, state);
        }
        if (items < kMostDriftItems) {
            check.perfdata += " " + PerformanceLabel(std::string(drift.name) + " drift") + "=" + SignedFixed(drift.rateMsPerDay, 1).substr(
                                  drift.rateMsPerDay >= 0 ? 1 : 0) + ";" + (warning ? warning->text : "") + ";" +
                              (critical ? critical->text : "");
            ++items;
        }
    }
    if (!named) {
        check.message = "; drift: not enough history";
    } else {
        check.message = "; drift " + SignedFixed(named->rateMsPerDay, 1) + " ms/day on " + Printable(named->name);
        for (char& c : check.message)
            if (c == '|') c = '?';
        if (rated > items) check.message += " (" + std::to_string(rated - items) + " drift figures left out)";
    }
    return check;
}

std::string CheckLineWithDrift(const std::string& line, int status, const DriftCheck& drift) {
    std::string body = line;
    if (!body.empty() && body.back() == '\n') body.pop_back();
    // "SKEWMON STATE - ..."
    const std::string prefix = "SKEWMON ";
    const std::size_t dash = body.find(" - ");
    if (body.rfind(prefix, 0) == 0 && dash != std::string::npos)
        body = prefix + std::string(CheckState(status)) + body.substr(dash);
    const std::size_t bar = body.find(" | ");
    if (bar == std::string::npos) return body + drift.message + (drift.perfdata.empty() ? "" : " |" + drift.perfdata) + "\n";
    return body.substr(0, bar) + drift.message + body.substr(bar) + drift.perfdata + "\n";
}

json DriftJson(const MachineDrift& drift) {
    json entry;
    const bool rate = drift.status == DriftStatus::kRate;
    entry["status"] = rate ? "rate" : drift.status == DriftStatus::kNotEnoughHistory ? "not enough history" : "no answers";
    entry["rateMsPerDay"] = rate ? json(drift.rateMsPerDay) : json(nullptr);
    entry["rateUncertaintyMsPerDay"] = rate ? json(drift.uncertaintyMsPerDay) : json(nullptr);
    entry["ratePpm"] = rate ? json(drift.ratePpm()) : json(nullptr);
    entry["significant"] = rate && drift.significant;
    entry["readings"] = drift.readings;
    entry["lastStep"] = drift.lastStepMs ? json(IsoUtc(*drift.lastStepMs)) : json(nullptr);
    entry["kerberosLimitAt"] = drift.kerberosCrossingMs ? json(IsoUtc(*drift.kerberosCrossingMs)) : json(nullptr);
    return entry;
}

}  // namespace skewmon
