#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "platform/text.h"
#include "scan/scan_driver.h"
#include "tests/harness/screenless.h"
#include "ui/main_dialog.h"

namespace skewmon::testing {
namespace {

const std::vector<std::string> kNoRows;

class Dialog : public DialogHarness<> {};

TEST_F(Dialog, StartsReadyInListFileMode) {
    useListFile("alpha\n");
    start();
    const HeadlessSnapshot s = dialog.snapshot();
    EXPECT_EQ(s.caption, "SKEWMON 5.2.b.20110601R");
    EXPECT_EQ(s.text(ctl::kMaker), "Quillmar");
    EXPECT_EQ(s.text(ctl::kHeading), "Click the Scan button to check your network variances.");
    for (int id : {ctl::kWorst, ctl::kAverage, ctl::kSummary}) EXPECT_EQ(s.text(id), "N/A");
    EXPECT_EQ(s.text(ctl::kRecommendation), "N/A -- Click Scan to start");
    EXPECT_EQ(s.text(ctl::kExplanation).rfind("This program will examine your network", 0), 0u);
    EXPECT_FALSE(s.control(ctl::kSaveResults).enabled);
    EXPECT_TRUE(s.control(ctl::kScan).enabled);
    EXPECT_EQ(s.text(ctl::kScan), "&Scan");
    EXPECT_EQ(s.rows(ctl::kDomainSelector), std::vector<std::string>{"Using File"});
    EXPECT_EQ(s.control(ctl::kDomainSelector).selected, 0);
    EXPECT_FALSE(s.control(ctl::kDomainSelector).enabled);
    EXPECT_EQ(s.control(ctl::kResultsList).tabStops, (std::vector<int>{74, 82, 160}));
}

TEST_F(Dialog, ScanListsEveryMachineInOrderAndGradesTheNetwork) {
    useListFile("alpha\n; a comment\n\\\\bravo\nworkstation\ncharlie\n");
    runner.set("ALPHA", {300});
    runner.set("BRAVO", {-300});
    start();
    ASSERT_TRUE(scanToEnd());

    const HeadlessSnapshot s = dialog.snapshot();
    EXPECT_EQ(s.rows(ctl::kResultsList),
              (std::vector<std::string>{"ALPHA\t+\t00 000 00:00:00.300", "BRAVO\t-\t00 000 00:00:00.300",
                                        "WORKSTATION\t+\t00 000 00:00:00.000",
                                        "CHARLIE\tNo response or excessive latency"}));
    EXPECT_EQ(s.control(ctl::kResultsList).selected, 2);  // the local machine's row
    EXPECT_EQ(s.control(ctl::kResultsList).top, 2);       // following the scan
    EXPECT_EQ(runner.asked(), (std::vector<std::string>{"\\\\ALPHA", "\\\\BRAVO", "\\\\CHARLIE"}));
    EXPECT_EQ(s.text(ctl::kHeading), "Variance from WORKSTATION yy-ddd-hh:mm:ss.mss (+/- 10 ms)");
    EXPECT_EQ(s.text(ctl::kWorst), "00 000 00:00:00.300");
    EXPECT_EQ(s.text(ctl::kAverage), "00 000 00:00:00.000");
    EXPECT_EQ(s.text(ctl::kSummary), "Excellent!");
    EXPECT_EQ(s.text(ctl::kRecommendation), "No change");
    EXPECT_EQ(s.text(ctl::kResultsGroup), "Results");
    EXPECT_EQ(s.text(ctl::kScan), "Re&scan");
    EXPECT_TRUE(s.control(ctl::kScan).enabled);
    EXPECT_EQ(s.text(ctl::kClose), "&Close");
    EXPECT_EQ(s.waitCursorDepth, 0);
    ASSERT_NE(summaryFont(), nullptr);
    EXPECT_EQ(summaryFont()->weight, 700);
    onDialog([&] {
        EXPECT_EQ(program.scan.count, 3);
        EXPECT_EQ(program.scan.worst, 300);
        EXPECT_EQ(program.scan.sum, 0);
        EXPECT_EQ(program.scan.average, 0);
        EXPECT_FALSE(mainDialog->scans().running());
    });
}

TEST_F(Dialog, ScanThatCountsNothingAfterAGradedOneShowsNotApplicableInThinFont) {
    useListFile("alpha\n");
    runner.set("ALPHA", {-4});
    start();
    ASSERT_TRUE(scanToEnd());
    EXPECT_EQ(summaryFont()->weight, 700);

    runner.set("ALPHA", {kNoResponse});
    ASSERT_TRUE(scanToEnd());
    const HeadlessSnapshot s = dialog.snapshot();
    for (int id : {ctl::kWorst, ctl::kAverage, ctl::kSummary, ctl::kRecommendation}) EXPECT_EQ(s.text(id), "N/A");
    EXPECT_EQ(s.text(ctl::kExplanation), "No machines responded");
    EXPECT_EQ(summaryFont()->weight, 100);
    EXPECT_TRUE(s.control(ctl::kSaveResults).enabled);
    onDialog([&] {
        EXPECT_EQ(program.scan.count, 0);
        EXPECT_EQ(program.scan.average, 0);
    });
}

TEST_F(Dialog, AverageIsTheTruncatedMagnitudeOfTheSum) {
    useListFile("a\nb\n");
    runner.set("A", {-4});
    runner.set("B", {-3});
    start();
    ASSERT_TRUE(scanToEnd());
    onDialog([&] {
        EXPECT_EQ(program.scan.sum, 7);
        EXPECT_EQ(program.scan.average, 3);
        EXPECT_EQ(program.scan.worst, 4);
    });
    EXPECT_EQ(dialog.snapshot().text(ctl::kSummary), "Outstanding!");
}

TEST_F(Dialog, QueryPastTheLimitBeepsAndTheScanGoesOn) {
    useListFile("hung\nalpha\n");
    runner.set("HUNG", {0, 0ms, true});
    runner.set("ALPHA", {1200});
    start();
    const auto pressed = std::chrono::steady_clock::now();
    ASSERT_TRUE(scanToEnd(15s));
    const HeadlessSnapshot s = dialog.snapshot();
    ASSERT_EQ(s.beeps.size(), 1u);
    const auto beepAfter = std::chrono::duration_cast<std::chrono::milliseconds>(s.beeps[0] - pressed);
    EXPECT_GE(beepAfter.count(), 2900);
    EXPECT_LT(beepAfter.count(), 4000);
    EXPECT_EQ(s.rows(ctl::kResultsList),
              (std::vector<std::string>{"HUNG\tNo response or excessive latency",
                                        "ALPHA\t+\t00 000 00:00:01.200\t>1 sec"}));
    EXPECT_EQ(s.text(ctl::kSummary), "Poor");
    EXPECT_EQ(runner.queriesAlive(), 0);  // the hung query was given up, not kept
}

TEST_F(Dialog, CancelCutsTheScanOffAtOnceAndTheNextScanWorks) {
    useListFile("alpha\nhung\nbravo\n");
    runner.set("ALPHA", {10});
    runner.set("HUNG", {0, 0ms, true});
    runner.set("BRAVO", {20});
    start();
    dialog.command(ctl::kScan);
    ASSERT_TRUE(dialog.waitUntil(
        [](const HeadlessSnapshot& s) { return s.text(ctl::kResultsGroup) == "Checking HUNG..."; }, 5s));

    dialog.command(ctl::kClose);  // Cancel
    HeadlessSnapshot s = dialog.snapshot();
    EXPECT_TRUE(s.running);  // cancelling leaves the window open
    for (int id : {ctl::kWorst, ctl::kAverage, ctl::kSummary}) EXPECT_EQ(s.text(id), "Cancelled");
    EXPECT_EQ(s.text(ctl::kRecommendation), "Test cancelled.");
    EXPECT_EQ(s.text(ctl::kExplanation), "");
    EXPECT_EQ(s.text(ctl::kResultsGroup), "Results");
    EXPECT_EQ(s.text(ctl::kClose), "&Close");
    EXPECT_TRUE(s.control(ctl::kScan).enabled);
    EXPECT_EQ(s.text(ctl::kScan), "&Scan");
    EXPECT_FALSE(s.control(ctl::kSaveResults).enabled);
    EXPECT_EQ(summaryFont()->weight, 100);

    // Nothing of the cancelled scan arrives later, and its query is let go.
    std::this_thread::sleep_for(300ms);
    s = dialog.snapshot();
    EXPECT_EQ(s.rows(ctl::kResultsList), std::vector<std::string>{"ALPHA\t+\t00 000 00:00:00.010"});
    EXPECT_EQ(s.text(ctl::kResultsGroup), "Results");
    EXPECT_TRUE(s.beeps.empty());
    EXPECT_EQ(s.waitCursorDepth, 0);
    EXPECT_EQ(runner.queriesAlive(), 0);

    runner.set("HUNG", {-5});
    ASSERT_TRUE(scanToEnd());
    EXPECT_EQ(dialog.snapshot().rows(ctl::kResultsList).size(), 3u);
    EXPECT_EQ(dialog.snapshot().text(ctl::kSummary), "Outstanding!");
}

TEST_F(Dialog, CloseDuringAScanCancelsAndTheNextCloseEnds) {
    useListFile("hung\n");
    runner.set("HUNG", {0, 0ms, true});
    start();
    dialog.command(ctl::kScan);
    ASSERT_TRUE(dialog.waitUntil([](const HeadlessSnapshot& s) { return s.text(ctl::kClose) == "&Cancel"; }, 5s));
    dialog.command(ctl::kClose);
    EXPECT_TRUE(dialog.snapshot().running);
    dialog.command(ctl::kClose);
    EXPECT_EQ(dialog.waitForEnd(), 0);
    EXPECT_FALSE(dialog.snapshot().running);
}

TEST_F(Dialog, SaveResultsWaitsForACompletedScan) {
    useListFile("hung\n");
    runner.set("HUNG", {0, 0ms, true});
    start();
    dialog.command(ctl::kScan);
    EXPECT_FALSE(dialog.snapshot().control(ctl::kSaveResults).enabled);
    dialog.command(ctl::kClose);
    EXPECT_FALSE(dialog.snapshot().control(ctl::kSaveResults).enabled);
    runner.set("HUNG", {7});
    ASSERT_TRUE(scanToEnd());
    EXPECT_TRUE(dialog.snapshot().control(ctl::kSaveResults).enabled);
}

// What the console mode relies on: waiting for a scan ends with the scan,
// and says whether it closed or was cancelled.
TEST_F(Dialog, WaitingForAScanEndsWithItAndSaysHowItEnded) {
    useListFile("alpha\nhung\n");
    runner.set("ALPHA", {3});
    start();
    EXPECT_FALSE(mainDialog->scans().wait());  // none started yet

    bool started = false;
    onDialog([&] { started = mainDialog->startScan(dialog); });
    ASSERT_TRUE(started);
    EXPECT_TRUE(mainDialog->scans().wait());
    EXPECT_TRUE(dialog.snapshot().control(ctl::kSaveResults).enabled);

    runner.set("HUNG", {0, 0ms, true});
    onDialog([&] { started = mainDialog->startScan(dialog); });
    ASSERT_TRUE(started);
    std::thread closer([this] {
        std::this_thread::sleep_for(200ms);
        dialog.command(ctl::kClose);  // Cancel
    });
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(mainDialog->scans().wait());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    closer.join();
    EXPECT_EQ(dialog.snapshot().text(ctl::kSummary), "Cancelled");
    EXPECT_EQ(runner.queriesAlive(), 0);
}

TEST_F(Dialog, InlineModeWaitsWithoutLimitOrBeep) {
    useListFile("slow\n");
    program.app.inlineMode = true;
    runner.set("SLOW", {42, 3300ms});
    start();
    ASSERT_TRUE(scanToEnd(15s));
    const HeadlessSnapshot s = dialog.snapshot();
    EXPECT_TRUE(s.beeps.empty());
    EXPECT_EQ(s.rows(ctl::kResultsList), std::vector<std::string>{"SLOW\t+\t00 000 00:00:00.042"});
    EXPECT_EQ(runner.inlineFlags(), std::vector<bool>{true});
}

TEST_F(Dialog, HostileListFileNamesAreShownLiterally) {
    const std::string longLine(300, 'h');
    useListFile("%s%n%x\n" + longLine + "\npc-\xe9t\xe9\n\xe9t\xe9\n\x01\x02\n");
    start();
    ASSERT_TRUE(scanToEnd());
    const std::vector<std::string> rows = dialog.snapshot().rows(ctl::kResultsList);
    // Lines that start with no ASCII letter or digit are ignored.
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], std::string(254, 'H') + "\tNo response or excessive latency");
    EXPECT_EQ(rows[1], std::string(46, 'H') + "\tNo response or excessive latency");
    // Bytes above 127 stay, in the letter case of the platform's code page.
    std::string accented = "PC-\xe9T\xe9";
    platform::UpperCaseInPlace(accented);
    EXPECT_EQ(rows[2], accented + "\tNo response or excessive latency");
    EXPECT_EQ(dialog.snapshot().text(ctl::kExplanation), "No machines responded");
}

