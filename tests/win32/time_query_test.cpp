#include "platform/win32/time_query_win32.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <thread>

#include "platform/win32/win32_util.h"

namespace skewmon::platform::win32 {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// 2024-05-01 12:00:00 UTC as a file time.
constexpr std::int64_t kLocalNow = 133590096000000000;

bool UnderWine() {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// A remote clock scripted per server: how long the call takes, how far the
// remote clock is ahead, whether the call faults or hangs until released.
// The tick count advances by 40 ms over each call, so offsets are exact.
class ScriptedClock final : public RemoteClock {
public:
    struct Machine {
        std::chrono::milliseconds delay{0};
        Offset ahead = 0;
        bool fault = false;
        bool hang = false;
    };

    explicit ScriptedClock(std::map<std::string, Machine> machines)
        : machines_(std::move(machines)), release_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

    void release() { SetEvent(release_.get()); }
    DWORD lastCaller() const { return lastCaller_; }

    std::uint32_t tickCount() override {
        thread_local std::uint32_t ticks = 1000;
        const std::uint32_t now = ticks;
        ticks += 40;
        return now;
    }
    std::int64_t systemTimeAsFileTime() override { return kLocalNow; }

    std::uint32_t remoteTimeOfDay(std::string_view serverName, TimeOfDayInfo& reply) override {
        lastCaller_ = GetCurrentThreadId();
        const auto found = machines_.find(std::string(serverName));
        if (found == machines_.end()) return ERROR_BAD_NETPATH;
        const Machine& machine = found->second;
        if (machine.hang) WaitForSingleObject(release_.get(), 5000);
        if (machine.delay.count() > 0) Sleep(static_cast<DWORD>(machine.delay.count()));
        if (machine.fault) {
            // An address in the never-mapped first page; volatile, so the store stays.
            volatile std::uintptr_t address = 16;
            *reinterpret_cast<volatile int*>(address) = 1;
        }
        // The remote reads its clock halfway through the 40 ms round trip.
        const std::int64_t remote = kLocalNow + (machine.ahead + 20) * 10000;
        FILETIME asFileTime{static_cast<DWORD>(remote), static_cast<DWORD>(remote >> 32)};
        SYSTEMTIME calendar;
        FileTimeToSystemTime(&asFileTime, &calendar);
        reply = {};
        reply.year = calendar.wYear;
        reply.month = calendar.wMonth;
        reply.day = calendar.wDay;
        reply.hours = calendar.wHour;
        reply.mins = calendar.wMinute;
        reply.secs = calendar.wSecond;
        reply.hunds = calendar.wMilliseconds / 10;
        return 0;
    }

private:
    std::map<std::string, Machine> machines_;
    UniqueHandle release_;
    std::atomic<DWORD> lastCaller_{0};
};

struct Fixture : ::testing::Test {
    std::shared_ptr<ScriptedClock> clock = std::make_shared<ScriptedClock>(std::map<std::string, ScriptedClock::Machine>{
        {"\\\\AHEAD", {0ms, 2500}},
        {"\\\\BEHIND", {0ms, -1000}},
        {"\\\\SLOW", {400ms, 9000}},
        {"\\\\FAULTY", {0ms, 0, true}},
        {"\\\\HANGS", {0ms, 0, false, true}},
    });
    ThreadQueryRunner runner{clock};
    std::atomic<bool> noStop{false};

    ~Fixture() override { clock->release(); }
};

using ThreadQueryRunnerTest = Fixture;

TEST_F(ThreadQueryRunnerTest, AnAnswerWithinTheLimitGivesTheMeasuredOffset) {
    for (const auto& [server, expected] : {std::pair{"\\\\AHEAD", Offset{2500}}, std::pair{"\\\\BEHIND", Offset{-1000}}}) {
        auto query = runner.start(server, false);
        ASSERT_TRUE(query);
        EXPECT_EQ(query->wait(3000ms, noStop), QueryWait::kFinished) << server;
        EXPECT_EQ(query->result(), expected) << server;
    }
    EXPECT_NE(clock->lastCaller(), GetCurrentThreadId());  // measured on a worker
}

TEST_F(ThreadQueryRunnerTest, InlineModeWaitsWithoutLimitButAStopEndsTheWait) {
    auto query = runner.start("\\\\SLOW", true);
    ASSERT_TRUE(query);
    EXPECT_EQ(query->wait(std::nullopt, noStop), QueryWait::kFinished);  // 400 ms, no limit
    EXPECT_EQ(query->result(), 9000);
    EXPECT_NE(clock->lastCaller(), GetCurrentThreadId());

    // A call that does not return: starting it does not wait for it, and a
    // stop ends the wait at once.
    const auto started = Clock::now();
    auto hung = runner.start("\\\\HANGS", true);
    ASSERT_TRUE(hung);
    EXPECT_LT(Clock::now() - started, 200ms);
    std::atomic<bool> stop{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(50ms);
        stop = true;
    });
    EXPECT_EQ(hung->wait(std::nullopt, stop), QueryWait::kStopped);
    EXPECT_LT(Clock::now() - started, 500ms);
    canceller.join();
    EXPECT_EQ(hung->result(), kNoResponse);
}

TEST_F(ThreadQueryRunnerTest, AFaultInsideTheCallGivesNoResponseInEitherMode) {
    for (const bool inlineMode : {false, true}) {
        auto query = runner.start("\\\\FAULTY", inlineMode);
        ASSERT_TRUE(query);
        EXPECT_EQ(query->wait(3000ms, noStop), QueryWait::kFinished);
        EXPECT_EQ(query->result(), kNoResponse);
    }
    // The process and the runner are unharmed.
    auto query = runner.start("\\\\AHEAD", false);
    ASSERT_EQ(query->wait(3000ms, noStop), QueryWait::kFinished);
    EXPECT_EQ(query->result(), 2500);
}

TEST_F(ThreadQueryRunnerTest, AnUnknownMachineGivesNoResponse) {
    auto query = runner.start("\\\\NOBODY", false);
    ASSERT_EQ(query->wait(3000ms, noStop), QueryWait::kFinished);
    EXPECT_EQ(query->result(), kNoResponse);
}

TEST_F(ThreadQueryRunnerTest, ALateAnswerTimesOutAndNeverReachesALaterQuery) {
    auto slow = runner.start("\\\\SLOW", false);
    const auto started = Clock::now();
    EXPECT_EQ(slow->wait(100ms, noStop), QueryWait::kTimedOut);
    const auto waited = Clock::now() - started;
    EXPECT_GE(waited, 100ms);
    EXPECT_LT(waited, 300ms);
    slow.reset();  // abandoned, not waited for

    auto next = runner.start("\\\\AHEAD", false);
    ASSERT_EQ(next->wait(3000ms, noStop), QueryWait::kFinished);
    std::this_thread::sleep_for(500ms);  // the abandoned worker has answered by now
    EXPECT_EQ(next->result(), 2500);
}

TEST_F(ThreadQueryRunnerTest, AStopRequestEndsTheWaitPromptly) {
    auto query = runner.start("\\\\HANGS", false);
    std::atomic<bool> stop{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(50ms);
        stop = true;
    });
    const auto started = Clock::now();
    EXPECT_EQ(query->wait(std::nullopt, stop), QueryWait::kStopped);
    EXPECT_LT(Clock::now() - started, 500ms);
    canceller.join();
    EXPECT_EQ(query->result(), kNoResponse);
}

