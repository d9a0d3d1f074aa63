// Running one scan without a window, for scripts and schedulers: progress on
// standard error, the report on standard output, and an exit status in the
// convention of monitoring checks.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "app/command_line.h"
#include "platform/window.h"
#include "scan/scan_result.h"
#include "state/program.h"

namespace skewmon {

extern const char kUsageText[];
// What --version prints.
std::string VersionLine();
// One line for standard error: what is wrong, and the usage.
std::string UsageErrorLine(std::string_view error);

// The result of the completed last scan of `program`, with where its machines
// came from; the start time and the duration are the caller's.
ScanResult CompletedScan(const Program& program);

// Start-up, one scan on `dialog` (a dialog nobody sees), the report,
// shutdown.
int RunConsoleReport(Program& program, platform::BackgroundDialog& dialog, std::string commandLine,
                     std::ostream& report, std::ostream& progress);

}  // namespace skewmon
