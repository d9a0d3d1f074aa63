// The program's start-up and shutdown around the modal run of the main dialog.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/system.h"
#include "state/program.h"

namespace skewmon {

inline constexpr std::size_t kExecutablePathCapacity = 256;

// The machine list file beside an executable: everything from the last "."
// of the whole path replaced by ".ini" (the Windows program's rule).
std::string ListFilePathFor(std::string_view executablePath);

// The same with the "." looked for only in the executable's file name: an
// extension is replaced by ".ini", a name without one gets ".ini" appended.
std::string ListFilePathForFileName(std::string_view executablePath);

// The list file beside the executable by the platform's rule.
std::string DefaultListFilePath(std::string_view executablePath, platform::ListFileNaming rule);

// A path as one line of text for the user: control characters become '?'.
std::string ShownPath(std::string_view path);

// Upper-cases the command line in place; true when it asks for inline mode.
bool DetectInlineMode(std::string& commandLine);

// The network provider name from the registry, or the default.
bool ReadNetworkProviderName(platform::Registry& registry, std::string& providerName);

// The height of a 9-point font at `dpi` dots per inch (negative: character
// height), rounded as the platform's MulDiv rounds.
int FontHeightForDpi(int points, int dpi);

// Opens the machine list file that program.options names, else the one
// beside the program; what cannot be read goes to program.app.problems.
void OpenMachineListFile(Program& program);

// Says, in program.app.problems, when the browser lacks a part it needs.
void CheckBrowser(Program& program);

// Start-up steps before the dialog: fills program.app.
void StartUp(Program& program, std::string& commandLine);
// Releases what start-up made.
void ShutDown(Program& program);

// The whole run: start-up, the modal main dialog, shutdown. Always 0.
int RunApplication(Program& program, std::string commandLine);

}  // namespace skewmon
