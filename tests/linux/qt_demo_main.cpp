// The real main window over a made-up network: a machine list file of a few
// machines whose clocks answer with chosen offsets, one that never answers.
// For looking at the window and taking its picture.
//
//   skewmon_qt_demo [--press-scan] [--ready-file PATH] [--quit-after-ms N]
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "app/startup.h"
#include "platform/linux/qt/qt_dialog.h"
#include "platform/linux/qt/qt_window_system.h"
#include "platform/linux/system/linux_system.h"
#include "state/program.h"
#include "tests/fakes/fakes.h"
#include "ui/main_dialog.h"

namespace {

using namespace skewmon;
using skewmon::testing::ScriptedAnswer;
using namespace std::chrono_literals;

// Each machine's clock: its offset, and how long it takes to answer. OLDBOX
// never answers.
const std::map<std::string, ScriptedAnswer> kClocks = {
    {"FILESRV01", {12, 60ms}},  {"DC01", {-4, 40ms}},           {"MAILHOST", {-250, 90ms}},
    {"PRINTSRV", {1250, 70ms}}, {"LAB-PC07", {-5417022, 120ms}}, {"BUILD02", {73, 50ms}},
    {"OLDBOX", {0, 0ms, true}},
};
constexpr char kMachines[] = "WORKSTATION\nFILESRV01\nDC01\nOLDBOX\nMAILHOST\nPRINTSRV\nLAB-PC07\nBUILD02\n";

}  // namespace

int main(int argc, char** argv) {
    bool pressScan = false;
    std::string readyFile;
    int quitAfterMs = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--press-scan") == 0)
            pressScan = true;
        else if (std::strcmp(argv[i], "--ready-file") == 0 && i + 1 < argc)
            readyFile = argv[++i];
        else if (std::strcmp(argv[i], "--quit-after-ms") == 0 && i + 1 < argc)
            quitAfterMs = std::atoi(argv[++i]);
    }

    std::unique_ptr<platform::WindowSystem> windows = platform::MakeQtWindowSystem(argc, argv);
    auto* qtWindows = static_cast<platform::QtWindowSystem*>(windows.get());
    // The Linux services with the computer name WORKSTATION and no list
    // file beside the program.
    skewmon::testing::Recording<platform::LinuxSystem> system;
    system.executable = std::nullopt;
    skewmon::testing::ScriptedRunner runner;
    for (const auto& [machine, clock] : kClocks) runner.set(machine, clock);
    skewmon::testing::ScriptedBrowser browser;  // no browse list
    platform::DiscoveryServices discovery;
    Program program(Platform{system, *windows, runner, browser, discovery});

    std::string commandLine;
    StartUp(program, commandLine);
    std::FILE* list = std::tmpfile();
    if (!list) return 1;
    std::fputs(kMachines, list);
    std::fflush(list);
    program.app.machineListFile.reset(list);

    // The timers fire inside the modal run, when the window exists.
    const auto window = [&] { return qtWindows->dialog(); };
    if (pressScan) {
        QTimer::singleShot(500, [&] {
            if (auto* scan = qobject_cast<QPushButton*>(window()->control(ctl::kScan))) scan->click();
        });
    }
    QTimer readyPoll;
    if (!readyFile.empty()) {
        QObject::connect(&readyPoll, &QTimer::timeout, [&] {
            platform::QtDialog* dialog = window();
            if (!dialog || !dialog->control(ctl::kSaveResults)->isEnabled()) return;
            readyPoll.stop();
            // Let the last writes be painted before anyone looks.
            QTimer::singleShot(300, [&] { std::ofstream(readyFile) << "done\n"; });
        });
        readyPoll.start(100);
    }
    if (quitAfterMs > 0) QTimer::singleShot(quitAfterMs, [] { MainDialog::RequestQuit(); });

    {
        MainDialog dialog(program);
        windows->runMainDialog(dialog);
        dialog.waitForScans();
    }
    ShutDown(program);
    return 0;
}
