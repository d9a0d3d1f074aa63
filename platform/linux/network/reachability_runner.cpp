#include "platform/linux/network/reachability_runner.h"

#include <new>

#include "platform/linux/network/connect_probe.h"

namespace skewmon::platform {
namespace {

class ConnectReachability final : public ReachabilityCheck {
public:
    std::size_t room() const override { return probe_.room(); }
    void check(std::size_t tag, std::string_view serverName, std::chrono::milliseconds limit) override {
        probe_.check(tag, serverName, limit);
    }
    std::vector<Settled> settle(std::chrono::milliseconds wait, std::span<PendingQuery* const> queries) override {
        const std::vector<int> watched = ProcessQueryRunner::WatchedDescriptors(queries);
        std::vector<Settled> settled;
        for (const ConnectProbe::Settled& each : probe_.settle(wait, watched))
            settled.push_back({each.tag, each.reachable, each.negotiate});
        return settled;
    }

private:
    ConnectProbe probe_;
};

}  // namespace

std::unique_ptr<ReachabilityCheck> ReachabilityRunner::checkReachability() {
    try {
        return std::make_unique<ConnectReachability>();
    } catch (const std::bad_alloc&) {
        return nullptr;  // every machine is then asked
    }
}

}  // namespace skewmon::platform
