// The process-wide start-up record: filled before the dialog exists and only
// read afterwards.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/controls.h"
#include "platform/files.h"

namespace skewmon {

inline constexpr char kAppVersion[] = "5.2.b.20110601R";
inline constexpr char kDefaultNetworkProvider[] = "Microsoft Windows Network";
inline constexpr std::size_t kNetworkProviderCapacity = 128;

using FileCloser = platform::FileCloser;
using TextFile = platform::TextFile;

// Something start-up found wrong that the user has to hear about: the window
// shows it in a message box, the console mode prints it on standard error.
struct StartUpProblem {
    std::string text;  // one line, naming the file and the reason
    // The console mode cannot scan as asked and ends with status 3; the
    // window still starts.
    bool stopsReport = false;
};

struct AppState {
    TextFile machineListFile;  // none: machines come from the browse list
    // The list file's own base name when it was named on the command line;
    // empty for the one beside the program.
    std::string machineListName;
    bool inlineMode = false;   // NOTHREAD: query on the scan thread, no time limit
    std::string networkProviderName = kDefaultNetworkProvider;
    std::unique_ptr<platform::Font> boldFont;  // weight 700
    std::unique_ptr<platform::Font> thinFont;  // weight 100
    std::unique_ptr<platform::Font> linkFont;  // weight 400, underlined
    // In the order found; the entry point may add its own before start-up.
    std::vector<StartUpProblem> problems;
};

}  // namespace skewmon
