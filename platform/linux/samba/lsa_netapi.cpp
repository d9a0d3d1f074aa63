#include "platform/linux/samba/lsa_netapi.h"

#include <memory>

extern "C" {
#include <netapi.h>
}

#include "platform/linux/samba/lanman_settings.h"
#include "platform/linux/samba/netapi_clock.h"

namespace skewmon::platform {
namespace {

struct NetapiBufferDeleter {
    void operator()(const char* buffer) const { NetApiBufferFree(const_cast<char*>(buffer)); }
};

}  // namespace

std::optional<PrimaryDomainInfo> NetapiSecurityAuthority::queryPrimaryDomain() {
    const std::optional<SambaClientSettings> settings = LoadedClientSettings();
    if (!settings) return std::nullopt;

    std::lock_guard lock(NetapiLock());
    const char* raw = nullptr;
    std::uint16_t joinStatus = NetSetupUnknownStatus;
    const NET_API_STATUS status = NetGetJoinInformation(nullptr, &raw, &joinStatus);
    // The name it gives is the realm for a directory domain: the workgroup
    // is the NetBIOS name that the lists and browse requests use.
    std::unique_ptr<const char, NetapiBufferDeleter> name(raw);
    if (status != NET_API_STATUS_SUCCESS) return std::nullopt;
    return PrimaryDomainInfo{settings->workgroup, joinStatus == NetSetupDomainName};
}

}  // namespace skewmon::platform
