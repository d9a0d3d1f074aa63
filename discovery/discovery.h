// Filling the domain selector, and making sure a selected domain has a
// server that serves it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/controls.h"
#include "platform/domain.h"
#include "state/discovery_state.h"
#include "state/scan_state.h"

namespace skewmon {

inline constexpr std::size_t kDomainNameCapacity = 128;
inline constexpr std::size_t kFocusServerCapacity = 120;

// Service states as the service managers number them.
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceStateUnknown = 255;

struct DiscoveryContext {
    platform::DiscoveryServices& services;
    DiscoveryState& state;
    const std::string& localComputerName;
    const ScanState& scan;  // its dialog owns the failure message
};

// Fills the domain selector and ends with FocusDomain.
void FillDomainList(DiscoveryContext& context, platform::DialogControls& dialog,
                    std::string_view preferredDomain);
void FocusDomain(DiscoveryContext& context, platform::DialogControls& dialog);

// The state of `service` on `machine` (two backslashes and its name), or
// kServiceStateUnknown.
std::uint32_t GetServiceState(platform::ServiceControl& control, std::string_view machine,
                              std::string_view service);

// ---------------------------------------------------------------------------
// The directory

struct DirectoryConnection {
    std::unique_ptr<platform::LdapConnection> connection;  // none on failure
    std::uint32_t error = 0;                              // 0 on success
};

inline constexpr std::size_t kRootDseValueCapacity = 128;

// Opens and binds a connection to the default directory server and reads
// the wanted values of its root entry (each output may be null: not wanted).
// On success the connection keeps the options of the search phase in force.
DirectoryConnection ReadRootDse(platform::LdapClient& client, std::string* rootDomainNamingContext,
                                std::string* defaultNamingContext,
                                std::string* configurationNamingContext, std::string* dnsHostName);

// Walks the domain partitions of the directory forest. Destruction closes.
class PartitionEnumerator {
public:
    static constexpr std::size_t kNamingContextCapacity = 128;
    static constexpr std::size_t kCommonNameCapacity = 128;
    static constexpr std::size_t kDistinguishedNameCapacity = 256;
    static constexpr std::size_t kNetbiosNameCapacity = 128;
    static constexpr std::size_t kDnsRootCapacity = 256;
    static constexpr std::size_t kSearchBaseCapacity = 512;

    explicit PartitionEnumerator(platform::LdapClient& client) : client_(client) {}
    ~PartitionEnumerator() { close(); }
    PartitionEnumerator(const PartitionEnumerator&) = delete;
    PartitionEnumerator& operator=(const PartitionEnumerator&) = delete;

    // 0: standing on the first partition, its fields read. Otherwise the
    // enumerator is closed and the code says why.
    std::uint32_t open();
    // Moves to the next partition and reads it; false at the end.
    bool next();
    void readEntry();
    void close();
    void clearFields();

    const std::string& namingContext() const { return namingContext_; }
    const std::string& commonName() const { return commonName_; }
    const std::string& distinguishedName() const { return distinguishedName_; }
    const std::string& netbiosName() const { return netbiosName_; }
    const std::string& dnsRoot() const { return dnsRoot_; }

private:
    std::uint32_t fail(std::uint32_t error);

    platform::LdapClient& client_;
    std::string namingContext_;
    std::string commonName_;
    std::string distinguishedName_;
    std::string netbiosName_;
    std::string dnsRoot_;
    std::unique_ptr<platform::LdapConnection> connection_;
    std::unique_ptr<platform::LdapResult> searchResult_;  // freed before the connection ends
    platform::LdapEntry currentEntry_ = nullptr;
};

}  // namespace skewmon