TEST_F(Dialog, BrowseListOfTheSelectedDomainGivesServersOnly) {
    platform::NetResourceEntry share{3, "\\\\ALPHA\\public"};
    browser.domains["WORKSTATION"] = {{{2, "\\\\alpha"}, share, {2, "\\\\workstation"}}, {{2, "\\\\Bravo Box"}}};
    browser.endStatus = 1222;  // the walk fails after two batches: rows so far stay
    runner.set("alpha", {15});
    runner.set("Bravo Box", {-15});
    start();
    // Without a directory the selector holds the computer name alone, disabled.
    HeadlessSnapshot s = dialog.snapshot();
    EXPECT_EQ(s.rows(ctl::kDomainSelector), std::vector<std::string>{"WORKSTATION"});
    EXPECT_FALSE(s.control(ctl::kDomainSelector).enabled);

    ASSERT_TRUE(scanToEnd());
    s = dialog.snapshot();
    EXPECT_EQ(s.rows(ctl::kResultsList),
              (std::vector<std::string>{"alpha\t+\t00 000 00:00:00.015", "workstation\t+\t00 000 00:00:00.000",
                                        "Bravo Box\t-\t00 000 00:00:00.015"}));
    EXPECT_EQ(s.control(ctl::kResultsList).selected, 1);
    ASSERT_EQ(browser.opened().size(), 1u);
    EXPECT_EQ(browser.opened()[0].remoteName, "WORKSTATION");
    EXPECT_EQ(browser.opened()[0].provider, "Microsoft Windows Network");
    EXPECT_EQ(browser.opened()[0].displayType, 2u);
    EXPECT_EQ(browser.opened()[0].usage, 2u);
    onDialog([&] { EXPECT_EQ(program.scan.count, 3); });
}

