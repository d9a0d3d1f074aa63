// What the command line asks for. The window takes any text (only the word
// NOTHREAD, anywhere and in any letter case, means something to it, besides
// --list); the console mode is strict, so that a script's typo is an error
// before anything is scanned.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "state/command_line_options.h"

namespace skewmon {

// args: the arguments without the program's own name. Option names ignore
// letter case; values (the list file's path) are kept as given.
CommandLineOptions ParseCommandLine(const std::vector<std::string>& args);

// An argument for an error line: never more than a screen's width, and
// control characters shown as '?'.
std::string ShownArgument(std::string_view text);

// The arguments joined by blanks.
std::string JoinedCommandLine(const std::vector<std::string>& args);
// What start-up reads as its command line: the window's own words alone.
std::string WindowCommandLine(const CommandLineOptions& options);

}  // namespace skewmon
