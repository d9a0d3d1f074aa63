// The program on Linux.
#include <signal.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "app/console_report.h"
#include "app/startup.h"
#include "platform/browse.h"
#include "platform/headless/headless_dialog.h"
#include "platform/linux/discovery_services.h"
#include "platform/linux/linux_system.h"
#include "platform/linux/process_query_runner.h"
#include "platform/linux/qt_window_system.h"
#include "platform/linux/smbc_browse.h"
#include "ui/main_dialog.h"

namespace {

using namespace skewmon;

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



}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const std::string commandLine = JoinedCommandLine(args);
    const CommandLineOptions options = ParseCommandLine(args);
    const ConsoleRequest request = options.request;
    if (request == ConsoleRequest::kHelp) {
        std::cout << kUsageText;
        return 0;
    }
    if (request == ConsoleRequest::kReport && !options.error.empty()) {
        std::cerr << UsageErrorLine(options.error);
        return 3;
    }
    // First, so that every thread (Qt's own among them) inherits the mask.
    RouteTerminationSignals();
    std::unique_ptr<platform::WindowSystem> qt;
    if (request == ConsoleRequest::kNone && platform::QtDisplayAvailable())
        qt = platform::MakeQtWindowSystem(argc, argv);

    platform::LinuxSystem system;
    platform::ProcessQueryRunner runner;
    platform::SmbcNetworkBrowser browser;
    platform::LinuxDiscoveryServices discovery;
    platform::HeadlessWindowSystem headless;

    if (request == ConsoleRequest::kReport) {
        Program program(Platform{system, headless, runner, browser, discovery});
        return RunConsoleReport(program, commandLine, std::cout, std::cerr);
    }
    if (!qt) {
        // No window can be shown: say so, and end as a failed dialog does.
        std::cerr << "skewmon: no display to show the window on; use --report for a scan without one\n";
        return 0;
    }
    Program program(Platform{system, *qt, runner, browser, discovery});
    return RunApplication(program, commandLine);
}
