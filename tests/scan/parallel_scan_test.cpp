// Asking several machines at once: order, width, time limits and stopping,
// with queries that answer or hang on a schedule.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "scan/parallel_scan.h"

namespace skewmon {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Script {
    Offset offset = 0;
    std::chrono::milliseconds delay{0};
    bool hangs = false;
    MeasurementMethod method = MeasurementMethod::kTimeOfDay;
    std::chrono::milliseconds sluggish{0};  // every wait takes at least this long
};

// Counts the queries alive; the walk runs them all from one thread.
struct Census {
    int alive = 0;
    int peak = 0;
    std::vector<std::string> started;
};

class TimedQuery final : public platform::PendingQuery {
public:
    TimedQuery(const Script& script, Census& census)
        : script_(script), ready_(Clock::now() + script.delay), census_(census) {
        census_.peak = std::max(census_.peak, ++census_.alive);
    }
    ~TimedQuery() override { --census_.alive; }

    platform::QueryWait wait(std::optional<std::chrono::milliseconds> limit,
                             const std::atomic<bool>& stop) override {
        const Clock::time_point until = limit ? Clock::now() + *limit : Clock::time_point::max();
        std::this_thread::sleep_for(script_.sluggish);
        for (;;) {
            if (stop) return platform::QueryWait::kStopped;
            const Clock::time_point now = Clock::now();
            if (!script_.hangs && now >= ready_) return platform::QueryWait::kFinished;
            if (now >= until) return platform::QueryWait::kTimedOut;
            std::this_thread::sleep_for(std::min<Clock::duration>(1ms, until - now));
        }
    }
    Offset result() override { return script_.offset; }
    MeasurementMethod method() override { return script_.method; }

private:
    Script script_;
    Clock::time_point ready_;
    Census& census_;
};

class TimedRunner final : public platform::TimeQueryRunner {
public:
    std::map<std::string, Script> scripts;  // by server name; others hang
    std::set<std::string> cannotStart;
    Census census;

    std::unique_ptr<platform::PendingQuery> start(const std::string& serverName, bool) override {
        census.started.push_back(serverName);
        if (cannotStart.count(serverName)) return nullptr;
        const auto it = scripts.find(serverName);
        return std::make_unique<TimedQuery>(it == scripts.end() ? Script{0, 0ms, true} : it->second, census);
    }
};

struct Finish {
    std::size_t index;
    Offset offset;
};

class ParallelWalk : public ::testing::Test {
protected:
    std::vector<Measurement> measure(const std::vector<std::string>& servers, int parallel,
                                     std::optional<std::chrono::milliseconds> limit) {
        const Clock::time_point began = Clock::now();
        std::vector<Measurement> results = MeasureServers(
            runner, servers, parallel, false, limit, stop,
            [&](std::size_t index, const Measurement& m) { finishes.push_back({index, m.offset}); });
        elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
        return results;
    }

