// The directory client on Linux: OpenLDAP's libldap, with negotiated
// authentication as a SASL bind with the user's Kerberos ticket.
//
// The default directory server is the one the user's LDAP client settings
// name (ldap.conf, ~/.ldaprc, LDAPURI), and when they name none beyond the
// library's own default, a controller of the machine's domain as the name
// service locates it (`locateDefault`), reached by its address: the SASL
// layer turns the address back into the host name that the controller's
// Kerberos service name carries. With neither, the library's default.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "platform/domain.h"

namespace skewmon::platform {

// An OpenLDAP result code as the standard API numbers it: OpenLDAP's
// negative client codes are the classic 0x51..0x61.
std::uint32_t StandardLdapCode(int openLdapCode);

// The address ldap_initialize is given for `host` and `port`, none for the
// library's default.
std::optional<std::string> LdapUriFor(std::string_view host, int port);

class OpenLdapClient final : public LdapClient {
public:
    struct Settings {
        // An "ldap://..." address of the machine's own domain controller, or
        // none; asked only when no server is configured.
        std::function<std::optional<std::string>()> locateDefault;
        std::chrono::seconds connectTimeout{10};
        // Bounds every wait for an answer: the searches' own limit, and more.
        std::chrono::seconds answerTimeout{90};
    };

    explicit OpenLdapClient(Settings settings) : settings_(std::move(settings)) {}

    std::unique_ptr<LdapConnection> init(std::optional<std::string_view> host, int port) override;
    std::uint32_t lastError() override;

    // The server address that OpenLDAP's own settings name; none when they
    // name nothing beyond the built-in default.
    static std::optional<std::string> ConfiguredUri();

private:
    Settings settings_;
};

}  // namespace skewmon::platform
