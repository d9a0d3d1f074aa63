// A browser that lacks a part it needs (on Linux, the skewmon-browse helper)
// is said once at start, when the machines are to come from the browse
// list: the console mode ends with one line and status 3, the window shows
// one error box. With a list file it does not matter.
#include <gtest/gtest.h>

#include "app/console_report.h"
#include "app/startup.h"
#include "tests/harness/screenless.h"
#include "ui/main_dialog.h"

namespace skewmon::testing {
namespace {

constexpr char kProblem[] =
    "The browse list helper \"/opt/sk/libexec/skewmon/skewmon-browse\" cannot be started: No such file or "
    "directory; no machine can be found in the browse list.";

class MissingBrowser : public DialogHarness<> {
protected:
    MissingBrowser() {
        system.name = "HERE";
        browser.missing = platform::NetworkBrowser::MissingPart{"/opt/sk/libexec/skewmon/skewmon-browse",
                                                                "No such file or directory"};
        // Four servers a working browser would list; a workgroup machine
        // browses its own name's list.
        browser.domains["HERE"] = {
            {{2, "\\\\ALPHA"}, {2, "\\\\BRAVO"}, {2, "\\\\CHARLIE"}, {2, "\\\\DELTA"}}};
    }
};

TEST_F(MissingBrowser, TheReportEndsWithOneLineNamingTheHelper) {
    program.options = ParseCommandLine({"--report"});
    EXPECT_EQ(runReport("--report"), 3);
    EXPECT_EQ(err.str(), "skewmon: the browse list helper \"/opt/sk/libexec/skewmon/skewmon-browse\" cannot be "
                         "started: No such file or directory; no machine can be found in the browse list.\n");
    EXPECT_EQ(out.str(), "");
    EXPECT_TRUE(browser.opened().empty());

    // A check gets its one status line too.
    program.options = ParseCommandLine({"--report", "--format", "check"});
    EXPECT_EQ(runReport("--report --format check"), 3);
    EXPECT_EQ(out.str().rfind("SKEWMON UNKNOWN - The browse list helper \"", 0), 0u) << out.str();
}

TEST_F(MissingBrowser, AListFileNeedsNoBrowser) {
    runner.set("ALPHA", {20});
    EXPECT_EQ(runConsole("alpha\nhere\n"), 0);
    EXPECT_EQ(err.str().find("browse list helper"), std::string::npos) << err.str();
    EXPECT_NE(out.str().find("ALPHA"), std::string::npos);
}

TEST_F(MissingBrowser, TheWindowSaysSoOnceAndStillStarts) {
    std::string commandLine;
    StartUp(program, commandLine);
    start();
    ASSERT_TRUE(scanToEnd());
    ASSERT_TRUE(scanToEnd());
    const HeadlessSnapshot shown = dialog.snapshot();
    ASSERT_EQ(shown.messages.size(), 1u);
    EXPECT_EQ(shown.messages[0].title, "Skewmon Error");
    EXPECT_EQ(shown.messages[0].text, kProblem);
}

}  // namespace
}  // namespace skewmon::testing
