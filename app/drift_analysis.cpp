#include "app/drift_analysis.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "text/text_util.h"

namespace skewmon {
namespace {

double Weight(const DriftReading& reading) {
    const double bound = std::max(reading.errorBoundMs, 1.0);
    return 1.0 / (bound * bound);
}

// How far a segment's readings let the next one be from its line before it
// counts as a step, and where the line puts it.
struct Expectation {
    double offsetMs = 0;
    double toleranceMs = 0;
};

Expectation Expect(const std::vector<DriftReading>& segment, const DriftReading& next) {
    const DriftReading& last = segment.back();
    if (segment.size() >= 2) {
        if (const std::optional<LineFit> fit = FitLine(segment)) {
            const double ahead = static_cast<double>(next.timeMs - fit->lastTimeMs);
            // Three standard uncertainties of the line, plus the new reading's bound.
            const double sigma = fit->offsetSigma + std::fabs(ahead) * fit->rateSigma;
            return {fit->offsetAtLast + fit->ratePerMs * ahead, next.errorBoundMs + 3 * sigma};
        }
    }
    const double elapsed = std::fabs(static_cast<double>(next.timeMs - last.timeMs));
    return {last.offsetMs, next.errorBoundMs + last.errorBoundMs + kMaxPlausibleRatePpm * 1e-6 * elapsed};
}

}  // namespace

std::optional<LineFit> FitLine(const std::vector<DriftReading>& readings) {
    if (readings.size() < 2) return std::nullopt;
    const std::int64_t lastTime = readings.back().timeMs;
    double sumW = 0, sumWt = 0, sumWy = 0;
    for (const DriftReading& r : readings) {
        const double w = Weight(r), t = static_cast<double>(r.timeMs - lastTime);
        sumW += w;
        sumWt += w * t;
        sumWy += w * r.offsetMs;
    }
    const double meanT = sumWt / sumW, meanY = sumWy / sumW;
    double sxx = 0, sxy = 0;
    for (const DriftReading& r : readings) {
        const double w = Weight(r), dt = static_cast<double>(r.timeMs - lastTime) - meanT;
        sxx += w * dt * dt;
        sxy += w * dt * (r.offsetMs - meanY);
    }
    if (!(sxx > 0)) return std::nullopt;
    LineFit fit;
    fit.lastTimeMs = lastTime;
    fit.ratePerMs = sxy / sxx;
    fit.offsetAtLast = meanY - fit.ratePerMs * meanT;
    double chiSquare = 0;
    for (const DriftReading& r : readings) {
        const double t = static_cast<double>(r.timeMs - lastTime);
        const double residual = r.offsetMs - (fit.offsetAtLast + fit.ratePerMs * t);
        chiSquare += Weight(r) * residual * residual;
    }
    // Readings that stray further than their bounds say: the bounds were too
    // narrow, and the uncertainty grows with the scatter.
    const std::size_t freedom = readings.size() - 2;
    const double widen = freedom > 0 ? std::max(1.0, std::sqrt(chiSquare / static_cast<double>(freedom))) : 1.0;
    fit.rateSigma = widen * std::sqrt(1.0 / sxx);
    fit.offsetSigma = widen * std::sqrt(1.0 / sumW + meanT * meanT / sxx);
    return fit;
}

Segments SplitAtSteps(const std::vector<DriftReading>& readings) {
    Segments segments;
    segments.outlier.assign(readings.size(), false);
    if (readings.empty()) return segments;
    segments.starts.push_back(0);
    std::vector<DriftReading> segment{readings.front()};
    auto fits = [&](const DriftReading& reading) {
        const Expectation expected = Expect(segment, reading);
        return std::fabs(reading.offsetMs - expected.offsetMs) <= expected.toleranceMs;
    };
    for (std::size_t i = 1; i < readings.size(); ++i) {
        if (!fits(readings[i])) {
            if (i + 1 < readings.size() && fits(readings[i + 1])) {
                segments.outlier[i] = true;
                continue;
            }
            segments.starts.push_back(i);
            segment.clear();
        }
        segment.push_back(readings[i]);
    }
    return segments;
}

namespace {

MachineDrift DriftOf(const std::string& name, std::vector<DriftReading> readings) {
    MachineDrift drift;
    drift.name = name;
    if (readings.empty()) return drift;
    std::stable_sort(readings.begin(), readings.end(),
                     [](const DriftReading& a, const DriftReading& b) { return a.timeMs < b.timeMs; });
    const Segments segments = SplitAtSteps(readings);
    std::vector<DriftReading> segment;
    for (std::size_t i = segments.starts.back(); i < readings.size(); ++i)
        if (!segments.outlier[i]) segment.push_back(readings[i]);
    if (segments.starts.size() > 1) drift.lastStepMs = segment.front().timeMs;
    drift.readings = static_cast<int>(segment.size());
    drift.segmentStartMs = segment.front().timeMs;
    drift.lastReadingMs = segment.back().timeMs;
    drift.offsetNowMs = segment.back().offsetMs;
    drift.status = DriftStatus::kNotEnoughHistory;
    if (drift.readings < kMinDriftReadings || drift.lastReadingMs - drift.segmentStartMs < kMinDriftSpanMs)
        return drift;
    const std::optional<LineFit> fit = FitLine(segment);
    if (!fit) return drift;
    drift.status = DriftStatus::kRate;
    drift.rateMsPerDay = fit->ratePerMs * static_cast<double>(kMsPerDay);
    drift.uncertaintyMsPerDay = fit->rateSigma * static_cast<double>(kMsPerDay);
    drift.offsetNowMs = fit->offsetAtLast;
    drift.significant = drift.rateMsPerDay != 0 && std::fabs(drift.rateMsPerDay) >= 2 * drift.uncertaintyMsPerDay;
    const double limit = static_cast<double>(kKerberosLimitMs);
    if (std::fabs(drift.offsetNowMs) >= limit) {
        drift.pastKerberosLimit = true;
    } else if (drift.significant) {
        const double target = drift.rateMsPerDay > 0 ? limit : -limit;
        const double days = (target - drift.offsetNowMs) / drift.rateMsPerDay;
        const double ahead = days * static_cast<double>(kMsPerDay);
        if (ahead <= static_cast<double>(kProjectionHorizonMs))
            drift.kerberosCrossingMs = drift.lastReadingMs + static_cast<std::int64_t>(std::llround(ahead));
    }
    return drift;
}

}  // namespace

std::vector<MachineDrift> AnalyseDrift(const std::vector<HistoryRecord>& records) {
    std::vector<MachineDrift> drifts;
    if (records.empty()) return drifts;
    const std::string& reference = records.back().reference;
    // Names as Windows compares them: letter case does not count.
    std::vector<std::string> order;
    std::map<std::string, std::pair<std::string, std::vector<DriftReading>>> machines;
    auto note = [&](const HistoryMachine& machine) -> std::vector<DriftReading>& {
        const std::string key = AsciiUpperCase(machine.name);
        auto [at, added] = machines.try_emplace(key, machine.name, std::vector<DriftReading>{});
        if (added) order.push_back(key);
        return at->second.second;
    };
    for (const HistoryMachine& machine : records.back().machines) note(machine);
    for (const HistoryRecord& record : records) {
        // Offsets against another reference are not comparable.
        if (!SameNameIgnoringCase(record.reference, reference)) continue;
        for (const HistoryMachine& machine : record.machines) {
            std::vector<DriftReading>& readings = note(machine);
            if (machine.answered)
                readings.push_back({ReadingTimeMs(record, machine), static_cast<double>(machine.offsetMs), machine.errorBoundMs});
        }
    }
    for (const std::string& key : order) {
        auto& [name, readings] = machines[key];
        drifts.push_back(DriftOf(name, std::move(readings)));
    }
    return drifts;
}

std::vector<MachineDrift> ByAbsoluteRate(std::vector<MachineDrift> drifts) {
    std::stable_sort(drifts.begin(), drifts.end(), [](const MachineDrift& a, const MachineDrift& b) {
        const bool aRate = a.status == DriftStatus::kRate, bRate = b.status == DriftStatus::kRate;
        if (aRate != bRate) return aRate;
        return aRate && std::fabs(a.rateMsPerDay) > std::fabs(b.rateMsPerDay);
    });
    return drifts;
}

}  // namespace skewmon
