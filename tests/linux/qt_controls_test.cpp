// The Qt window's own mechanics: dialog units and layout, tab stops, the
// control operations, calls from other threads, and the modal run.
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <numeric>

#include "platform/linux/qt/qt_widgets.h"
#include "tests/linux/qt_test_support.h"

namespace skewmon::qttest {
namespace {

using platform::DialogUnits;
using platform::QtDialog;

// Records what the window hands its owner; hooks let a test act on it.
class RecordingEvents final : public platform::DialogEvents {
public:
    std::vector<std::pair<int, int>> commands;
    int destroyed = 0;
    std::function<void(platform::DialogControls&)> onInit;
    std::function<void(platform::DialogControls&, int)> onCommandHook;
    std::function<void()> onDestroyHook;

    void onInitDialog(platform::DialogControls& dialog) override {
        if (onInit) onInit(dialog);
    }
    void onCommand(platform::DialogControls& dialog, int id, int notification) override {
        commands.emplace_back(id, notification);
        if (onCommandHook) onCommandHook(dialog, id);
    }
    void onDestroy(platform::DialogControls&) override {
        ++destroyed;
        if (onDestroyHook) onDestroyHook();
    }
};

class ControlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = std::make_unique<QtDialog>(events);
        window->initialise();
        window->showModeless();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    void TearDown() override {
        if (!window->hasEnded()) window->endDialog(0);
        WaitFor([&] { return window->isFinished(); }, 5000);
    }
    QListWidget* results() { return qobject_cast<QListWidget*>(window->control(ctl::kResultsList)); }

    RecordingEvents events;
    std::unique_ptr<QtDialog> window;
};

TEST(DialogUnitsTest, ConvertLikeTheDialogManager) {
    EXPECT_EQ(platform::MulDiv(7, 1, 2), 4);    // halves round away from zero
    EXPECT_EQ(platform::MulDiv(-7, 1, 2), -4);
    EXPECT_EQ(platform::MulDiv(10, 5, 3), 17);
    EXPECT_EQ(platform::MulDiv(1, 1, 0), -1);

    // A font of 6 by 13 pixels, the usual one on Windows at 96 dots per inch.
    const DialogUnits units{6, 13};
    EXPECT_EQ(units.toPixels({149, 300, 50, 14}), QRect(224, 488, 75, 23));
    EXPECT_EQ(units.toPixels({7, 47, 244, 128}), QRect(11, 76, 366, 208));
    EXPECT_EQ(units.toPixelsX(259), 389);
    EXPECT_EQ(units.toPixelsY(322), 523);
}

TEST(TabStopTest, TextContinuesAtTheNextStopBeyondIt) {
    const int stops[] = {100, 110, 200};
    EXPECT_EQ(platform::NextTabStop(0, stops, 50), 100);
    EXPECT_EQ(platform::NextTabStop(100, stops, 50), 110);  // a field ending on a stop moves on
    EXPECT_EQ(platform::NextTabStop(150, stops, 50), 200);
    EXPECT_EQ(platform::NextTabStop(200, stops, 50), 250);  // past the last: every interval
    EXPECT_EQ(platform::NextTabStop(262, stops, 50), 300);
    EXPECT_EQ(platform::NextTabStop(0, {}, 50), 50);
}

TEST_F(ControlsTest, WindowFollowsTheTemplate) {
    const DialogUnits& units = window->units();
    EXPECT_EQ(window->size(), QSize(units.toPixelsX(259), units.toPixelsY(322)));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());  // not resizable
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMinimizeButtonHint);

    EXPECT_EQ(window->control(ctl::kScan)->geometry(), units.toPixels({149, 300, 50, 14}));
    EXPECT_EQ(window->control(ctl::kResultsList)->geometry(), units.toPixels({7, 47, 244, 128}));
    EXPECT_EQ(window->control(ctl::kWebLink)->geometry(), units.toPixels({39, 18, 117, 8}));
    // The selector keeps the template's place and width; its height is that
    // of the closed box.
    const QRect selector = window->control(ctl::kDomainSelector)->geometry();
    EXPECT_EQ(selector.topLeft(), units.toPixels({170, 15, 81, 75}).topLeft());
    EXPECT_EQ(selector.width(), units.toPixelsX(81));
    EXPECT_LT(selector.height(), units.toPixelsY(75));

    // Tab order is the template's order of the controls that take the keyboard.
    const std::vector<QWidget*> expected = {
        window->control(ctl::kResultsList), window->control(ctl::kMoreInfo),
        window->control(ctl::kSaveResults), window->control(ctl::kScan),
        window->control(ctl::kClose),       window->control(ctl::kExplanation),
        window->control(ctl::kDomainSelector)};
    std::vector<QWidget*> order;
    QWidget* widget = expected.front();
    for (int guard = 0; guard < 200 && order.size() < expected.size(); ++guard) {
        if (widget->focusPolicy() & Qt::TabFocus) order.push_back(widget);
        widget = widget->nextInFocusChain();
    }
    EXPECT_EQ(order, expected);
}

