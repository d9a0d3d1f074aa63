// A day of Rescan in the real Qt window (offscreen) against the domain lab:
// scan after scan of the workgroup's browse list, every tenth cancelled in
// its middle, and every fiftieth run after a domain change on the domain
// list. What the process and its helpers hold after the first scan is what
// they hold at the end.
//
// SKEWMON_SOAK_WINDOW_SCANS sets the number of scans (default 50).
#include <gtest/gtest.h>
#include <netdb.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "app/startup.h"
#include "platform/linux/discovery_services.h"
#include "platform/linux/process/process_query_runner.h"
#include "platform/linux/qt/qt_dialog.h"
#include "platform/linux/qt/qt_widgets.h"
#include "platform/linux/qt/qt_window_system.h"
#include "platform/linux/samba/smbc_browse.h"
#include "platform/linux/system/linux_system.h"
#include "tests/fakes/fakes.h"
#include "tests/harness/screenless.h"
#include "tests/lab/lab_support.h"
#include "tests/lab/soak_figures.h"
#include "ui/main_dialog.h"

namespace skewmon::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kScanLimitMs = 60000;

// Handles the window's events until `done` holds, looking every
// millisecond; at most `ms` milliseconds.
template <typename Done>
bool PollFor(Done done, int ms = kScanLimitMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (done()) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The client settings of a member of the lab's domain whose own workgroup
// is the lab's workgroup: its domain list is the forest's, which names the
// workgroup too, and a domain of it finds its focus among the workgroup's
// browse servers. A folder of its own, with a copy of the lab user's
// tickets; HOME and the Kerberos settings point there for the object's life.
class WorkgroupMemberClient {
public:
    explicit WorkgroupMemberClient(const DomainLab& lab)
        : folder_("skewmon-soak-home"),
          krb5Config_("KRB5_CONFIG", lab.krb5Config),
          ticket_("KRB5CCNAME", "FILE:" + (folder_.path() / "tickets").string()),
          // WINS knows no controller of the workgroup: the directory is named.
          directory_("LDAPURI", "ldap://" + lab.dcHost),
          home_("HOME", folder_.path().string()) {
        std::ifstream member(lab.memberHome + "/.smb/smb.conf");
        std::ostringstream settings;
        std::string line;
        while (std::getline(member, line)) {
            if (line.find("workgroup =") != std::string::npos) line = "  workgroup = " + lab.workgroup;
            for (std::size_t at; (at = line.find(lab.memberHome)) != std::string::npos;)
                line.replace(at, lab.memberHome.size(), folder_.path().string());
            settings << line << "\n";
        }
        const fs::path smb = folder_.path() / ".smb";
        for (const char* sub : {"state", "cache", "lock", "private", "ncalrpc"}) fs::create_directories(smb / sub);
        std::ofstream(smb / "smb.conf") << settings.str();
        unsetenv("USER");
        unsetenv("PASSWD");
        std::error_code error;
        copied_ = fs::copy_file(lab.ticket, tickets(), error);
    }
    bool hasTickets() const { return copied_; }
    // What kdestroy does. The workgroup's servers are no domain members and
    // take guests only, and a query signs in with the user's ticket while
    // the cache holds one in date; the directory is read with the tickets
    // when the window opens.
    void destroyTickets() {
        std::error_code error;
        fs::remove(tickets(), error);
    }

private:
    ScratchFolder folder_;
    ScopedEnvironment krb5Config_, ticket_, directory_, home_;
    fs::path tickets() const { return folder_.path() / "tickets"; }

    bool copied_ = false;
};

// Answers every message box the moment it shows, and keeps its text: a
// box the soak did not expect must not hold the run.
class MessageBoxAnswerer {
public:
    MessageBoxAnswerer() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts_.push_back(box->text().toStdString());
                box->done(QMessageBox::Ok);
            }
        });
        timer_.start(20);
    }
    const std::vector<std::string>& texts() const { return texts_; }

private:
    QTimer timer_;
    std::vector<std::string> texts_;
};

// What a user does in the window and sees of it.
class WindowUser {
public:
    explicit WindowUser(platform::QtDialog& window)
        : window_(window),
          results_(qobject_cast<QListWidget*>(window.control(ctl::kResultsList))),
          selector_(qobject_cast<QComboBox*>(window.control(ctl::kDomainSelector))) {}

