// A threshold range for the drift rates of --format check, in ms/day: the
// same syntax and the same alert rule as the offsets' -w and -c.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "state/command_line_options.h"

namespace skewmon {

struct DriftRange {
    ThresholdRange range;
    // As given, for the performance data: "10", "10:", "~:10", "@10:20".
    std::string text;

    static std::optional<DriftRange> Parse(std::string_view text);
    // Whether `value` calls for the alert.
    bool alerts(double value) const;
};

}  // namespace skewmon
