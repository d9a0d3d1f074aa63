#include "platform/win32/discovery_win32.h"

#include <windows.h>
#include <lm.h>
#include <ntsecapi.h>
#include <winldap.h>

#include "platform/win32/fault_guard.h"
#include "platform/win32/win32_util.h"

namespace skewmon::platform::win32 {
namespace {

// Generic read together with view-local-information.
constexpr ACCESS_MASK kPolicyAccess = 0x80000001;
constexpr std::size_t kWideDomainCapacity = 256;
constexpr std::size_t kServerNameCapacity = 512;
// What a guarded LAN Manager call reports when it trapped.
constexpr NET_API_STATUS kCallTrapped = ERROR_NOACCESS;

// A platform buffer handed back by a LAN Manager call.
struct NetBufferFreer {
    void operator()(void* buffer) const { NetApiBufferFree(buffer); }
};
using NetBuffer = std::unique_ptr<void, NetBufferFreer>;

std::string AnsiFromWide(const wchar_t* text, std::size_t capacity) {
    return text ? WideToAnsi(text, capacity) : std::string();
}

// --- directory ----------------------------------------------------------------

class WldapResult final : public LdapResult {
public:
    explicit WldapResult(LDAPMessage* message) : message_(message) {}
    ~WldapResult() override { ldap_msgfree(message_); }
    WldapResult(const WldapResult&) = delete;
    WldapResult& operator=(const WldapResult&) = delete;
    LDAPMessage* message() const { return message_; }

private:
    LDAPMessage* message_;
};

LDAPMessage* MessageOf(LdapResult& result) { return static_cast<WldapResult&>(result).message(); }
LDAPMessage* MessageOf(LdapEntry entry) {
    return reinterpret_cast<LDAPMessage*>(const_cast<LdapEntryHandle*>(entry));
}
LdapEntry EntryOf(LDAPMessage* message) { return reinterpret_cast<LdapEntry>(message); }

// A text the client takes as a modifiable pointer, or none.
char* Text(std::optional<std::string>& text) { return text ? text->data() : nullptr; }

class WldapConnection final : public LdapConnection {
public:
    explicit WldapConnection(LDAP* ld) : ld_(ld) {}
    ~WldapConnection() override { ldap_unbind(ld_); }
    WldapConnection(const WldapConnection&) = delete;
    WldapConnection& operator=(const WldapConnection&) = delete;

    std::uint32_t setOption(std::uint32_t option, std::uint32_t value, LdapValuePassing passing) override {
        if (passing == LdapValuePassing::kDirect)
            return ldap_set_option(ld_, static_cast<int>(option),
                                   reinterpret_cast<const void*>(static_cast<std::uintptr_t>(value)));
        const ULONG byAddress = value;
        return ldap_set_option(ld_, static_cast<int>(option), &byAddress);
    }

    std::uint32_t connect() override { return ldap_connect(ld_, nullptr); }

    std::uint32_t bind(std::uint32_t method) override { return ldap_bind_sA(ld_, nullptr, nullptr, method); }

    std::uint32_t search(const std::optional<std::string>& base, LdapScope scope,
                         const std::optional<std::string>& filter,
                         const std::optional<std::vector<std::string>>& attributes, bool attributesOnly,
                         std::unique_ptr<LdapResult>& result) override {
        std::optional<std::string> baseText = base;
        std::optional<std::string> filterText = filter;
        std::vector<std::string> names = attributes.value_or(std::vector<std::string>{});
        std::vector<char*> list;
        for (std::string& name : names) list.push_back(name.data());
        list.push_back(nullptr);

        LDAPMessage* message = nullptr;
        const ULONG status = ldap_search_sA(ld_, Text(baseText), static_cast<ULONG>(scope), Text(filterText),
                                            attributes ? list.data() : nullptr, attributesOnly ? 1 : 0, &message);
        result.reset();
        if (message) result = std::make_unique<WldapResult>(message);
        return status;
    }

    int countEntries(LdapResult& result) override {
        return static_cast<int>(ldap_count_entries(ld_, MessageOf(result)));
    }
    LdapEntry firstEntry(LdapResult& result) override { return EntryOf(ldap_first_entry(ld_, MessageOf(result))); }
    LdapEntry nextEntry(LdapEntry previous) override {
        return previous ? EntryOf(ldap_next_entry(ld_, MessageOf(previous))) : nullptr;
    }
    LdapEntry messageAsEntry(LdapResult& result) override { return EntryOf(MessageOf(result)); }

