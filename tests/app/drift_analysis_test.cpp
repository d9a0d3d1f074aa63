// Drift from readings: the weighted fit and its uncertainty, steps, the
// minimum history, the Kerberos projection, and what the console makes of
// it (text, thresholds, ranges, options).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "app/command_line.h"
#include "app/drift_analysis.h"
#include "app/drift_console.h"
#include "app/drift_plot.h"
#include "app/drift_range.h"
#include "app/drift_report.h"
#include "tests/app/history_machines.h"

namespace skewmon {
namespace {

constexpr std::int64_t kStart = testing::kHistoryStart;
using testing::Machine;

constexpr std::int64_t kMinute = 60000;

// A small deterministic noise in [-1, 1].
double Noise(int i) { return std::sin(i * 12.9898) * 0.999; }

// `count` readings `every` apart, offset = start + rate (ms/day), each off by
// up to `noise` ms, all with bound `bound`.
std::vector<DriftReading> Line(int count, std::int64_t every, double startMs, double ratePerDay, double noise = 0,
                               double bound = 5, std::int64_t from = kStart) {
    std::vector<DriftReading> readings;
    for (int i = 0; i < count; ++i) {
        const std::int64_t t = from + i * every;
        readings.push_back({t, startMs + ratePerDay * static_cast<double>(t - from) / kMsPerDay + noise * Noise(i), bound});
    }
    return readings;
}

// The readings as the history of one machine, one record per reading.
std::vector<HistoryRecord> Records(const std::vector<DriftReading>& readings, const std::string& name = "SRV1") {
    std::vector<HistoryRecord> records;
    for (const DriftReading& r : readings)
        records.push_back({r.timeMs, "", {Machine(name, true, std::llround(r.offsetMs), r.errorBoundMs, "negotiate")}});
    return records;
}

MachineDrift Only(const std::vector<HistoryRecord>& records) {
    const std::vector<MachineDrift> drifts = AnalyseDrift(records);
    EXPECT_EQ(drifts.size(), 1u);
    return drifts.empty() ? MachineDrift{} : drifts.front();
}

TEST(DriftFit, ANoiselessLineGivesItsRateAndOffsetExactly) {
    const std::optional<LineFit> fit = FitLine(Line(5, 10 * kMinute, 2000, 43200));
    ASSERT_TRUE(fit);
    EXPECT_NEAR(fit->ratePerMs * kMsPerDay, 43200, 1e-6);
    EXPECT_NEAR(fit->offsetAtLast, 2000 + 43200.0 * 40 / 1440, 1e-6);
}

TEST(DriftFit, TheUncertaintyShrinksWithASpanAndGrowsWithScatterBeyondTheBounds) {
    const double shortSpan = FitLine(Line(5, 5 * kMinute, 0, 1000))->rateSigma;
    const double longSpan = FitLine(Line(5, 50 * kMinute, 0, 1000))->rateSigma;
    EXPECT_LT(longSpan, shortSpan / 5);
    // Readings that stray far past their 5-ms bounds: the bounds lied.
    const double honest = FitLine(Line(8, 10 * kMinute, 0, 1000, 4))->rateSigma;
    const double scattered = FitLine(Line(8, 10 * kMinute, 0, 1000, 200))->rateSigma;
    EXPECT_GT(scattered, honest * 10);
}

TEST(DriftFit, ReadingsWithNarrowBoundsOutweighWideOnes) {
    // Whole-second answers a second low beside exact negotiate readings.
    std::vector<DriftReading> readings = Line(6, 10 * kMinute, 0, 8640, 0, 2);
    for (int i = 0; i < 6; ++i) readings.push_back({kStart + i * 10 * kMinute + 5 * kMinute, -1000.0 * (i % 2), 1000});
    std::stable_sort(readings.begin(), readings.end(), [](auto& a, auto& b) { return a.timeMs < b.timeMs; });
    EXPECT_NEAR(FitLine(readings)->ratePerMs * kMsPerDay, 8640, 200);
}

TEST(DriftFit, NeedsTwoDifferentTimes) {
    EXPECT_FALSE(FitLine({}));
    EXPECT_FALSE(FitLine({{kStart, 1, 1}}));
    EXPECT_FALSE(FitLine({{kStart, 1, 1}, {kStart, 5, 1}}));
}

TEST(DriftAnalysis, NoRateFromTooFewReadingsOrTooShortASpan) {
    // Two readings an hour apart; five readings over nine minutes.
    EXPECT_EQ(Only(Records(Line(2, 60 * kMinute, 0, 5000))).status, DriftStatus::kNotEnoughHistory);
    const MachineDrift brief = Only(Records(Line(5, 135 * 1000, 0, 5000)));
    EXPECT_EQ(brief.status, DriftStatus::kNotEnoughHistory);
    EXPECT_EQ(brief.readings, 5);
    // Three readings over exactly ten minutes are enough.
    const MachineDrift enough = Only(Records(Line(3, 5 * kMinute, 0, 5000)));
    ASSERT_EQ(enough.status, DriftStatus::kRate);
    EXPECT_NEAR(enough.rateMsPerDay, 5000, 150);
    EXPECT_EQ(enough.readings, 3);
}

TEST(DriftAnalysis, ASetClockStartsANewSegmentAndTheRateComesFromIt) {
    std::vector<DriftReading> readings = Line(4, 5 * kMinute, 1000, -2000);
    // Set 20 s ahead, then drifting at another rate.
    const std::int64_t setAt = kStart + 20 * kMinute;
    for (const DriftReading& r : Line(4, 5 * kMinute, 21000, 8640, 1, 5, setAt)) readings.push_back(r);
    const MachineDrift drift = Only(Records(readings));
    ASSERT_TRUE(drift.lastStepMs);
    EXPECT_EQ(*drift.lastStepMs, setAt);
    ASSERT_EQ(drift.status, DriftStatus::kRate);
    EXPECT_EQ(drift.readings, 4);
    EXPECT_NEAR(drift.rateMsPerDay, 8640, 3 * drift.uncertaintyMsPerDay + 100);
    EXPECT_EQ(drift.segmentStartMs, setAt);
}

TEST(DriftAnalysis, ScatterWithinTheBoundsIsNoStep) {
    // Fifty readings, each up to its whole bound off the line.
    EXPECT_EQ(SplitAtSteps(Line(50, 5 * kMinute, 300, 20000, 5, 5)).starts.size(), 1u);
    EXPECT_EQ(SplitAtSteps(Line(50, 5 * kMinute, 300, -700, 999, 1000)).starts.size(), 1u);
    // A fast but steady drift is no step either, at any interval.
    EXPECT_EQ(SplitAtSteps(Line(20, 3 * kMinute, 0, 80000, 2, 5)).starts.size(), 1u);
}

TEST(DriftAnalysis, AReadingThatStraysAloneIsLeftOutAndNoStep) {
    std::vector<DriftReading> readings = Line(8, 5 * kMinute, 0, 14400, 0, 5);
    readings[4].offsetMs += 10000;
    const MachineDrift drift = Only(Records(readings));
    EXPECT_FALSE(drift.lastStepMs);
    EXPECT_EQ(drift.readings, 7);
    EXPECT_NEAR(drift.rateMsPerDay, 14400, 50);
    EXPECT_TRUE(SplitAtSteps(readings).outlier[4]);
}

TEST(DriftAnalysis, AStrayNewestReadingCountsAsAStepUntilTheNextScanTells) {
    std::vector<DriftReading> readings = Line(6, 5 * kMinute, 0, 14400, 0, 5);
    readings.back().offsetMs += 10000;
    const MachineDrift set = Only(Records(readings));
    EXPECT_EQ(set.lastStepMs, readings.back().timeMs);
    EXPECT_EQ(set.status, DriftStatus::kNotEnoughHistory);
    // Back on the old line: it was an outlier after all.
    readings.push_back(Line(7, 5 * kMinute, 0, 14400, 0, 5).back());
    const MachineDrift stray = Only(Records(readings));
    EXPECT_FALSE(stray.lastStepMs);
    EXPECT_EQ(stray.status, DriftStatus::kRate);
    EXPECT_EQ(stray.readings, 6);
}

TEST(DriftAnalysis, ProjectsTheDateTheOffsetReachesFiveMinutes) {
    // +14400 ms/day (100 ms every 10 minutes) from 0: 20.8 days to the limit.
    const MachineDrift ahead = Only(Records(Line(7, 10 * kMinute, 0, 14400, 0, 1)));
    ASSERT_TRUE(ahead.significant);
    ASSERT_TRUE(ahead.kerberosCrossingMs);
    EXPECT_NEAR(static_cast<double>(*ahead.kerberosCrossingMs - ahead.lastReadingMs) / kMsPerDay,
                (300000.0 - 600) / 14400, 0.001);
    // Falling behind crosses the other limit: from -100 s at -100000 ms/day, 2 days.
    const MachineDrift behind = Only(Records(Line(7, 10 * kMinute, -100000, -100000, 0, 1)));
    ASSERT_TRUE(behind.kerberosCrossingMs);
    EXPECT_NEAR(static_cast<double>(*behind.kerberosCrossingMs - behind.lastReadingMs) / kMsPerDay, 2 - 1.0 / 24, 0.01);
    // Already past, and too slow to date.
    EXPECT_TRUE(Only(Records(Line(5, 10 * kMinute, 301000, 10, 0, 1))).pastKerberosLimit);
    EXPECT_FALSE(Only(Records(Line(5, 10 * kMinute, 0, 0.5, 0, 1))).kerberosCrossingMs);
}

TEST(DriftAnalysis, AnInsignificantRateIsNotProjected) {
    const MachineDrift drift = Only(Records(Line(3, 5 * kMinute, 0, 10, 900, 1000)));
    ASSERT_EQ(drift.status, DriftStatus::kRate);
    EXPECT_FALSE(drift.significant);
    EXPECT_FALSE(drift.kerberosCrossingMs);
}

TEST(DriftAnalysis, MachinesMatchWhateverTheirLetterCaseAndOnlyAgainstOneReference) {
    std::vector<HistoryRecord> records;
    for (int i = 0; i < 4; ++i) {
        const std::int64_t t = kStart + i * 10 * kMinute;
        records.push_back({t, "", {Machine(i % 2 ? "srv1" : "SRV1", true, i * 100, 5, "negotiate"), Machine("GONE", false, 0, 0, "")}});
        // The same machine against another reference: another series.
        records.push_back({t + 1, "PDC", {Machine("SRV1", true, 50000 + i * 7, 5, "negotiate")}});
    }
    records.push_back({kStart + 40 * kMinute, "", {Machine("Srv1", true, 400, 5, "negotiate"), Machine("NEW", true, 5, 5, "time of day")}});
    const std::vector<MachineDrift> drifts = AnalyseDrift(records);
    ASSERT_EQ(drifts.size(), 3u);
    EXPECT_EQ(drifts[0].name, "Srv1");  // the newest record's machines first, as it names them
    EXPECT_EQ(drifts[0].readings, 5);
    EXPECT_NEAR(drifts[0].rateMsPerDay, 100.0 * 144, 1);
    EXPECT_EQ(drifts[1].name, "NEW");
    EXPECT_EQ(drifts[1].status, DriftStatus::kNotEnoughHistory);
    EXPECT_EQ(drifts[2].name, "GONE");
    EXPECT_EQ(drifts[2].status, DriftStatus::kNoAnswers);
}

TEST(DriftRangeSyntax, ReadsEveryFormOfMonitoringPlugins) {
    struct Case {
        const char* text;
        double value;
        bool alerts;
    } cases[] = {{"10", 11, true},     {"10", 10, false},    {"10", -1, true},      {"10:", 9.9, true},
                 {"10:", 1e9, false},  {"~:10", -1e9, false}, {"~:10", 10.5, true},  {"10:20", 15, false},
                 {"10:20", 21, true},  {"@10:20", 15, true},  {"@10:20", 25, false}, {"2.5", 2.6, true},
                 {"-5:5", -6, true},   {":7", 3, false}};
    for (const Case& c : cases) {
        const std::optional<DriftRange> range = DriftRange::Parse(c.text);
        ASSERT_TRUE(range) << c.text;
        EXPECT_EQ(range->alerts(c.value), c.alerts) << c.text << " " << c.value;
    }
    for (const char* bad : {"", "@", "abc", "20:10", "1e3", "10:x", "~", "1:2:3", "inf", "--5", "5 "})
        EXPECT_FALSE(DriftRange::Parse(bad)) << bad;
}

std::vector<MachineDrift> ThreeMachines() {
    std::vector<HistoryRecord> records;
    for (int i = 0; i < 5; ++i) {
        const std::int64_t t = kStart + i * 5 * kMinute;
        records.push_back({t, "",
                           {Machine("slow", true, -i * 35, 5, "negotiate"),
                            Machine("fast|one", true, 2000 + i * 150, 5, "negotiate"),
                            Machine("young", i == 4, 30, 5, "negotiate")}});
    }
    return AnalyseDrift(records);
}

TEST(DriftFormat, ListsTheFastestFirstAndSaysWhyAMachineHasNoRate) {
    DriftSource source{"/var/lib/skewmon/history.jsonl", 5, kStart, kStart + 20 * kMinute, ""};
    const std::string text = DriftText(ThreeMachines(), source);
    const std::size_t fast = text.find("fast|one"), slow = text.find("slow"), young = text.find("young");
    ASSERT_NE(fast, std::string::npos);
    EXPECT_LT(fast, slow);
    EXPECT_LT(slow, young);
    EXPECT_NE(text.find("+43200.0 \u00b1 "), std::string::npos) << text;
    EXPECT_NE(text.find("-10080.0 \u00b1 "), std::string::npos) << text;
    EXPECT_NE(text.find("not enough history: 1 reading over 0 minutes"), std::string::npos) << text;
    EXPECT_NE(text.find("5 scans, 2026-12-08 00:00 UTC to 2026-12-08 00:20 UTC"), std::string::npos) << text;
    EXPECT_NE(text.find("Offsets against this machine's clock"), std::string::npos);
}

TEST(DriftFormat, ThresholdsRaiseTheStateNameTheFastestAndAddPerformanceData) {
    const std::vector<MachineDrift> drifts = ThreeMachines();
    const DriftCheck quiet = EvaluateDriftCheck(drifts, DriftRange::Parse("50000"), DriftRange::Parse("90000"));
    EXPECT_EQ(quiet.state, 0);
    const DriftCheck warn = EvaluateDriftCheck(drifts, DriftRange::Parse("5000"), DriftRange::Parse("90000"));
    EXPECT_EQ(warn.state, 1);
    EXPECT_EQ(warn.message, "; drift +43200.0 ms/day on fast?one");
    const DriftCheck critical = EvaluateDriftCheck(drifts, std::nullopt, DriftRange::Parse("~:8000"));
    EXPECT_EQ(critical.state, 2);
    EXPECT_NE(critical.perfdata.find(" 'fast_one drift'=43200.0;;~:8000"), std::string::npos) << critical.perfdata;
    EXPECT_NE(critical.perfdata.find(" 'slow drift'=-10080.0;;~:8000"), std::string::npos) << critical.perfdata;
    EXPECT_EQ(EvaluateDriftCheck(drifts, std::nullopt, std::nullopt).message, "");

    const std::string line = CheckLineWithDrift(
        "SKEWMON OK - Excellent!: worst 00:00:02.600 on x, 3 of 3 machines answered | worst=2.600s answered=3\n", 2,
        critical);
    EXPECT_EQ(line,
              "SKEWMON CRITICAL - Excellent!: worst 00:00:02.600 on x, 3 of 3 machines answered; drift +43200.0 "
              "ms/day on fast?one | worst=2.600s answered=3" + critical.perfdata + "\n");
}

TEST(DriftOptions, AreReadAndCheckedTogether) {
    const CommandLineOptions good = ParseCommandLine({"--report", "--history", "/tmp/h", "--history-days=7",
                                                      "--plot", "/tmp/p.svg", "--format", "check",
                                                      "--drift-warning", "100", "--drift-critical=@10:20"});
    EXPECT_EQ(good.error, "");
    EXPECT_EQ(good.drift.historyFile, "/tmp/h");
    EXPECT_EQ(good.drift.historyDays, 7);
    EXPECT_EQ(good.drift.plotFile, "/tmp/p.svg");
    EXPECT_EQ(good.drift.critical, "@10:20");
    EXPECT_EQ(ParseCommandLine({"--report", "--format", "DRIFT", "--history", "h"}).format, ReportFormat::kDrift);

    EXPECT_EQ(ParseCommandLine({"--report", "--format", "drift"}).error, "--format drift needs --history FILE");
    EXPECT_EQ(ParseCommandLine({"--report", "--plot", "p.svg"}).error, "--plot needs --history FILE");
    EXPECT_EQ(ParseCommandLine({"--report", "--history", "h", "--drift-warning", "5"}).error,
              "--drift-warning and --drift-critical go with --format check");
    EXPECT_EQ(ParseCommandLine({"--report", "--history", "h", "--history-days", "0"}).error,
              "--history-days needs a number of days from 1 to 36500, not \"0\"");
    EXPECT_EQ(ParseCommandLine({"--report", "--history", "h", "--format", "check", "--drift-critical", "9:1"}).error,
              "--drift-critical needs a range in ms/day (10, 10:, ~:10, 10:20 or @10:20), not \"9:1\"");
    EXPECT_EQ(ParseCommandLine({"--report", "--history"}).error, "--history needs a file name");
}

TEST(DriftPlot, NamesTheFastestEscapesHostileNamesAndMarksTheLimitOnlyInView) {
    std::vector<HistoryRecord> records;
    for (int i = 0; i < 5; ++i) {
        const std::int64_t t = kStart + i * 5 * kMinute;
        records.push_back({t, "",
                           {Machine("<script>&\"'\x01", true, 250000 + i * 900, 5, "negotiate"),
                            Machine("steady", true, 1000, 5, "negotiate"), Machine("silent", false, 0, 0, "")}});
    }
    const std::string svg = DriftPlotSvg(records, AnalyseDrift(records));
    EXPECT_EQ(svg.find("<script>"), std::string::npos);
    EXPECT_NE(svg.find(">&lt;script&gt;&amp;&quot;&apos;?  +259200 ms/day</text>"), std::string::npos) << svg;
    EXPECT_NE(svg.find("Kerberos limit +5 min"), std::string::npos);
    EXPECT_EQ(svg.find("Kerberos limit \u2212"), std::string::npos);  // -5 min is out of view
    EXPECT_EQ(std::count(svg.begin(), svg.end(), '\n') > 10, true);
    EXPECT_NE(svg.find("polyline"), std::string::npos);

    // Small offsets: no limit in view, and the scale in ms.
    for (HistoryRecord& record : records) record.machines[0].offsetMs /= 1000;
    const std::string small = DriftPlotSvg(records, AnalyseDrift(records));
    EXPECT_EQ(small.find("Kerberos"), std::string::npos);
    EXPECT_NE(small.find("offset (ms, ahead is up)"), std::string::npos);
    EXPECT_NE(DriftPlotSvg({}, {}).find("No machine has answered"), std::string::npos);
}

}  // namespace
}  // namespace skewmon
