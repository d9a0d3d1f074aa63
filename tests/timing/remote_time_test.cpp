// The measurement's arithmetic with scripted clocks, and CheckMachine's time
// limit, beep, cursor and status text with scripted queries.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <thread>

#include "platform/headless/headless_dialog.h"
#include "scan/scan_view.h"
#include "tests/fakes/fakes.h"
#include "timing/remote_time.h"

namespace skewmon::testing {
namespace {

using namespace std::chrono_literals;
using platform::TimeOfDayInfo;
using Steady = std::chrono::steady_clock;

constexpr std::int64_t kTicksPerMs = 10000;
constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;

std::int64_t FileTimeOfUnixMs(std::int64_t unixMs) { return kUnixEpochAsFileTime + unixMs * kTicksPerMs; }

// 2024-02-29 23:59:58 UTC: a leap day, two seconds before the month ends.
constexpr std::int64_t kLocalUnixMs = 1709251198000;

class ScriptedClock final : public platform::RemoteClock {
public:
    std::deque<std::uint32_t> ticks;
    std::int64_t local = FileTimeOfUnixMs(kLocalUnixMs);
    TimeOfDayInfo reply;
    std::uint32_t status = 0;
    std::string calls;  // t: tick, l: local clock, r: remote call
    std::string askedName;