TEST_F(Dialog, BrowseThatCannotOpenCountsNoMachines) {
    start();
    ASSERT_TRUE(scanToEnd());
    EXPECT_TRUE(dialog.snapshot().rows(ctl::kResultsList).empty());
    EXPECT_EQ(dialog.snapshot().text(ctl::kExplanation), "No machines responded");
}

TEST_F(Dialog, DomainChangeDuringAScanLeavesOnlyTheNewScanWriting) {
    browser.domains["WORKSTATION"] = {{{2, "\\\\HUNG"}, {2, "\\\\LATE"}}};
    browser.domains["OTHER"] = {{{2, "\\\\FRESH"}}};
    runner.set("HUNG", {0, 0ms, true});
    runner.set("LATE", {1});
    runner.set("FRESH", {2});
    discovery.lookups.controllers["OTHER"] = "\\\\DC1";
    start();
    onDialog([&] {
        dialog.comboAdd(ctl::kDomainSelector, "OTHER");
        dialog.enable(ctl::kDomainSelector, true);
    });
    dialog.command(ctl::kScan);
    ASSERT_TRUE(dialog.waitUntil(
        [](const HeadlessSnapshot& s) { return s.text(ctl::kResultsGroup) == "Checking HUNG..."; }, 5s));

    chooseDomain(1);  // the focus step, then a posted rescan
    ASSERT_TRUE(waitForDone());
    std::this_thread::sleep_for(200ms);
    const HeadlessSnapshot s = dialog.snapshot();
    EXPECT_EQ(s.rows(ctl::kResultsList), std::vector<std::string>{"FRESH\t+\t00 000 00:00:00.002"});
    EXPECT_TRUE(s.beeps.empty());
    EXPECT_EQ(runner.queriesAlive(), 0);
    const std::vector<std::string> asked = runner.asked();
    EXPECT_EQ(std::count(asked.begin(), asked.end(), "\\\\LATE"), 0);
}

