// The console mode asking several machines at once, and its forms for
// programs, on the real main dialog with the network scripted.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <sstream>

#include <nlohmann/json.hpp>

#include "app/console_formats.h"
#include "app/console_report.h"
#include "ui/report.h"
#include "platform/text.h"
#include "tests/harness/screenless.h"
#include "ui/main_dialog.h"

namespace skewmon::testing {
namespace {

using Steady = std::chrono::steady_clock;

std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class ConsoleRun : public ::testing::Test, protected ScreenlessProgram<ScriptedParts<>> {
protected:
    ConsoleRun() { system.name = "HERE"; }
};

TEST_F(ConsoleRun, AskingTogetherGivesTheSameReportAsOneAfterAnother) {
    // The first machines answer last, so that the finishing order is the
    // reverse of the list.
    runner.set("ALPHA", {2300, 240ms});
    runner.set("BRAVO", {-480, 180ms});
    runner.set("CHARLIE", {kNoResponse, 120ms});
    runner.set("DELTA", {61, 60ms});
    const std::string list = "alpha\nbravo\nhere\ncharlie\ndelta\n";

    const int sequential = runConsole(list, 1);
    const std::string sequentialReport = out.str();
    const std::vector<std::string> sequentialProgress = LinesOf(err.str());

    const Steady::time_point began = Steady::now();
    const int together = runConsole(list, 8);
    EXPECT_LT(Steady::now() - began, 550ms);  // one after another: 600 ms and more

    EXPECT_EQ(together, sequential);
    EXPECT_EQ(out.str(), sequentialReport);  // rows, figures and grade alike
    EXPECT_NE(sequentialReport.find("Summary:          Poor"), std::string::npos);
    const std::vector<std::string> progress = LinesOf(err.str());
    ASSERT_EQ(progress.size(), 6u) << err.str();
    ASSERT_EQ(sequentialProgress.size(), 6u);
    // One after another the progress follows the list; together, the answers.
    EXPECT_EQ(sequentialProgress[0].rfind("ALPHA ", 0), 0u);
    EXPECT_EQ(progress[0], "HERE + 00 000 00:00:00.000");
    EXPECT_EQ(progress[1], "DELTA + 00 000 00:00:00.061");
    EXPECT_EQ(progress[2], "CHARLIE No response or excessive latency");
    EXPECT_EQ(progress[4], sequentialProgress[0]);
    EXPECT_EQ(progress[5], sequentialProgress[5]);  // "Scan complete: ..."
    EXPECT_EQ(runner.queriesAlive(), 0);
}

TEST_F(ConsoleRun, CheckLineAndExitStatusAgree) {
    runner.set("ALPHA", {50});
    runner.set("BRAVO", {-600});
    runner.set("CHARLIE", {3724518});
    struct Case {
        std::string list;
        int status;
        std::string start;
    };
    const Case cases[] = {
        {"alpha\n", 0, "SKEWMON OK - Outstanding!: worst 00:00:00.050 on ALPHA, 1 of 1 machines answered |"},
        {"bravo\n", 1, "SKEWMON WARNING - Fair: worst 00:00:00.600 on BRAVO"},
        {"alpha\ncharlie\nsilent\n", 2,
         "SKEWMON CRITICAL - Not synchronized: worst 01:02:04.518 on CHARLIE, 2 of 3 machines answered | "
         "'ALPHA'=0.050s;; 'CHARLIE'=3724.518s;; worst=3724.518s average=1862.284s answered=2 silent=1"},
        {"silent\n", 3, "SKEWMON UNKNOWN - No machines responded: 0 of 1 machines answered | answered=0 silent=1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(runConsole(c.list, 4, ReportFormat::kCheck), c.status) << c.list;
        EXPECT_EQ(out.str().rfind(c.start, 0), 0u) << out.str();
        EXPECT_EQ(LinesOf(out.str()).size(), 1u);
    }
}

TEST_F(ConsoleRun, AScanThatCannotRunStillGivesItsCheckLine) {
    const std::string missing = (folder() / "missing.txt").string();
    program.options = {};
    program.options.request = ConsoleRequest::kReport;
    program.options.listFile = missing;
    program.options.format = ReportFormat::kCheck;
    EXPECT_EQ(runReport("--report"), 3);
    const std::string line = out.str();
    EXPECT_EQ(line.rfind("SKEWMON UNKNOWN - The machine list file \"" + missing, 0), 0u) << line;
    EXPECT_EQ(LinesOf(line).size(), 1u);
    EXPECT_TRUE(runner.asked().empty());
}

TEST_F(ConsoleRun, JsonOfAHostileListFileParsesWithEveryMachineInOrder) {
    // Format directives, a name longer than a list line, bytes above 127, and
    // a line that is no machine at all.
    const std::string longName = "L" + std::string(299, 'x');
    const std::string list = "a%s%n%x%d\n" + longName + "\ncaf\xe9\n\xc3\x89toile\nx\xc3\x89toile\n;comment\nhere\n";
    runner.set("A%S%N%X%D", {1200});
    std::string cafe = "CAF\xe9";  // as the platform's code page upper-cases it
    platform::UpperCaseInPlace(cafe);
    runner.set(cafe, {-40});

    EXPECT_EQ(runConsole(list, 3, ReportFormat::kJson), 1);
    nlohmann::json doc;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(out.str())) << out.str();
    EXPECT_EQ(doc["localMachine"], "HERE");
    EXPECT_EQ(doc["source"]["type"], "list file");
    EXPECT_EQ(doc["source"]["path"], (folder() / "machines.txt").string());

    const nlohmann::json& machines = doc["machines"];
    std::vector<std::string> names;
    for (const auto& machine : machines) names.push_back(machine["name"]);
    // The long line is read in pieces of 254 characters, each a name.
    const std::vector<std::string> expected = {"A%S%N%X%D", "L" + std::string(253, 'X'), std::string(46, 'X'),
                                               "CAF\xef\xbf\xbd", "X\xc3\x89TOILE", "HERE"};
    EXPECT_EQ(names, expected);
    EXPECT_EQ(machines[0]["offsetMs"], 1200);
    EXPECT_EQ(machines[0]["remark"], ">1 sec");
    EXPECT_EQ(machines[3]["offsetMs"], -40);
    EXPECT_EQ(machines[1]["answered"], false);
    EXPECT_EQ(doc["machinesFound"], 3);
    EXPECT_EQ(doc["worst"]["ms"], 1200);
    EXPECT_EQ(doc["average"]["ms"], (1200 - 40) / 3);
    EXPECT_EQ(doc["summary"], "Fair");
    EXPECT_EQ(doc["recommendation"], "Check Settings");
    EXPECT_FALSE(doc["explanation"].get<std::string>().empty());
}

TEST_F(ConsoleRun, AQuitDuringAParallelScanEndsEveryQueryAtOnce) {
    std::string list;
    for (int i = 0; i < 20; ++i) {
        const std::string name = "HUNG" + std::to_string(i);
        runner.set(name, {0, 0ms, true});
        list += name + "\n";
    }
    auto scan = std::async(std::launch::async, [&] { return runConsole(list, 8, ReportFormat::kCheck); });
    const Steady::time_point until = Steady::now() + 5s;
    while (runner.queriesAlive() < 8 && Steady::now() < until) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(runner.queriesAlive(), 8);

    const Steady::time_point asked = Steady::now();
    MainDialog::RequestQuit();
    ASSERT_EQ(scan.wait_for(2s), std::future_status::ready);
    EXPECT_LT(Steady::now() - asked, 500ms);
    EXPECT_EQ(scan.get(), 3);
    EXPECT_EQ(runner.queriesAlive(), 0);
    EXPECT_EQ(runner.asked().size(), 8u);  // nothing started after the quit
    EXPECT_EQ(out.str(), "SKEWMON UNKNOWN - Scan did not complete\n");
}

// The window's Save Results reads its controls back; the console renders the
// scan's result. For the same scan both must be the same bytes, whatever the
// machines are called.
class SameScan : public DialogHarness<> {};

TEST_F(SameScan, TheWindowsReportAndTheConsolesAreTheSameBytes) {
    system.name = "WORKSTATION-0042";
    const std::string longName = "L" + std::string(300, 'x');
    runner.set("ALPHA", {47});
    runner.set("BRAVO", {-2310});
    runner.set("EXACTLY16CHARSXX", {400LL * 86400000 + 5});
    runner.set(longName.substr(0, 255), {-61000});
    runner.set("%S%N", {3});
    useListFile("alpha\nbravo\ncharlie\nworkstation-0042\nexactly16charsxx\n" + longName + "\n%s%n\n");
    start();
    ASSERT_TRUE(scanToEnd());
    std::string window, console;
    onDialog([&] {
        window = BuildReport(program, dialog);
        console = TextReport(CompletedScan(program));
    });
    EXPECT_EQ(console, window);
    EXPECT_NE(window.find("\r\nWORKSTATION-0042+ 00 000 00:00:00.000    \r\n"), std::string::npos) << window;
    EXPECT_NE(window.find("\r\nCHARLIE         No response or excessive latency     \r\n"), std::string::npos);

    // A scan that counted nothing.
    useListFile("charlie\n");
    ASSERT_TRUE(scanToEnd());
    onDialog([&] {
        window = BuildReport(program, dialog);
        console = TextReport(CompletedScan(program));
    });
    EXPECT_EQ(console, window);
}

}  // namespace
}  // namespace skewmon::testing
