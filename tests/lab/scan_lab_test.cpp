// Whole scans against the lab: the real main dialog on the screenless
// dialog, the real Linux services and the real query path, a machine list
// naming lab servers, the local machine, the silent address and the hung
// server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/linux/samba/smb_settings.h"
#include "platform/linux/system/linux_system.h"
#include "tests/harness/screenless.h"
#include "tests/lab/lab_program.h"
#include "tests/lab/lab_support.h"
#include "timing/variance_text.h"
#include "ui/main_dialog.h"

namespace skewmon::testing {
namespace {

using Steady = std::chrono::steady_clock;

// A measured row split into its parts; the variance read back as milliseconds.
struct MeasuredRow {
    std::string name;
    char sign = '?';
    std::int64_t ms = -1;
};

std::optional<MeasuredRow> ParseRow(const std::string& row) {
    std::istringstream fields(row);
    MeasuredRow parsed;
    std::string sign, variance;
    if (!std::getline(fields, parsed.name, '\t') || !std::getline(fields, sign, '\t') ||
        !std::getline(fields, variance, '\t') || sign.size() != 1)
        return std::nullopt;
    int years, days, hours, minutes, seconds, millis;
    if (std::sscanf(variance.c_str(), "%2d %3d %2d:%2d:%2d.%3d", &years, &days, &hours, &minutes, &seconds,
                    &millis) != 6)
        return std::nullopt;
    parsed.sign = sign[0];
    parsed.ms = ((((std::int64_t{years} * 365 + days) * 24 + hours) * 60 + minutes) * 60 + seconds) * 1000 + millis;
    // The whole row must be exactly what the program makes of that value.
    if (row != parsed.name + "\t" + sign + "\t" + std::string(VarianceText(parsed.ms))) return std::nullopt;
    return parsed;
}

// The Linux services as they are: the local machine is the one the client
// settings name.
class ScanLab : public DialogHarness<LabParts<platform::LinuxSystem>> {
protected:
    void SetUp() override {
        lab = Lab::FromEnvironment();
        if (!lab) GTEST_SKIP() << "no lab (SKEWMON_LAB_DIR): run through ctest";
        ahead = lab->withShift(2000);
        behind = lab->withShift(-3000);
        ASSERT_TRUE(ahead && behind) << "the lab needs servers at +2 s and -3 s";
        local = platform::NetbiosName();
        ASSERT_EQ(local, "SKEWTEST");  // from the tests' own client settings
    }

    void TearDown() override {
        end();
        EXPECT_TRUE(ChildProcesses().empty());
    }

    // Starts the dialog with every row's arrival noted.
    void start() {
        dialog.setRowObserver([this](const std::string& row) {
            std::lock_guard lock(rowsMutex);
            rowTimes.emplace_back(row, Steady::now());
        });
        DialogHarness::start();
    }

    std::vector<std::pair<std::string, Steady::time_point>> rows() {
        std::lock_guard lock(rowsMutex);
        return rowTimes;
    }

    std::optional<Lab> lab;
    const LabServer* ahead = nullptr;
    const LabServer* behind = nullptr;
    std::string local;

