// What the console says of drift: the text for people (--format drift), the
// drift part of the monitoring line (--drift-warning, --drift-critical), and
// each machine's drift figures for the formats for programs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/drift_analysis.h"
#include "app/drift_range.h"

namespace skewmon {

// Where the figures come from, for the heading.
struct DriftSource {
    std::string historyPath;
    std::size_t scans = 0;  // records against the reference of the newest
    std::int64_t firstMs = 0, lastMs = 0;
    std::string reference;  // empty: this machine's clock
};

// The text of --format drift: a heading, then one line per machine, the
// fastest first.
std::string DriftText(const std::vector<MachineDrift>& drifts, const DriftSource& source);

// The drift part of --format check.
struct DriftCheck {
    int state = 0;        // 0 OK, 1 WARNING, 2 CRITICAL
    std::string message;  // "; drift ..." for the text part; empty without thresholds
    std::string perfdata; // " 'NAME drift'=RATE;WARN;CRIT" items, per machine with a rate
};
// Each rate (absolute, in ms/day) against the ranges; the worst state wins.
DriftCheck EvaluateDriftCheck(const std::vector<MachineDrift>& drifts, const std::optional<DriftRange>& warning,
                              const std::optional<DriftRange>& critical);
// The monitoring line with the drift part in: its state word raised to
// `status`, the message before the performance data, the items after.
std::string CheckLineWithDrift(const std::string& line, int status, const DriftCheck& drift);

// One machine's drift for JSON: status ("rate", "not enough history", "no
// answers"), rateMsPerDay, rateUncertaintyMsPerDay, ratePpm, significant,
// readings, lastStep, kerberosLimitAt (ISO 8601 UTC, or null).
nlohmann::json DriftJson(const MachineDrift& drift);

// "2026-12-08 13:40 UTC".
std::string ShortUtc(std::int64_t timeMs);
// A rate as "+43195.1" (one decimal, always signed, never in exponent form).
std::string SignedFixed(double value, int decimals);

}  // namespace skewmon
