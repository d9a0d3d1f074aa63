// Asking several machines at once: order, width, time limits and stopping,
// with queries that answer or hang on a schedule.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <span>
#include <thread>

#include "scan/parallel_scan.h"
#include "timing/remote_time.h"

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
    // How long the query waits for its helper before its request goes out;
    // `delay` counts from its start all the same.
    std::chrono::milliseconds helperStart{0};
    std::uint32_t resolutionMs = 0;
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
    Measurement measurement() override { return {script_.offset, script_.method, 4, script_.resolutionMs}; }
    std::optional<Clock::time_point> requestSent() override {
        if (Clock::now() < sent_) return std::nullopt;
        return sent_;
    }

private:
    Script script_;
    Clock::time_point ready_;
    Clock::time_point sent_ = Clock::now() + script_.helperStart;
    Census& census_;
};

// Settles each machine's connection check after its own delay; machines
// without an entry are reachable at once.
class TimedReachability final : public platform::ReachabilityCheck {
public:
    struct Verdict {
        bool reachable;
        std::chrono::milliseconds after;
        std::optional<platform::NegotiateReading> negotiate;
    };
    TimedReachability(const std::map<std::string, Verdict>& verdicts, std::size_t capacity, int& peakChecks,
                      int& checked)
        : verdicts_(verdicts), capacity_(capacity), peakChecks_(peakChecks), checked_(checked) {}

    std::size_t room() const override { return capacity_ - underway_.size(); }
    void check(std::size_t tag, std::string_view serverName, std::chrono::milliseconds limit) override {
        const auto it = verdicts_.find(std::string(serverName));
        const Verdict verdict = it == verdicts_.end() ? Verdict{true, 0ms, std::nullopt} : it->second;
        underway_.push_back({tag, verdict.reachable, Clock::now() + std::min(verdict.after, limit), verdict.negotiate});
        ++checked_;
        peakChecks_ = std::max(peakChecks_, static_cast<int>(underway_.size()));
    }
    std::vector<Settled> settle(std::chrono::milliseconds wait, std::span<platform::PendingQuery* const>) override {
        std::this_thread::sleep_for(std::min(wait, 2ms));
        std::vector<Settled> settled;
        for (auto it = underway_.begin(); it != underway_.end();) {
            if (Clock::now() < it->due) {
                ++it;
                continue;
            }
            settled.push_back({it->tag, it->reachable, it->negotiate});
            it = underway_.erase(it);
        }
        return settled;
    }

private:
    struct Underway {
        std::size_t tag;
        bool reachable;
        Clock::time_point due;
        std::optional<platform::NegotiateReading> negotiate;
    };
    const std::map<std::string, Verdict>& verdicts_;
    const std::size_t capacity_;
    int& peakChecks_;
    int& checked_;
    std::vector<Underway> underway_;
};

class TimedRunner final : public platform::TimeQueryRunner {
public:
    std::map<std::string, Script> scripts;  // by server name; others hang
    std::set<std::string> cannotStart;
    Census census;
    // With verdicts, machines are checked for a connection first.
    std::optional<std::map<std::string, TimedReachability::Verdict>> verdicts;
    std::size_t checkCapacity = 1000;
    int peakChecks = 0;
    int checked = 0;
    int peakAhead = 0;  // machines checked and not yet asked, at most
    std::set<std::string> unrefined;  // started for the walk to refine

    std::unique_ptr<platform::ReachabilityCheck> checkReachability() override {
        if (!verdicts) return nullptr;
        return std::make_unique<TimedReachability>(*verdicts, checkCapacity, peakChecks, checked);
    }

    std::unique_ptr<platform::PendingQuery> startUnrefined(const std::string& serverName, bool inlineMode) override {
        unrefined.insert(serverName);
        return start(serverName, inlineMode);
    }