    QComboBox& selector() { return *selector_; }
    std::string shown(int id) const {
        QWidget* widget = window_.control(id);
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text().toStdString();
        if (auto* group = qobject_cast<QGroupBox*>(widget)) return group->title().toStdString();
        if (auto* label = qobject_cast<QLabel*>(widget)) return label->text().toStdString();
        return {};
    }
    std::vector<std::string> rows() const {
        std::vector<std::string> texts;
        for (int i = 0; i < results_->count(); ++i) texts.push_back(results_->item(i)->text().toStdString());
        return texts;
    }
    bool running() const { return shown(ctl::kClose) == "&Cancel"; }
    bool done() const { return window_.control(ctl::kSaveResults)->isEnabled() && shown(ctl::kClose) == "&Close"; }

    void click(int id) { QTest::mouseClick(window_.control(id), Qt::LeftButton); }
    // A choice in the domain selector: the window focuses the domain and
    // posts a scan, which starts here.
    void chooseDomain(int index) {
        selector_->setCurrentIndex(index);
        emit selector_->activated(index);
        QCoreApplication::sendPostedEvents(&window_, QEvent::MetaCall);
    }
    // Scan, or a domain change, has started a scan: waits for its end.
    bool scanToEnd() { return running() && PollFor([this] { return done(); }); }
    // Presses Scan, and Cancel once the second machine is being asked;
    // false when the scan ended first.
    bool scanAndCancelInTheMiddle() {
        click(ctl::kScan);
        if (!running()) return false;
        PollFor([this] {
            return !running() || (results_->count() >= 1 && shown(ctl::kResultsGroup).rfind("Checking ", 0) == 0);
        });
        // Nothing of the scan reaches the window between this look and the
        // click: both run on the window's thread.
        if (!running()) return false;
        click(ctl::kClose);
        return shown(ctl::kSummary) == "Cancelled";
    }

private:
    platform::QtDialog& window_;
    QListWidget* results_;
    QComboBox* selector_;
};

class WindowSoak : public ::testing::Test {
protected:
    void SetUp() override {
        found_ = DomainLab::FromEnvironment();
        if (!found_) GTEST_SKIP() << "no domain lab (SKEWMON_DOMAIN_LAB_DIR): run through ctest";
        const DomainLab& lab = *found_;
        ASSERT_NE(std::find(lab.partitions.begin(), lab.partitions.end(), lab.workgroup), lab.partitions.end())
            << "the domain lab's forest names no domain " << lab.workgroup
            << ": start it with LAB_PARTITIONS naming it";
        addrinfo hints{};
        hints.ai_family = AF_INET;
        addrinfo* mapped = nullptr;
        ASSERT_EQ(getaddrinfo(lab.dcHost.c_str(), nullptr, &hints, &mapped), 0)
            << "run in the lab's mount namespace (tests/lab_domain/in_namespace.sh)";
        freeaddrinfo(mapped);
    }

    // Every server of the workgroup's browse list is listed. A server of a
    // loaded machine may miss its time limit now and then: the scans in
    // which every one answered are counted.
    void expectWorkgroupScanned(const WindowUser& user, int scan) {
        const std::vector<std::string> rows = user.rows();
        EXPECT_EQ(rows.size(), found_->shifts.size()) << "scan " << scan;
        bool everyOne = true;
        for (const std::string& row : rows)
            everyOne = everyOne && (row.find("\t+\t") != std::string::npos || row.find("\t-\t") != std::string::npos);
        answeredInFull_ += everyOne ? 1 : 0;
    }

    int answeredInFull_ = 0;

    std::optional<DomainLab> found_;
};