TEST_F(ControlsTest, RowsStandInColumnsAtTheTabStops) {
    const int stops[] = {74, 82, 160};
    window->listSetTabStops(ctl::kResultsList, stops);
    auto* delegate = dynamic_cast<platform::TabbedRowDelegate*>(results()->itemDelegate());
    ASSERT_NE(delegate, nullptr);
    const DialogUnits& units = window->units();
    const QFont font = results()->font();
    const std::vector<int> expected = {0, units.toPixelsX(74), units.toPixelsX(82), units.toPixelsX(160)};
    EXPECT_EQ(delegate->fieldPositions("PC1\t+\t00 000 00:00:01.250\t>1 sec", font), expected);
    EXPECT_EQ(delegate->fieldPositions("ANOTHER-PC\t-\t00 000 00:00:00.004", font),
              std::vector<int>(expected.begin(), expected.end() - 1));
    // A name too long for its column pushes the rest to the following stops.
    const std::vector<int> pushed = delegate->fieldPositions(QString(40, 'W') + "\t+", font);
    EXPECT_GT(pushed[1], units.toPixelsX(82));
}

TEST_F(ControlsTest, ResultsListKeepsRowsInOrderAndByteForByte) {
    window->listAdd(ctl::kResultsList, "ZED\t+\t1");
    const std::string odd = "MÜLLER-PC\t+\t3";  // multi-byte name
    EXPECT_EQ(window->listAdd(ctl::kResultsList, odd), 1);
    EXPECT_EQ(window->listText(ctl::kResultsList, 0, 512), "ZED\t+\t1");
    EXPECT_EQ(window->listText(ctl::kResultsList, 1, 512), odd);
    EXPECT_EQ(window->listText(ctl::kResultsList, 1, 3), "M");  // never half a character
    window->listSelect(ctl::kResultsList, 1);
    EXPECT_EQ(results()->currentRow(), 1);
    window->listSelect(ctl::kResultsList, -1);
    EXPECT_TRUE(results()->selectedItems().isEmpty());
    window->listReset(ctl::kResultsList);
    EXPECT_EQ(window->listAdd(ctl::kResultsList, "AGAIN"), 0);
}

TEST_F(ControlsTest, RepaintNowPaintsAtOnceAndSetTopScrolls) {
    struct PaintCounter final : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            paints += event->type() == QEvent::Paint;
            return false;
        }
    } counter;
    results()->viewport()->installEventFilter(&counter);
    QApplication::processEvents();
    const int before = counter.paints;
    window->listAdd(ctl::kResultsList, "FIRST\t+\t00 000 00:00:00.001");
    window->repaintNow(ctl::kResultsList);
    EXPECT_GT(counter.paints, before);  // inside the call, no event handled in between
    results()->viewport()->removeEventFilter(&counter);

    for (int i = 1; i < 60; ++i) window->listAdd(ctl::kResultsList, "ROW" + std::to_string(i));
    window->listSetTop(ctl::kResultsList, 20);
    QApplication::processEvents();
    EXPECT_EQ(results()->indexAt(QPoint(4, 4)).row(), 20);
}

TEST_F(ControlsTest, SelectorReportsOnlyTheUsersChoices) {
    auto* selector = qobject_cast<QComboBox*>(window->control(ctl::kDomainSelector));
    EXPECT_EQ(window->comboAdd(ctl::kDomainSelector, "CORP"), 0);
    EXPECT_EQ(window->comboAdd(ctl::kDomainSelector, "LAB"), 1);
    EXPECT_EQ(window->comboSelected(ctl::kDomainSelector), -1);  // added, not chosen
    window->comboSelect(ctl::kDomainSelector, 0);
    EXPECT_EQ(window->comboSelected(ctl::kDomainSelector), 0);
    EXPECT_EQ(window->comboText(ctl::kDomainSelector, 1, 256), "LAB");
    EXPECT_EQ(window->comboCount(ctl::kDomainSelector), 2);
    EXPECT_TRUE(events.commands.empty());

    selector->setFocus();
    QTest::keyClick(selector, Qt::Key_Down);  // the user picks the next domain
    EXPECT_EQ(window->comboSelected(ctl::kDomainSelector), 1);
    ASSERT_EQ(events.commands.size(), 1u);
    EXPECT_EQ(events.commands[0], std::make_pair(ctl::kDomainSelector, kSelectionChange));

}

