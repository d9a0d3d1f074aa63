// A threshold range in the syntax of monitoring plugins, for the drift rates
// of --format check: "10" (alert outside 0 to 10), "10:" (below 10), "~:10"
// (above 10), "10:20" (outside 10 to 20), "@10:20" (inside 10 to 20).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace skewmon {

struct DriftRange {
    std::optional<double> low;   // none: no lower end ("~")
    std::optional<double> high;  // none: no upper end
    bool alertInside = false;    // "@"

    static std::optional<DriftRange> Parse(std::string_view text);
    // Whether `value` calls for the alert.
    bool alerts(double value) const;
    // As given, for the performance data: "10", "10:", "~:10", "@10:20".
    std::string text;
};

}  // namespace skewmon
