#include "timing/variance_text.h"

#include <cstdio>

namespace skewmon {
namespace {

constexpr std::uint64_t kSecondMs = 1000;
constexpr std::uint64_t kMinuteMs = 60 * kSecondMs;
constexpr std::uint64_t kHourMs = 60 * kMinuteMs;
constexpr std::uint64_t kDayMs = 24 * kHourMs;
constexpr std::uint64_t kYearMs = 365 * kDayMs;  // no leap years

constexpr std::size_t kResultCapacity = 256;

}  // namespace

std::string_view VarianceText(std::int64_t ms) {
    // One buffer per thread: the scan thread and the window's thread may both
    // format, and neither may see the other's text.
    thread_local char result[kResultCapacity];

    // The magnitude of the most negative value does not fit a signed 64-bit
    // integer; unsigned arithmetic gives it (2^63) without overflow.
    std::uint64_t m = ms < 0 ? 0 - static_cast<std::uint64_t>(ms) : static_cast<std::uint64_t>(ms);

    const auto years = static_cast<int>(m / kYearMs);
    m %= kYearMs;
    const auto days = static_cast<int>(m / kDayMs);
    m %= kDayMs;
    const auto hours = static_cast<int>(m / kHourMs);
    m %= kHourMs;
    const auto minutes = static_cast<int>(m / kMinuteMs);
    m %= kMinuteMs;
    const auto seconds = static_cast<int>(m / kSecondMs);
    const auto millis = static_cast<int>(m % kSecondMs);

    int length = std::snprintf(result, sizeof result, "%02d %03d %02d:%02d:%02d.%03d", years, days,
                               hours, minutes, seconds, millis);

    struct Unit {
        int count;
        const char* name;
    };
    const Unit units[] = {{years, "year"}, {days, "day"}, {hours, "hour"}, {minutes, "min"},
                          {seconds, "sec"}};
    for (const Unit& unit : units) {
        if (unit.count != 0) {
            length += std::snprintf(result + length, sizeof result - static_cast<std::size_t>(length),
                                    "\t>%d %s%s", unit.count, unit.name, unit.count == 1 ? "" : "s");
            break;
        }
    }
    return {result, static_cast<std::size_t>(length)};
}

}  // namespace skewmon
