// Everything one run of the program shares: the platform's services and the
// process-wide records.
#pragma once

#include <string>

#include "app/app_state.h"
#include "app/command_line.h"
#include "discovery/discovery.h"
#include "platform/browse.h"
#include "platform/domain.h"
#include "platform/system.h"
#include "platform/time_query.h"
#include "platform/window.h"
#include "scan/scan_state.h"

namespace skewmon {

struct Platform {
    platform::System& system;
    platform::WindowSystem& windows;
    platform::TimeQueryRunner& timeQueries;
    platform::NetworkBrowser& browser;
    platform::DiscoveryServices& discovery;
};

inline constexpr std::size_t kComputerNameCapacity = 80;

struct Program {
    explicit Program(Platform platform) : platform(platform) {}

    Platform platform;
    // What the command line asked for beyond NOTHREAD; set by the entry
    // point before the run.
    CommandLineOptions options;
    AppState app;
    ScanState scan;
    std::string localComputerName;  // LocalComputerName
    DiscoveryState discovery;
};

}  // namespace skewmon
