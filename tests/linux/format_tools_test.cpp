// The console's formats as the monitoring ecosystem reads them, with hostile
// machine names, and --output's file replaced whole or not at all.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "app/command_line.h"
#include "app/console_formats.h"
#include "app/console_report.h"
#include "platform/linux/system/linux_system.h"
#include "scan/scan_driver.h"
#include "tests/harness/format_tools.h"

namespace skewmon::testing {
namespace {

namespace fs = std::filesystem;

// Names as a browse list or a list file may bring them.
const std::vector<std::string>& HostileNames() {
    static const std::vector<std::string> names = {
        "PLAIN",         "QUOTE\"D",    "BACK\\SLASH\\", "NEW\nLINE",   "CR\rLF",      "%S%N%X",
        "CAF\xe9",       "\xc3\x89TOILE", "B\xff\xfe\x80", "=SUM(A1)",    "+1",          "-2",
        "@X",            "\tTAB",       "A=B",          "PIPE|X",      "COMMA,X",     "SP ACE",
        "O'BRIEN",       std::string(250, 'L'),
    };
    return names;
}

// A scan of the hostile names: most answer, some with offsets far apart.
ScanResult HostileScan() {
    std::vector<MachineResult> machines;
    Offset offset = -3725000;
    for (const std::string& name : HostileNames()) {
        const bool silent = name == "+1" || name == "CR\rLF";
        machines.push_back(MakeMachineResult(
            name, false, {silent ? kNoResponse : offset, MeasurementMethod::kNegotiate, 3, 1}));
        offset = offset / -3 + 7;
    }
    machines.push_back(MakeMachineResult("HERE", true, {}));
    ScanResult scan = ResultOfScan(machines, "HERE");
    scan.started = std::chrono::system_clock::now();
    scan.duration = std::chrono::milliseconds(812);
    return scan;
}

int Answering(const ScanResult& scan) {
    return static_cast<int>(std::count_if(scan.machines.begin(), scan.machines.end(),
                                          [](const MachineReading& m) { return m.answered; }));
}

TEST(FormatsRead, PromtoolPassesEveryExpositionOfHostileNames) {
    for (const ScanResult& scan : {HostileScan(), ResultOfScan({}, "HERE")}) {
        const ToolRun run = PromtoolCheck(PrometheusReport(scan));
        EXPECT_EQ(run.status, 0) << run.output << PrometheusReport(scan);
        EXPECT_EQ(run.output, "") << run.output;
    }
}

TEST(FormatsRead, MonitoringPluginParsesAnItemPerAnsweringMachine) {
    const ScanResult scan = HostileScan();
    CheckOptions check;
    check.warning = ParseThresholdRange("~:10");
    check.critical = ParseThresholdRange("@60:");
    const std::string line = CheckLine(scan, check);
    int status = -1;
    const std::vector<std::string> labels = PerfdataLabels(line, &status);
    ASSERT_EQ(status, 0) << line;
    // Monitoring::Plugin reads no doubled quote: O'BRIEN's item is the one it
    // leaves out, and it takes nothing else apart.
    const int readable = Answering(scan) - 1;
    ASSERT_EQ(labels.size(), static_cast<std::size_t>(readable + 4)) << line;
    EXPECT_EQ(std::vector<std::string>(labels.end() - 4, labels.end()),
              (std::vector<std::string>{"worst", "average", "answered", "silent"}));
    EXPECT_EQ(labels[0], "PLAIN");
    EXPECT_EQ(labels[1], "QUOTE\"D");
    EXPECT_NE(std::find(labels.begin(), labels.end(), "NEW_LINE"), labels.end());
    EXPECT_NE(std::find(labels.begin(), labels.end(), "A_B"), labels.end());
    EXPECT_NE(std::find(labels.begin(), labels.end(), "SP ACE"), labels.end());
    EXPECT_NE(line.find("'O''BRIEN'="), std::string::npos);
}

TEST(FormatsRead, PythonReadsTheCsvBackToTheJsonsValues) {
    for (const ScanResult& scan : {HostileScan(), ResultOfScan({}, "HERE")}) {
        const ToolRun run = CsvAgainstJson(CsvReport(scan), JsonReport(scan));
        EXPECT_EQ(run.status, 0) << run.output;
    }
}

// The console over the Linux file services, the network scripted.
class OutputFile : public ::testing::Test, protected ScreenlessProgram<ScriptedParts<platform::LinuxSystem>> {
protected:
    OutputFile() { system.name = "HERE"; }

