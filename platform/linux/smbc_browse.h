// The network browse list on Linux: libsmbclient's listing of smb://NAME,
// which asks the master browser of the workgroup or domain NAME for its
// servers.
#pragma once

#include <memory>

#include "platform/browse.h"

namespace skewmon::platform {

// libsmbclient's entry types as the platform's display types.
std::uint32_t DisplayTypeOfSmbcType(unsigned int smbcType);

// Each open() makes a libsmbclient context of its own from the client
// settings (SmbClientConfigPath()), signs in anonymously without ever
// prompting, and speaks SMB1, the only dialect that carries browse lists.
class SmbcNetworkBrowser final : public NetworkBrowser {
public:
    std::unique_ptr<NetworkEnumeration> open(const NetResourceRequest& request) override;
};

}  // namespace skewmon::platform