    std::unique_ptr<platform::PendingQuery> start(const std::string& serverName, bool) override {
        census.started.push_back(serverName);
        peakAhead = std::max(peakAhead, checked - static_cast<int>(census.started.size()));
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

namespace skewmon {
namespace {

TEST_F(ParallelWalk, MachinesThatTakeNoConnectionAreSilentWithoutEverTakingAQuery) {
    runner.verdicts.emplace();
    std::vector<std::string> servers;
    for (int i = 0; i < 30; ++i) {
        servers.push_back("\\\\DROPPED" + std::to_string(i));
        (*runner.verdicts)[servers.back()] = {false, 150ms, std::nullopt};  // takes the whole limit
        servers.push_back("\\\\REFUSED" + std::to_string(i));
        (*runner.verdicts)[servers.back()] = {false, 0ms, std::nullopt};
    }
    servers.push_back("\\\\UP");
    runner.scripts["\\\\UP"] = {9, 5ms};
    const std::vector<Measurement> results = measure(servers, 2, 150ms);

    EXPECT_EQ(runner.census.started, std::vector<std::string>{"\\\\UP"});
    EXPECT_EQ(results.back().offset, 9);
    for (std::size_t i = 0; i + 1 < servers.size(); ++i) EXPECT_EQ(results[i].offset, kNoResponse) << i;
    EXPECT_EQ(finishes.size(), servers.size());
    // Checked together: one limit, not 30 of them two at a time.
    EXPECT_LT(elapsed, 600ms);
}

TEST_F(ParallelWalk, ChecksRunFarWiderThanQueriesAndTheWidthStillHolds) {
    runner.verdicts.emplace();
    runner.checkCapacity = 50;
    std::vector<std::string> servers;
    for (int i = 0; i < 120; ++i) {
        servers.push_back("\\\\M" + std::to_string(i));
        if (i % 3 == 0)
            runner.scripts[servers.back()] = {i, 1ms};
        else
            (*runner.verdicts)[servers.back()] = {false, 40ms, std::nullopt};
    }
    const std::vector<Measurement> results = measure(servers, 4, 1000ms);
    EXPECT_EQ(runner.peakChecks, 50);
    EXPECT_LE(runner.census.peak, 4);
    EXPECT_EQ(runner.census.started.size(), 40u);
    for (std::size_t i = 0; i < servers.size(); ++i)
        EXPECT_EQ(results[i].offset, i % 3 == 0 ? static_cast<Offset>(i) : kNoResponse) << i;
}

TEST_F(ParallelWalk, AMachinesTimeStartsWhenItsRequestCanGoOut) {
    // Both queries wait 250 ms for their helpers; one then answers 50 ms
    // after its request left, well inside its 150 ms, the other 200 ms after.
    const std::vector<std::string> servers = {"\\\\INTIME", "\\\\LATE"};
    runner.scripts["\\\\INTIME"] = {11, 300ms, false, MeasurementMethod::kTimeOfDay, 0ms, 250ms};
    runner.scripts["\\\\LATE"] = {12, 450ms, false, MeasurementMethod::kTimeOfDay, 0ms, 250ms};
    const std::vector<Measurement> results = measure(servers, 2, 150ms);
    EXPECT_EQ(results[0].offset, 11);
    EXPECT_EQ(results[1].offset, kNoResponse);
}

// A negotiate reading of `offsetMs` taken `age` ago, over a round trip of 2 ms.
platform::NegotiateReading ReadingOf(Offset offsetMs, std::chrono::milliseconds age) {
    constexpr std::int64_t kLocal = 134000000000000000LL;  // a day in 2025, as file time
    return {kLocal + offsetMs * 10000 + 10000, kLocal, 2, Clock::now() - age};
}

TEST_F(ParallelWalk, AFreshReadingOfTheCheckRefinesAWholeSecondAnswerWithoutAConnectionOfItsOwn) {
    runner.verdicts.emplace();
    const std::vector<std::string> servers = {"\\\\WHOLE", "\\\\HUNDREDTHS", "\\\\STALE", "\\\\OTHERSECOND",
                                              "\\\\NOREADING"};
    for (const std::string& server : servers) runner.scripts[server] = {2000, 2ms};
    for (const char* whole : {"\\\\WHOLE", "\\\\STALE", "\\\\OTHERSECOND", "\\\\NOREADING"})
        runner.scripts[whole].resolutionMs = kWholeSecondResolutionMs;
    runner.scripts["\\\\HUNDREDTHS"] = {2410, 2ms};
    runner.scripts["\\\\HUNDREDTHS"].resolutionMs = kHundredthsResolutionMs;
    (*runner.verdicts)["\\\\WHOLE"] = {true, 0ms, ReadingOf(2437, 1s)};
    (*runner.verdicts)["\\\\HUNDREDTHS"] = {true, 0ms, ReadingOf(2437, 1s)};
    (*runner.verdicts)["\\\\STALE"] = {true, 0ms, ReadingOf(2437, kNegotiateReadingFresh + 1s)};
    (*runner.verdicts)["\\\\OTHERSECOND"] = {true, 0ms, ReadingOf(5437, 1s)};
    const std::vector<Measurement> results = measure(servers, 2, 1000ms);

    EXPECT_EQ(results[0].offset, 2437);
    EXPECT_EQ(results[0].method, MeasurementMethod::kNegotiate);
    EXPECT_EQ(results[0].resolutionMs, kNegotiateResolutionMs);
    EXPECT_EQ(results[0].roundTripMs, 2u);
    EXPECT_EQ(results[1].offset, 2410);  // hundredths need no refining
    // A stale reading is dropped: that query refines for itself.
    EXPECT_EQ(results[2].offset, 2000);
    // A reading the whole second does not allow is no refinement.
    EXPECT_EQ(results[3].offset, 2000);
    EXPECT_EQ(results[3].resolutionMs, kWholeSecondResolutionMs);
    EXPECT_EQ(results[4].offset, 2000);
    EXPECT_EQ(runner.unrefined, (std::set<std::string>{"\\\\WHOLE", "\\\\HUNDREDTHS", "\\\\OTHERSECOND"}));
}

TEST_F(ParallelWalk, TheCheckRunsOnlyALittleAheadOfTheQueriesSoThatItsReadingsStayFresh) {
    runner.verdicts.emplace();
    std::vector<std::string> servers;
    for (int i = 0; i < 2000; ++i) {
        servers.push_back("\\\\M" + std::to_string(i));
        runner.scripts[servers.back()] = {i, 1ms};
    }
    const std::vector<Measurement> results = measure(servers, 2, 1000ms);
    EXPECT_EQ(runner.census.started.size(), servers.size());
    // Machines that answer the check wait for a query; never more than a
    // round's worth beyond the walk's allowance of 256.
    EXPECT_GE(runner.peakAhead, 200);
    EXPECT_LE(runner.peakAhead, 2 * 256);
    for (std::size_t i = 0; i < servers.size(); ++i) EXPECT_EQ(results[i].offset, static_cast<Offset>(i)) << i;
}

}  // namespace
}  // namespace skewmon
