// The console report's JSON document and monitoring line, from the results of
// a finished scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <regex>

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

TEST(Thresholds, ReadTheMonitoringPluginsRangeSyntax) {
    struct Case {
        const char* text;
        std::vector<std::pair<double, bool>> alerts;  // seconds, whether it alerts
    };
    const Case cases[] = {
        {"10", {{0, false}, {10, false}, {10.001, true}, {-0.5, true}}},
        {"0.25", {{0.25, false}, {0.251, true}}},
        {"10:", {{9.999, true}, {10, false}, {1e9, false}}},
        {"~:10", {{-1e9, false}, {10, false}, {10.5, true}}},
        {"10:20", {{9, true}, {10, false}, {20, false}, {21, true}}},
        {"@10:20", {{9, false}, {10, true}, {20, true}, {21, false}}},
        {":5", {{0, false}, {5.1, true}}},
    };
    for (const Case& c : cases) {
        const std::optional<ThresholdRange> range = ParseThresholdRange(c.text);
        ASSERT_TRUE(range) << c.text;
        EXPECT_EQ(range->text, c.text);
        for (const auto& [seconds, alerts] : c.alerts) EXPECT_EQ(RangeAlerts(*range, seconds), alerts) << c.text << " " << seconds;
    }
    for (const char* bad : {"", "@", ":", "~:", "20:10", "1e3", "10s", "ten", "1,5", "--1", "1:2:3", "inf", "nan", ".",
                            "@~", "0x10", " 10", "10 "})
        EXPECT_FALSE(ParseThresholdRange(bad)) << '"' << bad << '"';
}

TEST(Thresholds, TheWorstMachineDecidesAndIsNamed) {
    const ScanResult scan = Scan({{"CALM", 200}, {"DRIFTING", -12500}, {"LOST", 75000}, {"GONE", kNoResponse}});
    EXPECT_EQ(ExitStatus(scan, Thresholds("10", "60")), 2);
    EXPECT_EQ(Check(scan, Thresholds("10", "60")),
              "SKEWMON CRITICAL - LOST off by +00:01:15.000 (critical 60), worst 00:01:15.000 on LOST, 3 of 4 "
              "machines answered | 'CALM'=0.200s;10;60 'DRIFTING'=-12.500s;10;60 'LOST'=75.000s;10;60 "
              "worst=75.000s average=20.900s answered=3 silent=1\n");
    const std::string warning = Check(scan, Thresholds("10", "100"));
    EXPECT_EQ(warning.rfind("SKEWMON WARNING - LOST off by +00:01:15.000 (warning 10), ", 0), 0u) << warning;
    EXPECT_EQ(ExitStatus(scan, Thresholds("", "~:80")), 0);
    EXPECT_EQ(ExitStatus(scan, Thresholds("@0:1", "")), 1);  // CALM lies inside
    const std::string calm = Check(scan, Thresholds("@0:1", ""));
    EXPECT_NE(calm.find("CALM off by +00:00:00.200 (warning @0:1)"), std::string::npos) << calm;
    EXPECT_EQ(Check(scan, Thresholds("100", "")).rfind("SKEWMON OK - worst 00:01:15.000 on LOST, 3 of 4", 0), 0u);
    // A machine that does not answer counts as --silent says; the worst wins.
    EXPECT_EQ(ExitStatus(scan, Thresholds("100", "", 2)), 2);
    EXPECT_EQ(Check(scan, Thresholds("100", "", 2)).rfind("SKEWMON CRITICAL - GONE did not answer, worst ", 0), 0u);
    EXPECT_EQ(ExitStatus(scan, Thresholds("10", "", 3)), 1);  // UNKNOWN weighs less than WARNING
    EXPECT_EQ(ExitStatus(scan, Thresholds("100", "", 3)), 3);
    // Without thresholds the grade decides, --silent still counts.
    EXPECT_EQ(ExitStatus(Scan({{"A", 50}, {"B", kNoResponse}}), Thresholds("", "", 1)), 1);
    EXPECT_EQ(ExitStatus(Scan({{"A", 50}, {"B", kNoResponse}}), {}), 0);
}