    std::mutex rowsMutex;
    std::vector<std::pair<std::string, Steady::time_point>> rowTimes;
};

TEST_F(ScanLab, ScanMeasuresTheLabAndGradesIt) {
    useListFile("; the lab\n" + ahead->address + "\n" + lab->hung + "\n" + local + "\n" + behind->address +
                "\n" + lab->silent + "\n");
    start();
    dialog.command(ctl::kScan);
    ASSERT_TRUE(waitForDone(30s));

    const HeadlessSnapshot s = dialog.snapshot();
    const std::vector<std::string>& list = s.rows(ctl::kResultsList);
    ASSERT_EQ(list.size(), 5u);

    const auto first = ParseRow(list[0]);
    ASSERT_TRUE(first) << list[0];
    EXPECT_EQ(first->name, ahead->address);
    EXPECT_EQ(first->sign, '+');
    EXPECT_GE(first->ms, 2000 - 1000);
    EXPECT_LE(first->ms, 2000 + 50);

    EXPECT_EQ(list[1], lab->hung + "\tNo response or excessive latency");
    EXPECT_EQ(list[2], local + "\t+\t00 000 00:00:00.000");

    const auto fourth = ParseRow(list[3]);
    ASSERT_TRUE(fourth) << list[3];
    EXPECT_EQ(fourth->name, behind->address);
    EXPECT_EQ(fourth->sign, '-');
    EXPECT_GE(fourth->ms, 3000 - 50);
    EXPECT_LE(fourth->ms, 3000 + 1000);

    EXPECT_EQ(list[4], lab->silent + "\tNo response or excessive latency");
    EXPECT_EQ(s.control(ctl::kResultsList).selected, 2);  // the local machine

    // The hung server cost one time-out with its beep, and the scan went on.
    ASSERT_EQ(s.beeps.size(), 1u);
    const auto times = rows();
    ASSERT_EQ(times.size(), 5u);
    const auto waited = s.beeps[0] - times[0].second;
    EXPECT_GE(waited, 3000ms);
    EXPECT_LT(waited, 3300ms);
    EXPECT_GT(times[2].second, s.beeps[0]);

    // Figures and grade from the measured rows.
    const std::int64_t worst = std::max(first->ms, fourth->ms);
    const std::int64_t sum = first->ms - fourth->ms;
    const std::int64_t average = (sum < 0 ? -sum : sum) / 3;
    dialog.runOnDialogThread([&] {
        EXPECT_EQ(program.scan.count, 3);
        EXPECT_EQ(program.scan.worst, worst);
        EXPECT_EQ(program.scan.average, average);
        EXPECT_FALSE(mainDialog->scans().running());
    });
    EXPECT_EQ(s.text(ctl::kWorst), VarianceText(worst));
    EXPECT_EQ(s.text(ctl::kAverage), VarianceText(average));
    EXPECT_EQ(s.text(ctl::kSummary), "Poor");  // worst 2.9 to 4 s, average at most 1 s
    EXPECT_EQ(s.text(ctl::kRecommendation), "Needs Improvement");
    EXPECT_EQ(s.text(ctl::kExplanation).rfind("All machines within a few seconds.", 0), 0u);

    EXPECT_EQ(s.text(ctl::kHeading), "Variance from SKEWTEST yy-ddd-hh:mm:ss.mss (+/- 10 ms)");
    EXPECT_EQ(s.text(ctl::kResultsGroup), "Results");
    EXPECT_EQ(s.text(ctl::kScan), "Re&scan");
    EXPECT_TRUE(s.control(ctl::kScan).enabled);
    EXPECT_TRUE(s.control(ctl::kSaveResults).enabled);
    EXPECT_EQ(s.text(ctl::kClose), "&Close");
    EXPECT_EQ(s.waitCursorDepth, 0);
    EXPECT_TRUE(ChildProcesses().empty());
}

TEST_F(ScanLab, CancelDuringTheHungWaitStopsAtOnceAndTheNextScanWorks) {
    useListFile(ahead->address + "\n" + lab->hung + "\n" + behind->address + "\n");
    start();
    dialog.command(ctl::kScan);
    const std::string checkingHung = "Checking " + lab->hung + "...";
    ASSERT_TRUE(dialog.waitUntil(
        [&](const HeadlessSnapshot& s) { return s.text(ctl::kResultsGroup) == checkingHung; }, 10s));
    const auto hungFrom = Steady::now();
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(ChildProcesses().size(), 1u);  // the hung server's helper

    const auto cancelAt = Steady::now();
    dialog.command(ctl::kClose);
    HeadlessSnapshot s = dialog.snapshot();
    EXPECT_LT(Steady::now() - cancelAt, 200ms);
    for (int id : {ctl::kWorst, ctl::kAverage, ctl::kSummary}) EXPECT_EQ(s.text(id), "Cancelled");
    EXPECT_EQ(s.text(ctl::kRecommendation), "Test cancelled.");
    EXPECT_EQ(s.text(ctl::kResultsGroup), "Results");
    EXPECT_EQ(s.text(ctl::kClose), "&Close");
    EXPECT_TRUE(s.control(ctl::kScan).enabled);
    ASSERT_EQ(s.rows(ctl::kResultsList).size(), 1u);

    // Its helper is killed at once, not at the time limit.
    const auto killedBy = Steady::now() + 500ms;
    while (!ChildProcesses().empty() && Steady::now() < killedBy) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(ChildProcesses().empty());

    // Past the moment the time-out would have come, nothing more arrived.
    std::this_thread::sleep_until(hungFrom + 3500ms);
    s = dialog.snapshot();
    EXPECT_TRUE(s.beeps.empty());
    EXPECT_EQ(s.rows(ctl::kResultsList).size(), 1u);
    EXPECT_EQ(s.text(ctl::kSummary), "Cancelled");
    EXPECT_EQ(s.text(ctl::kResultsGroup), "Results");
    EXPECT_EQ(s.waitCursorDepth, 0);

    // A new scan runs in full.
    dialog.command(ctl::kScan);
    ASSERT_TRUE(waitForDone(30s));
    s = dialog.snapshot();
    const auto& list = s.rows(ctl::kResultsList);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1], lab->hung + "\tNo response or excessive latency");
    ASSERT_TRUE(ParseRow(list[2]));
    EXPECT_EQ(ParseRow(list[2])->sign, '-');
    EXPECT_EQ(s.beeps.size(), 1u);
    EXPECT_NE(s.text(ctl::kSummary), "Cancelled");
}

}  // namespace
}  // namespace skewmon::testing
