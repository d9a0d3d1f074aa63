// The program on Linux.
#include <signal.h>

#include <iostream>
#include <string>
#include <thread>

#include "app/console_report.h"
#include "app/startup.h"
#include "platform/browse.h"
#include "platform/headless/headless_dialog.h"
#include "platform/linux/linux_system.h"
#include "ui/main_dialog.h"

namespace {

using namespace skewmon;

class NoNetworkRunner final : public platform::TimeQueryRunner {
public:
    std::unique_ptr<platform::PendingQuery> start(const std::string&, bool) override { return nullptr; }
};
class NoBrowser final : public platform::NetworkBrowser {
public:
    std::unique_ptr<platform::NetworkEnumeration> open(const platform::NetResourceRequest&) override {
        return nullptr;
    }
};

// SIGINT and SIGTERM end the program the way Close does, so that the report
// files are deleted on the way out. Blocked in every thread and taken by one
// that waits for them; call before any other thread starts.
void RouteTerminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        for (;;) {
            int received = 0;
            if (sigwait(&signals, &received) == 0) MainDialog::RequestQuit();
        }
    }).detach();
}

std::string CommandLineOf(int argc, char** argv) {
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine.push_back(' ');
        commandLine.append(argv[i]);
    }
    return commandLine;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string commandLine = CommandLineOf(argc, argv);
    const ConsoleRequest request = ConsoleRequestOf(commandLine);
    if (request == ConsoleRequest::kHelp) {
        std::cout << kUsageText;
        return 0;
    }
    RouteTerminationSignals();

    platform::LinuxSystem system;
    NoNetworkRunner runner;
    NoBrowser browser;
    platform::DiscoveryServices discovery;
    platform::HeadlessWindowSystem headless;

    if (request == ConsoleRequest::kReport) {
        Program program(Platform{system, headless, runner, browser, discovery});
        return RunConsoleReport(program, commandLine, std::cout, std::cerr);
    }
    Program program(Platform{system, headless, runner, browser, discovery});
    return RunApplication(program, commandLine);
}
