// The platform side of the remote time query: the clocks, the LAN Manager
// time-of-day call, and a way to run one measurement so that it can be given
// up at any moment without leaving anything behind.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace skewmon {

// Remote clock minus local clock, in milliseconds.
using Offset = std::int64_t;
// No usable answer. Far larger than any difference of two valid clock readings.
inline constexpr Offset kNoResponse = 1122334455667788;
// The largest difference, in milliseconds, of two clock readings counted in
// 100-ns intervals from 1601 in a signed 64-bit integer: no measurement
// gives a larger offset.
inline constexpr Offset kLargestOffset = INT64_MAX / 10000;

// Which exchange an offset was measured from: the time-of-day call itself,
// or the finer clock of the server's SMB2 negotiate answer when the time of
// day came in whole seconds.
enum class MeasurementMethod { kTimeOfDay, kNegotiate };

// How the reading behind an offset was taken: the round trip of the exchange
// that gave it, and the resolution of the clock reading in the answer. The
// offset can be off by half the round trip plus the resolution.
struct Measurement {
    Offset offset = kNoResponse;
    MeasurementMethod method = MeasurementMethod::kTimeOfDay;
    std::uint32_t roundTripMs = 0;
    std::uint32_t resolutionMs = 0;
};

namespace platform {

// The reply of the remote time-of-day call, field for field. Times are UTC.
struct TimeOfDayInfo {
    std::uint32_t elapsedt = 0;
    std::uint32_t msecs = 0;
    std::uint32_t hours = 0;
    std::uint32_t mins = 0;
    std::uint32_t secs = 0;
    std::uint32_t hunds = 0;
    std::int32_t timezone = 0;
    std::uint32_t tinterval = 0;
    std::uint32_t day = 0;
    std::uint32_t month = 0;
    std::uint32_t year = 0;
    std::uint32_t weekday = 0;
};

// One connection to a server's SMB2 service, opened ahead of the exchange so
// that connecting does not count as round trip.
class NegotiateExchange {
public:
    virtual ~NegotiateExchange() = default;
    // Sends one SMB2 NEGOTIATE request and returns the SystemTime of the
    // answer (100-ns intervals since 1601-01-01 00:00 UTC); none on any
    // failure or when the time given at opening has run out. Once only.
    virtual std::optional<std::int64_t> systemTime() = 0;
};

// What one measurement reads: the tick count, the local UTC clock and the
// remote machine's answer.
class RemoteClock {
public:
    virtual ~RemoteClock() = default;
    // Milliseconds from a monotonic clock; wraps around at 2^32.
    virtual std::uint32_t tickCount() = 0;
    // 100-ns intervals since 1601-01-01 00:00 UTC.
    virtual std::int64_t systemTimeAsFileTime() = 0;
    // serverName is two backslashes and the machine name. 0 = success.
    virtual std::uint32_t remoteTimeOfDay(std::string_view serverName, TimeOfDayInfo& reply) = 0;
    // Connects to the SMB2 service of serverName (as above) for one negotiate
    // exchange; everything, the exchange included, must end within `budget`.
    // None where the platform has no such client or the connection fails.
    virtual std::unique_ptr<NegotiateExchange> openNegotiate(std::string_view /*serverName*/,
                                                             std::chrono::milliseconds /*budget*/) {
        return nullptr;
    }
};

enum class QueryWait { kFinished, kTimedOut, kStopped };

// One measurement under way. Destroying it abandons the measurement when it
// has not finished: nothing of it can reach a later query.
class PendingQuery {
public:
    virtual ~PendingQuery() = default;
    // Waits until the measurement finishes, `limit` passes (none: no limit), or
    // `stop` becomes true (checked at least every few tens of milliseconds).
    virtual QueryWait wait(std::optional<std::chrono::milliseconds> limit,
                           const std::atomic<bool>& stop) = 0;
    // The measured offset or kNoResponse; meaningful after kFinished.
    virtual Offset result() = 0;
    // How result() was measured; meaningful after kFinished.
    virtual MeasurementMethod method() { return MeasurementMethod::kTimeOfDay; }
    // The whole measurement; meaningful after kFinished. A runner that knows
    // the round trip and the resolution gives them here.
    virtual Measurement measurement() { return {result(), method()}; }
    // When the request could first go out to the machine: a machine's time
    // limit runs from here, so that starting a helper for it never counts
    // against it. None while the query still waits for its helper to be
    // ready. Unless a runner says otherwise, the moment it was started.
    virtual std::optional<std::chrono::steady_clock::time_point> requestSent() { return created_; }

private:
    const std::chrono::steady_clock::time_point created_ = std::chrono::steady_clock::now();
};

// A server's clock as the SMB2 negotiate answer on a connection check's
// connection gave it: the answer's SystemTime, the local UTC clock when the
// request left (both 100-ns intervals since 1601-01-01 UTC), the exchange's
// round trip, and when the answer came, by the monotonic clock.
struct NegotiateReading {
    std::int64_t remote = 0;
    std::int64_t local = 0;
    std::uint32_t roundTripMs = 0;
    std::chrono::steady_clock::time_point taken;
};

// Whether machines take a connection at all, checked for many of them at
// once before any of them gets a query: a machine that takes none cannot
// answer one, and then never holds one of the few queries under way.
class ReachabilityCheck {
public:
    struct Settled {
        std::size_t tag;
        // False only when the machine surely cannot answer a query; a
        // machine the check cannot judge (a name it does not resolve the
        // way the query does) counts as reachable and is asked.
        bool reachable;
        // The machine's negotiate clock, when the check's connection read
        // it: a query that gets a whole-second answer can be refined from it
        // without a connection of its own.
        std::optional<NegotiateReading> negotiate;
    };