TEST_F(Dialog, DomainThatCannotBeFocusedIsToldAndEntryZeroIsScanned) {
    browser.domains["WORKSTATION"] = {{{2, "\\\\FIRST"}}};
    browser.domains["GONE"] = {{{2, "\\\\NEVER"}}};
    runner.set("FIRST", {3});
    start();
    onDialog([&] {
        dialog.comboAdd(ctl::kDomainSelector, "GONE");
        dialog.enable(ctl::kDomainSelector, true);
    });
    chooseDomain(1);
    ASSERT_TRUE(waitForDone());
    const HeadlessSnapshot s = dialog.snapshot();
    ASSERT_EQ(s.messages.size(), 1u);
    EXPECT_EQ(s.messages[0].text, "Could not set focus to domain GONE.");
    EXPECT_EQ(s.messages[0].title, "Skewmon Error");
    EXPECT_EQ(s.messages[0].icon, platform::MessageIcon::kWarning);
    EXPECT_EQ(s.control(ctl::kDomainSelector).selected, 0);
    EXPECT_EQ(s.rows(ctl::kResultsList), std::vector<std::string>{"FIRST\t+\t00 000 00:00:00.003"});
}

TEST_F(Dialog, MoreInfoAndTheWebLink) {
    useListFile("");
    start();
    dialog.command(ctl::kMoreInfo);
    HeadlessSnapshot s = dialog.snapshot();
    ASSERT_EQ(s.messages.size(), 1u);
    EXPECT_EQ(s.messages[0].title, "Skewmon 5.2.b.20110601R");
    EXPECT_EQ(s.messages[0].text, kMoreInfoText);
    EXPECT_EQ(s.messages[0].text.find("comes built-in on all Windows machines, so you can get a rough    \r\n"),
              s.messages[0].text.find("comes built-in"));
    EXPECT_EQ(s.messages[0].text.substr(s.messages[0].text.size() - 2), "\r\n");
    EXPECT_EQ(s.messages[0].icon, platform::MessageIcon::kInformation);

    // A double click on the link sends two notifications: two openings.
    dialog.command(ctl::kWebLink);
    dialog.command(ctl::kWebLink);
    ASSERT_EQ(system.openedUrls.size(), 2u);
    EXPECT_EQ(system.openedUrls[0],
              "https://help.quillmar.example/skewmon/?product=skewmon&subject=home&version=5.2.b.20110601R");
    EXPECT_EQ(system.openedUrls[1], system.openedUrls[0]);
}

