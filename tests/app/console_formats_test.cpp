// The console report's JSON document and monitoring line, from the results of
// a finished scan.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/command_line.h"
#include "app/console_formats.h"
#include "app/console_report.h"
#include "scan/assessment.h"
#include "scan/scan_driver.h"
#include "scan/scan_result.h"

namespace skewmon {
namespace {

using nlohmann::json;

// Results as the scan makes them, with its figures and grade.
ScanResult Scan(const std::vector<std::pair<std::string, Offset>>& answers, const std::string& local = "") {
    std::vector<MachineResult> machines;
    for (const auto& [name, offset] : answers)
        machines.push_back(MakeMachineResult(name, name == local, {offset, MeasurementMethod::kTimeOfDay, 8, 10}));
    ScanResult scan = ResultOfScan(machines, local);
    scan.fromListFile = true;
    scan.source = "/opt/skewmon/skewmon.ini";
    return scan;
}

std::string Check(const ScanResult& scan, const CheckOptions& check = {}) { return CheckLine(scan, check); }

CheckOptions Thresholds(std::string_view warning, std::string_view critical, int silent = 0) {
    CheckOptions check;
    if (!warning.empty()) check.warning = ParseThresholdRange(warning);
    if (!critical.empty()) check.critical = ParseThresholdRange(critical);
    check.silentStatus = silent;
    return check;
}

TEST(CheckLine, NamesTheStateTheWorstMachineAndTheTally) {
    const ScanResult scan = Scan({{"127.0.0.11", 2000},
                                    {"127.0.0.12", -3000},
                                    {"127.0.0.13", 400},
                                    {"127.0.0.14", 72873},
                                    {"127.0.0.15", -250},
                                    {"127.0.0.16", 3724518},
                                    {"127.0.0.17", kNoResponse},
                                    {"127.0.0.18", kNoResponse},
                                    {"HERE", 0}},
                                   "HERE");
    EXPECT_EQ(Check(scan),
              "SKEWMON CRITICAL - Not synchronized: worst 01:02:04.518 on 127.0.0.16, 7 of 9 machines "
              "answered | '127.0.0.11'=2.000s;; '127.0.0.12'=-3.000s;; '127.0.0.13'=0.400s;; "
              "'127.0.0.14'=72.873s;; '127.0.0.15'=-0.250s;; '127.0.0.16'=3724.518s;; 'HERE'=0.000s;; "
              "worst=3724.518s average=542.363s answered=7 silent=2\n");
    EXPECT_EQ(ExitStatus(scan, {}), 2);
}

TEST(CheckLine, StateFollowsTheExitStatusBands) {
    struct Band {
        std::vector<std::pair<std::string, Offset>> answers;
        std::string line;
    };
    const Band bands[] = {
        {{{"A", 50}}, "SKEWMON OK - Outstanding!: worst 00:00:00.050 on A, 1 of 1 machines answered"},
        {{{"A", 300}, {"B", -250}}, "SKEWMON OK - Excellent!: worst 00:00:00.300 on A, 2 of 2"},
        {{{"A", 600}, {"B", -500}}, "SKEWMON WARNING - Acceptable: worst 00:00:00.600 on A"},
        {{{"A", -600}, {"B", kNoResponse}}, "SKEWMON WARNING - Fair: worst 00:00:00.600 on A, 1 of 2"},
        {{{"A", 2000}, {"B", -2500}}, "SKEWMON CRITICAL - Poor: worst 00:00:02.500 on B"},
        {{{"A", 3000}}, "SKEWMON CRITICAL - Unacceptable: worst 00:00:03.000 on A"},
        {{{"A", 61000}}, "SKEWMON CRITICAL - Not synchronized: worst 00:01:01.000 on A"},
        {{{"A", kNoResponse}, {"B", kNoResponse}},
         "SKEWMON UNKNOWN - No machines responded: 0 of 2 machines answered | answered=0 silent=2\n"},
        {{}, "SKEWMON UNKNOWN - No machines responded: 0 of 0 machines answered | answered=0 silent=0\n"},
    };
    for (const Band& band : bands) {
        const std::string line = Check(Scan(band.answers));
        EXPECT_EQ(line.rfind(band.line, 0), 0u) << line;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    }
    EXPECT_EQ(IncompleteCheckLine(), "SKEWMON UNKNOWN - Scan did not complete\n");
}

TEST(CheckLine, AProblemThatKeptEveryQueryFromWorkingIsTheReason) {
    ScanResult scan = Scan({{"A", kNoResponse}, {"HERE", 0}}, "HERE");
    scan.problem = "Samba cannot load the SMB client settings: bad line\n2. No machine can be asked.";
    EXPECT_EQ(ExitStatus(scan, {}), 3);
    EXPECT_EQ(CheckLine(scan, {}),
              "SKEWMON UNKNOWN - Samba cannot load the SMB client settings: bad line?2. No machine can be asked. "
              "| answered=1 silent=1\n");
    EXPECT_EQ(json::parse(JsonReport(scan))["problem"], scan.problem);
    EXPECT_TRUE(json::parse(JsonReport(Scan({{"A", 1}})))["problem"].is_null());
}

TEST(CheckLine, StaysOneLineWhateverTheMachineIsCalled) {
    const std::string line = Check(Scan({{"EVIL|worst=0s\nOK", 9000}}));
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    EXPECT_NE(line.find(" on EVIL?worst=0s?OK, "), std::string::npos) << line;
    EXPECT_EQ(line.find('|'), line.find(" | 'EVIL_worst_0s_OK'=9.000s;; worst=9.000s") + 1) << line;
}

TEST(CheckLine, AWorstBeyondADayShowsItsDays) {
    const std::string line = Check(Scan({{"FAR", -(400LL * 86400000 + 1)}}));
    EXPECT_NE(line.find("worst 01 035 00:00:00.001 on FAR"), std::string::npos) << line;
    EXPECT_NE(line.find("worst=34560000.001s"), std::string::npos) << line;
}

TEST(JsonReport, HoldsEveryFieldAndStaysValidForHostileNames) {
    const std::string longName = "L" + std::string(299, 'x');
    const std::string valid = "\xc3\x89TOILE";  // UTF-8 as it should be
    const std::string latin = "CAF\xe9";        // a byte that starts no UTF-8 character
    ScanResult scan = Scan({{"A%s%n%x%d", 2000},
                              {longName, -250},
                              {valid, kNoResponse},
                              {latin, 400},
                              {"B\xff\xfe\x80", 75000},
                              {"HERE", 0}},
                             "HERE");
    scan.machines[3].method = MeasurementMethod::kNegotiate;
    scan.started = std::chrono::sys_days{std::chrono::year{2026} / 12 / 8} + std::chrono::hours(13) +
                   std::chrono::milliseconds(61005);
    scan.duration = std::chrono::milliseconds(1234);
    scan.source = "/srv/lists/t\xe4st.ini";

    const std::string text = JsonReport(scan);
    ASSERT_EQ(text.back(), '\n');
    json doc;
    ASSERT_NO_THROW(doc = json::parse(text)) << text;

    EXPECT_EQ(doc["program"], "Skewmon");
    EXPECT_EQ(doc["version"], "5.2.b.20110601R");
    EXPECT_EQ(doc["localMachine"], "HERE");
    EXPECT_EQ(doc["source"]["type"], "list file");
    EXPECT_EQ(doc["source"]["path"], "/srv/lists/t\xef\xbf\xbdst.ini");
    const json& machines = doc["machines"];
    ASSERT_EQ(machines.size(), 6u);
    EXPECT_EQ(machines[0]["name"], "A%s%n%x%d");
    EXPECT_EQ(machines[0]["answered"], true);
    EXPECT_EQ(machines[0]["offsetMs"], 2000);
    EXPECT_EQ(machines[0]["sign"], "+");
    EXPECT_EQ(machines[0]["variance"], "00 000 00:00:02.000");
    EXPECT_EQ(machines[0]["remark"], ">2 secs");
    EXPECT_EQ(machines[0]["method"], "time of day");
    EXPECT_EQ(machines[1]["name"], longName);
    EXPECT_EQ(machines[1]["offsetMs"], -250);
    EXPECT_EQ(machines[1]["sign"], "-");
    EXPECT_EQ(machines[1]["remark"], "");
    EXPECT_EQ(machines[2]["name"], valid);
    EXPECT_EQ(machines[2]["answered"], false);
    EXPECT_TRUE(machines[2]["offsetMs"].is_null());
    EXPECT_TRUE(machines[2]["method"].is_null());
    EXPECT_EQ(machines[2]["variance"], "No response or excessive latency");
    EXPECT_EQ(machines[3]["name"], "CAF\xef\xbf\xbd");  // replaced, not dropped
    EXPECT_EQ(machines[3]["method"], "negotiate");
    const std::string replaced = machines[4]["name"];
    EXPECT_EQ(replaced.rfind("B\xef\xbf\xbd", 0), 0u);
    EXPECT_EQ(machines[4]["remark"], ">1 min");
    EXPECT_EQ(machines[5]["local"], true);
    EXPECT_EQ(machines[5]["offsetMs"], 0);
    EXPECT_TRUE(machines[5]["method"].is_null());
    EXPECT_EQ(doc["worst"]["ms"], 75000);
    EXPECT_EQ(doc["worst"]["text"], "00 000 00:01:15.000");
    EXPECT_EQ(doc["worst"]["remark"], ">1 min");
    EXPECT_EQ(doc["average"]["ms"], 77150 / 5);
    EXPECT_EQ(doc["machinesFound"], 5);
    EXPECT_EQ(doc["summary"], "Unacceptable");
    EXPECT_EQ(doc["recommendation"], "Install Tidewell");
    EXPECT_EQ(doc["explanation"], scan.grade.explanation);
    // Added fields: how good each reading is, the reference, and when.
    EXPECT_EQ(machines[0]["roundTripMs"], 8);
    EXPECT_EQ(machines[0]["errorBoundMs"], 14);
    EXPECT_TRUE(machines[2]["roundTripMs"].is_null());
    EXPECT_TRUE(machines[2]["errorBoundMs"].is_null());
    EXPECT_TRUE(machines[5]["roundTripMs"].is_null());
    EXPECT_EQ(machines[5]["errorBoundMs"], 0);
    EXPECT_EQ(machines[5]["reference"], true);
    EXPECT_EQ(machines[0]["reference"], false);
    EXPECT_EQ(doc["reference"], json({{"name", "HERE"}, {"local", true}}));
    EXPECT_EQ(doc["started"], "2026-12-08T13:01:01.005Z");
    EXPECT_EQ(doc["durationMs"], 1234);
    EXPECT_EQ(doc["machinesAnswered"], 4);
    EXPECT_EQ(doc["machinesSilent"], 1);
}

TEST(JsonReport, NoMachineCountedHasNoFigures) {
    ScanResult scan = Scan({{"GONE", kNoResponse}});
    scan.fromListFile = false;
    scan.source = "LABGROUP";
    const json doc = json::parse(JsonReport(scan));
    EXPECT_EQ(doc["source"], json({{"type", "browse list"}, {"domain", "LABGROUP"}}));
    EXPECT_TRUE(doc["worst"]["ms"].is_null());
    EXPECT_EQ(doc["average"]["text"], "N/A");
    EXPECT_EQ(doc["machinesFound"], 0);
    EXPECT_EQ(doc["summary"], "N/A");
    EXPECT_EQ(doc["explanation"], "No machines responded");
}

TEST(ConsoleOptions, AReportGivenAValueIsAnErrorNotAPlainReport) {
    const CommandLineOptions wrong = ParseCommandLine({"--report=json"});
    EXPECT_EQ(wrong.request, ConsoleRequest::kReport);
    EXPECT_NE(wrong.error, "");
    const CommandLineOptions right = ParseCommandLine({"--format=check", "--report", "--parallel", "1"});
    EXPECT_EQ(right.error, "");
    EXPECT_EQ(right.format, ReportFormat::kCheck);
    EXPECT_EQ(right.parallel, 1);
}

}  // namespace
}  // namespace skewmon
