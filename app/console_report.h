// Running one scan without a window, for scripts and schedulers: progress on
// standard error, the report on standard output, and an exit status in the
// convention of monitoring checks.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "app/program.h"

namespace skewmon {

enum class ConsoleRequest { kNone, kReport, kHelp };

// What the command line asks for beyond the window. Letter case is ignored.
ConsoleRequest ConsoleRequestOf(std::string_view commandLine);

// 0 OK ("Outstanding!", "Excellent!"), 1 WARNING ("Acceptable", "Fair"),
// 2 CRITICAL ("Poor", "Unacceptable", "Not synchronized"), 3 UNKNOWN (no
// machine counted, or no scan ran).
int ExitStatusForGrade(std::string_view grade, int machinesCounted);

extern const char kUsageText[];

// Start-up, one scan on the screenless dialog, the report, shutdown.
int RunConsoleReport(Program& program, std::string commandLine, std::ostream& report,
                     std::ostream& progress);

}  // namespace skewmon
