// What the LAN Manager stand-ins take from Samba's client settings, as
// libnetapi has loaded them (SmbClientConfigPath()).
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/netbios/netbios_name_client.h"

struct libnetapi_ctx;

namespace skewmon::platform {

struct SambaClientSettings {
    std::string workgroup;                  // the NetBIOS name of the domain or workgroup
    std::string realm;                      // the Kerberos realm, for a member of a directory domain
    std::vector<std::string> winsServers;   // as written: "address" or "tag:address"
    std::vector<std::string> resolveOrder;  // "lmhosts", "wins", "host", "bcast"
};

// The process's libnetapi context (NetapiContext(), which never prompts:
// even with Kerberos it carries an empty password, or some look-ups would
// ask for one). Hold NetapiLock() while using it. None when libnetapi cannot
// be set up.
libnetapi_ctx* QuietNetapiContext();

// The settings libnetapi loaded; none when libnetapi cannot be set up.
std::optional<SambaClientSettings> LoadedClientSettings();

// How the name service is asked under `settings`: the WINS servers given by
// address when the resolve order has "wins"; the broadcast addresses of the
// machine's own subnets when it has "bcast" (loopback has none).
nbns::NameService::Settings NameServiceSettingsOf(const SambaClientSettings& settings,
                                                  const std::vector<in_addr>& subnetBroadcasts);

// The broadcast addresses of the machine's IPv4 interfaces that are up.
std::vector<in_addr> SubnetBroadcastAddresses();

}  // namespace skewmon::platform
