// The refinement of whole-second answers by the server's negotiate clock,
// against a simulated server and network: virtual time advances only by the
// round trips the scenario gives, so every expected offset is exact.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "tests/fakes/fakes.h"
#include "timing/remote_time.h"

namespace skewmon::testing {
namespace {

using namespace std::chrono_literals;
using platform::TimeOfDayInfo;

constexpr std::int64_t kTicksPerMs = 10000;
constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;
// 2024-02-29 23:59:58 UTC.
constexpr std::int64_t kStart = kUnixEpochAsFileTime + 1709251198000LL * kTicksPerMs;

TimeOfDayInfo CalendarOf(std::int64_t fileTime, bool wholeSeconds) {
    return TimeOfDayReplyAt((fileTime - kUnixEpochAsFileTime) / kTicksPerMs, wholeSeconds);
}

// A server whose clocks run `aheadMs` (time of day) and aheadMs + skewMs
// (negotiate) ahead of ours, each read in the middle of its round trip.
struct Scenario {
    std::int64_t aheadMs = 0;
    std::int64_t localPhaseMs = 0;  // where in its second our clock starts
    std::uint32_t todTripMs = 10;
    bool wholeSeconds = true;  // Samba; false: Windows, with hundredths
    bool speaksSmb2 = true;
    bool negotiateAnswers = true;
    std::uint32_t connectMs = 3;  // opening, before the timed exchange
    std::uint32_t negotiateTripMs = 1;
    double negotiateReadAt = 0.5;  // where in its round trip: 0 at the request, 1 at the answer
    std::int64_t skewMs = 0;
    std::uint32_t tickBase = 1000;
};

class SimulatedClock;

class SimulatedExchange final : public platform::NegotiateExchange {
public:
    explicit SimulatedExchange(SimulatedClock& clock) : clock_(clock) {}
    std::optional<std::int64_t> systemTime() override;

private:
    SimulatedClock& clock_;
};

class SimulatedClock final : public platform::RemoteClock {
public:
    explicit SimulatedClock(const Scenario& s) : s_(s), now_(kStart + s.localPhaseMs * kTicksPerMs) {}

    std::uint32_t tickCount() override {
        return s_.tickBase + static_cast<std::uint32_t>((now_ - kStart) / kTicksPerMs);
    }
    std::int64_t systemTimeAsFileTime() override { return now_; }
    std::uint32_t remoteTimeOfDay(std::string_view, TimeOfDayInfo& reply) override {
        advance(s_.todTripMs * kTicksPerMs / 2);
        reply = CalendarOf(now_ + s_.aheadMs * kTicksPerMs, s_.wholeSeconds);
        advance(s_.todTripMs * kTicksPerMs - s_.todTripMs * kTicksPerMs / 2);
        return 0;
    }
    std::unique_ptr<platform::NegotiateExchange> openNegotiate(std::string_view,
                                                               std::chrono::milliseconds budget) override {
        budgets.push_back(budget);
        advance(s_.connectMs * kTicksPerMs);
        if (!s_.speaksSmb2) return nullptr;
        return std::make_unique<SimulatedExchange>(*this);
    }

    std::optional<std::int64_t> exchange() {
        const auto before = static_cast<std::int64_t>(s_.negotiateTripMs * kTicksPerMs * s_.negotiateReadAt);
        advance(before);
        const std::int64_t reading = now_ + (s_.aheadMs + s_.skewMs) * kTicksPerMs;
        advance(s_.negotiateTripMs * kTicksPerMs - before);
        if (!s_.negotiateAnswers) return std::nullopt;
        return reading;
    }

    std::vector<std::chrono::milliseconds> budgets;  // one per negotiate opened

private:
    void advance(std::int64_t ticks) { now_ += ticks; }