TEST_F(ControlsTest, TextsReadBackAsSetAndFontsReachTheControl) {
    window->setText(ctl::kResultsGroup, "Checking <b>ÅSA</b>...");
    EXPECT_EQ(Shown(window->control(ctl::kResultsGroup)), "Checking <b>ÅSA</b>...");
    EXPECT_EQ(window->getText(ctl::kResultsGroup, 14), "Checking <b>");  // not half of "Å"
    EXPECT_EQ(qobject_cast<QLabel*>(window->control(ctl::kSummary))->textFormat(), Qt::PlainText);

    const std::unique_ptr<platform::Font> bold = Windows().createFont({"MS Shell Dlg", -15, 700, false});
    window->setFont(ctl::kSummary, bold.get());
    const QFont applied = window->control(ctl::kSummary)->font();
    EXPECT_EQ(applied.pixelSize(), 15);
    EXPECT_EQ(applied.family(), platform::UiFontFamily());
    window->setFont(ctl::kSummary, nullptr);  // back to the dialog's font
    EXPECT_EQ(window->control(ctl::kSummary)->font(), window->font());
}

TEST_F(ControlsTest, CallsFromAnotherThreadRunInOrderWhileAMessageBoxIsOpen) {
    constexpr int kCalls = 40;
    std::vector<int> ran;  // dialog thread only
    bool allOnDialogThread = true, ownedByWindow = false;
    std::atomic<bool> workerDone{false};
    const std::thread::id dialogThread = std::this_thread::get_id();
    std::thread worker;

    // Only the box's own event loop runs while the thread makes its calls;
    // the box closes after the last one, or after a time limit.
    QTimer::singleShot(0, [&] {
        worker = std::thread([&] {
            for (int i = 0; i < kCalls; ++i)
                window->runOnDialogThread([&, i] {
                    ran.push_back(i);
                    allOnDialogThread = allOnDialogThread && std::this_thread::get_id() == dialogThread;
                    window->setText(ctl::kHeading, "call " + std::to_string(i));
                });
            workerDone = true;
        });
    });
    QTimer poll;
    const auto started = std::chrono::steady_clock::now();
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || (!workerDone && std::chrono::steady_clock::now() - started < std::chrono::seconds(10))) return;
        ownedByWindow = box->parentWidget() == window.get() && box->icon() == QMessageBox::Warning;
        box->button(QMessageBox::Ok)->click();
    });
    poll.start(20);
    window->messageBox("Please wait", "Skewmon", platform::MessageIcon::kWarning, true);
    poll.stop();
    if (!QTest::qWaitFor([&] { return workerDone.load(); }, 5000)) {
        window->endDialog(0);  // closes the bridge: a stuck call returns
        WaitFor([&] { return window->isFinished(); }, 5000);
    }
    worker.join();

    ASSERT_TRUE(workerDone);
    std::vector<int> expected(kCalls);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(ran, expected);
    EXPECT_TRUE(allOnDialogThread);
    EXPECT_TRUE(ownedByWindow);
    EXPECT_EQ(window->getText(ctl::kHeading, 64), "call 39");
}

TEST_F(ControlsTest, PostedCommandsWaitForTheCurrentHandler) {
    std::vector<std::string> order;
    events.onCommandHook = [&](platform::DialogControls& dialog, int id) {
        order.push_back("begin " + std::to_string(id));
        if (id == ctl::kMoreInfo) dialog.postCommand(ctl::kScan, 0);
        order.push_back("end " + std::to_string(id));
    };
    window->postCommand(ctl::kMoreInfo, 0);
    EXPECT_TRUE(order.empty());  // queued, not run by the call
    ASSERT_TRUE(WaitFor([&] { return order.size() == 4; }));
    EXPECT_EQ(order, (std::vector<std::string>{"begin 1008", "end 1008", "begin 1", "end 1"}));
}

TEST(ModalRunTest, ReturnsTheResultAndReleasesAWaitingThread) {
    RecordingEvents events;
    std::thread late;
    std::atomic<int> lateResult{-1};
    bool lateRan = false;
    events.onInit = [&](platform::DialogControls& dialog) {
        dialog.postCommand(ctl::kClose, 0);  // handled inside the modal run
    };
    events.onCommandHook = [&](platform::DialogControls& dialog, int id) {
        if (id == ctl::kClose) dialog.endDialog(7);
    };
    events.onDestroyHook = [&] {
        platform::QtDialog* window = Windows().dialog();
        // A thread that calls in now must not be left waiting for a window
        // that no longer handles anything.
        late = std::thread([&, window] {
            lateResult = window->runOnDialogThread([&] { lateRan = true; }) ? 1 : 0;
        });
    };
    QTimer guard;  // ends a run that would otherwise hang the test
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        if (auto* window = Windows().dialog()) window->endDialog(-2);
    });
    guard.start(10000);

    EXPECT_EQ(Windows().runMainDialog(events), 7);
    guard.stop();
    late.join();
    EXPECT_EQ(events.destroyed, 1);  // once, before the bridge closed
    EXPECT_EQ(lateResult, 0);
    EXPECT_FALSE(lateRan);
    EXPECT_EQ(events.commands, (std::vector<std::pair<int, int>>{{ctl::kClose, 0}}));

    // Commands posted after the end are dropped.
    Windows().dialog()->postCommand(ctl::kScan, 0);
    QTest::qWait(50);
    EXPECT_EQ(events.commands.size(), 1u);
}

}  // namespace
}  // namespace skewmon::qttest
