#include "scan/parallel_scan.h"

#include <algorithm>
#include <functional>
#include <queue>
#include <memory>
#include <utility>

#include "scan/scan_driver.h"
#include "text/text_util.h"
#include "timing/remote_time.h"

namespace skewmon {
namespace {

using Clock = std::chrono::steady_clock;

// One round over the queries under way takes about this long however many
// there are, so that an answer is seen soon after it comes in.
constexpr std::chrono::milliseconds kRound{20};
constexpr std::chrono::milliseconds kShortestWait{1};
constexpr std::chrono::milliseconds kNoWait{0};

// Machines found reachable, waiting for a query, at most this many times
// the width: the connection check runs ahead only so far, so that the
// negotiate reading it took is still fresh when the machine's answer comes
// (a few seconds of answers), yet far enough that the machines that never
// answer it are mostly given up before the last answers come.
constexpr std::size_t kWaitingPerQuery = 16;
constexpr std::size_t kFewestWaiting = 256;

struct Running {
    std::size_t index;
    std::unique_ptr<platform::PendingQuery> query;
    std::optional<Clock::time_point> deadline;
    std::optional<platform::NegotiateReading> negotiate;  // refines a whole-second answer
};

// The queries under way, at most `width` of them, each within its own
// `limit` from the moment its request could first be sent.
class QueryBatch {
public:
    QueryBatch(platform::TimeQueryRunner& runner, std::span<const std::string> serverNames, std::size_t width,
               bool inlineMode, std::optional<std::chrono::milliseconds> limit,
               const std::function<void(std::size_t, const Measurement&)>& settle)
        : runner_(runner), serverNames_(serverNames), width_(width), inlineMode_(inlineMode), limit_(limit),
          settle_(settle) {
        running_.reserve(width);
    }

    bool full() const { return running_.size() >= width_; }
    std::size_t width() const { return width_; }
    bool empty() const { return running_.empty(); }
    std::size_t size() const { return running_.size(); }
    void clear() { running_.clear(); }  // every query under way is abandoned at once

    // Starts asking the machine at `index`, whose negotiate clock, when
    // `negotiate` holds a fresh reading of it, refines a whole-second answer
    // without the query's own connection. One that cannot start at all has
    // no answer, as in CheckMachine.
    void start(std::size_t index, std::optional<platform::NegotiateReading> negotiate = std::nullopt) {
        if (negotiate && Clock::now() - negotiate->taken > kNegotiateReadingFresh) negotiate.reset();
        std::unique_ptr<platform::PendingQuery> query =
            negotiate ? runner_.startUnrefined(serverNames_[index], inlineMode_)
                      : runner_.start(serverNames_[index], inlineMode_);
        if (!query) {
            settle_(index, {});
            return;
        }
        running_.push_back({index, std::move(query), std::nullopt, negotiate});
    }

    std::vector<platform::PendingQuery*> queries() const {
        std::vector<platform::PendingQuery*> all;
        all.reserve(running_.size());
        for (const Running& entry : running_) all.push_back(entry.query.get());
        return all;
    }

    // Waits on each query in turn for at most `slice` (kNoWait: looks once),
    // settling those that finished or ran out of time. False when `stop`
    // ended the wait: every query under way is then gone.
    bool look(std::chrono::milliseconds slice, const std::atomic<bool>& stop) {
        for (std::size_t position = 0; position < running_.size();) {
            Running& entry = running_[position];
            if (!entry.deadline && limit_)
                if (const auto sent = entry.query->requestSent()) entry.deadline = *sent + *limit_;
            std::chrono::milliseconds wait = slice;
            bool last = false;
            if (entry.deadline) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*entry.deadline - Clock::now());
                // Past its time, a query still gets one short look: the
                // others' turns may have kept this one from seeing an answer
                // that came in time.
                last = left <= kShortestWait;
                wait = std::clamp(left, kNoWait, wait);
            }
            switch (entry.query->wait(wait, stop)) {
                case platform::QueryWait::kFinished: {
                    const Measurement measured = entry.query->measurement();
                    const std::optional<Measurement> refined =
                        entry.negotiate ? RefinedByNegotiate(measured, *entry.negotiate) : std::nullopt;
                    retire(position, refined.value_or(measured));
                    continue;
                }
                case platform::QueryWait::kStopped:
                    running_.clear();
                    return false;
                case platform::QueryWait::kTimedOut:
                    if (last || (entry.deadline && Clock::now() >= *entry.deadline)) {
                        retire(position, {});
                        continue;
                    }
                    ++position;
                    break;
            }
        }
        return true;
    }

private:
    // Takes the query at `position` off the list; destroying it abandons a
    // measurement that has not finished.
    void retire(std::size_t position, const Measurement& measured) {
        const std::size_t index = running_[position].index;
        running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(position));
        settle_(index, measured);
    }

    platform::TimeQueryRunner& runner_;
    std::span<const std::string> serverNames_;
    const std::size_t width_;
    const bool inlineMode_;
    const std::optional<std::chrono::milliseconds> limit_;
    const std::function<void(std::size_t, const Measurement&)>& settle_;
    std::vector<Running> running_;
};

