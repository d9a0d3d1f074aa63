// The domain services on Linux: Samba's client settings and libnetapi for
// the security authority and the controller look-ups, the NetBIOS name
// service for what libnetapi cannot answer off a domain's own machines,
// OpenLDAP for the directory.
#pragma once

#include "platform/domain.h"
#include "platform/linux/ldap/ldap_openldap.h"
#include "platform/linux/samba/lanman_domain.h"
#include "platform/linux/samba/lsa_netapi.h"

namespace skewmon::platform {

class LinuxDiscoveryServices final : public DiscoveryServices {
public:
    LinuxDiscoveryServices();

    SecurityAuthority& securityAuthority() override { return authority_; }
    LdapClient& directory() override { return directory_; }
    DomainLookups& domainLookups() override { return lookups_; }
    ServiceControl& serviceControl() override { return services_; }

private:
    NetapiSecurityAuthority authority_;
    NetbiosDomainLookups lookups_;
    NetbiosServiceControl services_;
    OpenLdapClient directory_;
};

// The directory server of the machine's own domain as the name service
// locates it, as an "ldap://ADDRESS:389" address; none when it cannot.
std::optional<std::string> LocatedDirectoryServer(const NetbiosViewSource& view);

}  // namespace skewmon::platform
