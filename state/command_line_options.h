// What the command line asked for, as app/command_line.h reads it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace skewmon {

enum class ConsoleRequest { kNone, kReport, kHelp, kVersion };
enum class ReportFormat { kText, kJson, kCheck, kCsv, kPrometheus, kDrift };

// A threshold in the monitoring-plugins range syntax, in seconds: "10"
// (0 to 10), "10:" (10 and up), "~:10" (up to 10), "10:20", and "@10:20" to
// alert inside the range rather than outside it.
struct ThresholdRange {
    double low = 0;
    double high = 0;
    bool lowUnbounded = false;   // "~"
    bool highUnbounded = false;  // "10:"
    bool alertInside = false;    // "@"
    std::string text;            // as given, for the performance data
};

// What the check and the exit status make of a scan.
struct CheckOptions {
    std::optional<ThresholdRange> warning;
    std::optional<ThresholdRange> critical;
    // The exit status a machine that does not answer counts as: 0 to 3.
    int silentStatus = 0;
};

inline constexpr int kMinParallel = 1;
inline constexpr int kMaxParallel = 256;
// Silent machines never take one of these (the connection check settles
// them); the queries that do take one keep the processor busy, and more of
// them at once only lengthen every round trip. One machine after another
// stays available as --parallel 1.
inline constexpr int kDefaultReportParallel = 16;

// The history of console scans and what is worked out from it
// (app/drift_console.h).
struct DriftOptions {
    std::optional<std::string> historyFile;  // --history FILE
    int historyDays = 30;                    // --history-days N
    std::optional<std::string> plotFile;     // --plot FILE.svg
    // --drift-warning, --drift-critical: ranges in ms/day, checked when read.
    std::optional<std::string> warning, critical;
};

struct CommandLineOptions {
    ConsoleRequest request = ConsoleRequest::kNone;
    // Named with --list FILE: the machine list file instead of the one beside
    // the program.
    std::optional<std::string> listFile;
    int parallel = kDefaultReportParallel;  // console mode only
    ReportFormat format = ReportFormat::kText;
    CheckOptions check;
    // --output FILE: the report replaces FILE's content instead of going to
    // standard output.
    std::optional<std::string> outputFile;
    // --reference NAME: offsets are measured from NAME's clock.
    std::optional<std::string> reference;
    // The arguments meant for the window itself (those holding NOTHREAD), in
    // their order; start-up reads them joined as its command line.
    std::vector<std::string> windowWords;
    DriftOptions drift;
    // Set when the console mode cannot go on: one line for standard error.
    std::string error;
};

}  // namespace skewmon
