#pragma once

#include <cstdint>
#include <string_view>

namespace skewmon {

// The magnitude of `ms` as "yy ddd hh:mm:ss.mss", followed by a tab and a
// remark naming the coarsest unit reached (">3 mins") from one second on.
// The view points into a buffer of the calling thread that the next call on
// that thread overwrites.
std::string_view VarianceText(std::int64_t ms);

}  // namespace skewmon
