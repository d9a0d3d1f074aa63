// How fast each machine's clock runs away from the reference, from the
// readings of the history: a weighted straight-line fit of offset against
// time over the newest segment (the readings since the clock was last set).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/drift_history.h"

namespace skewmon {

// Fewer readings, or readings spanning less, give no rate.
inline constexpr int kMinDriftReadings = 3;
inline constexpr std::int64_t kMinDriftSpanMs = 10LL * 60 * 1000;
// Kerberos' default limit on the difference of two clocks.
inline constexpr std::int64_t kKerberosLimitMs = 5LL * 60 * 1000;
// Projections further out than this are not dated.
inline constexpr std::int64_t kProjectionHorizonMs = 10LL * 365 * kMsPerDay;
// Between two readings with nothing else known, a change faster than this
// (5000 ppm, 432 s/day: no clock that works at all is that far off) is taken
// for a step rather than drift.
inline constexpr double kMaxPlausibleRatePpm = 5000.0;

// One answered reading of one machine.
struct DriftReading {
    std::int64_t timeMs = 0;
    double offsetMs = 0;
    double errorBoundMs = 0;
};

// A weighted least-squares line through readings.
struct LineFit {
    double ratePerMs = 0;     // ms of offset per ms of time
    double rateSigma = 0;     // its standard uncertainty
    double offsetAtLast = 0;  // the line's value at the last reading's time
    double offsetSigma = 0;
    std::int64_t lastTimeMs = 0;
};
// Weights 1/bound² (a bound below 1 ms counts as 1 ms). The uncertainty is
// the formal one, widened by the scatter when the readings stray from the
// line more than their bounds say. Needs 2 readings at two different times.
std::optional<LineFit> FitLine(const std::vector<DriftReading>& readings);

enum class DriftStatus {
    kRate,               // a rate from enough history
    kNotEnoughHistory,   // answered, but too few readings or too short a span
    kNoAnswers,          // never answered in the history
};

struct MachineDrift {
    std::string name;
    DriftStatus status = DriftStatus::kNoAnswers;
    int readings = 0;           // in the newest segment, outliers left out: what the rate rests on
    std::int64_t segmentStartMs = 0;
    std::int64_t lastReadingMs = 0;
    std::optional<std::int64_t> lastStepMs;  // the first reading after the newest step
    double offsetNowMs = 0;     // the fitted (or, without a rate, last measured) offset at the last reading
    // kRate only:
    double rateMsPerDay = 0;
    double uncertaintyMsPerDay = 0;
    // |rate| at least twice its uncertainty.
    bool significant = false;
    // When the offset will be 5 minutes either way, if it goes on so; set
    // only for a significant rate that gets there within the horizon.
    std::optional<std::int64_t> kerberosCrossingMs;
    bool pastKerberosLimit = false;  // |offset now| is 5 minutes or more already

    double ratePpm() const { return rateMsPerDay / 86.4; }
};

// One machine's readings (in time order) cut into segments at each step: a
// reading further from what the segment before it predicts than both of
// their bounds allow, and the next reading with it. A reading that strays
// alone, the next one back on the line, is an outlier and belongs to no
// segment; the newest reading has no next one, and a stray newest reading
// starts a segment (the next scan tells).
struct Segments {
    std::vector<std::size_t> starts;  // the index of the first reading of each segment
    std::vector<bool> outlier;        // per reading
};
Segments SplitAtSteps(const std::vector<DriftReading>& readings);

// Every machine of the newest record (in its order), then any others of the
// history, from the records whose reference is the newest record's.
std::vector<MachineDrift> AnalyseDrift(const std::vector<HistoryRecord>& records);

// The machines by absolute rate, fastest first; those without a rate after
// them, in their order.
std::vector<MachineDrift> ByAbsoluteRate(std::vector<MachineDrift> drifts);

}  // namespace skewmon
