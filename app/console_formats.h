// The console report's formats. Each is a function of the scan's result
// (and the options) alone, so that every one can be fed any record and its
// output parsed back: the text report, one JSON document, CSV, the
// Prometheus text format, and one status line for monitoring systems.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "scan/scan_result.h"
#include "state/command_line_options.h"
#include "ui/report.h"

namespace skewmon {

// The text report of the console: the same as the window's Save Results for
// the same scan.
ReportRecord ReportRecordOf(const ScanResult& scan);
std::string TextReport(const ScanResult& scan);

// The JSON document, ending in a line end. Bytes of names and paths that are
// not UTF-8 come out as U+FFFD, so that the document is always valid.
std::string JsonReport(const ScanResult& scan);

// RFC 4180: a header line and one line per machine, CR LF line ends.
std::string CsvReport(const ScanResult& scan);

// The Prometheus text exposition format 0.0.4.
std::string PrometheusReport(const ScanResult& scan);

// "OK", "WARNING", "CRITICAL" or "UNKNOWN" for an exit status of 0 to 3.
std::string_view CheckState(int exitStatus);

// The exit status of a completed scan: 3 when it could not ask or no machine
// counted; else from the thresholds, when given, applied to each answering
// machine's absolute offset, or from the grade; a machine without an answer
// counts as `check.silentStatus`. The worst wins: CRITICAL, WARNING, UNKNOWN,
// OK in that order.
int ExitStatus(const ScanResult& scan, const CheckOptions& check);

// The threshold range of `text` in seconds; none when it is not one.
std::optional<ThresholdRange> ParseThresholdRange(std::string_view text);
// Whether `seconds` alerts against `range`.
bool RangeAlerts(const ThresholdRange& range, double seconds);

// The longest check line (its line end included) that monitoring engines
// keep whole.
inline constexpr std::size_t kMaxCheckLine = 8191;

// A machine's name as a performance-data label: quoted, a quote doubled,
// "=", "|" and control characters as "_", never empty.
std::string PerformanceLabel(std::string_view name);

// One line, ending in a line end: the state, what decided it, how many
// answered, then performance data after "|": one item per answering machine
// (its signed offset), then worst, average, answered and silent.
std::string CheckLine(const ScanResult& scan, const CheckOptions& check);
// The line for a scan that did not complete, or could not run: `reason`.
std::string IncompleteCheckLine(std::string_view reason = "Scan did not complete");

}  // namespace skewmon