TEST_F(WindowSoak, RescanAllDayGivesBackWhatEachScanTakes) {
    const DomainLab& lab = *found_;
    const int scans = ScanCountFromEnvironment("SKEWMON_SOAK_WINDOW_SCANS", 50);
    const int every = scans >= 200 ? 50 : 10;
    WorkgroupMemberClient client(lab);
    ASSERT_TRUE(client.hasTickets()) << "no ticket cache " << lab.ticket;

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "skewmon_soak";
    static char* argv[] = {name, nullptr};
    std::unique_ptr<platform::WindowSystem> windows = platform::MakeQtWindowSystem(argc, argv);

    Recording<platform::LinuxSystem> system;
    system.name = "SKEWCLIENT";
    system.executable = std::nullopt;  // no list file: the browse list
    platform::ProcessQueryRunner runner(TodHelperPath());
    platform::SmbcNetworkBrowser browser(SKEWMON_BROWSE_PATH);
    platform::LinuxDiscoveryServices discovery;
    Program program(Platform{system, *windows, runner, browser, discovery});
    std::string commandLine;
    StartUp(program, commandLine);
    {
        MessageBoxAnswerer boxes;
        MainDialog mainDialog(program);
        platform::QtDialog window(mainDialog);
        window.initialise();
        window.showModeless();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        client.destroyTickets();
        WindowUser user(window);

        const int workgroup = user.selector().findText(QString::fromStdString(lab.workgroup));
        ASSERT_GE(workgroup, 0) << "the domain list does not name " << lab.workgroup;
        ASSERT_TRUE(user.selector().isEnabled());
        std::vector<int> otherDomains;
        for (int i = 0; i < user.selector().count(); ++i)
            if (i != workgroup) otherDomains.push_back(i);
        ASSERT_FALSE(otherDomains.empty());

        SoakLog log("window", std::cout);
        // The figures once the last scan's thread has ended; its closing
        // steps still need the window's thread while it is waited for.
        auto settle = [&] {
            std::atomic<bool> ended = false;
            std::thread waiter([&] {
                mainDialog.scans().wait();
                ended = true;
            });
            const bool scanEnded = PollFor([&] { return ended.load(); }, 10000);
            waiter.join();
            EXPECT_TRUE(scanEnded);
            return SettledFigures(0, 3000, [] { QCoreApplication::processEvents(); });
        };

        // The first scan: the user chooses the workgroup.
        user.chooseDomain(workgroup);
        ASSERT_TRUE(user.scanToEnd());
        expectWorkgroupScanned(user, 1);
        log.first(settle());

        int cancelled = 0, domainChanges = 1;
        for (int scan = 2; scan <= scans; ++scan) {
            if (scan % 50 == 30 || (scans < 50 && scan == scans - 10)) {
                // Another domain of the forest, whose browse list is empty...
                user.chooseDomain(otherDomains[static_cast<std::size_t>(domainChanges++) % otherDomains.size()]);
                ASSERT_TRUE(user.scanToEnd()) << "scan " << scan;
                EXPECT_TRUE(user.rows().empty()) << "scan " << scan;
            } else if (user.selector().currentIndex() != workgroup) {
                // ... and back to the workgroup.
                user.chooseDomain(workgroup);
                ++domainChanges;
                ASSERT_TRUE(user.scanToEnd()) << "scan " << scan;
                expectWorkgroupScanned(user, scan);
            } else if (scan % 10 == 5) {
                if (user.scanAndCancelInTheMiddle()) ++cancelled;
                ASSERT_FALSE(window.hasEnded()) << "scan " << scan;
            } else {
                user.click(ctl::kScan);
                ASSERT_TRUE(user.scanToEnd()) << "scan " << scan;
                expectWorkgroupScanned(user, scan);
            }
            if (scan % every == 0 || scan == scans) log.checkpoint(scan, settle());
        }
        std::cout << "window: " << scans << " scans, " << cancelled << " cancelled in their middle, "
                  << domainChanges << " domain changes, " << answeredInFull_
                  << " scans of the workgroup with every server answering, " << boxes.texts().size()
                  << " message boxes" << std::endl;
        EXPECT_GT(answeredInFull_, 0);
        // A scan may rarely end between the look and the click.
        EXPECT_GE(cancelled, (scans / 10) * 3 / 4);
        for (const std::string& text : boxes.texts()) ADD_FAILURE() << "message box: " << text;
        for (const std::string& grown : log.growth()) ADD_FAILURE() << grown;

        user.click(ctl::kClose);
        EXPECT_TRUE(window.hasEnded());
        EXPECT_TRUE(PollFor([&] { return window.isFinished(); }, 5000));
        mainDialog.waitForScans();
    }
    ShutDown(program);
}

}  // namespace
}  // namespace skewmon::testing
