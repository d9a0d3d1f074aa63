// The platform's sources of domain knowledge: the local security authority,
// the directory over LDAP, the LAN Manager domain look-ups and the service
// managers of remote machines. Each interface mirrors the calls it stands
// for, so that a platform that has them maps them one to one and one that
// lacks them can say in one place what stands in.
//
// Names cross these interfaces as narrow text in the platform's code page;
// a platform whose calls take wide text converts at its own edge.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skewmon::platform {

// ---------------------------------------------------------------------------
// Local security authority

struct PrimaryDomainInfo {
    std::string name;          // the primary domain or workgroup, not cut
    bool hasDomainSid = false; // the machine is a member of a domain
};

class SecurityAuthority {
public:
    virtual ~SecurityAuthority() = default;
    // Opens the local policy (generic read with view-local-information),
    // queries its primary domain information and closes it again. None when
    // the policy cannot be opened or queried.
    virtual std::optional<PrimaryDomainInfo> queryPrimaryDomain() = 0;
};

// ---------------------------------------------------------------------------
// Directory: the operations of the standard LDAP programming interface.
// Result codes are LDAP result codes, 0 = success.

inline constexpr std::uint32_t kLdapOptSizeLimit = 0x03;
inline constexpr std::uint32_t kLdapOptTimeLimit = 0x04;
inline constexpr std::uint32_t kLdapOptReferrals = 0x08;
inline constexpr std::uint32_t kLdapOptReferralHopLimit = 0x10;
inline constexpr std::uint32_t kLdapOptProtocolVersion = 0x11;
inline constexpr std::uint32_t kLdapOptAutoReconnect = 0x91;

inline constexpr std::uint32_t kLdapChaseSubordinateReferrals = 0x20;
inline constexpr std::uint32_t kLdapChaseExternalReferrals = 0x40;

// Negotiated authentication as the calling user.
inline constexpr std::uint32_t kLdapAuthNegotiate = 0x486;

inline constexpr std::uint32_t kLdapProtocolError = 0x02;
inline constexpr std::uint32_t kLdapNoResultsReturned = 0x5E;  // 94

enum class LdapScope : int { kBase = 0, kOneLevel = 1, kSubtree = 2 };

// How an option's value reaches the client: most through the address of a
// 32-bit integer; automatic reconnection takes its value in place of the
// pointer.
enum class LdapValuePassing { kByAddress, kDirect };

// An entry of a result message, borrowed from it: valid while the result
// lives. Null means none.
struct LdapEntryHandle;
using LdapEntry = const LdapEntryHandle*;

// A result message; destroying it frees it.
class LdapResult {
public:
    virtual ~LdapResult() = default;
};

// A connection handle; destroying it ends the connection (unbind).
class LdapConnection {
public:
    virtual ~LdapConnection() = default;
    virtual std::uint32_t setOption(std::uint32_t option, std::uint32_t value,
                                    LdapValuePassing passing) = 0;
    // Connects with the client's default time-out.
    virtual std::uint32_t connect() = 0;
    // Synchronous bind with no name and no credentials.
    virtual std::uint32_t bind(std::uint32_t method) = 0;
    // Synchronous search. No base: the directory's root entry. No filter:
    // every object. No attribute list: all attributes. `result` receives the
    // answer whenever the client hands one back, also with an error.
    virtual std::uint32_t search(const std::optional<std::string>& base, LdapScope scope,
                                 const std::optional<std::string>& filter,
                                 const std::optional<std::vector<std::string>>& attributes,
                                 bool attributesOnly, std::unique_ptr<LdapResult>& result) = 0;
    virtual int countEntries(LdapResult& result) = 0;
    virtual LdapEntry firstEntry(LdapResult& result) = 0;
    virtual LdapEntry nextEntry(LdapEntry previous) = 0;
    // The result message itself taken as an entry, as the root entry of a
    // base search is read.
    virtual LdapEntry messageAsEntry(LdapResult& result) = 0;
    // The values of `attribute` (already copied, so nothing is left to free);
    // none when the entry has none.
    virtual std::optional<std::vector<std::string>> getValues(LdapEntry entry,
                                                              std::string_view attribute) = 0;
};

class LdapClient {
public:
    virtual ~LdapClient() = default;
    // Creates a connection handle. No host: the default directory server.
    virtual std::unique_ptr<LdapConnection> init(std::optional<std::string_view> host, int port) = 0;
    // The last LDAP result code of the calling thread.
    virtual std::uint32_t lastError() = 0;
};