    int report(const std::vector<std::string>& args) {
        program.options = ParseCommandLine(args);
        EXPECT_EQ(program.options.error, "");
        return runReport(WindowCommandLine(program.options));
    }
    static std::string Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

TEST_F(OutputFile, TheFileIsReplacedWholeAndNothingGoesToStandardOutput) {
    runner.set("ALPHA", {1500});
    const std::string list = writeListFile("alpha\nhere\n");
    const fs::path target = folder() / "skewmon.prom";
    WriteFile(target, "old\n");
    fs::permissions(target, fs::perms(0640));
    EXPECT_EQ(report({"--report", "--list", list, "--format", "prometheus", "--output", target.string()}), 1);
    EXPECT_EQ(out.str(), "");
    const std::string written = Read(target);
    EXPECT_NE(written.find("skewmon_machine_offset_seconds{machine=\"ALPHA\",method=\"time of day\"} 1.500\n"),
              std::string::npos)
        << written;
    EXPECT_EQ(PromtoolCheck(written).status, 0);
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));  // the mode it had
    // Nothing else is left in the folder: no half-written file.
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder())) ++files;
    EXPECT_EQ(files, 2);
}

TEST_F(OutputFile, AFileThatCannotBeWrittenKeepsItsContentAndSaysSoOnce) {
    runner.set("ALPHA", {50});
    const std::string list = writeListFile("alpha\n");
    const fs::path target = folder() / "skewmon.csv";
    WriteFile(target, "old content\n");

    // A write that fails half-way: the file size limit.
    struct sigaction ignore {}, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit limit{}, saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    limit = saved;
    limit.rlim_cur = 16;
    setrlimit(RLIMIT_FSIZE, &limit);
    const int status = report({"--report", "--list", list, "--format", "csv", "--output", target.string()});
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(status, 3);
    EXPECT_EQ(Read(target), "old content\n");
    EXPECT_EQ(out.str(), "");
    const std::string errors = err.str();
    EXPECT_NE(errors.find("skewmon: cannot write \"" + target.string() + "\": File too large\n"), std::string::npos)
        << errors;
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder())) ++files;
    EXPECT_EQ(files, 2);  // the list and the target: the new file is gone again

    // A folder that is no folder, and a target that is a folder.
    EXPECT_EQ(report({"--report", "--list", list, "--output", (folder() / "machines.txt" / "x").string()}), 3);
    fs::create_directory(folder() / "dir");
    EXPECT_EQ(report({"--report", "--list", list, "--output", (folder() / "dir").string()}), 3);
    EXPECT_TRUE(fs::is_directory(folder() / "dir"));
}

TEST_F(OutputFile, AReferenceThatDoesNotAnswerIsOneLineAndUnknown) {
    runner.set("ALPHA", {50});
    const std::string list = writeListFile("alpha\nsilent\n");
    EXPECT_EQ(report({"--report", "--list", list, "--format", "check", "--reference", "silent"}), 3);
    EXPECT_EQ(out.str(), "SKEWMON UNKNOWN - the reference machine silent did not answer\n");
    EXPECT_NE(err.str().find("skewmon: the reference machine silent did not answer\n"), std::string::npos);
    EXPECT_EQ(report({"--report", "--list", list, "--format", "json", "--reference", "nowhere"}), 3);
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(err.str().find("skewmon: the reference machine nowhere is not among the machines scanned\n"),
              std::string::npos);
}

}  // namespace
}  // namespace skewmon::testing
