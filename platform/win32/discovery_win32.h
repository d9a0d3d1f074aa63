// The domain knowledge of a Windows machine: the local security authority,
// the directory over LDAP, and the LAN Manager domain services.
#pragma once

#include "platform/domain.h"

namespace skewmon::platform::win32 {

class Win32DiscoveryServices final : public DiscoveryServices {};

}  // namespace skewmon::platform::win32