    std::uint32_t tickCount() override {
        calls += 't';
        const std::uint32_t tick = ticks.empty() ? 0 : ticks.front();
        if (!ticks.empty()) ticks.pop_front();
        return tick;
    }
    std::int64_t systemTimeAsFileTime() override {
        calls += 'l';
        return local;
    }
    std::uint32_t remoteTimeOfDay(std::string_view serverName, TimeOfDayInfo& out) override {
        calls += 'r';
        askedName = serverName;
        out = reply;
        return status;
    }
};

// A remote clock `aheadMs` ahead, read `readAfterMs` after the local clock,
// with a round trip of `roundTripMs` starting at tick `t0`.
ScriptedClock Scenario(std::int64_t aheadMs, std::int64_t readAfterMs, std::uint32_t roundTripMs,
                       std::uint32_t t0 = 5000) {
    ScriptedClock clock;
    clock.ticks = {t0, t0 + roundTripMs};
    clock.reply = TimeOfDayReplyAt(kLocalUnixMs + aheadMs + readAfterMs);
    return clock;
}

TEST(RemoteTimeWorker, WorkedExampleAndTheOrderOfTheReadings) {
    ScriptedClock clock = Scenario(2500, 20, 40);
    EXPECT_EQ(RemoteTimeWorker(clock, "\\\\ALPHA"), 2500);
    // The round trip starts before the local reading and ends right after the
    // remote call: nothing else lies between them.
    EXPECT_EQ(clock.calls, "tlrt");
    EXPECT_EQ(clock.askedName, "\\\\ALPHA");
}

// How good the reading is travels with it: the round trip, and how finely
// the answer gives the server's clock.
TEST(MeasureRemoteTime, GivesTheRoundTripAndTheAnswersResolution) {
    ScriptedClock hundredths = Scenario(2500, 20, 40);
    const Measurement fine = MeasureRemoteTime(hundredths, "\\\\A");
    EXPECT_EQ(fine.offset, 2500);
    EXPECT_EQ(fine.roundTripMs, 40u);
    EXPECT_EQ(fine.resolutionMs, kHundredthsResolutionMs);
    ScriptedClock whole = Scenario(2000, 0, 6);
    whole.reply = TimeOfDayReplyAt(kLocalUnixMs + 2000, true);
    const Measurement coarse = MeasureRemoteTime(whole, "\\\\B");
    EXPECT_EQ(coarse.method, MeasurementMethod::kTimeOfDay);  // no negotiate clock here
    EXPECT_EQ(coarse.roundTripMs, 6u);
    EXPECT_EQ(coarse.resolutionMs, kWholeSecondResolutionMs);
    ScriptedClock failed = Scenario(0, 0, 10);
    failed.status = 53;
    const Measurement none = MeasureRemoteTime(failed, "\\\\C");
    EXPECT_EQ(none.offset, kNoResponse);
    EXPECT_EQ(none.roundTripMs, 0u);
    EXPECT_EQ(none.resolutionMs, 0u);
}

TEST(RemoteTimeWorker, ClocksBehindEqualAndAcrossAMonthEnd) {
    ScriptedClock behind = Scenario(-1000, 0, 0);
    EXPECT_EQ(RemoteTimeWorker(behind, "\\\\B"), -1000);
    ScriptedClock equal = Scenario(0, 20, 40);
    EXPECT_EQ(RemoteTimeWorker(equal, "\\\\E"), 0);
    // 2.5 s ahead of 23:59:58 on a leap day is March 1st.
    ScriptedClock nextMonth = Scenario(2500, 0, 0);
    ASSERT_EQ(nextMonth.reply.month, 3u);
    EXPECT_EQ(RemoteTimeWorker(nextMonth, "\\\\M"), 2500);
}

TEST(RemoteTimeWorker, RoundTripLimitIsInclusive) {
    ScriptedClock atLimit = Scenario(0, 750, 1500);
    EXPECT_EQ(RemoteTimeWorker(atLimit, "\\\\A"), 0);
    ScriptedClock overLimit = Scenario(0, 750, 1501);
    EXPECT_EQ(RemoteTimeWorker(overLimit, "\\\\A"), kNoResponse);
}

TEST(RemoteTimeWorker, TickWrapBetweenTheReadingsGivesTheTrueRoundTrip) {
    ScriptedClock clock = Scenario(2500, 20, 40, 0xFFFFFFF0u);
    ASSERT_LT(clock.ticks.back(), clock.ticks.front());
    EXPECT_EQ(RemoteTimeWorker(clock, "\\\\W"), 2500);
    // A wrap must not turn a long trip into a short one either.
    ScriptedClock slow = Scenario(0, 0, 1600, 0xFFFFFF00u);
    EXPECT_EQ(RemoteTimeWorker(slow, "\\\\W"), kNoResponse);
}

TEST(RemoteTimeWorker, FailedCallGivesNoResponseWithoutReadingTheClockAgain) {
    ScriptedClock clock = Scenario(2500, 20, 40);
    clock.status = 53;  // network path not found
    EXPECT_EQ(RemoteTimeWorker(clock, "\\\\GONE"), kNoResponse);
    EXPECT_EQ(clock.calls, "tlr");
}

TEST(RemoteTimeWorker, ImpossibleCalendarFieldsGiveNoResponse) {
    struct Bad {
        const char* what;
        std::uint32_t year, month, day, hours, mins;
    };
    const Bad cases[] = {
        {"month 0", 2023, 0, 10, 12, 0},     {"month 13", 2023, 13, 10, 12, 0},
        {"day 0", 2023, 5, 0, 12, 0},        {"day 32", 2023, 1, 32, 12, 0},
        {"April 31st", 2023, 4, 31, 12, 0},  {"February 29th, 2023", 2023, 2, 29, 12, 0},
        {"February 29th, 1900", 1900, 2, 29, 12, 0}, {"hour 24", 2023, 5, 10, 24, 0},
        {"minute 60", 2023, 5, 10, 12, 60},  {"year 0", 0, 5, 10, 12, 0},
    };
    for (const Bad& bad : cases) {
        ScriptedClock clock = Scenario(0, 0, 10);
        clock.reply.year = bad.year;
        clock.reply.month = bad.month;
        clock.reply.day = bad.day;
        clock.reply.hours = bad.hours;
        clock.reply.mins = bad.mins;
        EXPECT_EQ(RemoteTimeWorker(clock, "\\\\X"), kNoResponse) << bad.what;
    }
    // The valid neighbours of those cases do measure.
    ScriptedClock leap = Scenario(0, 0, 0);
    leap.reply = TimeOfDayReplyAt(kLocalUnixMs);  // February 29th, 2024
    EXPECT_EQ(RemoteTimeWorker(leap, "\\\\X"), 0);
}

TEST(ReplyToFileTime, HundredthsAreCappedAt999Milliseconds) {
    TimeOfDayInfo reply = TimeOfDayReplyAt(kLocalUnixMs);
    reply.hunds = 0;
    const std::int64_t whole = *ReplyToFileTime(reply);
    EXPECT_EQ(whole, FileTimeOfUnixMs(kLocalUnixMs));
    reply.hunds = 99;
    EXPECT_EQ(*ReplyToFileTime(reply) - whole, 990 * kTicksPerMs);
    reply.hunds = 100;
    EXPECT_EQ(*ReplyToFileTime(reply) - whole, 999 * kTicksPerMs);
    reply.hunds = 4000000000u;  // must not overflow into another second
    EXPECT_EQ(*ReplyToFileTime(reply) - whole, 999 * kTicksPerMs);
}

TEST(ReplyToFileTime, KnownMomentsAndTheIgnoredWeekday) {
    TimeOfDayInfo epoch = TimeOfDayReplyAt(0);
    EXPECT_EQ(*ReplyToFileTime(epoch), kUnixEpochAsFileTime);
    TimeOfDayInfo first{};
    first.year = 1601;
    first.month = 1;
    first.day = 1;
    EXPECT_EQ(*ReplyToFileTime(first), 0);
    TimeOfDayInfo wrongDay = TimeOfDayReplyAt(kLocalUnixMs);
    wrongDay.weekday = 6;
    EXPECT_EQ(*ReplyToFileTime(wrongDay), FileTimeOfUnixMs(kLocalUnixMs));
}

TEST(OffsetFromReadings, TruncatesTowardZeroAfterTheCorrection) {
    const std::int64_t local = FileTimeOfUnixMs(kLocalUnixMs);
    // 1.5 ms either way after half of a 10 ms trip.
    EXPECT_EQ(OffsetFromReadings(local + 5 * kTicksPerMs - 15000, local, 10), -1);
    EXPECT_EQ(OffsetFromReadings(local + 5 * kTicksPerMs + 15000, local, 10), 1);
    // An odd trip's half is rounded down before it is taken off.
    EXPECT_EQ(OffsetFromReadings(local + 20 * kTicksPerMs, local, 41), 0);
}

// --- CheckMachine ------------------------------------------------------

// CheckMachine as the scan thread calls it: through the scan's view of a
// running screenless dialog, whose state each query notes as it starts to
// wait.
class CheckMachineTest : public ::testing::Test {
protected:
    CheckMachineTest() {
        runner.onWait([this](std::optional<std::chrono::milliseconds> limit) {
            const platform::HeadlessSnapshot s = headless.snapshot();
            cursorDepthWhileWaiting = s.waitCursorDepth;
            statusWhileWaiting = s.text(ctl::kResultsGroup);
            if (!limit) sawInfiniteWait = true;
        });
        headless.start(events);
        headless.waitUntil([](const platform::HeadlessSnapshot& s) { return s.initialised; }, 10s);
    }
    ~CheckMachineTest() override {
        headless.runOnDialogThread([this] { headless.endDialog(0); });
        headless.waitForEnd();
    }

