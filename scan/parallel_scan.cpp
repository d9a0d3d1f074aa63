#include "scan/parallel_scan.h"

#include <algorithm>
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

struct Running {
    std::size_t index;
    std::unique_ptr<platform::PendingQuery> query;
    std::optional<Clock::time_point> deadline;
};

}  // namespace

std::vector<Measurement> MeasureServers(
    platform::TimeQueryRunner& runner, std::span<const std::string> serverNames, int parallel,
    bool inlineMode, std::optional<std::chrono::milliseconds> limit, const std::atomic<bool>& stop,
    const std::function<void(std::size_t, const Measurement&)>& finished) {
    std::vector<Measurement> results(serverNames.size());
    const std::size_t width = static_cast<std::size_t>(std::max(parallel, 1));
    std::vector<Running> running;
    running.reserve(width);
    std::size_t next = 0;

    auto settle = [&](std::size_t index, const Measurement& measured) {
        results[index] = measured;
        if (finished) finished(index, measured);
    };
    // Starts queries until `width` are under way or none is left. One that
    // cannot start at all has no answer, as in CheckMachine.
    auto fill = [&] {
        while (running.size() < width && next < serverNames.size() && !stop) {
            const std::size_t index = next++;
            std::unique_ptr<platform::PendingQuery> query = runner.start(serverNames[index], inlineMode);
            if (!query) {
                settle(index, {});
                continue;
            }
            std::optional<Clock::time_point> deadline;
            if (limit) deadline = Clock::now() + *limit;
            running.push_back({index, std::move(query), deadline});
        }
    };
    // Takes the query at `position` off the list; destroying it abandons a
    // measurement that has not finished.
    auto retire = [&](std::size_t position, const Measurement& measured) {
        const std::size_t index = running[position].index;
        running.erase(running.begin() + static_cast<std::ptrdiff_t>(position));
        settle(index, measured);
        fill();
    };

    fill();
    while (!running.empty()) {
        const std::chrono::milliseconds slice =
            std::max(kShortestWait, kRound / static_cast<int>(running.size()));
        for (std::size_t position = 0; position < running.size();) {
            Running& query = running[position];
            std::chrono::milliseconds wait = slice;
            bool last = false;
            if (query.deadline) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*query.deadline - Clock::now());
                // Past its time, a query still gets one short look: the
                // others' turns may have kept this one from seeing an answer
                // that came in time.
                last = left <= kShortestWait;
                wait = std::clamp(left, kShortestWait, wait);
            }
            switch (query.query->wait(wait, stop)) {
                case platform::QueryWait::kFinished:
                    retire(position, query.query->measurement());
                    continue;
                case platform::QueryWait::kStopped:
                    running.clear();  // every helper under way goes at once
                    return results;
                case platform::QueryWait::kTimedOut:
                    if (last || (query.deadline && Clock::now() >= *query.deadline)) {
                        retire(position, {});
                        continue;
                    }
                    ++position;
                    break;
            }
        }
    }
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
