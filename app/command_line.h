// What the command line asks for. The window takes any text (only the word
// NOTHREAD, anywhere and in any letter case, means something to it, besides
// --list); the console mode is strict, so that a script's typo is an error
// before anything is scanned.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skewmon {

enum class ConsoleRequest { kNone, kReport, kHelp, kVersion };
enum class ReportFormat { kText, kJson, kCheck };

inline constexpr int kMinParallel = 1;
inline constexpr int kMaxParallel = 64;

struct CommandLineOptions {
    ConsoleRequest request = ConsoleRequest::kNone;
    // Named with --list FILE: the machine list file instead of the one beside
    // the program.
    std::optional<std::string> listFile;
    int parallel = 1;  // console mode only
    ReportFormat format = ReportFormat::kText;
    // Set when the console mode cannot go on: one line for standard error.
    std::string error;
};

// args: the arguments without the program's own name. Option names ignore
// letter case; values (the list file's path) are kept as given.
CommandLineOptions ParseCommandLine(const std::vector<std::string>& args);

// The arguments joined by blanks, as the window's start-up reads them.
std::string JoinedCommandLine(const std::vector<std::string>& args);

}  // namespace skewmon