TEST_F(Dialog, QuitRequestFromAnotherThreadEndsEvenDuringAScan) {
    useListFile("hung\n");
    runner.set("HUNG", {0, 0ms, true});
    start();
    dialog.command(ctl::kScan);
    ASSERT_TRUE(dialog.waitUntil(
        [](const HeadlessSnapshot& s) { return s.text(ctl::kResultsGroup) == "Checking HUNG..."; }, 5s));
    std::thread([] { MainDialog::RequestQuit(); }).join();
    EXPECT_TRUE(dialog.waitUntil([](const HeadlessSnapshot& s) { return !s.running; }, 5s));
    mainDialog->waitForScans();
    EXPECT_EQ(runner.queriesAlive(), 0);
}

TEST_F(Dialog, BrowseEntriesWithNoNameLeftAreSkipped) {
    system.name = "";  // the computer's own name could not be read
    browser.domains[""] = {{{2, "\\\\"}, {2, "\\"}, {2, ""}, {2, "\\\\x"}}};
    start();
    ASSERT_TRUE(scanToEnd());
    const HeadlessSnapshot s = dialog.snapshot();
    // None of them passes for this machine: nothing is counted.
    EXPECT_EQ(s.rows(ctl::kResultsList), std::vector<std::string>{"x\tNo response or excessive latency"});
    EXPECT_EQ(s.control(ctl::kResultsList).selected, -1);
    EXPECT_EQ(runner.asked(), std::vector<std::string>{"\\\\x"});
    onDialog([&] { EXPECT_EQ(program.scan.count, 0); });
}

