#include "platform/linux/ldap/ldap_openldap.h"

#include <ldap.h>
#include <sasl/sasl.h>

#include <cstring>

namespace skewmon::platform {
namespace {

// The built-in default when no setting names a server.
constexpr std::string_view kLibraryDefaults[] = {"ldap://localhost:389/??base", "ldap://localhost/",
                                                 "ldap://localhost"};
// Negotiated authentication: SPNEGO, or plain Kerberos where the SASL
// library has no SPNEGO mechanism.
constexpr const char* kNegotiateMechanisms[] = {"GSS-SPNEGO", "GSSAPI"};
constexpr std::uint32_t kParamError = 0x59;
constexpr std::uint32_t kAuthMethodNotSupported = 0x07;

thread_local std::uint32_t t_lastError = 0;

std::uint32_t Record(int code) {
    t_lastError = StandardLdapCode(code);
    return t_lastError;
}

// Answers every SASL question with its default or nothing: never a prompt.
int QuietInteraction(LDAP*, unsigned, void*, void* prompts) {
    for (auto* prompt = static_cast<sasl_interact_t*>(prompts); prompt && prompt->id != SASL_CB_LIST_END; ++prompt) {
        prompt->result = prompt->defresult ? prompt->defresult : "";
        prompt->len = static_cast<unsigned>(std::strlen(static_cast<const char*>(prompt->result)));
    }
    return LDAP_SUCCESS;
}

struct OpenLdapResult final : LdapResult {
    explicit OpenLdapResult(LDAPMessage* message) : message(message) {}
    ~OpenLdapResult() override { ldap_msgfree(message); }
    LDAPMessage* message;
};

LDAPMessage* MessageOf(LdapEntry entry) {
    return const_cast<LDAPMessage*>(reinterpret_cast<const LDAPMessage*>(entry));
}
LdapEntry EntryOf(LDAPMessage* message) { return reinterpret_cast<LdapEntry>(message); }

class OpenLdapConnection final : public LdapConnection {
public:
    OpenLdapConnection(LDAP* ld, const OpenLdapClient::Settings& settings) : ld_(ld) {
        // Bounded waits in place of the platform's defaults: a silent server
        // must not hold the dialog forever.
        timeval connect{static_cast<time_t>(settings.connectTimeout.count()), 0};
        ldap_set_option(ld_, LDAP_OPT_NETWORK_TIMEOUT, &connect);
        timeval answer{static_cast<time_t>(settings.answerTimeout.count()), 0};
        ldap_set_option(ld_, LDAP_OPT_TIMEOUT, &answer);
        ldap_set_option(ld_, LDAP_OPT_RESTART, LDAP_OPT_ON);
    }
    ~OpenLdapConnection() override { ldap_unbind_ext_s(ld_, nullptr, nullptr); }

    std::uint32_t setOption(std::uint32_t option, std::uint32_t value, LdapValuePassing) override {
        int number = static_cast<int>(value);
        // Every option the directory fill sets is either mapped or, where
        // libldap has no counterpart, accepted and left to libldap.
        switch (option) {
            case kLdapOptProtocolVersion:
                return Record(ldap_set_option(ld_, LDAP_OPT_PROTOCOL_VERSION, &number));
            case kLdapOptTimeLimit:
                return Record(ldap_set_option(ld_, LDAP_OPT_TIMELIMIT, &number));
            case kLdapOptSizeLimit:
                return Record(ldap_set_option(ld_, LDAP_OPT_SIZELIMIT, &number));
            case kLdapOptReferrals:
                // OpenLDAP chases every referral or none.
                return Record(ldap_set_option(ld_, LDAP_OPT_REFERRALS, value ? LDAP_OPT_ON : LDAP_OPT_OFF));
            case kLdapOptReferralHopLimit:
                // Declared by libldap but refused when set: its referral
                // chasing keeps a hop limit of its own.
            case kLdapOptAutoReconnect:
                // No counterpart: a fill's connection lives for a few requests,
                // and a lost one simply fails the fill.
                return Record(LDAP_SUCCESS);
            default:
                t_lastError = kParamError;
                return t_lastError;
        }
    }

    std::uint32_t connect() override { return Record(ldap_connect(ld_)); }