    Offset check(std::string_view name, bool inlineMode = false) {
        QueryContext context{scanView, runner, inlineMode, stop};
        return CheckMachine(context, name);
    }

    NoEvents events;
    platform::HeadlessDialog headless;
    std::shared_ptr<ScanSession> session = std::make_shared<ScanSession>();
    ScanDialog scanView{headless, session};
    ScriptedRunner runner;
    std::atomic<bool> stop{false};
    std::atomic<bool> sawInfiniteWait{false};
    int cursorDepthWhileWaiting = -1;
    std::string statusWhileWaiting;
};

TEST_F(CheckMachineTest, ShowsTheMachineAsksForItAndReturnsItsOffset) {
    runner.set("ALPHA", {-4321, 20ms});
    EXPECT_EQ(check("ALPHA"), -4321);
    EXPECT_EQ(runner.asked(), std::vector<std::string>{"\\\\ALPHA"});
    EXPECT_EQ(statusWhileWaiting, "Checking ALPHA...");
    EXPECT_EQ(cursorDepthWhileWaiting, 1);
    const auto s = headless.snapshot();
    EXPECT_EQ(s.text(ctl::kResultsGroup), "Checking ALPHA...");  // stays until the next machine
    EXPECT_EQ(s.waitCursorDepth, 0);
    EXPECT_TRUE(s.beeps.empty());
    EXPECT_EQ(runner.queriesAlive(), 0);
}

TEST_F(CheckMachineTest, OverlongNamesAreCutToTheBuffers) {
    const std::string name(400, 'N');
    check(name);
    const std::vector<std::string> asked = runner.asked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].size(), 255u);
    EXPECT_EQ(asked[0].substr(0, 3), "\\\\N");
    const std::string status = headless.snapshot().text(ctl::kResultsGroup);
    EXPECT_EQ(status.size(), 255u);
    EXPECT_EQ(status.substr(0, 10), "Checking N");
    EXPECT_EQ(status.substr(status.size() - 3), "...");
}

