// The security authority's primary domain on Linux, from Samba's client
// settings: the workgroup is the primary domain's NetBIOS name, as Samba's
// own security authority reports it, and libnetapi's join information says
// whether the machine is a member of that domain.
#pragma once

#include "platform/domain.h"

namespace skewmon::platform {

class NetapiSecurityAuthority final : public SecurityAuthority {
public:
    // None when libnetapi cannot be set up or the join state cannot be read.
    std::optional<PrimaryDomainInfo> queryPrimaryDomain() override;
};

}  // namespace skewmon::platform
