// The console's side of drift: the options, the record of a finished scan
// for the history, and one run of the history after a scan (append, prune,
// analyse, plot), with what each format needs of it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/console_formats.h"
#include "app/drift_analysis.h"
#include "app/drift_history.h"
#include "app/drift_report.h"
#include "state/command_line_options.h"

namespace skewmon {

inline constexpr int kMaxHistoryDays = 36500;

// Reads one of --history, --history-days, --plot, --drift-warning and
// --drift-critical (`name` in upper case); false when `name` is none of
// them. `value` takes the option's value; `fail` is told what is wrong.
bool ParseDriftOption(std::string_view name, const std::function<std::optional<std::string>()>& value,
                      DriftOptions& options, const std::function<void(std::string)>& fail);
// What is wrong with the drift options together; empty when nothing.
std::string DriftOptionsProblem(const CommandLineOptions& options);

// Milliseconds since 1970-01-01 00:00 UTC.
std::int64_t NowUtcMs();

// When each machine's answer came in, noted on the scan's threads as it goes.
class AnswerTimes {
public:
    void note(const MachineResult& machine);
    // The earliest time noted for `name` and not taken yet (a list may name
    // a machine twice).
    std::optional<std::int64_t> take(const std::string& name);

private:
    std::mutex mutex_;
    std::multimap<std::string, std::int64_t> times_;
};

// The scan as the history keeps it. The machine the offsets are measured
// against (this machine) is left out: its offset is zero by definition.
HistoryRecord HistoryRecordOf(const ScanResult& scan, AnswerTimes& answers);

// One run of the history after a scan.
struct DriftRun {
    bool asked = false;          // --history was given
    std::string error;           // one line for standard error when the history or the plot failed
    std::vector<MachineDrift> drifts;  // every machine of the scan, then others of the history
    DriftSource source;
    DriftCheck check;            // with --drift-warning or --drift-critical
};
// Appends the scan to the history (when --history is given), works out the
// drift, writes the plot; warnings go to `progress`.
DriftRun RunDrift(const CommandLineOptions& options, const ScanResult& scan, AnswerTimes& answers,
                  const std::function<void(const std::string&)>& say);

// Each machine's drift figures into the scan's result, for the formats that
// carry them (JSON, CSV, Prometheus).
void AttachDrift(ScanResult& scan, const DriftRun& run);

// The exit status with the drift's thresholds applied; 3 when the history
// failed.
int StatusWithDrift(int status, const DriftRun& run);
// The outputs of the drift formats: --format drift, and --format check with
// the drift part in (`status`: the scan's own exit status).
std::string DriftReport(const DriftRun& run);
std::string CheckLineOfRun(const ScanResult& scan, const CheckOptions& check, const DriftRun& run);

}  // namespace skewmon