TEST(NetRemoteTodClock, AMachineWithoutTimeServiceGivesNoResponse) {
    // Under Wine the call is an unimplemented stub that traps: the trap must
    // come back as no answer, not end the process.
    ThreadQueryRunner runner(std::make_shared<NetRemoteTodClock>());
    std::atomic<bool> noStop{false};
    auto query = runner.start("\\\\127.0.0.2", false);
    ASSERT_TRUE(query);
    const QueryWait outcome = query->wait(3000ms, noStop);
    if (UnderWine()) {
        EXPECT_EQ(outcome, QueryWait::kFinished);
    }
    if (outcome == QueryWait::kFinished) {
        EXPECT_EQ(query->result(), kNoResponse);
    }

    if (UnderWine()) {  // elsewhere an inline call may take the network's own time-outs
        auto inlineQuery = runner.start("\\\\127.0.0.2", true);
        EXPECT_EQ(inlineQuery->wait(std::nullopt, noStop), QueryWait::kFinished);
        EXPECT_EQ(inlineQuery->result(), kNoResponse);
    }
}

// A call that never returns, for the child process below.
class EndlessClock final : public RemoteClock {
public:
    std::uint32_t tickCount() override { return GetTickCount(); }
    std::int64_t systemTimeAsFileTime() override { return kLocalNow; }
    std::uint32_t remoteTimeOfDay(std::string_view, TimeOfDayInfo&) override {
        Sleep(INFINITE);
        return 0;
    }
};

constexpr char kExitChildVariable[] = "SKEWMON_EXIT_CHILD_EVENT";

// Run only as the child of the test below: a cancelled inline query still
// inside its call, then the end of the program, as after the window closed.
TEST(ProcessExit, ChildWithAQueryThatNeverReturns) {
    char eventName[128] = {};
    if (GetEnvironmentVariableA(kExitChildVariable, eventName, sizeof eventName) == 0)
        GTEST_SKIP() << "runs as the child of ProcessExit.EndsWithinASecondWhateverAQueryDoes";
    ThreadQueryRunner runner(std::make_shared<EndlessClock>());
    auto query = runner.start("\\\\ANY", true);
    ASSERT_TRUE(query);
    std::atomic<bool> stop{true};  // the window's Cancel
    EXPECT_EQ(query->wait(std::nullopt, stop), QueryWait::kStopped);
    query.reset();
    UniqueHandle ending(OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName));
    if (ending) SetEvent(ending.get());
}

TEST(ProcessExit, EndsWithinASecondWhateverAQueryDoes) {
    char self[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    const std::string eventName = "skewmon-exit-test-" + std::to_string(GetCurrentProcessId());
    UniqueHandle ending(CreateEventA(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(ending);
    SetEnvironmentVariableA(kExitChildVariable, eventName.c_str());
    std::string commandLine = std::string("\"") + self + "\" --gtest_filter=ProcessExit.ChildWithAQueryThatNeverReturns";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    const BOOL created = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                        &startup, &child);
    SetEnvironmentVariableA(kExitChildVariable, nullptr);
    ASSERT_TRUE(created);
    UniqueHandle process(child.hProcess);
    UniqueHandle thread(child.hThread);

    // Starting a process under Wine can take a while; what counts is the time
    // from the end of the program's work to the end of the process.
    const HANDLE either[] = {ending.get(), process.get()};
    const DWORD first = WaitForMultipleObjects(2, either, FALSE, 30000);
    ASSERT_EQ(first, WAIT_OBJECT_0) << "the child never came to its end";
    const auto signalled = Clock::now();
    const DWORD ended = WaitForSingleObject(process.get(), 5000);
    if (ended != WAIT_OBJECT_0) TerminateProcess(process.get(), 1);
    ASSERT_EQ(ended, WAIT_OBJECT_0);
    EXPECT_LT(Clock::now() - signalled, 1000ms);
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace skewmon::platform::win32
