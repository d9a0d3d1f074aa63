#include "platform/linux/samba/lanman_settings.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "platform/linux/samba/netapi_clock.h"

extern "C" {
#include <netapi.h>
}

extern "C" {
// Samba's loaded settings, exported by libsmbconf, which libnetapi fills.
const char* lp_workgroup(void);
const char* lp_realm(void);
const char** lp_wins_server_list(void);
const char** lp_name_resolve_order(void);
}

namespace skewmon::platform {
namespace {

std::vector<std::string> ListOf(const char** list) {
    std::vector<std::string> items;
    for (int i = 0; list && list[i] && i < 64; ++i) items.emplace_back(list[i]);
    return items;
}

bool Has(const std::vector<std::string>& items, const std::string& wanted) {
    return std::find(items.begin(), items.end(), wanted) != items.end();
}

}  // namespace

libnetapi_ctx* QuietNetapiContext() {
    std::lock_guard lock(NetapiLock());
    return NetapiContext();  // set up never to prompt, whatever the credentials
}

std::optional<SambaClientSettings> LoadedClientSettings() {
    std::lock_guard lock(NetapiLock());
    if (!QuietNetapiContext()) return std::nullopt;
    SambaClientSettings settings;
    if (const char* workgroup = lp_workgroup()) settings.workgroup = workgroup;
    if (const char* realm = lp_realm()) settings.realm = realm;
    settings.winsServers = ListOf(lp_wins_server_list());
    settings.resolveOrder = ListOf(lp_name_resolve_order());
    return settings;
}

nbns::NameService::Settings NameServiceSettingsOf(const SambaClientSettings& settings,
                                                  const std::vector<in_addr>& subnetBroadcasts) {
    nbns::NameService::Settings service;
    if (Has(settings.resolveOrder, "wins")) {
        for (const std::string& entry : settings.winsServers) {
            // "tag:address"; a server given by host name would need the
            // resolver, which this look-up never asks.
            const std::string address = entry.substr(entry.find(':') == std::string::npos ? 0 : entry.find(':') + 1);
            in_addr parsed{};
            if (inet_pton(AF_INET, address.c_str(), &parsed) == 1) service.winsServers.push_back(parsed);
        }
    }
    if (Has(settings.resolveOrder, "bcast")) service.broadcastAddresses = subnetBroadcasts;
    return service;
}

std::vector<in_addr> SubnetBroadcastAddresses() {
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) return {};
    std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(raw, freeifaddrs);
    std::vector<in_addr> addresses;
    for (const ifaddrs* entry = list.get(); entry; entry = entry->ifa_next) {
        const unsigned flags = entry->ifa_flags;
        if (!(flags & IFF_UP) || !(flags & IFF_BROADCAST) || (flags & IFF_LOOPBACK)) continue;
        if (!entry->ifa_broadaddr || entry->ifa_broadaddr->sa_family != AF_INET) continue;
        addresses.push_back(reinterpret_cast<const sockaddr_in*>(entry->ifa_broadaddr)->sin_addr);
    }
    return addresses;
}

}  // namespace skewmon::platform