// Every machine goes to a query, in the order of the list.
void AskEach(QueryBatch& batch, std::size_t count, const std::atomic<bool>& stop) {
    std::size_t next = 0;
    auto fill = [&] {
        while (!batch.full() && next < count && !stop) batch.start(next++);
    };
    fill();
    while (!batch.empty()) {
        const auto slice = std::max(kShortestWait, kRound / static_cast<int>(batch.size()));
        if (!batch.look(slice, stop)) return;
        fill();
    }
}

// Machines are checked for a connection first, many at once; only those
// that take one go on to a query, in the order of the list. Not in the
// order they were found reachable: the entries of one machine settle
// together, and asking one server many times at once can cost it more than
// the time limit allows.
void AskReachable(QueryBatch& batch, platform::ReachabilityCheck& reach, std::span<const std::string> serverNames,
                  std::chrono::milliseconds limit, const std::atomic<bool>& stop,
                  const std::function<void(std::size_t, const Measurement&)>& settle) {
    std::size_t next = 0;
    std::size_t checking = 0;
    std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<>> reachable;
    std::vector<std::optional<platform::NegotiateReading>> negotiate(serverNames.size());
    const std::size_t mostWaiting = std::max(kFewestWaiting, kWaitingPerQuery * batch.width());
    while (!stop) {
        // Each round checks no more machines than may still wait: those that
        // answer settle within the round, and the next round counts them.
        for (std::size_t budget = mostWaiting - std::min(mostWaiting, reachable.size());
             budget > 0 && next < serverNames.size() && reach.room() > 0; --budget) {
            reach.check(next, serverNames[next], limit);
            ++next;
            ++checking;
        }
        while (!batch.full() && !reachable.empty() && !stop) {
            const std::size_t index = reachable.top();
            reachable.pop();
            batch.start(index, std::exchange(negotiate[index], std::nullopt));
        }
        if (checking == 0 && reachable.empty() && batch.empty()) return;
        const std::vector<platform::PendingQuery*> queries = batch.queries();
        for (const platform::ReachabilityCheck::Settled& settled : reach.settle(kRound, queries)) {
            --checking;
            if (settled.reachable) {
                reachable.push(settled.tag);
                negotiate[settled.tag] = settled.negotiate;
            } else
                settle(settled.tag, {});
        }
        if (!batch.look(kNoWait, stop)) return;
    }
    batch.clear();
}

}  // namespace

std::vector<Measurement> MeasureServers(
    platform::TimeQueryRunner& runner, std::span<const std::string> serverNames, int parallel,
    bool inlineMode, std::optional<std::chrono::milliseconds> limit, const std::atomic<bool>& stop,
    const std::function<void(std::size_t, const Measurement&)>& finished) {
    std::vector<Measurement> results(serverNames.size());
    const std::function<void(std::size_t, const Measurement&)> settle = [&](std::size_t index,
                                                                            const Measurement& measured) {
        results[index] = measured;
        if (finished) finished(index, measured);
    };
    QueryBatch batch(runner, serverNames, static_cast<std::size_t>(std::max(parallel, 1)), inlineMode, limit,
                     settle);
    // Without a limit a machine that takes no connection is waited for as
    // long as its query takes, as one after another does.
    std::unique_ptr<platform::ReachabilityCheck> reach = limit ? runner.checkReachability() : nullptr;
    if (reach)
        AskReachable(batch, *reach, serverNames, *limit, stop, settle);
    else
        AskEach(batch, serverNames.size(), stop);
    return results;
}

void ScanMachinesTogether(ScanJob& job, const std::vector<std::string>& names) {
    std::vector<MachineResult> results(names.size());
    std::vector<std::size_t> asked;  // positions in `names` of the machines to ask
    std::vector<std::string> servers;
    auto tell = [&](const MachineResult& result) {
        if (job.figures.onMachine) job.figures.onMachine(result);
    };
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (SameNameIgnoringCase(names[i], job.localComputerName)) {
            results[i] = MakeMachineResult(names[i], true, {});
            tell(results[i]);
        } else {
            asked.push_back(i);
            servers.push_back(QueryServerName(names[i]));
        }
    }

    const std::optional<std::chrono::milliseconds> limit =
        job.app.inlineMode ? std::nullopt : std::optional(kQueryTimeoutMs);
    MeasureServers(job.timeQueries, servers, job.figures.parallelQueries, job.app.inlineMode, limit, job.stop,
                   [&](std::size_t k, const Measurement& measured) {
                       const std::size_t i = asked[k];
                       results[i] = MakeMachineResult(names[i], false, measured);
                       tell(results[i]);
                   });
    if (job.stop) return;  // a stopped scan lists nothing more

    for (MachineResult& result : results) {
        if (job.stop) return;
        RecordMachine(job, std::move(result));
    }
}

}  // namespace skewmon
