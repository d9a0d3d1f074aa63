// The directory side of the domain list: the root entry of the default
// directory server and the domain partitions of its forest.
#include <array>

#include "discovery/discovery.h"
#include "text/text_util.h"

namespace skewmon {
namespace {

using platform::LdapValuePassing;

constexpr std::uint32_t kProtocolVersion3 = 3;
constexpr std::uint32_t kNoLimit = 0;
constexpr std::uint32_t kSearchSeconds = 60;
constexpr std::uint32_t kReferralHops = 10;
constexpr std::uint32_t kOn = 1;
constexpr int kLdapPort = 389;

constexpr char kPartitionsPrefix[] = "CN=Partitions,";
constexpr char kDomainPartitionFilter[] = "(&(systemFlags=3))";

// The first value of `attribute` in `entry`, as a buffer of `capacity` holds
// it; empty when the entry has none.
std::string FirstValue(platform::LdapConnection& connection, platform::LdapEntry entry,
                       std::string_view attribute, std::size_t capacity) {
    const std::optional<std::vector<std::string>> values = connection.getValues(entry, attribute);
    if (!values || values->empty()) return {};
    return CutCStringToCapacity(values->front(), capacity);
}

}  // namespace

DirectoryConnection ReadRootDse(platform::LdapClient& client, std::string* rootDomainNamingContext,
                                std::string* defaultNamingContext,
                                std::string* configurationNamingContext, std::string* dnsHostName) {
    for (std::string* output :
         {rootDomainNamingContext, defaultNamingContext, configurationNamingContext, dnsHostName})
        if (output) output->clear();

    DirectoryConnection open;
    std::unique_ptr<platform::LdapResult> result;
    // Each step runs only while all before it succeeded.
    auto step = [&open](std::uint32_t status) {
        if (open.error == 0) open.error = status;
        return open.error == 0;
    };

    open.connection = client.init(std::nullopt, kLdapPort);
    if (!open.connection) {
        open.error = client.lastError();
        if (open.error == 0) open.error = platform::kLdapProtocolError;
    }
    platform::LdapConnection* ldap = open.connection.get();
    if (ldap &&
        step(ldap->setOption(platform::kLdapOptProtocolVersion, kProtocolVersion3, LdapValuePassing::kByAddress)) &&
        step(ldap->setOption(platform::kLdapOptTimeLimit, kNoLimit, LdapValuePassing::kByAddress)) &&
        step(ldap->setOption(platform::kLdapOptReferrals,
                             platform::kLdapChaseSubordinateReferrals | platform::kLdapChaseExternalReferrals,
                             LdapValuePassing::kByAddress)) &&
        step(ldap->setOption(platform::kLdapOptReferralHopLimit, kReferralHops, LdapValuePassing::kByAddress)) &&
        step(ldap->setOption(platform::kLdapOptAutoReconnect, kOn, LdapValuePassing::kDirect)) &&
        step(ldap->connect()) && step(ldap->bind(platform::kLdapAuthNegotiate)) &&
        step(ldap->setOption(platform::kLdapOptTimeLimit, kSearchSeconds, LdapValuePassing::kByAddress)) &&
        step(ldap->setOption(platform::kLdapOptSizeLimit, kNoLimit, LdapValuePassing::kByAddress)) &&
        step(ldap->search(std::nullopt, platform::LdapScope::kBase, std::nullopt, std::nullopt, false, result))) {
        if (!result || ldap->countEntries(*result) <= 0) {
            open.error = client.lastError();
            if (open.error == 0) open.error = platform::kLdapNoResultsReturned;
        } else {
            const platform::LdapEntry root = ldap->messageAsEntry(*result);
            const std::array<std::pair<std::string*, std::string_view>, 4> wanted{{
                {defaultNamingContext, "defaultNamingContext"},
                {rootDomainNamingContext, "rootDomainNamingContext"},
                {configurationNamingContext, "configurationNamingContext"},
                {dnsHostName, "dnsHostName"},
            }};
            for (const auto& [output, attribute] : wanted)
                if (output) *output = FirstValue(*ldap, root, attribute, kRootDseValueCapacity);
        }
    }

    if (open.error != 0) open.connection.reset();
    result.reset();
    return open;
}

std::uint32_t PartitionEnumerator::fail(std::uint32_t error) {
    close();
    return error;
}

std::uint32_t PartitionEnumerator::open() {
    close();
    clearFields();

    std::string configuration;
    DirectoryConnection open = ReadRootDse(client_, nullptr, nullptr, &configuration, nullptr);
    if (!open.connection) return fail(open.error != 0 ? open.error : platform::kLdapProtocolError);
    connection_ = std::move(open.connection);

    const std::string base =
        CutCStringToCapacity(std::string(kPartitionsPrefix) + configuration, kSearchBaseCapacity);
    const std::vector<std::string> attributes{"cn", "distinguishedName", "dnsRoot", "nCName", "nETBIOSName"};
    const std::uint32_t status = connection_->search(base, platform::LdapScope::kOneLevel,
                                                     std::string(kDomainPartitionFilter), attributes,
                                                     false, searchResult_);
    if (status != 0 || !searchResult_) return fail(status != 0 ? status : platform::kLdapProtocolError);

    if (connection_->countEntries(*searchResult_) <= 0) {
        const std::uint32_t error = client_.lastError();
        return fail(error != 0 ? error : platform::kLdapNoResultsReturned);
    }
    currentEntry_ = connection_->firstEntry(*searchResult_);
    if (!currentEntry_) {
        const std::uint32_t error = client_.lastError();
        return fail(error != 0 ? error : platform::kLdapNoResultsReturned);
    }
    readEntry();
    return 0;
}

void PartitionEnumerator::readEntry() {
    struct Field {
        std::string& text;
        std::string_view attribute;
        std::size_t capacity;
    };
    const std::array<Field, 5> fields{{
        {commonName_, "cn", kCommonNameCapacity},
        {distinguishedName_, "distinguishedName", kDistinguishedNameCapacity},
        {dnsRoot_, "dnsRoot", kDnsRootCapacity},
        {namingContext_, "nCName", kNamingContextCapacity},
        {netbiosName_, "nETBIOSName", kNetbiosNameCapacity},
    }};
    for (const Field& field : fields) {
        field.text.clear();
        if (connection_ && searchResult_ && currentEntry_)
            field.text = FirstValue(*connection_, currentEntry_, field.attribute, field.capacity);
    }
}

bool PartitionEnumerator::next() {
    if (!connection_ || !currentEntry_ || !searchResult_) return false;
    currentEntry_ = connection_->nextEntry(currentEntry_);
    if (!currentEntry_) return false;
    readEntry();
    return true;
}

void PartitionEnumerator::close() {
    currentEntry_ = nullptr;
    searchResult_.reset();
    connection_.reset();
}

void PartitionEnumerator::clearFields() {
    for (std::string* field : {&namingContext_, &commonName_, &distinguishedName_, &netbiosName_, &dnsRoot_})
        field->clear();
}

}  // namespace skewmon
