// The Qt window driven by the real main dialog: what it shows before, during
// and after a scan, cancelling and closing, and the link.
#include <QWindow>

#include "tests/linux/qt_test_support.h"

namespace skewmon::qttest {
namespace {

using namespace std::chrono_literals;

TEST_F(MainWindowTest, ShowsTheReadyStateAfterInitialisation) {
    open("WORKSTATION\n");
    EXPECT_EQ(window->windowTitle(), "SKEWMON 5.2.b.20110601R");
    EXPECT_EQ(shown(ctl::kMaker), "Quillmar");
    EXPECT_EQ(shown(ctl::kHeading), "Click the Scan button to check your network variances.");
    for (int id : {ctl::kWorst, ctl::kAverage, ctl::kSummary}) EXPECT_EQ(shown(id), "N/A") << id;
    EXPECT_EQ(shown(ctl::kRecommendation), "N/A -- Click Scan to start");
    EXPECT_TRUE(shown(ctl::kExplanation).startsWith("This program will examine your network"));
    EXPECT_EQ(shown(ctl::kScan), "&Scan");
    EXPECT_TRUE(button(ctl::kScan)->isEnabled() && button(ctl::kScan)->isDefault());
    EXPECT_EQ(shown(ctl::kClose), "&Close");
    EXPECT_FALSE(control(ctl::kSaveResults)->isEnabled());

    auto* selector = qobject_cast<QComboBox*>(control(ctl::kDomainSelector));
    EXPECT_FALSE(selector->isEnabled());
    EXPECT_EQ(selector->count(), 1);
    EXPECT_EQ(selector->currentText(), "Using File");
    EXPECT_EQ(window->focusWidget(), results());
}

TEST_F(MainWindowTest, ScanListsEveryMachineAndGradesTheNetwork) {
    runner.set("ALPHA", {300, 400ms});
    runner.set("BETA", {-300, 0ms});
    open("WORKSTATION\nALPHA\nBETA\nNOBODY\n");
    click(ctl::kScan);

    // Scanning, while the window waits for ALPHA.
    ASSERT_TRUE(WaitFor([&] { return shown(ctl::kResultsGroup) == "Checking ALPHA..."; }));
    EXPECT_EQ(shown(ctl::kClose), "&Cancel");
    EXPECT_FALSE(control(ctl::kScan)->isEnabled() || control(ctl::kSaveResults)->isEnabled());
    for (int id : {ctl::kWorst, ctl::kAverage, ctl::kSummary, ctl::kRecommendation})
        EXPECT_EQ(shown(id), "Testing...") << id;
    EXPECT_EQ(control(ctl::kSummary)->font().weight(), QFont::Thin);
    EXPECT_EQ(results()->count(), 1);  // the local machine, counted without asking

    ASSERT_TRUE(scanDone());
    ASSERT_EQ(results()->count(), 4);
    EXPECT_EQ(results()->item(0)->text(), "WORKSTATION\t+\t00 000 00:00:00.000");
    EXPECT_EQ(results()->item(1)->text(), "ALPHA\t+\t00 000 00:00:00.300");
    EXPECT_EQ(results()->item(2)->text(), "BETA\t-\t00 000 00:00:00.300");
    EXPECT_EQ(results()->item(3)->text(), "NOBODY\tNo response or excessive latency");
    EXPECT_EQ(results()->currentRow(), 0);  // the local machine's row is selected

    // Worst 300, average |300 - 300| / 3 = 0.
    EXPECT_EQ(shown(ctl::kWorst), "00 000 00:00:00.300");
    EXPECT_EQ(shown(ctl::kAverage), "00 000 00:00:00.000");
    EXPECT_EQ(shown(ctl::kSummary), "Excellent!");
    EXPECT_EQ(shown(ctl::kRecommendation), "No change");
    EXPECT_TRUE(shown(ctl::kExplanation).startsWith("Average variance < 1/10 second."));
    EXPECT_EQ(control(ctl::kSummary)->font().weight(), QFont::Bold);
    EXPECT_EQ(shown(ctl::kResultsGroup), "Results");
    EXPECT_EQ(shown(ctl::kScan), "Re&scan");
    EXPECT_TRUE(control(ctl::kScan)->isEnabled());
}

TEST_F(MainWindowTest, CloseDuringAScanCancelsItAndTheNextCloseEndsTheWindow) {
    runner.set("GHOST", {0, 0ms, true});
    open("WORKSTATION\nGHOST\nLATER\n");
    click(ctl::kScan);
    ASSERT_TRUE(WaitFor([&] { return shown(ctl::kResultsGroup) == "Checking GHOST..."; }));

    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_TRUE(window->isVisible() && !window->hasEnded());
    for (int id : {ctl::kWorst, ctl::kAverage, ctl::kSummary}) EXPECT_EQ(shown(id), "Cancelled") << id;
    EXPECT_EQ(shown(ctl::kRecommendation), "Test cancelled.");
    EXPECT_EQ(shown(ctl::kExplanation), "");
    EXPECT_EQ(shown(ctl::kClose), "&Close");
    EXPECT_EQ(shown(ctl::kScan), "&Scan");
    EXPECT_TRUE(control(ctl::kScan)->isEnabled());
    EXPECT_EQ(control(ctl::kSummary)->font().weight(), QFont::Thin);
    QTest::qWait(150);  // nothing more of the cancelled scan arrives
    EXPECT_EQ(results()->count(), 1);
    EXPECT_EQ(shown(ctl::kResultsGroup), "Results");

    window->close();  // the close box: the logic, not Qt, ends the window
    EXPECT_TRUE(window->hasEnded());
    EXPECT_TRUE(WaitFor([&] { return window->isFinished(); }));
    EXPECT_FALSE(window->isVisible());
}

TEST_F(MainWindowTest, SaveResultsOnlyAfterACompletedScan) {
    runner.set("ALPHA", {40, 0ms});
    open("ALPHA\n");
    QTest::keyClick(results(), Qt::Key_Return);  // Enter is Scan
    ASSERT_TRUE(scanDone());

    // The next scan hangs and is cancelled: nothing to save, but Scan keeps
    // the text of a completed scan.
    runner.set("ALPHA", {0, 0ms, true});
    click(ctl::kScan);
    EXPECT_FALSE(control(ctl::kSaveResults)->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return shown(ctl::kResultsGroup) == "Checking ALPHA..."; }));
    click(ctl::kClose);
    EXPECT_FALSE(window->hasEnded());
    EXPECT_FALSE(control(ctl::kSaveResults)->isEnabled());
    EXPECT_EQ(shown(ctl::kScan), "Re&scan");
}

TEST_F(MainWindowTest, EveryClickOnTheLinkOpensTheHelpPage) {
    open("WORKSTATION\n");
    QWidget* link = control(ctl::kWebLink);
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    // Through the window, as the window system delivers a user's clicks.
    const auto at = [&](QWidget* widget) { return widget->mapTo(window.get(), widget->rect().center()); };
    QWindow* screenWindow = window->windowHandle();

    QTest::mouseClick(screenWindow, Qt::LeftButton, {}, at(link));
    ASSERT_EQ(system.openedUrls.size(), 1u);
    EXPECT_EQ(system.openedUrls[0], OnlineHelpAddress());
    QTest::mouseDClick(screenWindow, Qt::LeftButton, {}, at(link));
    EXPECT_EQ(system.openedUrls.size(), 3u);

    QTest::mouseClick(screenWindow, Qt::RightButton, {}, at(link));
    QTest::mouseClick(screenWindow, Qt::LeftButton, {}, at(control(ctl::kMaker)));
    EXPECT_EQ(system.openedUrls.size(), 3u);
}

}  // namespace
}  // namespace skewmon::qttest
