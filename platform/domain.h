// The platform's sources of domain knowledge: the security authority, the
// directory, and the LAN Manager domain services.
#pragma once

namespace skewmon::platform {

class DiscoveryServices {
public:
    virtual ~DiscoveryServices() = default;
};

}  // namespace skewmon::platform
