// The domain knowledge of a Windows machine: the local security authority
// (LSA policy), the directory through the platform's LDAP client (wldap32),
// the LAN Manager domain look-ups (netapi32) and the service control
// managers of remote machines.
#pragma once

#include "platform/domain.h"

namespace skewmon::platform::win32 {

class LsaAuthority final : public SecurityAuthority {
public:
    std::optional<PrimaryDomainInfo> queryPrimaryDomain() override;
};

class WldapClient final : public LdapClient {
public:
    std::unique_ptr<LdapConnection> init(std::optional<std::string_view> host, int port) override;
    std::uint32_t lastError() override;
};

// The LAN Manager calls run guarded: where one is only a trap (as some are
// under Wine), it fails like an unreachable server instead of ending the
// program.
class NetApiLookups final : public DomainLookups {
public:
    std::uint32_t getDcName(std::string_view domain, std::string& name) override;
    std::uint32_t serverEnum(std::uint32_t level, std::uint32_t serverTypes,
                             std::optional<std::string_view> domain,
                             std::vector<ServerInfo100>& entries) override;
    std::optional<std::string> getAnyDcName(std::string_view domain) override;
};

class ScmServiceControl final : public ServiceControl {
public:
    std::unique_ptr<ServiceHandle> openManager(std::string_view machine, std::uint32_t access) override;
    std::unique_ptr<ServiceHandle> openService(ServiceHandle& manager, std::string_view service,
                                               std::uint32_t access) override;
    std::optional<std::uint32_t> queryState(ServiceHandle& service) override;
};

class Win32DiscoveryServices final : public DiscoveryServices {
public:
    SecurityAuthority& securityAuthority() override { return authority_; }
    LdapClient& directory() override { return directory_; }
    DomainLookups& domainLookups() override { return lookups_; }
    ServiceControl& serviceControl() override { return services_; }

private:
    LsaAuthority authority_;
    WldapClient directory_;
    NetApiLookups lookups_;
    ScmServiceControl services_;
};

}  // namespace skewmon::platform::win32
