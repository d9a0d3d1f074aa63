// The network browse list through the multiple-provider router (WNet*).
#pragma once

#include "platform/browse.h"

namespace skewmon::platform::win32 {

class WNetBrowser final : public NetworkBrowser {
public:
    std::unique_ptr<NetworkEnumeration> open(const NetResourceRequest& request) override;
};

}  // namespace skewmon::platform::win32
