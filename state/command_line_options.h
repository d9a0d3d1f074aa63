// What the command line asked for, as app/command_line.h reads it.
#pragma once

#include <optional>
#include <string>

namespace skewmon {

enum class ConsoleRequest { kNone, kReport, kHelp, kVersion };
enum class ReportFormat { kText, kJson, kCheck, kDrift };

inline constexpr int kMinParallel = 1;
inline constexpr int kMaxParallel = 64;

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
    int parallel = 1;  // console mode only
    ReportFormat format = ReportFormat::kText;
    DriftOptions drift;
    // Set when the console mode cannot go on: one line for standard error.
    std::string error;
};

}  // namespace skewmon
