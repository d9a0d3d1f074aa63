// The time query runner of the console's parallel scan: the helper-process
// runner, with a connection check of every machine ahead of its query.
#pragma once

#include <memory>
#include <string>

#include "platform/linux/process/process_query_runner.h"
#include "platform/time_query.h"

namespace skewmon::platform {

class ReachabilityRunner final : public TimeQueryRunner {
public:
    explicit ReachabilityRunner(ProcessQueryRunner& queries) : queries_(queries) {}

    std::unique_ptr<PendingQuery> start(const std::string& serverName, bool inlineMode) override {
        return queries_.start(serverName, inlineMode);
    }
    std::unique_ptr<PendingQuery> startUnrefined(const std::string& serverName, bool inlineMode) override {
        return queries_.startUnrefined(serverName, inlineMode);
    }
    std::string beginScan(const std::atomic<bool>& stop) override { return queries_.beginScan(stop); }
    void endScan() override { queries_.endScan(); }
    // Connection attempts to the SMB ports under epoll (ConnectProbe).
    std::unique_ptr<ReachabilityCheck> checkReachability() override;

private:
    ProcessQueryRunner& queries_;
};

}  // namespace skewmon::platform
