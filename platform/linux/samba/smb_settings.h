// What the program takes from the SMB client settings on Linux.
#pragma once

#include <string>

namespace skewmon::platform {

// The client settings file: $HOME/.smb/smb.conf when it exists, else the
// system's smb.conf (the rule libsmbclient follows).
std::string SmbClientConfigPath();

// This machine's NetBIOS name: "netbios name" of the client settings, else
// the host name's first label in upper case, at most 15 characters.
std::string NetbiosName();

}  // namespace skewmon::platform