    Scenario s_;
    std::int64_t now_;
};

std::optional<std::int64_t> SimulatedExchange::systemTime() { return clock_.exchange(); }

Measurement Measure(const Scenario& s) {
    SimulatedClock clock(s);
    return MeasureRemoteTime(clock, "\\\\SERVER");
}

// The measurement of the same scenario without any negotiate clock.
Offset WholeSecondOffset(Scenario s) {
    s.speaksSmb2 = false;
    return Measure(s).offset;
}

TEST(Refinement, SubSecondShiftsComeBackToTheMillisecondWhereverTheSecondBoundaryFalls) {
    const std::int64_t aheads[] = {400, -250, -750, 500, 0, 2000, -3000, 3725000, 999, 1, -1, 90000};
    const std::int64_t phases[] = {0, 1, 250, 599, 600, 999};
    const std::uint32_t todTrips[] = {0, 1, 7, 40, 700, 1500};
    const std::uint32_t negotiateTrips[] = {0, 1, 3, 40, 333};
    for (std::int64_t ahead : aheads)
        for (std::int64_t phase : phases)
            for (std::uint32_t todTrip : todTrips)
                for (std::uint32_t negotiateTrip : negotiateTrips) {
                    Scenario s;
                    s.aheadMs = ahead;
                    s.localPhaseMs = phase;
                    s.todTripMs = todTrip;
                    s.negotiateTripMs = negotiateTrip;
                    const Measurement m = Measure(s);
                    const std::string what = "ahead " + std::to_string(ahead) + " phase " + std::to_string(phase) +
                                             " trips " + std::to_string(todTrip) + "/" +
                                             std::to_string(negotiateTrip);
                    ASSERT_EQ(m.method, MeasurementMethod::kNegotiate) << what;
                    ASSERT_LE(std::llabs(m.offset - ahead), 1) << what;
                }
}

TEST(Refinement, ANegotiateReadAnywhereInItsRoundTripIsTakenAtEitherEdgeOfTheSecond) {
    // The server may read its clock at the request or at the answer, and
    // the whole-second answer may lie almost a second below the truth or
    // right on it: all of it is within the doubt that the round trips give.
    for (std::int64_t phase = 0; phase < 1000; ++phase)
        for (double readAt : {0.0, 1.0})
            for (std::uint32_t todTrip : {0u, 30u}) {
                Scenario s;
                s.aheadMs = 400;
                s.localPhaseMs = phase;
                s.todTripMs = todTrip;
                s.negotiateTripMs = 40;
                s.negotiateReadAt = readAt;
                const Measurement m = Measure(s);
                ASSERT_EQ(m.method, MeasurementMethod::kNegotiate) << phase << " " << readAt << " " << todTrip;
                ASSERT_LE(std::llabs(m.offset - 400), 21) << phase << " " << readAt << " " << todTrip;
            }
}

TEST(Refinement, TheConnectionAndATickWrapDoNotCountAsRoundTrip) {
    Scenario s;
    s.aheadMs = -250;
    s.connectMs = 900;  // a slow name look-up and connect
    s.tickBase = 0xFFFFFFFFu - 912;  // wraps between the negotiate's two tick readings
    s.negotiateTripMs = 6;
    const Measurement m = Measure(s);
    EXPECT_EQ(m.method, MeasurementMethod::kNegotiate);
    EXPECT_LE(std::llabs(m.offset + 250), 1);
}

TEST(Refinement, AnswersWithHundredthsAreNotRefined) {
    Scenario s;
    s.aheadMs = 1234;
    s.wholeSeconds = false;
    s.localPhaseMs = 500;
    SimulatedClock clock(s);
    const Measurement m = MeasureRemoteTime(clock, "\\\\SERVER");
    EXPECT_EQ(m.method, MeasurementMethod::kTimeOfDay);
    EXPECT_NEAR(static_cast<double>(m.offset), 1234.0, 10.0);
    EXPECT_TRUE(clock.budgets.empty()) << "a negotiate connection was opened";
}

TEST(Refinement, WithoutAUsableNegotiateReadingTheWholeSecondResultStands) {
    struct Case {
        const char* what;
        void (*change)(Scenario&);
    };
    const Case cases[] = {
        {"no SMB2", [](Scenario& s) { s.speaksSmb2 = false; }},
        {"no answer", [](Scenario& s) { s.negotiateAnswers = false; }},
        {"negotiate clock a second ahead of the time of day", [](Scenario& s) { s.skewMs = 1100; }},
        {"negotiate clock below the second", [](Scenario& s) { s.skewMs = -800; }},
        {"negotiate clock hours off", [](Scenario& s) { s.skewMs = 3 * 3600 * 1000; }},
        {"negotiate round trip over the limit", [](Scenario& s) { s.negotiateTripMs = 1501; }},
    };
    for (const Case& c : cases) {
        Scenario s;
        s.aheadMs = 400;
        s.localPhaseMs = 300;
        c.change(s);
        const Measurement m = Measure(s);
        EXPECT_EQ(m.method, MeasurementMethod::kTimeOfDay) << c.what;
        EXPECT_EQ(m.offset, WholeSecondOffset(s)) << c.what;
        EXPECT_NE(m.offset, kNoResponse) << c.what;
        EXPECT_NE(m.offset, 400) << c.what;  // a whole-second answer really is off here
    }
}

TEST(Refinement, ANegotiateClockJustInsideTheAllowedSecondIsTaken) {
    // Round trips of 40 and 10 ms leave 25 ms of doubt, plus a little for
    // ticks: a negotiate clock that far from the time-of-day clock may be
    // the same clock, read elsewhere in the round trip.
    Scenario s;
    s.aheadMs = 400;
    s.localPhaseMs = 579;  // the server reads 58.999: the answer is 999 ms low
    s.todTripMs = 40;
    s.negotiateTripMs = 10;
    ASSERT_EQ(WholeSecondOffset(s), 400 - 999);
    s.skewMs = 15;
    EXPECT_EQ(Measure(s).method, MeasurementMethod::kNegotiate);
    EXPECT_EQ(Measure(s).offset, 415);
    s.skewMs = 40;  // past the top of the second and the doubt
    EXPECT_EQ(Measure(s).method, MeasurementMethod::kTimeOfDay);
}

TEST(Refinement, NoRefinementWithoutAnOffsetAndTheBudgetKeepsTheQueryInsideItsLimit) {
    Scenario s;
    s.todTripMs = 1501;
    SimulatedClock late(s);
    EXPECT_EQ(MeasureRemoteTime(late, "\\\\SERVER").offset, kNoResponse);
    EXPECT_TRUE(late.budgets.empty());

    s.todTripMs = 5;
    SimulatedClock quick(s);
    MeasureRemoteTime(quick, "\\\\SERVER");
    ASSERT_EQ(quick.budgets.size(), 1u);
    EXPECT_EQ(quick.budgets[0], kNegotiateBudget);

    s.todTripMs = 1400;
    SimulatedClock slow(s);
    MeasureRemoteTime(slow, "\\\\SERVER");
    ASSERT_EQ(slow.budgets.size(), 1u);
    EXPECT_EQ(slow.budgets[0], kRefinedQueryLimit - 1400ms);
    EXPECT_LT(kRefinedQueryLimit, kQueryTimeoutMs);
}

}  // namespace
}  // namespace skewmon::testing
