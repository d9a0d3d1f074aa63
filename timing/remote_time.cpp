#include "timing/remote_time.h"

#include <algorithm>
#include <memory>

namespace skewmon {
namespace {

constexpr std::int64_t kTicksPerMs = 10000;
constexpr std::int64_t kTicksPerDay = 86400LL * 1000 * kTicksPerMs;

bool IsLeapYear(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

std::uint32_t DaysInMonth(std::uint32_t year, std::uint32_t month) {
    static constexpr std::uint32_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1601-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t DaysSince1601(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2;
    const std::int64_t era = y / 400;  // y >= 1600 here, never negative
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t daysSinceMarch1st0000 = era * 146097 + doe;
    constexpr std::int64_t k1601 = 584694;  // 1601-01-01 counted the same way
    return daysSinceMarch1st0000 - k1601;
}

// Whether `fine`, measured over a round trip of fineTripMs, can be the offset
// that a whole-second answer measured as `whole` over wholeTripMs stands for.
// The server cut its reading to the second, so the true offset lies from
// `whole` up to a second above it, give or take half of each round trip (the
// server may have read its clock anywhere in it) and a millisecond or two of
// tick and truncation.
bool WithinWholeSecond(Offset fine, std::uint32_t fineTripMs, Offset whole, std::uint32_t wholeTripMs) {
    const std::int64_t slack = (std::int64_t{wholeTripMs} + 1) / 2 + (std::int64_t{fineTripMs} + 1) / 2 + 2;
    return fine >= whole - slack && fine <= whole + 1000 + slack;
}

// The offset of a negotiate reading, when the whole-second answer allows it.
std::optional<Measurement> NegotiateMeasurement(std::int64_t remote, std::int64_t local, std::uint32_t roundTrip,
                                                Offset whole, std::uint32_t wholeTripMs) {
    const Offset fine = OffsetFromReadings(remote, local, roundTrip);
    if (fine == kNoResponse || !WithinWholeSecond(fine, roundTrip, whole, wholeTripMs)) return std::nullopt;
    return Measurement{fine, MeasurementMethod::kNegotiate, roundTrip, kNegotiateResolutionMs};
}

// The offset from the server's SMB2 negotiate clock, when it is one that the
// whole-second answer allows; none otherwise.
std::optional<Measurement> NegotiateOffset(platform::RemoteClock& clock, std::string_view serverName, Offset whole,
                                      std::uint32_t wholeTripMs) {
    const auto spent = std::chrono::milliseconds(wholeTripMs);
    if (spent >= kRefinedQueryLimit) return std::nullopt;
    const std::unique_ptr<platform::NegotiateExchange> exchange =
        clock.openNegotiate(serverName, std::min(kNegotiateBudget, kRefinedQueryLimit - spent));
    if (!exchange) return std::nullopt;

    // The connection is open: only the request and its answer count.
    const std::uint32_t t0 = clock.tickCount();
    const std::int64_t local = clock.systemTimeAsFileTime();
    const std::optional<std::int64_t> remote = exchange->systemTime();
    const std::uint32_t t1 = clock.tickCount();
    if (!remote) return std::nullopt;
    return NegotiateMeasurement(*remote, local, t1 - t0, whole, wholeTripMs);
}

}  // namespace

std::optional<std::int64_t> ReplyToFileTime(const platform::TimeOfDayInfo& reply) {
    // A reply that names no real moment (month 13, day 31 of April, hour 24...)
    // is no usable answer, not a garbage offset.
    if (reply.year < 1601 || reply.year > 30827) return std::nullopt;
    if (reply.month < 1 || reply.month > 12) return std::nullopt;
    if (reply.day < 1 || reply.day > DaysInMonth(reply.year, reply.month)) return std::nullopt;
    if (reply.hours > 23 || reply.mins > 59 || reply.secs > 59) return std::nullopt;
    const std::uint64_t millis = std::min<std::uint64_t>(std::uint64_t{reply.hunds} * 10, 999);

    const std::int64_t days = DaysSince1601(reply.year, reply.month, reply.day);
    const std::int64_t ms = ((std::int64_t{reply.hours} * 60 + reply.mins) * 60 + reply.secs) * 1000 +
                            static_cast<std::int64_t>(millis);
    return days * kTicksPerDay + ms * kTicksPerMs;
}

Offset OffsetFromReadings(std::int64_t remote, std::int64_t local, std::uint32_t roundTripMs) {
    if (roundTripMs > kMaxRoundTripMs) return kNoResponse;
    const std::int64_t halfTrip = std::int64_t{roundTripMs / 2} * kTicksPerMs;
    return (remote - halfTrip - local) / kTicksPerMs;  // truncates toward zero
}

Offset RemoteTimeWorker(platform::RemoteClock& clock, std::string_view serverName) {
    return MeasureRemoteTime(clock, serverName).offset;
}

std::optional<Measurement> RefinedByNegotiate(const Measurement& whole, const platform::NegotiateReading& reading) {
    if (whole.offset == kNoResponse || whole.method != MeasurementMethod::kTimeOfDay ||
        whole.resolutionMs != kWholeSecondResolutionMs)
        return std::nullopt;
    return NegotiateMeasurement(reading.remote, reading.local, reading.roundTripMs, whole.offset, whole.roundTripMs);
}

Measurement MeasureRemoteTime(platform::RemoteClock& clock, std::string_view serverName, bool refine) {
    const std::uint32_t t0 = clock.tickCount();
    const std::int64_t local = clock.systemTimeAsFileTime();
    platform::TimeOfDayInfo reply;
    if (clock.remoteTimeOfDay(serverName, reply) != 0) return {};
    const std::uint32_t t1 = clock.tickCount();
    const std::uint32_t roundTrip = t1 - t0;  // unsigned: a wrap between the readings does no harm

    const std::optional<std::int64_t> remote = ReplyToFileTime(reply);
    if (!remote) return {};
    const Offset offset = OffsetFromReadings(*remote, local, roundTrip);
    // Samba, and with it most file servers, answers in whole seconds.
    if (offset == kNoResponse) return {};
    if (reply.hunds == 0) {
        if (!refine) return {offset, MeasurementMethod::kTimeOfDay, roundTrip, kWholeSecondResolutionMs};
        if (const std::optional<Measurement> fine = NegotiateOffset(clock, serverName, offset, roundTrip))
            return *fine;
        // Possibly cut to the whole second.
        return {offset, MeasurementMethod::kTimeOfDay, roundTrip, kWholeSecondResolutionMs};
    }
    return {offset, MeasurementMethod::kTimeOfDay, roundTrip, kHundredthsResolutionMs};
}

std::string QueryServerName(std::string_view machine) {
    std::string name = "\\\\";
    name.append(machine.substr(0, kServerNameCapacity - 1 - name.size()));
    return name;
}

Offset CheckMachine(QueryContext& context, std::string_view name) {
    QueryView& view = context.view;
    view.pushWaitCursor();

    std::string status = "Checking ";
    status.append(name.substr(0, kStatusTextCapacity - 1 - status.size() - 3));
    status.append("...");
    view.setText(ctl::kResultsGroup, status);

    Offset result = kNoResponse;
    if (std::unique_ptr<platform::PendingQuery> query =
            context.runner.start(QueryServerName(name), context.inlineMode)) {
        if (context.inlineMode) {
            if (query->wait(std::nullopt, context.stop) == platform::QueryWait::kFinished)
                result = query->result();
        } else {
            switch (query->wait(kQueryTimeoutMs, context.stop)) {
                case platform::QueryWait::kFinished:
                    result = query->result();
                    break;
                case platform::QueryWait::kTimedOut:
                    query.reset();  // given up: its answer can no longer arrive
                    view.beep(2000, 200);
                    break;
                case platform::QueryWait::kStopped:
                    break;
            }
        }
    }

    view.popWaitCursor();
    return result;
}

}  // namespace skewmon
