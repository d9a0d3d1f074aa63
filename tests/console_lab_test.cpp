// The console mode against the lab's real servers: asking many machines at
// once must list and grade exactly what asking one after another does, and a
// quit must take every helper with it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/console_report.h"
#include "platform/headless/headless_dialog.h"
#include "platform/linux/process/process_query_runner.h"
#include "tests/fakes.h"
#include "tests/lab_support.h"
#include "ui/main_dialog.h"

namespace skewmon::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using nlohmann::json;

// Two readings of one clock: Samba's whole seconds put an answer up to a
// second below the truth, so two scans may differ by that much.
constexpr std::int64_t kToleranceMs = 1100;

class ParallelLab : public ::testing::Test {
protected:
    ParallelLab() : program(Platform{system, windows, runner, browser, discovery}) {}

    void SetUp() override {
        lab = Lab::FromEnvironment();
        if (!lab) GTEST_SKIP() << "no lab (SKEWMON_LAB_DIR): run through ctest";
        char pattern[] = "/tmp/skewmon-parallel-lab-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        system.name = "SKEWTEST";
    }
    void TearDown() override {
        if (!dir.empty()) fs::remove_all(dir);
    }

    int run(const std::string& list, int parallel, ReportFormat format) {
        const fs::path file = dir / "machines.txt";
        std::ofstream(file) << list;
        program.options = {};
        program.options.request = ConsoleRequest::kReport;
        program.options.listFile = file.string();
        program.options.parallel = parallel;
        program.options.format = format;
        out.str("");
        err.str("");
        return RunConsoleReport(program, "--report", out, err);
    }

    std::optional<Lab> lab;
    fs::path dir;
    RecordingSystem system;
    platform::HeadlessWindowSystem windows;
    platform::ProcessQueryRunner runner{TodHelperPath()};
    ScriptedBrowser browser;
    platform::DiscoveryServices discovery;
    Program program;
    std::ostringstream out, err;
};

TEST_F(ParallelLab, TogetherListsAndGradesTheLabAsOneAfterAnother) {
    std::string list = lab->hung + "\n" + lab->silent + "\nskewtest\n";
    for (const LabServer& server : lab->servers) list += server.address + "\n";

    const int sequentialStatus = run(list, 1, ReportFormat::kJson);
    json sequential;
    ASSERT_NO_THROW(sequential = json::parse(out.str())) << out.str();
    const Steady::time_point began = Steady::now();
    const int togetherStatus = run(list, 8, ReportFormat::kJson);
    const auto took = Steady::now() - began;
    json together;
    ASSERT_NO_THROW(together = json::parse(out.str())) << out.str();

    EXPECT_EQ(togetherStatus, sequentialStatus);
    EXPECT_EQ(together["summary"], sequential["summary"]);
    EXPECT_EQ(together["recommendation"], sequential["recommendation"]);
    EXPECT_EQ(together["machinesFound"], sequential["machinesFound"]);
    EXPECT_EQ(together["machinesFound"], static_cast<int>(lab->servers.size()) + 1);
    const json& a = sequential["machines"];
    const json& b = together["machines"];
    ASSERT_EQ(a.size(), lab->servers.size() + 3);
    ASSERT_EQ(b.size(), a.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(b[i]["name"], a[i]["name"]) << i;
        EXPECT_EQ(b[i]["answered"], a[i]["answered"]) << a[i]["name"];
        if (!a[i]["answered"].get<bool>() || !b[i]["answered"].get<bool>()) continue;
        const std::int64_t ms = b[i]["offsetMs"];
        EXPECT_NEAR(ms, a[i]["offsetMs"].get<std::int64_t>(), kToleranceMs) << a[i]["name"];
    }
    for (std::size_t i = 0; i < lab->servers.size(); ++i)
        EXPECT_NEAR(b[i + 3]["offsetMs"].get<std::int64_t>(), lab->servers[i].shiftMs, kToleranceMs)
            << lab->servers[i].name;
    EXPECT_EQ(b[0]["answered"], false);  // the hung server
    EXPECT_EQ(b[2]["local"], true);
    EXPECT_NEAR(together["worst"]["ms"].get<std::int64_t>(), sequential["worst"]["ms"].get<std::int64_t>(),
                kToleranceMs);
    // The hung server's time limit runs beside the others' answers.
    EXPECT_LT(took, 6s);
}

TEST_F(ParallelLab, AQuitEndsEveryQueryAndEveryHelperAtOnce) {
    std::string list;
    for (int i = 0; i < 12; ++i) list += lab->hung + "\n";
    auto scan = std::async(std::launch::async, [&] { return run(list, 8, ReportFormat::kCheck); });
    // Up to eight helpers for the eight queries under way.
    const Steady::time_point until = Steady::now() + 10s;
    std::size_t helpers = 0;
    while (Steady::now() < until && (helpers = ChildProcesses().size()) < 8) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(helpers, 8u);

    const Steady::time_point asked = Steady::now();
    MainDialog::RequestQuit();
    ASSERT_EQ(scan.wait_for(5s), std::future_status::ready);
    EXPECT_LT(Steady::now() - asked, 1s);
    EXPECT_EQ(scan.get(), 3);
    EXPECT_EQ(out.str(), "SKEWMON UNKNOWN - Scan did not complete\n");
    EXPECT_TRUE(ChildProcesses().empty());
}

}  // namespace
}  // namespace skewmon::testing

// Client settings of the tests' own for every query: a HOME made before any
// thread starts.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    skewmon::testing::ScopedClientHome home("SKEWTEST");
    return RUN_ALL_TESTS();
}
