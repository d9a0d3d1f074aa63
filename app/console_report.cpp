#include "app/console_report.h"

#include <mutex>

#include "app/console_formats.h"
#include "app/drift_console.h"
#include "app/startup.h"
#include "platform/files.h"
#include "scan/scan_driver.h"
#include "ui/main_dialog.h"
#include "ui/report.h"

namespace skewmon {

const char kUsageText[] =
    "Usage: skewmon [NOTHREAD] [--list FILE] [--report [--parallel N]\n"
    "               [--format text|json|check|drift] [--history FILE\n"
    "               [--history-days N] [--plot FILE.svg] [--drift-warning RANGE]\n"
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
    "               JSON document), check (one status line with performance\n"
    "               data, for monitoring systems) or drift (how fast each clock\n"
    "               runs away, from the history; needs --history)\n"
    "  --history FILE  with --report: add this scan to FILE (one JSON line per\n"
    "               scan), the history that drift is worked out from\n"
    "  --history-days N  keep N days of history (default 30)\n"
    "  --plot FILE.svg  draw each machine's offset over the history\n"
    "  --drift-warning RANGE, --drift-critical RANGE  with --format check:\n"
    "               thresholds for each machine's drift in ms/day, in the\n"
    "               ranges of monitoring plugins (10, 10:, ~:10, 10:20, @10:20)\n"
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

// The figures and source of a completed scan, beside the texts the dialog
// showed. The scan thread has ended: its record is complete.
void CompleteFinishedScan(const Program& program, FinishedScan& finished) {
    finished.localMachine = program.localComputerName;
    finished.fromListFile = static_cast<bool>(program.app.machineListFile);
    if (finished.fromListFile) {
        if (program.options.listFile) {
            finished.source = *program.options.listFile;
        } else if (const std::optional<std::string> exe = program.platform.system.executablePath()) {
            finished.source = DefaultListFilePath(*exe, platform::ListFileNamingRule());
        }
    }
    finished.machines = program.scan.machines;
    finished.counted = program.scan.count;
    finished.worst = program.scan.worst;
    finished.average = program.scan.average;
}

}  // namespace

std::string VersionLine() { return std::string("Skewmon ") + kAppVersion + "\n"; }

std::string UsageErrorLine(std::string_view error) {
    return "skewmon: " + std::string(error) +
           "; usage: skewmon [NOTHREAD] [--list FILE] [--report [--parallel N] [--format text|json|check|drift] "
           "[--history FILE [--history-days N] [--plot FILE.svg] [--drift-warning RANGE] [--drift-critical RANGE]]] "
           "[--version] [--help]\n";
}

int ExitStatusForGrade(std::string_view grade, int machinesCounted) {
    if (machinesCounted <= 0) return 3;
    if (grade == "Outstanding!" || grade == "Excellent!") return 0;
    if (grade == "Acceptable" || grade == "Fair") return 1;
    if (grade == "Poor" || grade == "Unacceptable" || grade == "Not synchronized") return 2;
    return 3;
}

int RunConsoleReport(Program& program, platform::BackgroundDialog& dialog, std::string commandLine,
                     std::ostream& report, std::ostream& progress) {
    StartUp(program, commandLine);
    if (!ReportStartUpProblems(program.app, progress)) {
        if (program.options.format == ReportFormat::kCheck) {
            for (const StartUpProblem& problem : program.app.problems) {
                if (!problem.stopsReport) continue;
                report << IncompleteCheckLine(problem.text) << std::flush;
                break;
            }
        }
        ShutDown(program);
        return 3;
    }
    const ReportFormat format = program.options.format;
    std::mutex progressMutex;
    const std::int64_t scanStartMs = NowUtcMs();
    // Each machine as its answer is in: when several are asked at once, in
    // the order they finish; the rows keep the order of the source.
    program.scan.parallelQueries = program.options.parallel;
    AnswerTimes answerTimes;  // for the history (app/drift_console.h)
    program.scan.onMachine = [&](const MachineResult& machine) {
        answerTimes.note(machine);
        std::lock_guard lock(progressMutex);
        progress << ProgressLine(machine.row) << '\n' << std::flush;
    };
    int status = 3;
    {
        MainDialog mainDialog(program);
        dialog.start(mainDialog);
        // Started as the Scan button starts it. The wait ends with the scan:
        // at its close, or when a signal's Close has cancelled it.
        bool started = false;
        dialog.runOnDialogThread([&] { started = mainDialog.startScan(dialog); });
        const bool completed = started && mainDialog.scans().wait();

        std::string text;
        FinishedScan finished;
        bool saved = false;
        if (completed) {
            // False when a Close has ended the dialog since.
            saved = dialog.runOnDialogThread([&] {
                text = BuildReport(program, dialog);
                finished.summary = dialog.getText(ctl::kSummary, kReportFieldCapacity);
                finished.recommendation = dialog.getText(ctl::kRecommendation, kReportFieldCapacity);
                finished.explanation = dialog.getText(ctl::kExplanation, kReportExplanationCapacity);
                const int domain = dialog.comboSelected(ctl::kDomainSelector);
                if (!program.app.machineListFile && domain >= 0)
                    finished.source = dialog.comboText(ctl::kDomainSelector, domain, kReportFieldCapacity);
            });
        }
        dialog.command(ctl::kClose);
        dialog.command(ctl::kClose);
        dialog.waitForEnd();
        mainDialog.waitForScans();

        const std::string& queryProblem = program.scan.queryProblem;
        if (!queryProblem.empty()) {
            std::lock_guard lock(progressMutex);
            progress << "skewmon: " << queryProblem << '\n';
        }
        if (saved && !text.empty()) {
            const std::string& grade = finished.summary;
            // No machine could be asked: what the local machine alone gives says nothing.
            status = queryProblem.empty() ? ExitStatusForGrade(grade, program.scan.count) : 3;
            CompleteFinishedScan(program, finished);
            finished.problem = queryProblem;
            // The history, and the drift worked out from it (app/drift_console.h).
            std::lock_guard lock(progressMutex);
            const DriftRun drift = RunDrift(program.options, finished, scanStartMs, answerTimes, progress);
            if (!drift.error.empty()) progress << "skewmon: " << drift.error << '\n' << std::flush;
            const int scanStatus = status;
            status = StatusWithDrift(status, drift);
            if (format == ReportFormat::kText) {
                report << text << std::flush;
            } else if (format == ReportFormat::kDrift) {
                report << DriftReport(drift) << std::flush;
            } else {
                report << (format == ReportFormat::kJson ? JsonReport(finished) : CheckLineOfRun(finished, scanStatus, drift))
                       << std::flush;
            }
            progress << "Scan complete: " << program.scan.count << " machine(s) counted, summary: " << grade
                     << '\n';
        } else {
            if (format == ReportFormat::kCheck) report << IncompleteCheckLine() << std::flush;
            std::lock_guard lock(progressMutex);
            progress << "Scan did not complete.\n";
        }
    }
    program.scan.onMachine = nullptr;
    ShutDown(program);
    return status;
}

}  // namespace skewmon
