#include "app/drift_console.h"

#include <chrono>
#include <charconv>

#include "app/command_line.h"
#include "app/drift_plot.h"
#include "platform/files.h"
#include "text/text_util.h"

namespace skewmon {
namespace {

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

HistoryRecord HistoryRecordOf(const ScanResult& scan, AnswerTimes& answers) {
    HistoryRecord record;
    record.timeMs = std::chrono::duration_cast<std::chrono::milliseconds>(scan.started.time_since_epoch()).count();
    if (!scan.referenceIsLocal) record.reference = scan.reference;
    for (const MachineReading& machine : scan.machines) {
        // The reference's offset is zero by definition.
        if (machine.reference) continue;
        HistoryMachine entry;
        entry.name = machine.name;
        entry.answered = machine.answered;
        if (entry.answered) {
            entry.offsetMs = machine.offsetMs;
            entry.errorBoundMs = static_cast<double>(machine.errorBoundMs);
            entry.method = machine.method ? std::string(MethodName(*machine.method)) : std::string("local");
            if (const std::optional<std::int64_t> at = answers.take(machine.name); at && *at >= record.timeMs)
                entry.answeredAfterMs = *at - record.timeMs;
        }
        record.machines.push_back(std::move(entry));
    }
    return record;
}

DriftRun RunDrift(const CommandLineOptions& options, const ScanResult& scan, AnswerTimes& answers,
                  const std::function<void(const std::string&)>& say) {
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
    const HistoryUpdate update = UpdateHistoryFile(path, HistoryRecordOf(scan, answers), drift.historyDays);
    if (!update.error.empty()) {
        run.error = shown + ": " + update.error;
        return run;
    }
    if (update.content.unreadableLines > 0)
        say("skewmon: warning: " + shown + ": " + std::to_string(update.content.unreadableLines) +
            (update.content.unreadableLines == 1 ? " line" : " lines") + " could not be read, skipped");

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

void AttachDrift(ScanResult& scan, const DriftRun& run) {
    if (!run.asked || !run.error.empty()) return;
    for (MachineReading& machine : scan.machines) {
        if (machine.reference) continue;
        for (const MachineDrift& drift : run.drifts) {
            if (!SameNameIgnoringCase(drift.name, machine.name)) continue;
            DriftFigures figures;
            figures.status = drift.status == DriftStatus::kRate               ? "rate"
                             : drift.status == DriftStatus::kNotEnoughHistory ? "not enough history"
                                                                               : "no answers";
            figures.rateMsPerDay = drift.rateMsPerDay;
            figures.uncertaintyMsPerDay = drift.uncertaintyMsPerDay;
            figures.significant = drift.significant;
            figures.readings = drift.readings;
            figures.lastStepMs = drift.lastStepMs;
            figures.kerberosLimitAtMs = drift.kerberosCrossingMs;
            machine.drift = figures;
            break;
        }
    }
}

std::string CheckLineOfRun(const ScanResult& scan, const CheckOptions& check, const DriftRun& run) {
    // A scan that could not run says why, whatever became of the history.
    if (!run.asked || !scan.problem.empty()) return CheckLine(scan, check);
    if (!run.error.empty()) return IncompleteCheckLine(run.error);
    const std::string line = CheckLine(scan, check);
    const int status = StatusWithDrift(ExitStatus(scan, check), run);
    std::string whole = CheckLineWithDrift(line, status, run.check);
    if (whole.size() <= kMaxCheckLine) return whole;
    // What monitoring engines keep whole comes first: the drift's own
    // performance data goes before the line is cut.
    DriftCheck shorter = run.check;
    shorter.perfdata.clear();
    return CheckLineWithDrift(line, status, shorter);
}

}  // namespace skewmon