    std::optional<std::vector<std::string>> getValues(LdapEntry entry, std::string_view attribute) override {
        if (!entry) return std::nullopt;
        std::string name(attribute);
        char** values = ldap_get_valuesA(ld_, MessageOf(entry), name.data());
        if (!values) return std::nullopt;
        std::vector<std::string> copies;
        for (char** value = values; *value; ++value) copies.emplace_back(*value);
        ldap_value_freeA(values);
        return copies;
    }

private:
    LDAP* ld_;
};

// --- service control manager ---------------------------------------------------

class ScmHandle final : public ServiceHandle {
public:
    explicit ScmHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ScmHandle() override { CloseServiceHandle(handle_); }
    ScmHandle(const ScmHandle&) = delete;
    ScmHandle& operator=(const ScmHandle&) = delete;
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

}  // namespace

std::optional<PrimaryDomainInfo> LsaAuthority::queryPrimaryDomain() {
    LSA_OBJECT_ATTRIBUTES attributes = {};
    LSA_HANDLE policy = nullptr;
    if (LsaOpenPolicy(nullptr, &attributes, kPolicyAccess, &policy) != 0) return std::nullopt;
    const std::unique_ptr<void, decltype(&LsaClose)> closePolicy(policy, &LsaClose);

    void* answer = nullptr;
    if (LsaQueryInformationPolicy(policy, PolicyPrimaryDomainInformation, &answer) != 0 || !answer)
        return std::nullopt;
    const std::unique_ptr<void, decltype(&LsaFreeMemory)> freeAnswer(answer, &LsaFreeMemory);

    const auto* primary = static_cast<const POLICY_PRIMARY_DOMAIN_INFO*>(answer);
    PrimaryDomainInfo info;
    if (primary->Name.Buffer && primary->Name.Length > 0) {
        const std::wstring_view name(primary->Name.Buffer, primary->Name.Length / sizeof(wchar_t));
        // Room for every character in a double-byte code page: not cut here.
        info.name = WideToAnsi(name, name.size() * 2 + 1);
    }
    info.hasDomainSid = primary->Sid != nullptr;
    return info;
}

std::unique_ptr<LdapConnection> WldapClient::init(std::optional<std::string_view> host, int port) {
    std::optional<std::string> hostText;
    if (host) hostText = std::string(*host);
    LDAP* ld = ldap_initA(Text(hostText), static_cast<ULONG>(port));
    if (!ld) return nullptr;
    return std::make_unique<WldapConnection>(ld);
}

std::uint32_t WldapClient::lastError() { return LdapGetLastError(); }

std::uint32_t NetApiLookups::getDcName(std::string_view domain, std::string& name) {
    const std::wstring wide = AnsiToWide(domain, kWideDomainCapacity);
    LPBYTE raw = nullptr;
    NET_API_STATUS status = kCallTrapped;
    if (!RunGuarded([&] { status = NetGetDCName(nullptr, wide.c_str(), &raw); })) status = kCallTrapped;
    const NetBuffer buffer(raw);
    if (status == NERR_Success) name = AnsiFromWide(reinterpret_cast<const wchar_t*>(raw), kServerNameCapacity);
    return status;
}

std::uint32_t NetApiLookups::serverEnum(std::uint32_t level, std::uint32_t serverTypes,
                                        std::optional<std::string_view> domain,
                                        std::vector<ServerInfo100>& entries) {
    entries.clear();
    if (level != 100) return ERROR_INVALID_LEVEL;  // the only level read here
    std::optional<std::wstring> wide;
    if (domain) wide = AnsiToWide(*domain, kWideDomainCapacity);
    LPBYTE raw = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    NET_API_STATUS status = kCallTrapped;
    if (!RunGuarded([&] {
            status = NetServerEnum(nullptr, level, &raw, MAX_PREFERRED_LENGTH, &read, &total, serverTypes,
                                   wide ? wide->c_str() : nullptr, nullptr);
        }))
        status = kCallTrapped;
    const NetBuffer buffer(raw);  // freed also when it holds no entries
    if (status != NERR_Success || !raw) return status;
    const auto* servers = reinterpret_cast<const SERVER_INFO_100*>(raw);
    for (DWORD i = 0; i < read; ++i) {
        entries.push_back({servers[i].sv100_platform_id,
                           AnsiFromWide(servers[i].sv100_name, kServerNameCapacity)});
    }
    return status;
}

std::optional<std::string> NetApiLookups::getAnyDcName(std::string_view domain) {
    const std::wstring wide = AnsiToWide(domain, kWideDomainCapacity);
    LPBYTE raw = nullptr;
    NET_API_STATUS status = kCallTrapped;
    if (!RunGuarded([&] { status = NetGetAnyDCName(nullptr, wide.c_str(), &raw); })) raw = nullptr;
    const NetBuffer buffer(raw);
    // The name is what counts; a buffer comes back only with one.
    if (!raw) return std::nullopt;
    return AnsiFromWide(reinterpret_cast<const wchar_t*>(raw), kServerNameCapacity);
}

std::unique_ptr<ServiceHandle> ScmServiceControl::openManager(std::string_view machine, std::uint32_t access) {
    const std::string name(machine);
    SC_HANDLE manager = OpenSCManagerA(name.c_str(), nullptr, access);
    if (!manager) return nullptr;
    return std::make_unique<ScmHandle>(manager);
}

std::unique_ptr<ServiceHandle> ScmServiceControl::openService(ServiceHandle& manager, std::string_view service,
                                                             std::uint32_t access) {
    const std::string name(service);
    SC_HANDLE opened = OpenServiceA(static_cast<ScmHandle&>(manager).get(), name.c_str(), access);
    if (!opened) return nullptr;
    return std::make_unique<ScmHandle>(opened);
}

std::optional<std::uint32_t> ScmServiceControl::queryState(ServiceHandle& service) {
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(static_cast<ScmHandle&>(service).get(), &status)) return std::nullopt;
    return status.dwCurrentState;
}

}  // namespace skewmon::platform::win32
