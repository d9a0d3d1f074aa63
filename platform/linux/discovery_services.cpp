#include "platform/linux/discovery_services.h"

#include <arpa/inet.h>

namespace skewmon::platform {

std::optional<std::string> LocatedDirectoryServer(const NetbiosViewSource& view) {
    const std::optional<NetbiosView> settings = view();
    if (!settings) return std::nullopt;
    const std::optional<LocatedController> controller = LocateDomainController(settings->names, settings->workgroup);
    if (!controller) return std::nullopt;
    char address[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &controller->address, address, sizeof address)) return std::nullopt;
    return LdapUriFor(address, 389);
}

LinuxDiscoveryServices::LinuxDiscoveryServices()
    : directory_(OpenLdapClient::Settings{[] { return LocatedDirectoryServer(ClientSettingsView()); }}) {}

}  // namespace skewmon::platform