    TimedRunner runner;
    std::atomic<bool> stop{false};
    std::vector<Finish> finishes;
    std::chrono::milliseconds elapsed{0};
};

TEST_F(ParallelWalk, ResultsKeepTheListOrderWhileFinishesComeAsTheyHappen) {
    std::vector<std::string> servers;
    for (int i = 0; i < 5; ++i) {
        servers.push_back("\\\\M" + std::to_string(i));
        // The first in the list answers last.
        runner.scripts[servers.back()] = {100 * (i + 1), std::chrono::milliseconds(150 - 30 * i)};
    }
    runner.scripts[servers[2]].method = MeasurementMethod::kNegotiate;
    const std::vector<Measurement> results = measure(servers, 5, 3000ms);

    ASSERT_EQ(results.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(results[i].offset, 100 * static_cast<Offset>(i + 1));
    EXPECT_EQ(results[2].method, MeasurementMethod::kNegotiate);
    EXPECT_EQ(results[1].method, MeasurementMethod::kTimeOfDay);
    ASSERT_EQ(finishes.size(), 5u);
    for (std::size_t k = 0; k < 5; ++k) EXPECT_EQ(finishes[k].index, 4 - k);
    EXPECT_LT(elapsed, 400ms);  // together, not one after another (450 ms)
    EXPECT_EQ(runner.census.alive, 0);
}

TEST_F(ParallelWalk, NeverMoreUnderWayThanAllowedAndEachHasItsOwnLimit) {
    std::vector<std::string> servers;
    for (int i = 0; i < 10; ++i) servers.push_back("\\\\HUNG" + std::to_string(i));
    servers.push_back("\\\\QUICK");
    runner.scripts["\\\\QUICK"] = {7, 0ms};
    const std::vector<Measurement> results = measure(servers, 4, 100ms);

    EXPECT_EQ(runner.census.peak, 4);
    EXPECT_EQ(runner.census.alive, 0);
    EXPECT_EQ(runner.census.started, servers);  // in list order, each once
    for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(results[i].offset, kNoResponse) << i;
    EXPECT_EQ(results[10].offset, 7);
    // Three waves of hung queries at 100 ms each: neither one long wait for
    // all (the limit is per query) nor ten in a row.
    EXPECT_GE(elapsed, 290ms);
    EXPECT_LT(elapsed, 700ms);
}

TEST_F(ParallelWalk, AnAnswerIsNotHeldUpByTheHungQueriesBesideIt) {
    const std::vector<std::string> servers = {"\\\\H1", "\\\\H2", "\\\\H3", "\\\\FAST"};
    runner.scripts["\\\\FAST"] = {-5, 20ms};
    Clock::time_point fastSeen{};
    const Clock::time_point began = Clock::now();
    MeasureServers(runner, servers, 4, false, 400ms, stop, [&](std::size_t index, const Measurement&) {
        if (index == 3) fastSeen = Clock::now();
    });
    EXPECT_LT(fastSeen - began, 150ms);
}

TEST_F(ParallelWalk, AnAnswerInTimeCountsEvenWhenTheWalkLooksLate) {
    // The first query's waits overrun, so the walk comes to the second only
    // after its time is up; its answer had come long before.
    const std::vector<std::string> servers = {"\\\\SLOW", "\\\\QUICK"};
    runner.scripts["\\\\SLOW"] = {0, 0ms, true, MeasurementMethod::kTimeOfDay, 150ms};
    runner.scripts["\\\\QUICK"] = {42, 10ms};
    const std::vector<Measurement> results = measure(servers, 2, 100ms);
    EXPECT_EQ(results[0].offset, kNoResponse);
    EXPECT_EQ(results[1].offset, 42);
}

TEST_F(ParallelWalk, AStopAbandonsEveryQueryAtOnceAndStartsNoOther) {
    std::vector<std::string> servers;
    for (int i = 0; i < 20; ++i) servers.push_back("\\\\HUNG" + std::to_string(i));
    std::thread stopper([&] {
        std::this_thread::sleep_for(80ms);
        stop = true;
    });
    const std::vector<Measurement> results = measure(servers, 8, std::nullopt);  // no limit at all
    stopper.join();

    EXPECT_LT(elapsed, 300ms);
    EXPECT_EQ(runner.census.alive, 0);
    EXPECT_EQ(runner.census.started.size(), 8u);
    EXPECT_TRUE(finishes.empty());
    for (const Measurement& m : results) EXPECT_EQ(m.offset, kNoResponse);
}

TEST_F(ParallelWalk, AQueryThatCannotStartHasNoAnswerAndTheWalkGoesOn) {
    const std::vector<std::string> servers = {"\\\\A", "\\\\B", "\\\\C"};
    runner.scripts["\\\\A"] = {1, 0ms};
    runner.scripts["\\\\C"] = {3, 0ms};
    runner.cannotStart.insert("\\\\B");
    const std::vector<Measurement> results = measure(servers, 1, 1000ms);
    EXPECT_EQ(results[0].offset, 1);
    EXPECT_EQ(results[1].offset, kNoResponse);
    EXPECT_EQ(results[2].offset, 3);
    EXPECT_EQ(finishes.size(), 3u);
}

TEST_F(ParallelWalk, AWidthBelowOneAsksOneAtATime) {
    const std::vector<std::string> servers = {"\\\\A", "\\\\B", "\\\\C"};
    for (const std::string& s : servers) runner.scripts[s] = {0, 10ms};
    measure(servers, 0, 1000ms);
    EXPECT_EQ(runner.census.peak, 1);
    EXPECT_EQ(finishes.size(), 3u);
}

TEST_F(ParallelWalk, NothingToAskReturnsAtOnce) {
    EXPECT_TRUE(measure({}, 8, 3000ms).empty());
    EXPECT_TRUE(runner.census.started.empty());
}

}  // namespace
}  // namespace skewmon