TEST(Thresholds, PerfdataLabelsSurviveAnyNameAndNumbersStayPlain) {
    const std::string line =
        Check(Scan({{"O'BRIEN", 1}, {"A=B|C\tD\x7f", -2}, {"%s%n", 123456789012LL}, {"SP ACE", -1}, {"", 3}}));
    const std::string perfdata = line.substr(line.find(" | ") + 3);
    EXPECT_EQ(perfdata,
              "'O''BRIEN'=0.001s;; 'A_B_C_D_'=-0.002s;; '%s%n'=123456789.012s;; 'SP ACE'=-0.001s;; '_'=0.000s;; "
              "worst=123456789.012s average=24691357.802s answered=5 silent=0\n");
    EXPECT_FALSE(std::regex_search(perfdata, std::regex("[0-9][eE]"))) << "an exponent in " << perfdata;
}

TEST(Thresholds, AHugeNetworkKeepsItsWorstMachinesWithinTheLimit) {
    std::vector<std::pair<std::string, Offset>> answers;
    for (int i = 0; i < 2000; ++i) answers.emplace_back("MACHINE-" + std::to_string(i) + std::string(40, 'x'), i);
    const std::string line = Check(Scan(answers));
    EXPECT_LE(line.size(), kMaxCheckLine);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    const std::size_t kept = static_cast<std::size_t>(std::count(line.begin(), line.end(), '\'')) / 2;
    ASSERT_GT(kept, 50u);
    ASSERT_LT(kept, 2000u);
    EXPECT_NE(line.find(", " + std::to_string(2000 - kept) + " machines left out of the performance data |"),
              std::string::npos)
        << line.substr(0, 300);
    // The worst ones: the last of the list.
    EXPECT_NE(line.find("'MACHINE-1999" + std::string(40, 'x') + "'=1.999s"), std::string::npos);
    EXPECT_EQ(line.find("'MACHINE-0" + std::string(40, 'x') + "'"), std::string::npos);
    EXPECT_NE(line.find(" worst=1.999s average=0.999s answered=2000 silent=0\n"), std::string::npos);
}

TEST(CsvReport, QuotesWhatNeedsItAndDisarmsFormulas) {
    ScanResult scan = Scan({{"=HYPERLINK(\"x\")", 2000}, {"-2+3", kNoResponse}, {"A,B\r\nC", -250}, {"HERE", 0},
                            {"CAF\xe9", 5}, {"@SUM", 1}, {"\tTAB", 1}, {"PLAIN", 1}},
                           "HERE");
    const std::string csv = CsvReport(scan);
    const std::string eol = "\r\n";
    EXPECT_EQ(csv.rfind("name,answered,local,offsetMs,sign,variance,remark,method,roundTripMs,errorBoundMs,reference,"
                            "driftStatus,driftRateMsPerDay,driftUncertaintyMsPerDay,driftReadings,driftLastStep,"
                            "driftKerberosLimitAt" + eol,
                        0),
              0u);
    EXPECT_NE(csv.find(eol + "\"'=HYPERLINK(\"\"x\"\")\",true,false,2000,+,00 000 00:00:02.000,>2 secs,time of day,8,14,false,,,,,," +
                       eol),
              std::string::npos)
        << csv;
    EXPECT_NE(csv.find(eol + "'-2+3,false,false,,,No response or excessive latency,,,,,false,,,,,," + eol), std::string::npos);
    EXPECT_NE(csv.find(eol + "\"A,B\r\nC\",true,false,-250,-,00 000 00:00:00.250,,time of day,8,14,false,,,,,," + eol),
              std::string::npos);
    EXPECT_NE(csv.find(eol + "HERE,true,true,0,+,00 000 00:00:00.000,,,,0,true,,,,,," + eol), std::string::npos);
    EXPECT_NE(csv.find(eol + "CAF\xef\xbf\xbd,"), std::string::npos);
    EXPECT_NE(csv.find(eol + "'@SUM,"), std::string::npos);
    EXPECT_NE(csv.find(eol + "'\tTAB,"), std::string::npos);
    EXPECT_NE(csv.find(eol + "PLAIN,"), std::string::npos);
}

