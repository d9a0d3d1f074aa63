// Runs the remote time queries in skewmon-tod helper processes, so that a
// query that hangs inside libnetapi can be abandoned at once: the helper is
// killed and reaped, and nothing of it reaches a later query.
//
// A helper is started once and then serves one query after another. Each
// query that is pending at the same time has a helper of its own (the pool
// grows to the number of queries pending at once); a helper goes back to
// the pool only after it answered its query in full.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/time_query.h"

namespace skewmon::platform {

// How new helpers start: each as a program of its own, or forked from one
// skewmon-tod per scan that has already loaded and set up the libraries
// (cheaper in time and memory; helpers that cannot be forked are started).
enum class HelperStart { kExec, kFork };

class ProcessQueryRunner final : public TimeQueryRunner {
public:
    // helperPath: the skewmon-tod executable.
    explicit ProcessQueryRunner(std::string helperPath = DefaultHelperPath(),
                                HelperStart start = HelperStart::kExec);
    // Ends every helper that is not serving a query; a query still pending
    // ends its own when it is destroyed.
    ~ProcessQueryRunner() override;
    ProcessQueryRunner(const ProcessQueryRunner&) = delete;
    ProcessQueryRunner& operator=(const ProcessQueryRunner&) = delete;

    // Hands serverName to a waiting helper, or to a new one. Inline mode
    // changes nothing here: the query still runs in a helper, so that a
    // cancel can end it; the caller simply waits without a limit. None when
    // no helper can be started or the name cannot be asked for.
    std::unique_ptr<PendingQuery> start(const std::string& serverName, bool inlineMode) override;
    std::unique_ptr<PendingQuery> startUnrefined(const std::string& serverName, bool inlineMode) override;
    // Starts a helper ahead of the first query and returns what it reports
    // (client settings that cannot be loaded).
    std::string beginScan(const std::atomic<bool>& stop) override;
    // Ends the helpers that wait for queries.
    void endScan() override;

    // The running program's skewmon-tod: beside it in a build tree, in
    // libexec/skewmon/ when installed.
    static std::string DefaultHelperPath();

    const std::string& helperPath() const { return helperPath_; }
    // What to watch for news of the given queries of this runner: readable
    // when one has something for its wait().
    static std::vector<int> WatchedDescriptors(std::span<PendingQuery* const> queries);
    std::size_t waitingHelpers() const;

    class Pool;

private:
    std::unique_ptr<PendingQuery> startQuery(const std::string& serverName, bool refine);

    std::string helperPath_;
    std::shared_ptr<Pool> pool_;
};

}  // namespace skewmon::platform
