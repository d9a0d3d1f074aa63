// Every console format after real scans of the lab's shifted clocks, read by
// the monitoring ecosystem's own tools, and offsets measured from one of the
// lab's servers instead of this machine.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/command_line.h"
#include "app/console_formats.h"
#include "app/console_report.h"
#include "tests/harness/format_tools.h"
#include "tests/lab/lab_program.h"
#include "tests/lab/lab_support.h"

namespace skewmon::testing {
namespace {

using nlohmann::json;

// The negotiate clock reads the servers to the millisecond; two readings of
// the same pair of clocks, each within a few ms, may differ by this much.
constexpr std::int64_t kDifferenceToleranceMs = 10;

class FormatsLab : public LabConsole {
protected:
    // Every lab server, the silent address and this machine.
    std::string labList() const {
        std::string list = lab->silent + "\nskewtest\n";
        for (const LabServer& server : lab->servers) list += server.address + "\n";
        return list;
    }
    // Asked together unless `parallel` says otherwise: one at a time keeps
    // each reading's round trip short on a loaded machine.
    int report(std::vector<std::string> args, int parallel = 8) {
        args.insert(args.begin(), {"--report", "--list", writeListFile(labList()), "--parallel", std::to_string(parallel)});
        program.options = ParseCommandLine(args);
        EXPECT_EQ(program.options.error, "");
        return runReport(WindowCommandLine(program.options));
    }
};

TEST_F(FormatsLab, EveryFormatOfARealScanReadsBack) {
    const int status = report({"--format", "prometheus"});
    EXPECT_EQ(status, 2);  // an hour and more apart
    const ToolRun promtool = PromtoolCheck(out.str());
    EXPECT_EQ(promtool.status, 0) << promtool.output << out.str();
    for (const LabServer& server : lab->servers)
        EXPECT_NE(out.str().find("skewmon_machine_answered{machine=\"" + server.address + "\"} 1\n"), std::string::npos);

    EXPECT_EQ(report({"--format", "check", "-w", "1", "-c", "~:3600"}), 2);
    int perlStatus = -1;
    const std::vector<std::string> labels = PerfdataLabels(out.str(), &perlStatus);
    EXPECT_EQ(perlStatus, 0);
    EXPECT_EQ(labels.size(), lab->servers.size() + 1 + 4) << out.str();  // the servers, this machine, the scan's four
    const LabServer* far = lab->withShift(3725000);
    ASSERT_TRUE(far);
    EXPECT_NE(out.str().find("SKEWMON CRITICAL - " + far->address + " off by +01:02:0"), std::string::npos) << out.str();

    EXPECT_EQ(report({"--format", "csv"}), 2);
    const std::string csv = out.str();
    // The JSON document of the very same scan.
    const ToolRun python = CsvAgainstJson(csv, JsonReport(CompletedScan(program)));
    EXPECT_EQ(python.status, 0) << python.output << csv;
}

TEST_F(FormatsLab, AShiftedServerAsReferenceGivesTheDifferenceOfTheShifts) {
    const LabServer* reference = lab->withShift(2000);
    ASSERT_TRUE(reference);
    EXPECT_EQ(report({"--format", "json", "--reference", reference->address}, 1), 2);
    json doc;
    ASSERT_NO_THROW(doc = json::parse(out.str())) << out.str();
    EXPECT_EQ(doc["reference"], json({{"name", reference->address}, {"local", false}}));
    const json& machines = doc["machines"];
    ASSERT_EQ(machines.size(), lab->servers.size() + 2);
    EXPECT_EQ(machines[0]["answered"], false);
    // This machine: a row like the others, the reference's shift below it.
    EXPECT_EQ(machines[1]["local"], true);
    EXPECT_NEAR(machines[1]["offsetMs"].get<std::int64_t>(), -reference->shiftMs, kDifferenceToleranceMs);
    for (std::size_t i = 0; i < lab->servers.size(); ++i) {
        const LabServer& server = lab->servers[i];
        const json& machine = machines[i + 2];
        ASSERT_EQ(machine["answered"], true) << server.address;
        EXPECT_EQ(machine["method"], "negotiate") << server.address;
        EXPECT_NEAR(machine["offsetMs"].get<std::int64_t>(), server.shiftMs - reference->shiftMs,
                    kDifferenceToleranceMs)
            << server.address;
        EXPECT_EQ(machine["reference"], &server == reference);
        // The bounds add: the reference's own and this machine's reading.
        EXPECT_GE(machine["errorBoundMs"].get<std::int64_t>(), &server == reference ? 0 : 2) << server.address;
        EXPECT_LE(machine["errorBoundMs"].get<std::int64_t>(), 200) << server.address;
    }
    EXPECT_EQ(doc["machinesFound"], static_cast<int>(lab->servers.size()) + 1);

    // The text report and the check line name it too.
    EXPECT_EQ(report({"--reference", reference->address}), 2);
    EXPECT_NE(out.str().find("function, between the reference machine (" + reference->address + ")"),
              std::string::npos);
    EXPECT_EQ(report({"--format", "check", "--reference", reference->address}), 2);
    EXPECT_NE(out.str().find(", measured from " + reference->address + " |"), std::string::npos) << out.str();
}

TEST_F(FormatsLab, ASilentReferenceIsUnknownWithItsReason) {
    EXPECT_EQ(report({"--format", "check", "--reference", lab->silent}), 3);
    EXPECT_EQ(out.str(), "SKEWMON UNKNOWN - the reference machine " + lab->silent + " did not answer\n");
}

}  // namespace
}  // namespace skewmon::testing
