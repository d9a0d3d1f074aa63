// The real main dialog in the Qt window, offscreen, with the network made up:
// a machine list file, clocks that answer chosen offsets, one that never does.
#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <cstdio>
#include <memory>
#include <string>

#include "app/startup.h"
#include "platform/linux/qt/qt_dialog.h"
#include "platform/linux/qt/qt_window_system.h"
#include "platform/linux/system/linux_system.h"
#include "state/program.h"
#include "tests/fakes/fakes.h"
#include "ui/main_dialog.h"

namespace skewmon::qttest {

// The window system of the test program, made once in main().
platform::QtWindowSystem& Windows();

// Text as the widget shows it, whatever kind of control it is.
QString Shown(QWidget* widget);

// Waits, handling events, until `done` holds; at most `ms` milliseconds.
template <typename Done>
bool WaitFor(Done done, int ms = 10000) {
    return QTest::qWaitFor(done, ms);
}

// The main dialog in a shown window, in list-file mode.
class MainWindowTest : public ::testing::Test {
protected:
    MainWindowTest() : program(Platform{system, Windows(), runner, browser, discovery}) {
        system.executable = std::nullopt;  // no list file beside it
        std::string commandLine;
        StartUp(program, commandLine);  // the fonts, as the program makes them
    }
    ~MainWindowTest() override {
        if (window) {
            if (!window->hasEnded()) window->endDialog(0);
            WaitFor([&] { return window->isFinished(); }, 5000);
        }
        if (mainDialog) mainDialog->waitForScans();
        window.reset();
        mainDialog.reset();
        ShutDown(program);
    }

    void open(const std::string& machines) {
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        std::fputs(machines.c_str(), file);
        std::fflush(file);
        program.app.machineListFile.reset(file);
        mainDialog = std::make_unique<MainDialog>(program);
        window = std::make_unique<platform::QtDialog>(*mainDialog);
        window->initialise();
        window->showModeless();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    QWidget* control(int id) { return window->control(id); }
    QString shown(int id) { return Shown(control(id)); }
    QPushButton* button(int id) { return qobject_cast<QPushButton*>(control(id)); }
    QListWidget* results() { return qobject_cast<QListWidget*>(control(ctl::kResultsList)); }
    void click(int id) { QTest::mouseClick(control(id), Qt::LeftButton); }
    bool scanDone(int ms = 10000) {
        return WaitFor([&] { return control(ctl::kSaveResults)->isEnabled() && shown(ctl::kClose) == "&Close"; },
                       ms);
    }

    // The Linux services with the computer name WORKSTATION and the
    // browser's openings recorded instead of made.
    testing::Recording<platform::LinuxSystem> system;
    testing::ScriptedRunner runner;
    testing::ScriptedBrowser browser;
    platform::DiscoveryServices discovery;
    Program program;
    std::unique_ptr<MainDialog> mainDialog;
    std::unique_ptr<platform::QtDialog> window;
};

}  // namespace skewmon::qttest
