// The measurement's arithmetic with scripted clocks, and CheckMachine's time
// limit, beep, cursor and status text with scripted queries.
#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <thread>

#include "platform/headless/headless_dialog.h"
#include "platform/linux/samba/netapi_clock.h"
#include "scan/scan_view.h"
#include "timing/remote_time.h"

namespace skewmon::testing {
namespace {

using namespace std::chrono_literals;
using platform::TimeOfDayInfo;
using Steady = std::chrono::steady_clock;

constexpr std::int64_t kTicksPerMs = 10000;
constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;

// The reply a remote machine gives when its clock reads `unixMs`.
TimeOfDayInfo ReplyAt(std::int64_t unixMs) {
    const time_t seconds = static_cast<time_t>(unixMs / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    TimeOfDayInfo reply;
    reply.elapsedt = static_cast<std::uint32_t>(seconds);
    reply.year = static_cast<std::uint32_t>(utc.tm_year + 1900);
    reply.month = static_cast<std::uint32_t>(utc.tm_mon + 1);
    reply.day = static_cast<std::uint32_t>(utc.tm_mday);
    reply.weekday = static_cast<std::uint32_t>(utc.tm_wday);
    reply.hours = static_cast<std::uint32_t>(utc.tm_hour);
    reply.mins = static_cast<std::uint32_t>(utc.tm_min);
    reply.secs = static_cast<std::uint32_t>(utc.tm_sec);
    reply.hunds = static_cast<std::uint32_t>(unixMs % 1000 / 10);
    return reply;
}

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
    clock.reply = ReplyAt(kLocalUnixMs + aheadMs + readAfterMs);
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
    leap.reply = ReplyAt(kLocalUnixMs);  // February 29th, 2024
    EXPECT_EQ(RemoteTimeWorker(leap, "\\\\X"), 0);
}

TEST(ReplyToFileTime, HundredthsAreCappedAt999Milliseconds) {
    TimeOfDayInfo reply = ReplyAt(kLocalUnixMs);
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
    TimeOfDayInfo epoch = ReplyAt(0);
    EXPECT_EQ(*ReplyToFileTime(epoch), kUnixEpochAsFileTime);
    TimeOfDayInfo first{};
    first.year = 1601;
    first.month = 1;
    first.day = 1;
    EXPECT_EQ(*ReplyToFileTime(first), 0);
    TimeOfDayInfo wrongDay = ReplyAt(kLocalUnixMs);
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

TEST(NetapiClock, ClocksReadTheSystemTime) {
    platform::NetapiClock clock;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t expected = kUnixEpochAsFileTime + std::int64_t(now.tv_sec) * 10000000 + now.tv_nsec / 100;
    EXPECT_LT(std::llabs(clock.systemTimeAsFileTime() - expected), 1000 * kTicksPerMs);
    const std::uint32_t before = clock.tickCount();
    std::this_thread::sleep_for(50ms);
    const std::uint32_t elapsed = clock.tickCount() - before;
    EXPECT_GE(elapsed, 50u);
    EXPECT_LT(elapsed, 1000u);
}

// --- CheckMachine ------------------------------------------------------

struct QueryLog {
    std::atomic<int> alive{0};
    std::atomic<bool> sawInfiniteWait{false};
    Steady::time_point destroyed;
    int cursorDepthWhileWaiting = -1;
    std::string statusWhileWaiting;
};

// A query that answers after `delay`, or never.
class ScriptedQuery final : public platform::PendingQuery {
public:
    ScriptedQuery(Offset offset, std::optional<std::chrono::milliseconds> delay, QueryLog& log,
                  platform::HeadlessDialog& dialog)
        : offset_(offset), delay_(delay), log_(log), dialog_(dialog) {
        ++log_.alive;
    }
    ~ScriptedQuery() override {
        log_.destroyed = Steady::now();
        --log_.alive;
    }
    platform::QueryWait wait(std::optional<std::chrono::milliseconds> limit,
                             const std::atomic<bool>& stop) override {
        const auto snapshot = dialog_.snapshot();
        log_.cursorDepthWhileWaiting = snapshot.waitCursorDepth;
        log_.statusWhileWaiting = snapshot.text(ctl::kResultsGroup);
        if (!limit) log_.sawInfiniteWait = true;
        const auto start = Steady::now();
        for (;;) {
            if (stop) return platform::QueryWait::kStopped;
            const auto now = Steady::now();
            if (delay_ && now - start >= *delay_) return platform::QueryWait::kFinished;
            if (limit && now - start >= *limit) return platform::QueryWait::kTimedOut;
            std::this_thread::sleep_for(1ms);
        }
    }
    Offset result() override { return offset_; }

private:
    Offset offset_;
    std::optional<std::chrono::milliseconds> delay_;
    QueryLog& log_;
    platform::HeadlessDialog& dialog_;
};

class ScriptedRunner final : public platform::TimeQueryRunner {
public:
    ScriptedRunner(QueryLog& log, platform::HeadlessDialog& dialog) : log_(log), dialog_(dialog) {}
    Offset offset = 0;
    std::optional<std::chrono::milliseconds> delay = 0ms;  // none: hangs
    bool startFails = false;
    std::vector<std::string> asked;

    std::unique_ptr<platform::PendingQuery> start(const std::string& serverName, bool) override {
        asked.push_back(serverName);
        if (startFails) return nullptr;
        return std::make_unique<ScriptedQuery>(offset, delay, log_, dialog_);
    }

private:
    QueryLog& log_;
    platform::HeadlessDialog& dialog_;
};

class NoEvents final : public platform::DialogEvents {
public:
    void onInitDialog(platform::DialogControls&) override {}
    void onCommand(platform::DialogControls&, int, int) override {}
    void onDestroy(platform::DialogControls&) override {}
};

// CheckMachine as the scan thread calls it: through the scan's view of a
// running screenless dialog.
class CheckMachineTest : public ::testing::Test {
protected:
    CheckMachineTest() {
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
    QueryLog log;
    ScriptedRunner runner{log, headless};
    std::atomic<bool> stop{false};
};

TEST_F(CheckMachineTest, ShowsTheMachineAsksForItAndReturnsItsOffset) {
    runner.offset = -4321;
    runner.delay = 20ms;
    EXPECT_EQ(check("ALPHA"), -4321);
    EXPECT_EQ(runner.asked, std::vector<std::string>{"\\\\ALPHA"});
    EXPECT_EQ(log.statusWhileWaiting, "Checking ALPHA...");
    EXPECT_EQ(log.cursorDepthWhileWaiting, 1);
    const auto s = headless.snapshot();
    EXPECT_EQ(s.text(ctl::kResultsGroup), "Checking ALPHA...");  // stays until the next machine
    EXPECT_EQ(s.waitCursorDepth, 0);
    EXPECT_TRUE(s.beeps.empty());
    EXPECT_EQ(log.alive, 0);
}

TEST_F(CheckMachineTest, OverlongNamesAreCutToTheBuffers) {
    const std::string name(400, 'N');
    check(name);
    ASSERT_EQ(runner.asked.size(), 1u);
    EXPECT_EQ(runner.asked[0].size(), 255u);
    EXPECT_EQ(runner.asked[0].substr(0, 3), "\\\\N");
    const std::string status = headless.snapshot().text(ctl::kResultsGroup);
    EXPECT_EQ(status.size(), 255u);
    EXPECT_EQ(status.substr(0, 10), "Checking N");
    EXPECT_EQ(status.substr(status.size() - 3), "...");
}

TEST_F(CheckMachineTest, HungQueryIsGivenUpAtTheLimitWithABeep) {
    runner.delay.reset();
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
    EXPECT_EQ(log.alive, 0);  // abandoned, not left running
    EXPECT_LE(log.destroyed, s.beeps[0]);
    EXPECT_EQ(s.waitCursorDepth, 0);
}

TEST_F(CheckMachineTest, AnswerJustInsideTheLimitCounts) {
    runner.offset = 7;
    runner.delay = 2800ms;
    EXPECT_EQ(check("SLOW"), 7);
    EXPECT_TRUE(headless.snapshot().beeps.empty());
}

TEST_F(CheckMachineTest, StopEndsTheWaitAtOnceWithoutABeep) {
    runner.delay.reset();
    std::thread canceller([this] {
        std::this_thread::sleep_for(100ms);
        stop = true;
    });
    const auto start = Steady::now();
    EXPECT_EQ(check("HUNG"), kNoResponse);
    EXPECT_LT(Steady::now() - start, 400ms);
    canceller.join();
    EXPECT_TRUE(headless.snapshot().beeps.empty());
    EXPECT_EQ(log.alive, 0);
    EXPECT_EQ(headless.snapshot().waitCursorDepth, 0);
}

TEST_F(CheckMachineTest, InlineModeWaitsWithoutALimit) {
    runner.offset = 12;
    runner.delay = 10ms;
    EXPECT_EQ(check("INLINE", true), 12);
    EXPECT_TRUE(log.sawInfiniteWait);
    EXPECT_TRUE(headless.snapshot().beeps.empty());
}

TEST_F(CheckMachineTest, QueryThatCannotStartGivesNoResponse) {
    runner.startFails = true;
    EXPECT_EQ(check("NOSTART"), kNoResponse);
    const auto s = headless.snapshot();
    EXPECT_TRUE(s.beeps.empty());
    EXPECT_EQ(s.waitCursorDepth, 0);
    EXPECT_EQ(s.text(ctl::kResultsGroup), "Checking NOSTART...");
}

}  // namespace
}  // namespace skewmon::testing
