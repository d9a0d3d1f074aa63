// Client settings that Samba cannot load, through the whole program: the
// console mode says so on standard error and ends with "unknown", the window
// shows it in a message box, once per scan. Nothing is asked of the network:
// without settings no query leaves the helper.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/console_report.h"
#include "app/startup.h"
#include "platform/headless/headless_dialog.h"
#include "platform/linux/process/process_query_runner.h"
#include "tests/fakes.h"
#include "tests/lab_support.h"
#include "ui/main_dialog.h"

namespace skewmon::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class BrokenSettings : public ::testing::Test {
protected:
    BrokenSettings() : program(Platform{system, windows, runner, browser, discovery}) {
        system.name = "SKEWTEST";
        config = home.path() + "/.smb/smb.conf";
        std::ofstream(config) << "[global\n";  // a section that never ends
        list = home.path() + "/machines.txt";
        // The local machine counts without a query: alone it would grade the
        // scan "Outstanding!".
        std::ofstream(list) << "SKEWTEST\n127.0.0.1\n";
        program.options.listFile = list;
    }

    std::string message() const {
        return "Samba cannot load the SMB client settings: error loading " + config +
               ". No machine can be asked for its time.";
    }

    ScopedClientHome home;
    std::string config, list;
    RecordingSystem system;
    platform::HeadlessWindowSystem windows;
    platform::ProcessQueryRunner runner{TodHelperPath()};
    ScriptedBrowser browser;
    platform::DiscoveryServices discovery;
    Program program;
};

TEST_F(BrokenSettings, ConsoleSaysItOnceAndEndsUnknown) {
    program.options.request = ConsoleRequest::kReport;
    std::ostringstream out, err;
    EXPECT_EQ(RunConsoleReport(program, "--report", out, err), 3);
    const std::string said = err.str();
    const std::string line = "skewmon: " + message() + "\n";
    ASSERT_NE(said.find(line), std::string::npos) << said;
    EXPECT_EQ(said.find(line), said.rfind(line));
    EXPECT_NE(said.find("127.0.0.1 No response or excessive latency"), std::string::npos) << said;
    EXPECT_TRUE(ChildProcesses().empty());
}

TEST_F(BrokenSettings, WindowShowsItOncePerScan) {
    std::string commandLine;
    StartUp(program, commandLine);
    platform::HeadlessDialog dialog;
    MainDialog mainDialog(program);
    dialog.start(mainDialog);
    auto scanned = [&](std::size_t scans) {
        return dialog.waitUntil(
            [&](const platform::HeadlessSnapshot& s) {
                return s.control(ctl::kSaveResults).enabled && s.rows(ctl::kResultsList).size() == 2 &&
                       s.messages.size() >= scans;
            },
            20s);
    };
    for (std::size_t scan = 1; scan <= 2; ++scan) {
        dialog.command(ctl::kScan);
        ASSERT_TRUE(scanned(scan));
        const platform::HeadlessSnapshot s = dialog.snapshot();
        ASSERT_EQ(s.messages.size(), scan);
        EXPECT_EQ(s.messages.back().title, "Skewmon Error");
        EXPECT_EQ(s.messages.back().text, message());
        EXPECT_EQ(s.rows(ctl::kResultsList)[1], "127.0.0.1\tNo response or excessive latency");
    }
    dialog.command(ctl::kClose);
    dialog.waitForEnd();
    mainDialog.waitForScans();
    ShutDown(program);
    EXPECT_TRUE(ChildProcesses().empty());
}

}  // namespace
}  // namespace skewmon::testing
