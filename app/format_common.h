// Pieces the console formats share.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace skewmon {

struct VarianceParts {
    std::string text;    // "yy ddd hh:mm:ss.mss"
    std::string remark;  // ">3 mins", or empty below a second
};
// A variance text split at its tab.
VarianceParts SplitVariance(std::string_view variance);

// "2026-12-08T13:33:02.123Z".
std::string Iso8601Utc(std::chrono::system_clock::time_point moment);

}  // namespace skewmon