TEST_F(CheckMachineTest, HungQueryIsGivenUpAtTheLimitWithABeep) {
    runner.set("HUNG", {0, 0ms, true});
    const auto start = Steady::now();
    EXPECT_EQ(check("HUNG"), kNoResponse);
    const auto took = Steady::now() - start;
    const auto s = headless.snapshot();
    ASSERT_EQ(s.beeps.size(), 1u);
    const auto beepAt = s.beeps[0] - start;
    EXPECT_GE(beepAt, 3000ms);
    EXPECT_LT(beepAt, 3300ms);
    EXPECT_GE(took, beepAt + 200ms);  // the caller waits for the sound
    EXPECT_LT(took, beepAt + 400ms);
    EXPECT_EQ(runner.queriesAlive(), 0);  // abandoned, not left running
    EXPECT_LE(runner.lastEnded(), s.beeps[0]);
    EXPECT_EQ(s.waitCursorDepth, 0);
}

TEST_F(CheckMachineTest, AnswerJustInsideTheLimitCounts) {
    runner.set("SLOW", {7, 2800ms});
    EXPECT_EQ(check("SLOW"), 7);
    EXPECT_TRUE(headless.snapshot().beeps.empty());
}

TEST_F(CheckMachineTest, StopEndsTheWaitAtOnceWithoutABeep) {
    runner.set("HUNG", {0, 0ms, true});
    std::thread canceller([this] {
        std::this_thread::sleep_for(100ms);
        stop = true;
    });
    const auto start = Steady::now();
    EXPECT_EQ(check("HUNG"), kNoResponse);
    EXPECT_LT(Steady::now() - start, 400ms);
    canceller.join();
    EXPECT_TRUE(headless.snapshot().beeps.empty());
    EXPECT_EQ(runner.queriesAlive(), 0);
    EXPECT_EQ(headless.snapshot().waitCursorDepth, 0);
}

TEST_F(CheckMachineTest, InlineModeWaitsWithoutALimit) {
    runner.set("INLINE", {12, 10ms});
    EXPECT_EQ(check("INLINE", true), 12);
    EXPECT_TRUE(sawInfiniteWait);
    EXPECT_TRUE(headless.snapshot().beeps.empty());
}

TEST_F(CheckMachineTest, QueryThatCannotStartGivesNoResponse) {
    runner.set("NOSTART", {.cannotStart = true});
    EXPECT_EQ(check("NOSTART"), kNoResponse);
    const auto s = headless.snapshot();
    EXPECT_TRUE(s.beeps.empty());
    EXPECT_EQ(s.waitCursorDepth, 0);
    EXPECT_EQ(s.text(ctl::kResultsGroup), "Checking NOSTART...");
}

}  // namespace
}  // namespace skewmon::testing
