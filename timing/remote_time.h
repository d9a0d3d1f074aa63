// Asking one machine for its time of day and turning the answer into an Offset.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/controls.h"
#include "platform/time_query.h"

namespace skewmon {

inline constexpr std::chrono::milliseconds kQueryTimeoutMs{3000};
inline constexpr std::uint32_t kMaxRoundTripMs = 1500;
inline constexpr std::size_t kServerNameCapacity = 256;
// The negotiate exchange that refines a whole-second answer gets at most
// this long, and the query as a whole, from its first clock reading, at most
// kRefinedQueryLimit: well inside kQueryTimeoutMs, which also covers starting
// the query.
inline constexpr std::chrono::milliseconds kNegotiateBudget{1000};
inline constexpr std::chrono::milliseconds kRefinedQueryLimit{2000};
inline constexpr std::size_t kStatusTextCapacity = 256;
// A negotiate reading taken ahead of the query refines its whole-second
// answer only while this fresh: a clock drifts, and may be set.
inline constexpr std::chrono::milliseconds kNegotiateReadingFresh{10000};
// How finely each kind of answer gives the server's clock: the time of day
// in hundredths, or cut to the whole second (hundredths 0, as Samba answers);
// the negotiate answer in 100-ns units, read here to the millisecond.
inline constexpr std::uint32_t kHundredthsResolutionMs = 10;
inline constexpr std::uint32_t kWholeSecondResolutionMs = 1000;
inline constexpr std::uint32_t kNegotiateResolutionMs = 1;

// The reply's calendar fields as a count of 100-ns intervals since
// 1601-01-01 00:00 UTC (the day of the week is ignored); none when the fields
// do not form a valid UTC time.
std::optional<std::int64_t> ReplyToFileTime(const platform::TimeOfDayInfo& reply);

// The offset of a reply read at `remote`, whose request left when the local
// clock read `local` and took `roundTripMs`: the remote reading against the
// local clock at the middle of the round trip. kNoResponse past the
// round-trip limit.
Offset OffsetFromReadings(std::int64_t remote, std::int64_t local, std::uint32_t roundTripMs);

// One measurement: reads the clocks around the remote call in the order that
// keeps the round trip tight. serverName is two backslashes and the name.
// When the time of day comes in whole seconds (hundredths 0), the server's
// SMB2 negotiate clock is read the same way, and its offset replaces the
// whole-second one where it lies within the second that answer allows.
// With `refine` false, the whole-second answer is returned as it came: the
// caller refines it from a negotiate reading of its own (RefinedByNegotiate).
Measurement MeasureRemoteTime(platform::RemoteClock& clock, std::string_view serverName, bool refine = true);

// The offset of a negotiate reading, when `whole`, a whole-second answer of
// the time-of-day call, allows it; none otherwise (or when `whole` is no
// whole-second answer).
std::optional<Measurement> RefinedByNegotiate(const Measurement& whole, const platform::NegotiateReading& reading);
// The measured offset alone.
Offset RemoteTimeWorker(platform::RemoteClock& clock, std::string_view serverName);

// "\\NAME", cut to the server-name buffer.
std::string QueryServerName(std::string_view machine);

// What a query shows while it waits: which machine is asked (in the results
// group's caption), the busy cursor and the beep of a time-out.
class QueryView {
public:
    virtual ~QueryView() = default;
    virtual void setText(int id, std::string_view text) = 0;
    virtual void pushWaitCursor() = 0;
    virtual void popWaitCursor() = 0;
    // Returns after the sound.
    virtual void beep(int hertz, int milliseconds) = 0;
};

struct QueryContext {
    QueryView& view;
    platform::TimeQueryRunner& runner;
    bool inlineMode = false;
    const std::atomic<bool>& stop;  // the scan has been cancelled
};

// Shows which machine is asked, measures it (within the time limit unless in
// inline mode) and returns its Offset or kNoResponse.
Offset CheckMachine(QueryContext& context, std::string_view name);

}  // namespace skewmon