    std::uint32_t bind(std::uint32_t method) override {
        if (method != kLdapAuthNegotiate) {
            t_lastError = kAuthMethodNotSupported;
            return t_lastError;
        }
        int code = LDAP_AUTH_UNKNOWN;
        for (const char* mechanism : kNegotiateMechanisms) {
            code = ldap_sasl_interactive_bind_s(ld_, nullptr, mechanism, nullptr, nullptr, LDAP_SASL_QUIET,
                                                QuietInteraction, nullptr);
            if (code != LDAP_AUTH_UNKNOWN && code != LDAP_NOT_SUPPORTED) break;
        }
        return Record(code);
    }

    std::uint32_t search(const std::optional<std::string>& base, LdapScope scope,
                         const std::optional<std::string>& filter,
                         const std::optional<std::vector<std::string>>& attributes, bool attributesOnly,
                         std::unique_ptr<LdapResult>& result) override {
        std::vector<char*> names;
        if (attributes) {
            for (const std::string& attribute : *attributes) names.push_back(const_cast<char*>(attribute.c_str()));
            names.push_back(nullptr);
        }
        LDAPMessage* message = nullptr;
        // Size and time limits -1: the session's, as the options set them.
        const int code = ldap_search_ext_s(ld_, base ? base->c_str() : "", static_cast<int>(scope),
                                           filter ? filter->c_str() : nullptr, attributes ? names.data() : nullptr,
                                           attributesOnly ? 1 : 0, nullptr, nullptr, nullptr, -1, &message);
        result.reset();
        if (message) result = std::make_unique<OpenLdapResult>(message);
        return Record(code);
    }

    int countEntries(LdapResult& result) override {
        return ldap_count_entries(ld_, static_cast<OpenLdapResult&>(result).message);
    }
    LdapEntry firstEntry(LdapResult& result) override {
        return EntryOf(ldap_first_entry(ld_, static_cast<OpenLdapResult&>(result).message));
    }
    LdapEntry nextEntry(LdapEntry previous) override {
        return previous ? EntryOf(ldap_next_entry(ld_, MessageOf(previous))) : nullptr;
    }
    // The chain's first entry: a base search's answer begins with it.
    LdapEntry messageAsEntry(LdapResult& result) override { return firstEntry(result); }

    std::optional<std::vector<std::string>> getValues(LdapEntry entry, std::string_view attribute) override {
        if (!entry) return std::nullopt;
        const std::string name(attribute);
        berval** values = ldap_get_values_len(ld_, MessageOf(entry), name.c_str());
        if (!values) return std::nullopt;
        std::vector<std::string> copies;
        for (berval** value = values; *value; ++value) copies.emplace_back((*value)->bv_val, (*value)->bv_len);
        ldap_value_free_len(values);
        if (copies.empty()) return std::nullopt;
        return copies;
    }

private:
    LDAP* ld_;
};

}  // namespace

std::uint32_t StandardLdapCode(int openLdapCode) {
    if (openLdapCode >= 0) return static_cast<std::uint32_t>(openLdapCode);
    if (openLdapCode >= -17) return static_cast<std::uint32_t>(0x50 - openLdapCode);
    return 0x52;  // local error
}

std::optional<std::string> LdapUriFor(std::string_view host, int port) {
    if (host.empty() || host.find_first_of("/?# \t\r\n", 0) != std::string_view::npos ||
        host.find('\0') != std::string_view::npos)
        return std::nullopt;
    return "ldap://" + std::string(host) + ":" + std::to_string(port);
}

std::optional<std::string> OpenLdapClient::ConfiguredUri() {
    char* raw = nullptr;
    if (ldap_get_option(nullptr, LDAP_OPT_URI, &raw) != LDAP_OPT_SUCCESS || !raw) return std::nullopt;
    const std::string uri(raw);
    ldap_memfree(raw);
    for (std::string_view builtIn : kLibraryDefaults)
        if (uri == builtIn) return std::nullopt;
    if (uri.empty()) return std::nullopt;
    return uri;
}

std::unique_ptr<LdapConnection> OpenLdapClient::init(std::optional<std::string_view> host, int port) {
    std::optional<std::string> uri;
    if (host) {
        uri = LdapUriFor(*host, port);
        if (!uri) {
            t_lastError = kParamError;
            return nullptr;
        }
    } else if (!ConfiguredUri() && settings_.locateDefault) {
        uri = settings_.locateDefault();
    }
    LDAP* ld = nullptr;
    const int code = ldap_initialize(&ld, uri ? uri->c_str() : nullptr);
    Record(code);
    if (code != LDAP_SUCCESS || !ld) return nullptr;
    return std::make_unique<OpenLdapConnection>(ld, settings_);
}

std::uint32_t OpenLdapClient::lastError() { return t_lastError; }

}  // namespace skewmon::platform
