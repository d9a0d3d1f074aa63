// What domain discovery found and chose, kept for the whole run.
#pragma once

#include <cstdint>
#include <string>

namespace skewmon {

struct DiscoveryState {
    std::string defaultDomainName;
    std::int32_t joinedToDomain = 0;
    std::string selectedDomain;
    // Two backslashes and the server found by the last focus step; empty
    // when none was found.
    std::string focusServer;
};

}  // namespace skewmon
