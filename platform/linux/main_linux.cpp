// The program on Linux.
#include <string>

#include "app/startup.h"
#include "platform/browse.h"
#include "platform/headless/headless_dialog.h"
#include "platform/linux/linux_system.h"

namespace {

class NoNetworkRunner final : public skewmon::platform::TimeQueryRunner {
public:
    std::unique_ptr<skewmon::platform::PendingQuery> start(const std::string&, bool) override {
        return nullptr;
    }
};
class NoBrowser final : public skewmon::platform::NetworkBrowser {
public:
    std::unique_ptr<skewmon::platform::NetworkEnumeration> open(
        const skewmon::platform::NetResourceRequest&) override {
        return nullptr;
    }
};

}  // namespace

int main(int argc, char** argv) {
    using namespace skewmon;
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine.push_back(' ');
        commandLine.append(argv[i]);
    }
    platform::LinuxSystem system;
    platform::HeadlessWindowSystem windows;
    NoNetworkRunner runner;
    NoBrowser browser;
    platform::DiscoveryServices discovery;
    Program program(Platform{system, windows, runner, browser, discovery});
    return RunApplication(program, commandLine);
}