// A query that nothing stops once started: the call itself takes its time, as
// a network call without a way to cancel it does.
class UnstoppableRunner final : public platform::TimeQueryRunner {
public:
    std::unique_ptr<platform::PendingQuery> start(const std::string&, bool) override {
        std::this_thread::sleep_for(600ms);
        return std::make_unique<ScriptedQuery>(ScriptedAnswer{5}, trace_);
    }

private:
    std::shared_ptr<QueryTrace> trace_ = std::make_shared<QueryTrace>();
};

struct UnstoppableParts {
    RecordingSystem system;
    UnstoppableRunner runner;
    FakeDiscoveryServices discovery;
};

// The window system's own run of the dialog, as the program makes it.
TEST(DialogLifetime, TheDialogOutlivesAScanStillInsideAQueryAfterClose) {
    ScreenlessProgram<UnstoppableParts> assembled;
    Program& program = assembled.program;
    platform::HeadlessWindowSystem& windows = assembled.windows;
    program.app.inlineMode = true;
    std::FILE* list = std::tmpfile();
    ASSERT_NE(list, nullptr);
    std::fputs("slow\n", list);
    program.app.machineListFile.reset(list);

    MainDialog events(program);
    std::atomic<bool> driven{false};
    std::thread user([&] {
        platform::HeadlessDialog* shown = nullptr;
        for (int i = 0; i < 500 && !(shown = windows.shown()); ++i) std::this_thread::sleep_for(10ms);
        if (!shown || !shown->waitUntil([](const HeadlessSnapshot& s) { return s.initialised; }, 5s)) return;
        shown->command(ctl::kScan);
        if (!shown->waitUntil([](const HeadlessSnapshot& s) { return s.text(ctl::kResultsGroup) == "Checking SLOW..."; },
                              5s))
            return;
        shown->command(ctl::kClose);  // Cancel: the query goes on regardless
        shown->command(ctl::kClose);  // Close
        driven = true;
    });
    const auto started = std::chrono::steady_clock::now();
    windows.runMainDialog(events);
    user.join();
    ASSERT_TRUE(driven);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    // The scan comes out of its query only now, after the dialog has ended,
    // and still lowers its wait cursor on it: the dialog must be there.
    events.waitForScans();
    EXPECT_EQ(windows.shown(), nullptr);
}

}  // namespace
}  // namespace skewmon::testing