    virtual ~ReachabilityCheck() = default;
    // How many more machines can be checked at the same time now.
    virtual std::size_t room() const = 0;
    // Starts checking serverName (two backslashes and the name), which is
    // unreachable unless it takes a connection within `limit`. `tag` names it
    // when settled.
    virtual void check(std::size_t tag, std::string_view serverName, std::chrono::milliseconds limit) = 0;
    // Waits at most `wait` for the next settled checks, returning early also
    // when one of `queries` (started by the same runner) has news for its
    // wait(). Every check settles within its limit and a little more.
    virtual std::vector<Settled> settle(std::chrono::milliseconds wait, std::span<PendingQuery* const> queries) = 0;
};

class TimeQueryRunner {
public:
    virtual ~TimeQueryRunner() = default;
    // Starts measuring serverName (two backslashes and the name). In inline
    // mode a platform may run the measurement on the calling thread. Returns
    // none when the measurement cannot be started at all.
    virtual std::unique_ptr<PendingQuery> start(const std::string& serverName, bool inlineMode) = 0;
    // As start(), for a caller that refines a whole-second answer itself
    // from a negotiate reading it holds: the measurement need not open a
    // connection of its own for that. A runner that makes no such
    // distinction asks as start() does.
    virtual std::unique_ptr<PendingQuery> startUnrefined(const std::string& serverName, bool inlineMode) {
        return start(serverName, inlineMode);
    }
    // A scan is about to start its queries: the runner may get ready for
    // them, and returns, in a sentence, what keeps every query of the scan
    // from working (client settings that cannot be loaded, say); empty when
    // nothing does. Returns within a few seconds, or soon after `stop`.
    virtual std::string beginScan(const std::atomic<bool>& /*stop*/) { return {}; }
    // The scan's queries are over: whatever the runner kept for them ends.
    virtual void endScan() {}
    // A check of many machines at once that a scan with a time limit may run
    // before it asks them; none where the platform has none, and every
    // machine is then asked.
    virtual std::unique_ptr<ReachabilityCheck> checkReachability() { return nullptr; }
};

}  // namespace platform
}  // namespace skewmon
