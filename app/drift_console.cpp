#include "app/drift_console.h"

#include <chrono>
#include <charconv>

#include "app/command_line.h"
#include "app/drift_plot.h"
#include "platform/files.h"
#include "text/text_util.h"

namespace skewmon {
namespace {

// Until the scan's result carries the round trip: whole seconds may be all a
// time-of-day answer holds, and the negotiate clock is good to a few
// milliseconds on a LAN.
constexpr double kTimeOfDayBoundPlaceholderMs = 1000;
constexpr double kNegotiateBoundPlaceholderMs = 5;

std::string MethodName(MeasurementMethod method) {
    return method == MeasurementMethod::kNegotiate ? "negotiate" : "time of day";
}

}  // namespace

bool ParseDriftOption(std::string_view name, const std::function<std::optional<std::string>()>& value,
                      DriftOptions& options, const std::function<void(std::string)>& fail) {
    if (name == "--HISTORY") {
        if (std::optional<std::string> file = value(); file && !file->empty())
            options.historyFile = *file;
        else
            fail("--history needs a file name");
    } else if (name == "--HISTORY-DAYS") {
        const std::optional<std::string> text = value();
        int days = 0;
        const char* end = text ? text->data() + text->size() : nullptr;
        if (text && std::from_chars(text->data(), end, days).ptr == end && !text->empty() && days >= 1 &&
            days <= kMaxHistoryDays)
            options.historyDays = days;
        else
            fail("--history-days needs a number of days from 1 to " + std::to_string(kMaxHistoryDays) + ", not \"" +
                 ShownArgument(text.value_or("")) + "\"");
    } else if (name == "--PLOT") {
        if (std::optional<std::string> file = value(); file && !file->empty())
            options.plotFile = *file;
        else
            fail("--plot needs a file name");
    } else if (name == "--DRIFT-WARNING" || name == "--DRIFT-CRITICAL") {
        const std::optional<std::string> text = value();
        const std::string option = name == "--DRIFT-WARNING" ? "--drift-warning" : "--drift-critical";
        if (text && DriftRange::Parse(*text))
            (name == "--DRIFT-WARNING" ? options.warning : options.critical) = *text;
        else
            fail(option + " needs a range in ms/day (10, 10:, ~:10, 10:20 or @10:20), not \"" +
                 ShownArgument(text.value_or("")) + "\"");
    } else {
        return false;
    }
    return true;
}

std::string DriftOptionsProblem(const CommandLineOptions& options) {
    const DriftOptions& drift = options.drift;
    if (drift.historyFile) {
        if ((drift.warning || drift.critical) && options.format != ReportFormat::kCheck)
            return "--drift-warning and --drift-critical go with --format check";
        return "";
    }
    if (options.format == ReportFormat::kDrift) return "--format drift needs --history FILE";
    if (drift.plotFile) return "--plot needs --history FILE";
    if (drift.warning || drift.critical) return "--drift-warning and --drift-critical need --history FILE";
    if (drift.historyDays != kDefaultHistoryDays) return "--history-days needs --history FILE";
    return "";
}

std::int64_t NowUtcMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

double ErrorBoundPlaceholderMs(const MachineResult& machine) {
    return machine.method == MeasurementMethod::kNegotiate ? kNegotiateBoundPlaceholderMs
                                                           : kTimeOfDayBoundPlaceholderMs;
}

void AnswerTimes::note(const MachineResult& machine) {
    const std::int64_t now = NowUtcMs();
    std::lock_guard lock(mutex_);
    times_.emplace(machine.name, now);
}

std::optional<std::int64_t> AnswerTimes::take(const std::string& name) {
    std::lock_guard lock(mutex_);
    const auto at = times_.find(name);
    if (at == times_.end()) return std::nullopt;
    const std::int64_t time = at->second;
    times_.erase(at);
    return time;
}

HistoryRecord HistoryRecordOf(const FinishedScan& scan, std::int64_t startMs, AnswerTimes& answers) {
    HistoryRecord record;
    record.timeMs = startMs;
    for (const MachineResult& machine : scan.machines) {
        if (machine.local) continue;
        HistoryMachine entry;
        entry.name = machine.name;
        entry.answered = machine.offset != kNoResponse;
        if (entry.answered) {
            entry.offsetMs = machine.offset;
            entry.errorBoundMs = ErrorBoundPlaceholderMs(machine);
            entry.method = MethodName(machine.method);
            if (const std::optional<std::int64_t> at = answers.take(machine.name); at && *at >= startMs)
                entry.answeredAfterMs = *at - startMs;
        }
        record.machines.push_back(std::move(entry));
    }
    return record;
}

DriftRun RunDrift(const CommandLineOptions& options, const FinishedScan& scan, std::int64_t startMs,
                  AnswerTimes& answers, std::ostream& progress) {
    DriftRun run;
    const DriftOptions& drift = options.drift;
    if (!drift.historyFile) return run;
    run.asked = true;
    const std::string& path = *drift.historyFile;
    const std::string shown = "history file " + ShownArgument(path);
    if (!scan.problem.empty()) {
        // Nothing was asked: a record of silent machines would tell lies.
        run.error = shown + ": not written, the scan could not ask any machine";
        return run;
    }
    const HistoryUpdate update = UpdateHistoryFile(path, HistoryRecordOf(scan, startMs, answers), drift.historyDays);
    if (!update.error.empty()) {
        run.error = shown + ": " + update.error;
        return run;
    }
    if (update.content.unreadableLines > 0)
        progress << "skewmon: warning: " << shown << ": " << update.content.unreadableLines
                 << (update.content.unreadableLines == 1 ? " line" : " lines") << " could not be read, skipped\n"
                 << std::flush;

    const std::vector<HistoryRecord>& records = update.content.records;
    run.drifts = AnalyseDrift(records);
    run.source.historyPath = path;
    run.source.reference = records.back().reference;
    bool first = true;
    for (const HistoryRecord& record : records) {
        if (!SameNameIgnoringCase(record.reference, run.source.reference)) continue;
        ++run.source.scans;
        if (first || record.timeMs < run.source.firstMs) run.source.firstMs = record.timeMs;
        if (first || record.timeMs > run.source.lastMs) run.source.lastMs = record.timeMs;
        first = false;
    }
    std::optional<DriftRange> warning, critical;
    if (drift.warning) warning = DriftRange::Parse(*drift.warning);
    if (drift.critical) critical = DriftRange::Parse(*drift.critical);
    run.check = EvaluateDriftCheck(run.drifts, warning, critical);

    if (drift.plotFile) {
        platform::LockedFileOpening plot = platform::OpenLockedFile(*drift.plotFile);
        std::string error = plot.error;
        if (error.empty()) plot.file.replaceAll(DriftPlotSvg(records, run.drifts), error);
        if (!error.empty()) run.error = "plot file " + ShownArgument(*drift.plotFile) + ": " + error;
    }
    return run;
}

int StatusWithDrift(int status, const DriftRun& run) {
    if (!run.asked || status == 3) return status;
    if (!run.error.empty()) return 3;
    return std::max(status, run.check.state);
}

std::string DriftReport(const DriftRun& run) {
    if (!run.error.empty()) return "";
    return DriftText(run.drifts, run.source);
}

std::string CheckLineOfRun(const FinishedScan& scan, int status, const DriftRun& run) {
    // A scan that could not run says why, whatever became of the history.
    if (!run.asked || !scan.problem.empty()) return CheckLine(scan, status);
    if (!run.error.empty()) return IncompleteCheckLine(run.error);
    return CheckLineWithDrift(CheckLine(scan, status), StatusWithDrift(status, run), run.check);
}

}  // namespace skewmon
