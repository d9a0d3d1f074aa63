// Everything one run of the program shares: the platform's services and the
// process-wide records.
#pragma once

#include <string>

#include "platform/platform.h"
#include "state/app_state.h"
#include "state/command_line_options.h"
#include "state/discovery_state.h"
#include "state/scan_state.h"

namespace skewmon {

inline constexpr std::size_t kComputerNameCapacity = 80;

struct Program {
    explicit Program(Platform platform) : platform(platform) {}

    Platform platform;
    // What the command line asked for beyond NOTHREAD; set by the entry
    // point before the run.
    CommandLineOptions options;
    AppState app;
    ScanState scan;
    std::string localComputerName;
    DiscoveryState discovery;
};

}  // namespace skewmon