// ---------------------------------------------------------------------------
// LAN Manager domain look-ups, all asked on the local machine.

// A server entry of information level 100.
struct ServerInfo100 {
    std::uint32_t platformId = 0;
    std::string name;  // without leading backslashes
};

inline constexpr std::uint32_t kPlatformIdNt = 500;

class DomainLookups {
public:
    virtual ~DomainLookups() = default;
    // The primary domain controller of `domain`. Status 0 = success, with the
    // controller's name (two backslashes and the name) in `name`.
    virtual std::uint32_t getDcName(std::string_view domain, std::string& name) = 0;
    // The servers of the given types, all in one answer (no length limit).
    // No domain: the local machine's primary domain. Status 0 = success.
    virtual std::uint32_t serverEnum(std::uint32_t level, std::uint32_t serverTypes,
                                     std::optional<std::string_view> domain,
                                     std::vector<ServerInfo100>& entries) = 0;
    // Any domain controller of `domain`, as two backslashes and its name;
    // none when no name came back.
    virtual std::optional<std::string> getAnyDcName(std::string_view domain) = 0;
};

// ---------------------------------------------------------------------------
// Service control managers of remote machines.

// An open manager or service; destroying it closes the handle.
class ServiceHandle {
public:
    virtual ~ServiceHandle() = default;
};

class ServiceControl {
public:
    virtual ~ServiceControl() = default;
    // The machine's (two backslashes and its name) active service database.
    virtual std::unique_ptr<ServiceHandle> openManager(std::string_view machine,
                                                       std::uint32_t access) = 0;
    virtual std::unique_ptr<ServiceHandle> openService(ServiceHandle& manager,
                                                       std::string_view service,
                                                       std::uint32_t access) = 0;
    // The service's current state; none when its status cannot be read.
    virtual std::optional<std::uint32_t> queryState(ServiceHandle& service) = 0;
};

// ---------------------------------------------------------------------------

// What a platform offers. This base offers nothing: the authority cannot be
// asked, no directory connection can be made, no server is ever found. A
// platform overrides what it has.
class DiscoveryServices {
public:
    virtual ~DiscoveryServices() = default;
    virtual SecurityAuthority& securityAuthority();
    virtual LdapClient& directory();
    virtual DomainLookups& domainLookups();
    virtual ServiceControl& serviceControl();
};

namespace unavailable {

class Authority final : public SecurityAuthority {
public:
    std::optional<PrimaryDomainInfo> queryPrimaryDomain() override { return std::nullopt; }
};

class Directory final : public LdapClient {
public:
    static constexpr std::uint32_t kServerDown = 0x51;
    std::unique_ptr<LdapConnection> init(std::optional<std::string_view>, int) override { return nullptr; }
    std::uint32_t lastError() override { return kServerDown; }
};

class Lookups final : public DomainLookups {
public:
    static constexpr std::uint32_t kNoLogonServers = 1311;
    std::uint32_t getDcName(std::string_view, std::string&) override { return kNoLogonServers; }
    std::uint32_t serverEnum(std::uint32_t, std::uint32_t, std::optional<std::string_view>,
                             std::vector<ServerInfo100>& entries) override {
        entries.clear();
        return kNoLogonServers;
    }
    std::optional<std::string> getAnyDcName(std::string_view) override { return std::nullopt; }
};

class Services final : public ServiceControl {
public:
    std::unique_ptr<ServiceHandle> openManager(std::string_view, std::uint32_t) override { return nullptr; }
    std::unique_ptr<ServiceHandle> openService(ServiceHandle&, std::string_view, std::uint32_t) override {
        return nullptr;
    }
    std::optional<std::uint32_t> queryState(ServiceHandle&) override { return std::nullopt; }
};

}  // namespace unavailable

inline SecurityAuthority& DiscoveryServices::securityAuthority() {
    static unavailable::Authority authority;
    return authority;
}
inline LdapClient& DiscoveryServices::directory() {
    static unavailable::Directory directory;
    return directory;
}
inline DomainLookups& DiscoveryServices::domainLookups() {
    static unavailable::Lookups lookups;
    return lookups;
}
inline ServiceControl& DiscoveryServices::serviceControl() {
    static unavailable::Services services;
    return services;
}

}  // namespace skewmon::platform
