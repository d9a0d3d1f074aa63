#include "app/console_report.h"

#include <chrono>
#include <mutex>
#include <optional>

#include "app/console_formats.h"
#include "app/drift_console.h"
#include "app/startup.h"
#include "platform/files.h"
#include "scan/scan_driver.h"
#include "ui/main_dialog.h"
#include "scan/scan_result.h"
#include "ui/report.h"

namespace skewmon {

const char kUsageText[] =
    "Usage: skewmon [NOTHREAD] [--list FILE] [--report [--parallel N] [--format F]\n"
    "               [-w RANGE] [-c RANGE] [--silent STATE] [--reference NAME]\n"
    "               [--output FILE] [--history FILE [--history-days N]\n"
    "               [--plot FILE.svg] [--drift-warning RANGE]\n"
    "               [--drift-critical RANGE]]] [--version] [--help]\n"
    "\n"
    "Measures how far the clock of every machine of the network is from this\n"
    "machine's clock. Machines come from a machine list file, one machine per\n"
    "line: the one named with --list, else the one beside the program, named\n"
    "like the program with \".ini\" for its extension (/opt/skewmon/skewmon\n"
    "reads /opt/skewmon/skewmon.ini). Without one, from the browse list of the\n"
    "domain.\n"
    "\n"
    "  NOTHREAD     query each machine without the 3-second time limit\n"
    "  --list FILE  read the machines from FILE; a FILE that cannot be read is\n"
    "               an error\n"
    "  --report     scan once without a window; progress goes to standard error,\n"
    "               the report to standard output\n"
    "  --parallel N with --report: ask up to N machines at the same time (1 to\n"
    "               64, default 1); each keeps its own 3-second limit, and the\n"
    "               report keeps the order of the machines\n"
    "  --format F   with --report: text (the report, the default), json (one\n"
    "               JSON document), csv (one line per machine), prometheus (the\n"
    "               Prometheus text format), check (one status line with\n"
    "               performance data, for monitoring systems) or drift (how\n"
    "               fast each clock runs away, from the history; needs\n"
    "               --history)\n"
    "  -w, --warning RANGE, -c, --critical RANGE\n"
    "               thresholds in seconds for each machine's absolute offset, in\n"
    "               the monitoring-plugins range syntax (10, 10:, ~:10, 10:20,\n"
    "               @10:20); without them the grade decides\n"
    "  --silent S   what a machine that does not answer counts as: ok (the\n"
    "               default), warning, critical or unknown\n"
    "  --reference NAME\n"
    "               measure every offset from the clock of the machine NAME of\n"
    "               the scan instead of this machine's\n"
    "  --output FILE\n"
    "               write the report into FILE, replacing it whole once complete\n"
    "  --history FILE  with --report: add this scan to FILE (one JSON line per\n"
    "               scan), the history that drift is worked out from\n"
    "  --history-days N  keep N days of history (default 30)\n"
    "  --plot FILE.svg  draw each machine's offset over the history\n"
    "  --drift-warning RANGE, --drift-critical RANGE  with --format check:\n"
    "               thresholds for each machine's drift in ms/day, in the\n"
    "               same range syntax as -w and -c\n"
    "  --version    show the version\n"
    "  --help       show this text\n"
    "\n"
    "Exit status with --report: 0 synchronized (Outstanding, Excellent),\n"
    "1 warning (Acceptable, Fair), 2 critical (Poor, Unacceptable, Not\n"
    "synchronized), 3 unknown (no machine responded, or the scan could not run).\n"
    "With --format check the line starts with the same state: SKEWMON OK,\n"
    "WARNING, CRITICAL or UNKNOWN.\n";

namespace {

// A row as one progress line: its tabs as spaces.
std::string ProgressLine(std::string row) {
    for (char& c : row)
        if (c == '\t') c = ' ';
    return row;
}

// Each start-up problem as one line; false when one of them means the scan
// cannot run as asked.
bool ReportStartUpProblems(const AppState& app, std::ostream& progress) {
    bool scan = true;
    for (const StartUpProblem& problem : app.problems) {
        std::string text = problem.text;
        if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
        progress << "skewmon: " << (problem.stopsReport ? "" : "warning: ") << text << '\n';
        if (problem.stopsReport) scan = false;
    }
    progress << std::flush;
    return scan;
}

std::string Render(ReportFormat format, const ScanResult& scan, const CheckOptions& check) {
    switch (format) {
        case ReportFormat::kText: return TextReport(scan);
        case ReportFormat::kJson: return JsonReport(scan);
        case ReportFormat::kCheck: return CheckLine(scan, check);
        case ReportFormat::kCsv: return CsvReport(scan);
        case ReportFormat::kPrometheus: return PrometheusReport(scan);
        case ReportFormat::kDrift: break;  // from the history, not the scan alone
    }
    return {};
}

}  // namespace

ScanResult CompletedScan(const Program& program) {
    ScanResult result = ResultOfScan(program.scan.machines, program.localComputerName);
    result.fromListFile = static_cast<bool>(program.app.machineListFile);
    result.listFileName = program.app.machineListName;
    if (result.fromListFile) {
        if (program.options.listFile) {
            result.source = *program.options.listFile;
        } else if (const std::optional<std::string> exe = program.platform.system.executablePath()) {
            result.source = DefaultListFilePath(*exe, platform::ListFileNamingRule());
        }
    } else {
        result.source = program.scan.domain;
    }
    result.problem = program.scan.queryProblem;
    return result;
}

std::string VersionLine() { return std::string("Skewmon ") + kAppVersion + "\n"; }

std::string UsageErrorLine(std::string_view error) {
    return "skewmon: " + std::string(error) +
           "; usage: skewmon [NOTHREAD] [--list FILE] [--report [--parallel N] [--format "
           "text|json|csv|prometheus|check] [-w RANGE] [-c RANGE] [--silent STATE] [--reference NAME] "
           "[--output FILE] [--history FILE [--history-days N] [--plot FILE.svg] [--drift-warning RANGE] "
           "[--drift-critical RANGE]]] [--version] [--help]\n";
}

int RunConsoleReport(Program& program, platform::BackgroundDialog& dialog, std::string commandLine,
                     std::ostream& report, std::ostream& progress) {
    StartUp(program, commandLine);
    const CommandLineOptions& options = program.options;
    std::mutex progressMutex;
    auto say = [&](const std::string& line) {
        std::lock_guard lock(progressMutex);
        progress << line << '\n' << std::flush;
    };
    // The report to standard output, or into the output file once whole.
    // False, and said, when the file could not be written.
    auto deliver = [&](const std::string& text) {
        if (!options.outputFile) {
            report << text << std::flush;
            return true;
        }
        const std::string error = platform::ReplaceFileContent(*options.outputFile, text);
        if (!error.empty()) say("skewmon: cannot write \"" + ShownPath(*options.outputFile) + "\": " + error);
        return error.empty();
    };

    if (!ReportStartUpProblems(program.app, progress)) {
        if (options.format == ReportFormat::kCheck) {
            for (const StartUpProblem& problem : program.app.problems) {
                if (!problem.stopsReport) continue;
                deliver(IncompleteCheckLine(problem.text));
                break;
            }
        }
        ShutDown(program);
        return 3;
    }
    // Each machine as its answer is in: when several are asked at once, in
    // the order they finish; the rows keep the order of the source.
    program.scan.parallelQueries = options.parallel;
    AnswerTimes answerTimes;  // for the history
    program.scan.onMachine = [&](const MachineResult& machine) {
        answerTimes.note(machine);
        say(ProgressLine(machine.row));
    };
    int status = 3;
    {
        MainDialog mainDialog(program);
        dialog.start(mainDialog);
        const auto started = std::chrono::system_clock::now();
        const auto startedSteady = std::chrono::steady_clock::now();
        // Started as the Scan button starts it. The wait ends with the scan:
        // at its close, or when a signal's Close has cancelled it.
        bool scanStarted = false;
        dialog.runOnDialogThread([&] { scanStarted = mainDialog.startScan(dialog); });
        const bool completed = scanStarted && mainDialog.scans().wait();
        const auto duration =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - startedSteady);
        dialog.command(ctl::kClose);
        dialog.command(ctl::kClose);
        dialog.waitForEnd();
        mainDialog.waitForScans();

        if (completed) {
            ScanResult result = CompletedScan(program);
            result.started = started;
            result.duration = duration;
            if (!result.problem.empty()) say("skewmon: " + result.problem);
            std::optional<std::string> unusable;
            if (options.reference && result.problem.empty())
                unusable = MeasureFromReference(result, *options.reference);
            if (unusable) {
                say("skewmon: " + *unusable);
                if (options.format == ReportFormat::kCheck) deliver(IncompleteCheckLine(*unusable));
            } else {
                const int scanStatus = ExitStatus(result, options.check);
                // The history, and the drift worked out from it.
                const DriftRun drift = RunDrift(options, result, answerTimes, say);
                if (!drift.error.empty()) say("skewmon: " + drift.error);
                AttachDrift(result, drift);
                status = StatusWithDrift(scanStatus, drift);
                std::string out;
                if (options.format == ReportFormat::kDrift)
                    out = DriftReport(drift);
                else if (options.format == ReportFormat::kCheck)
                    out = CheckLineOfRun(result, options.check, drift);
                else
                    out = Render(options.format, result, options.check);
                if (!deliver(out)) status = 3;
            }
            say("Scan complete: " + std::to_string(result.machinesFound) +
                " machine(s) counted, summary: " + result.grade.grade);
        } else {
            if (options.format == ReportFormat::kCheck) deliver(IncompleteCheckLine());
            say("Scan did not complete.");
        }
    }
    program.scan.onMachine = nullptr;
    ShutDown(program);
    return status;
}

}  // namespace skewmon
