// What the command line asked for, as app/command_line.h reads it.
#pragma once

#include <optional>
#include <string>

namespace skewmon {

enum class ConsoleRequest { kNone, kReport, kHelp, kVersion };
enum class ReportFormat { kText, kJson, kCheck };

inline constexpr int kMinParallel = 1;
inline constexpr int kMaxParallel = 256;
// Silent machines never take one of these (the connection check settles
// them); the queries that do take one keep the processor busy, and more of
// them at once only lengthen every round trip. One machine after another
// stays available as --parallel 1.
inline constexpr int kDefaultReportParallel = 16;

struct CommandLineOptions {
    ConsoleRequest request = ConsoleRequest::kNone;
    // Named with --list FILE: the machine list file instead of the one beside
    // the program.
    std::optional<std::string> listFile;
    int parallel = kDefaultReportParallel;  // console mode only
    ReportFormat format = ReportFormat::kText;
    // Set when the console mode cannot go on: one line for standard error.
    std::string error;
};

}  // namespace skewmon
