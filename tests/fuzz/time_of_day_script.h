// The input of the time_of_day fuzz target, as the seed capture writes it:
// everything one measurement reads, in the machine's own byte order.
#pragma once

#include <cstdint>

#include "platform/time_query.h"

namespace skewmon::fuzzing {

struct TimeOfDayScript {
    enum Negotiate : std::uint32_t { kNoConnection = 0, kNoAnswer = 1, kAnswered = 2 };

    platform::TimeOfDayInfo reply;
    std::uint32_t status;         // of the time-of-day call; 0: answered
    std::uint32_t ticks[4];       // before and after the call, then around the negotiate exchange
    std::uint64_t localClock[2];  // before the call, before the negotiate exchange
    std::uint32_t negotiate;      // Negotiate; other values: no connection
    std::uint32_t padding;
    std::uint64_t negotiateTime;  // the server's SystemTime
};

}  // namespace skewmon::fuzzing
