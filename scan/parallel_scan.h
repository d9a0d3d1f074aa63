// Asking several machines of a scan at the same time, all from the scan's
// own thread: a network where many machines are switched off then takes the
// time of a few time-outs, not of one for each of them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/time_query.h"

namespace skewmon {

struct ScanJob;

// Measures each of `serverNames` (two backslashes and the name) with at most
// `parallel` queries under way at once, each within its own `limit` from its
// start (none: no limit). `finished` hears of each on the calling thread as
// its answer comes in or is given up, in that order. The measurements come
// back in the order of `serverNames`. When `stop` becomes true every query
// under way is abandoned at once and no other starts; the rest stay
// kNoResponse.
std::vector<Measurement> MeasureServers(
    platform::TimeQueryRunner& runner, std::span<const std::string> serverNames, int parallel,
    bool inlineMode, std::optional<std::chrono::milliseconds> limit, const std::atomic<bool>& stop,
    const std::function<void(std::size_t, const Measurement&)>& finished);

// The scan's walk when it may ask several machines at once: the source is
// read whole first, its machines are asked together, and then their rows are
// listed and counted in the order of the source, the same way as one after
// another. Nothing is listed when the scan is stopped.
void ScanMachinesTogether(ScanJob& job, const std::vector<std::string>& names);

}  // namespace skewmon
