// The real main dialog in the Qt window, offscreen, with the network made up:
// a machine list file, clocks that answer chosen offsets, one that never does.
#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/startup.h"
#include "platform/browse.h"
#include "platform/linux/qt/qt_dialog.h"
#include "platform/linux/qt/qt_window_system.h"
#include "platform/linux/system/linux_system.h"
#include "state/program.h"
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

// Per machine: its offset after a delay, or a hang. Machines not set answer
// at once without a usable time.
class FakeRunner final : public platform::TimeQueryRunner {
public:
    struct Answer {
        Offset offset = kNoResponse;
        std::chrono::milliseconds delay{0};
        bool hangs = false;
    };
    void set(const std::string& machine, Answer answer) {
        std::lock_guard lock(mutex_);
        answers_["\\\\" + machine] = answer;
    }
    std::unique_ptr<platform::PendingQuery> start(const std::string& serverName, bool) override {
        std::lock_guard lock(mutex_);
        auto it = answers_.find(serverName);
        return std::make_unique<Query>(it == answers_.end() ? Answer{} : it->second);
    }

private:
    class Query final : public platform::PendingQuery {
    public:
        explicit Query(Answer answer) : answer_(answer), ready_(std::chrono::steady_clock::now() + answer.delay) {}
        platform::QueryWait wait(std::optional<std::chrono::milliseconds> limit,
                                 const std::atomic<bool>& stop) override {
            const auto start = std::chrono::steady_clock::now();
            for (;;) {
                if (stop) return platform::QueryWait::kStopped;
                const auto now = std::chrono::steady_clock::now();
                if (!answer_.hangs && now >= ready_) return platform::QueryWait::kFinished;
                if (limit && now - start >= *limit) return platform::QueryWait::kTimedOut;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        Offset result() override { return answer_.offset; }

    private:
        Answer answer_;
        std::chrono::steady_clock::time_point ready_;
    };

    std::mutex mutex_;
    std::map<std::string, Answer> answers_;
};

class NoBrowser final : public platform::NetworkBrowser {
public:
    std::unique_ptr<platform::NetworkEnumeration> open(const platform::NetResourceRequest&) override {
        return nullptr;
    }
};

// The Linux services with a fixed computer name, no list file beside the
// executable, and the browser's openings recorded instead of made.
class UrlRecordingSystem final : public platform::LinuxSystem {
public:
    std::vector<std::string> openedUrls;  // dialog thread only
    std::string computerName(std::size_t capacity) override {
        return std::string("WORKSTATION").substr(0, capacity - 1);
    }
    std::optional<std::string> executablePath() override { return std::nullopt; }
    void openUrl(const std::string& url) override { openedUrls.push_back(url); }
};

// The main dialog in a shown window, in list-file mode.
class MainWindowTest : public ::testing::Test {
protected:
    MainWindowTest() : program(Platform{system, Windows(), runner, browser, discovery}) {
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

    UrlRecordingSystem system;
    FakeRunner runner;
    NoBrowser browser;
    platform::DiscoveryServices discovery;
    Program program;
    std::unique_ptr<MainDialog> mainDialog;
    std::unique_ptr<platform::QtDialog> window;
};

}  // namespace skewmon::qttest
