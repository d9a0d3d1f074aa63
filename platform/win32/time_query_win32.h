// The remote time query on Windows: the clocks and NetRemoteTOD, and a runner
// that measures each machine on a worker thread of its own.
#pragma once

#include <memory>
#include <string>

#include "platform/time_query.h"

namespace skewmon::platform::win32 {

// GetTickCount, GetSystemTimeAsFileTime and NetRemoteTOD.
class NetRemoteTodClock final : public RemoteClock {
public:
    std::uint32_t tickCount() override;
    std::int64_t systemTimeAsFileTime() override;
    std::uint32_t remoteTimeOfDay(std::string_view serverName, TimeOfDayInfo& reply) override;
};

// Each measurement runs on a new worker thread with a result slot of its own;
// a fault inside it yields kNoResponse. A worker still running when its query
// is given up (time-out or cancel) is abandoned rather than terminated:
// TerminateThread inside NetRemoteTOD can leave locks of the RPC runtime or of
// the heap held, and every later query would then hang on them. The abandoned
// worker ends by itself when the call returns (the platform's own time-outs
// bound it) and can only write into its own slot, which nothing reads any
// more; the process's exit does not wait for it. Inline mode changes nothing
// here: the caller waits without a limit, but a stop still ends the wait.
class ThreadQueryRunner final : public TimeQueryRunner {
public:
    explicit ThreadQueryRunner(std::shared_ptr<RemoteClock> clock);
    std::unique_ptr<PendingQuery> start(const std::string& serverName, bool inlineMode) override;

private:
    std::shared_ptr<RemoteClock> clock_;  // shared with workers that outlive a query
};

// One measurement with faults caught: MeasureRemoteTime, or no answer when
// it faulted.
Measurement MeasureGuarded(RemoteClock& clock, std::string_view serverName);

}  // namespace skewmon::platform::win32