// With a history, the drift figures travel in every format for programs;
// a machine listed twice is still one series to a scrape.
TEST(DriftFields, JsonCsvAndPrometheusCarryTheRateItsUncertaintyReadingsAndLastStep) {
    ScanResult scan = Scan({{"FAST", 2000}, {"NEW", 10}, {"FAST", 2001}, {"HERE", 0}}, "HERE");
    DriftFigures fast;
    fast.status = "rate";
    fast.rateMsPerDay = 43200;
    fast.uncertaintyMsPerDay = 400;
    fast.significant = true;
    fast.readings = 8;
    fast.lastStepMs = 1796688000000;  // 2026-12-08T00:00:00Z
    scan.machines[0].drift = fast;
    scan.machines[2].drift = fast;
    DriftFigures young;
    young.status = "not enough history";
    young.readings = 2;
    scan.machines[1].drift = young;

    const nlohmann::json document = nlohmann::json::parse(JsonReport(scan));
    EXPECT_EQ(document["machines"][0]["drift"]["rateMsPerDay"], 43200.0);
    EXPECT_EQ(document["machines"][0]["drift"]["ratePpm"], 43200.0 / 86.4);
    EXPECT_EQ(document["machines"][0]["drift"]["lastStep"], "2026-12-08T00:00:00.000Z");
    EXPECT_EQ(document["machines"][1]["drift"]["status"], "not enough history");
    EXPECT_TRUE(document["machines"][1]["drift"]["rateMsPerDay"].is_null());
    EXPECT_TRUE(document["machines"][3]["drift"].is_null());

    const std::string csv = CsvReport(scan);
    EXPECT_NE(csv.find(",false,rate,43200.000,400.000,8,2026-12-08T00:00:00.000Z,\r\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find(",false,not enough history,,,2,,\r\n"), std::string::npos) << csv;

    const std::string metrics = PrometheusReport(scan);
    EXPECT_NE(metrics.find("skewmon_machine_drift_ratio{machine=\"FAST\"} 0.000500000000\n"), std::string::npos)
        << metrics;
    EXPECT_EQ(metrics.find("skewmon_machine_drift_ratio{machine=\"FAST\"}"),
              metrics.rfind("skewmon_machine_drift_ratio{machine=\"FAST\"}"));
    EXPECT_EQ(metrics.find("skewmon_machine_answered{machine=\"FAST\"}"),
              metrics.rfind("skewmon_machine_answered{machine=\"FAST\"}"));
    EXPECT_NE(metrics.find("skewmon_machine_drift_readings{machine=\"NEW\"} 2\n"), std::string::npos);
    EXPECT_NE(metrics.find("skewmon_machine_drift_last_step_timestamp_seconds{machine=\"FAST\"} 1796688000.000\n"),
              std::string::npos);
    EXPECT_EQ(metrics.find("drift_ratio{machine=\"NEW\"}"), std::string::npos);
}

TEST(PrometheusReport, EscapesLabelsAndLeavesOutWhatIsNotKnown) {
    ScanResult scan = Scan({{"Q\"B\\N\nX", 1500}, {"B\xff", kNoResponse}, {"HERE", 0}}, "HERE");
    scan.started = std::chrono::sys_days{std::chrono::year{2026} / 12 / 8};
    scan.duration = std::chrono::milliseconds(2500);
    const std::string text = PrometheusReport(scan);
    EXPECT_NE(text.find("skewmon_machine_offset_seconds{machine=\"Q\\\"B\\\\N\\nX\",method=\"time of day\"} 1.500\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("skewmon_machine_answered{machine=\"B\xef\xbf\xbd\"} 0\n"), std::string::npos);
    EXPECT_EQ(text.find("skewmon_machine_offset_seconds{machine=\"B"), std::string::npos);
    EXPECT_NE(text.find("skewmon_machine_offset_seconds{machine=\"HERE\"} 0.000\n"), std::string::npos);
    EXPECT_EQ(text.find("skewmon_machine_round_trip_seconds{machine=\"HERE\""), std::string::npos);
    EXPECT_NE(text.find("skewmon_machine_error_bound_seconds{machine=\"Q\\\"B\\\\N\\nX\",method=\"time of day\"} 0.014\n"),
              std::string::npos);
    EXPECT_NE(text.find("\nskewmon_grade_info{grade=\"fair\",summary=\"Fair\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nskewmon_reference_info{machine=\"HERE\",local=\"true\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("\nskewmon_machines_answered 2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nskewmon_machines_silent 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nskewmon_scan_duration_seconds 2.500\n"), std::string::npos);
    EXPECT_NE(text.find("\nskewmon_scan_end_timestamp_seconds 1796688002.500\n"), std::string::npos) << text;
    // Nothing answered: no worst or average to give.
    const std::string none = PrometheusReport(Scan({{"GONE", kNoResponse}}));
    EXPECT_EQ(none.find("skewmon_worst_offset_seconds"), std::string::npos);
    EXPECT_NE(none.find("skewmon_grade_info{grade=\"none\",summary=\"N/A\"} 1"), std::string::npos);
}

TEST(Reference, EveryOffsetBecomesTheDifferenceAndTheBoundsAdd) {
    ScanResult scan = Scan({{"AHEAD", 2000}, {"BEHIND", -3000}, {"HERE", 0}, {"GONE", kNoResponse}}, "HERE");
    const std::string before = JsonReport(scan);
    EXPECT_EQ(MeasureFromReference(scan, "gone"), "the reference machine gone did not answer");
    EXPECT_EQ(MeasureFromReference(scan, "NOWHERE\n"), "the reference machine NOWHERE? is not among the machines scanned");
    EXPECT_EQ(JsonReport(scan), before);  // left as it was

    ASSERT_EQ(MeasureFromReference(scan, "ahead"), std::nullopt);
    EXPECT_EQ(scan.reference, "AHEAD");
    EXPECT_FALSE(scan.referenceIsLocal);
    EXPECT_EQ(scan.machines[0].offsetMs, 0);
    EXPECT_TRUE(scan.machines[0].reference);
    EXPECT_EQ(scan.machines[0].errorBoundMs, 0);
    EXPECT_EQ(scan.machines[1].offsetMs, -5000);
    EXPECT_EQ(scan.machines[1].variance, "00 000 00:00:05.000");
    EXPECT_EQ(scan.machines[1].remark, ">5 secs");
    EXPECT_EQ(scan.machines[1].errorBoundMs, 28);
    EXPECT_EQ(scan.machines[2].offsetMs, -2000);  // this machine, a row like the others
    EXPECT_EQ(scan.machines[2].sign, "-");
    EXPECT_FALSE(scan.machines[2].reference);
    EXPECT_EQ(scan.machines[2].errorBoundMs, 14);
    EXPECT_EQ(scan.worstMs, 5000);
    EXPECT_EQ(scan.averageMs, 7000 / 3);
    EXPECT_EQ(scan.grade.level, Grade::kUnacceptable);
    EXPECT_EQ(scan.machinesFound, 3);
    const std::string text = TextReport(scan);
    EXPECT_NE(text.find("\r\nfunction, between the reference machine (AHEAD) and the other machines\r\n"),
              std::string::npos);
    EXPECT_NE(Check(scan).find(", measured from AHEAD |"), std::string::npos);
    EXPECT_EQ(json::parse(JsonReport(scan))["reference"], json({{"name", "AHEAD"}, {"local", false}}));
}

TEST(ConsoleOptions, ThresholdsFormatsOutputAndReference) {
    const CommandLineOptions options = ParseCommandLine({"--report", "-w", "0.5", "--critical=@1:2", "--silent",
                                                         "Critical", "--output", "/tmp/x.prom", "--reference",
                                                         "pdc", "--format", "PROMETHEUS"});
    EXPECT_EQ(options.error, "");
    ASSERT_TRUE(options.check.warning && options.check.critical);
    EXPECT_EQ(options.check.warning->text, "0.5");
    EXPECT_TRUE(options.check.critical->alertInside);
    EXPECT_EQ(options.check.silentStatus, 2);
    EXPECT_EQ(options.outputFile, "/tmp/x.prom");
    EXPECT_EQ(options.reference, "pdc");
    EXPECT_EQ(options.format, ReportFormat::kPrometheus);
    EXPECT_EQ(ParseCommandLine({"--report", "--format", "csv"}).format, ReportFormat::kCsv);
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--report", "-w", "20:10"}, {"--report", "-c"}, {"--report", "--silent", "maybe"},
          {"--report", "--output"}, {"--report", "--reference="}, {"--report", "-w", "1e3"}}) {
        const std::string line = UsageErrorLine(ParseCommandLine(bad).error);
        EXPECT_NE(ParseCommandLine(bad).error, "") << bad.back();
        EXPECT_EQ(line.find('\n'), line.size() - 1);
    }
}

}  // namespace
}  // namespace skewmon
