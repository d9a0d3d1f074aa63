// skewmon on Linux: the window on Qt, or with --report the scan as a console
// check.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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
#include "platform/linux/network/reachability_runner.h"
#include "platform/linux/process/install_layout.h"
#include "platform/linux/process/process_query_runner.h"
#include "platform/linux/qt/qt_window_system.h"
#include "platform/linux/samba/smbc_browse.h"
#include "platform/linux/system/linux_system.h"
#include "ui/main_dialog.h"
#include "ui/notepad.h"

namespace {

using namespace skewmon;

// How long a quit request may take before the process is ended anyway: a
// modal message box, say, keeps the dialog from closing.
constexpr std::chrono::seconds kQuitGrace{2};

// Set once exit has begun: the report list may be going away with the other
// objects of static lifetime, and deletes the reports itself.
std::atomic<bool> g_exiting{false};

// Ends the process at once by the signal's own default action, so that the
// parent sees what ended it; the reports go first.
[[noreturn]] void EndBySignal(int signal) {
    if (!g_exiting) Notepad().deleteAll();
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal);
}

// SIGINT and SIGTERM end the program the way Close does, so that the report
// files are deleted on the way out; before any dialog exists there is nothing
// to close and the process ends at once, wherever start-up is, and a close
// that does not end it in time is cut short. Blocked in every thread and
// taken by one that waits for them; call before any other thread starts.
void RouteTerminationSignals() {
    std::atexit([] { g_exiting = true; });
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        for (;;) {
            int received = 0;
            if (sigwait(&signals, &received) != 0) continue;
            if (MainDialog::RequestQuit() != MainDialog::QuitRequest::kNoDialogYet)
                std::this_thread::sleep_for(kQuitGrace);
            EndBySignal(received);
        }
    }).detach();
}

// The query helper must be there before anything is asked of it: without it
// every machine would only seem silent.
void CheckQueryHelper(const std::string& path, AppState& app) {
    if (const std::optional<std::string> problem = platform::HelperProblem(path)) {
        app.problems.push_back({"The time query helper \"" + ShownPath(path) + "\" cannot be started: " +
                                    *problem + "; no machine can be asked for its time.",
                                true});
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const CommandLineOptions options = ParseCommandLine(args);
    // Only the window's own words: a list file's path never asks for NOTHREAD.
    const std::string commandLine = WindowCommandLine(options);
    const ConsoleRequest request = options.request;
    if (request == ConsoleRequest::kHelp) {
        std::cout << kUsageText;
        return 0;
    }
    if (request == ConsoleRequest::kVersion) {
        std::cout << VersionLine();
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
    const std::string helper = platform::DefaultQueryHelperPath();
    platform::ProcessQueryRunner runner(helper, platform::HelperStart::kFork);
    // The console checks every machine for a connection before asking it.
    platform::ReachabilityRunner consoleRunner(runner);
    platform::SmbcNetworkBrowser browser;
    platform::LinuxDiscoveryServices discovery;
    platform::HeadlessWindowSystem headless;

    if (request == ConsoleRequest::kReport) {
        Program program(Platform{system, headless, consoleRunner, browser, discovery});
        program.options = options;
        CheckQueryHelper(helper, program.app);
        platform::HeadlessDialog dialog;
        return RunConsoleReport(program, dialog, commandLine, std::cout, std::cerr);
    }
    if (!qt) {
        // No window can be shown: say so, and end as a failed dialog does.
        std::cerr << "skewmon: no display to show the window on; use --report for a scan without one\n";
        return 0;
    }
    Program program(Platform{system, *qt, runner, browser, discovery});
    program.options = options;
    CheckQueryHelper(helper, program.app);
    return RunApplication(program, commandLine);
}
