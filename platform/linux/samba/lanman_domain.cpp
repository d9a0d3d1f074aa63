#include "platform/linux/samba/lanman_domain.h"

#include <arpa/inet.h>

#include <algorithm>
#include <memory>

extern "C" {
#include <netapi.h>
}

#include "platform/linux/samba/lanman_settings.h"
#include "platform/linux/samba/netapi_clock.h"

namespace skewmon::platform {
namespace {

constexpr std::uint32_t kDcNotFound = 2453;              // NERR_DCNotFound
constexpr std::uint32_t kInvalidLevel = 124;             // ERROR_INVALID_LEVEL
constexpr std::uint32_t kNoBrowserServersFound = 6118;   // ERROR_NO_BROWSER_SERVERS_FOUND
constexpr std::uint32_t kMasterBrowser = 0x40000;
constexpr std::uint32_t kDomainMasterBrowser = 0x80000;
constexpr std::uint32_t kStopped = 1;
constexpr std::uint32_t kRunning = 4;
constexpr std::size_t kNetbiosNameLength = 15;

struct NetapiBufferDeleter {
    void operator()(std::uint8_t* buffer) const { NetApiBufferFree(buffer); }
};

std::string WithBackslashes(std::string_view name) {
    while (!name.empty() && name.front() == '\\') name.remove_prefix(1);
    return "\\\\" + std::string(name);
}

// A name the name service can be asked for: no NUL, at most 15 bytes.
bool UsableNetbiosName(std::string_view name) {
    return !name.empty() && name.size() <= kNetbiosNameLength && name.find('\0') == std::string_view::npos;
}

// libnetapi's answer, asked on the local machine: the controller's name.
std::optional<std::string> AskNetlogon(std::string_view domain, bool any) {
    const std::string terminated(domain);
    if (terminated.find('\0') != std::string::npos) return std::nullopt;
    std::lock_guard lock(NetapiLock());
    if (!QuietNetapiContext()) return std::nullopt;
    std::uint8_t* raw = nullptr;
    const NET_API_STATUS status = any ? NetGetAnyDCName(nullptr, terminated.c_str(), &raw)
                                      : NetGetDCName(nullptr, terminated.c_str(), &raw);
    std::unique_ptr<std::uint8_t, NetapiBufferDeleter> buffer(raw);
    if (status != NET_API_STATUS_SUCCESS || !buffer) return std::nullopt;
    const std::string_view name(reinterpret_cast<const char*>(buffer.get()));
    if (name.empty()) return std::nullopt;
    return WithBackslashes(name);
}

// The machines at `addresses` that hold what `wanted` asks of their name
// table, with their server names, each address once.
template <typename Wanted>
std::vector<LocatedController> Holders(const nbns::NameService& names, const std::vector<in_addr>& addresses,
                                       Wanted wanted) {
    std::vector<LocatedController> found;
    for (const in_addr& address : addresses) {
        const std::optional<std::vector<nbns::HeldName>> table = names.nodeStatus(address);
        if (!table || !wanted(*table)) continue;
        if (const std::optional<std::string> server = nbns::ServerNameOf(*table)) found.push_back({address, *server});
    }
    return found;
}

std::optional<LocatedController> PrimaryController(const nbns::NameService& names, std::string_view domain) {
    if (!UsableNetbiosName(domain)) return std::nullopt;
    const auto found = Holders(names, names.query(domain, nbns::kDomainMasterBrowser),
                               [&](const auto& table) { return nbns::Holds(table, domain, nbns::kDomainControllers); });
    if (found.empty()) return std::nullopt;
    return found.front();
}

std::optional<LocatedController> AnyController(const nbns::NameService& names, std::string_view domain) {
    if (!UsableNetbiosName(domain)) return std::nullopt;
    // A WINS server may hold the controllers' group name without their
    // addresses (Samba's own does): the primary controller is one of them.
    std::vector<in_addr> addresses = names.query(domain, nbns::kDomainControllers);
    for (const in_addr& address : names.query(domain, nbns::kDomainMasterBrowser))
        if (std::none_of(addresses.begin(), addresses.end(),
                         [&](const in_addr& known) { return known.s_addr == address.s_addr; }))
            addresses.push_back(address);
    const auto found = Holders(names, addresses,
                               [&](const auto& table) { return nbns::Holds(table, domain, nbns::kDomainControllers); });
    if (found.empty()) return std::nullopt;
    return found.front();
}

// What a manager handle knows: the machine's name table.
struct ManagerHandle final : ServiceHandle {
    explicit ManagerHandle(std::vector<nbns::HeldName> table) : names(std::move(table)) {}
    std::vector<nbns::HeldName> names;
};
struct BrowserHandle final : ServiceHandle {
    explicit BrowserHandle(bool running) : running(running) {}
    bool running;
};

bool IsBrowserService(std::string_view service) {
    constexpr std::string_view kBrowser = "browser";
    if (service.size() != kBrowser.size()) return false;
    for (std::size_t i = 0; i < service.size(); ++i) {
        char c = service[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kBrowser[i]) return false;
    }
    return true;
}

}  // namespace

NetbiosViewSource ClientSettingsView() {
    return []() -> std::optional<NetbiosView> {
        const std::optional<SambaClientSettings> settings = LoadedClientSettings();
        if (!settings) return std::nullopt;
        return NetbiosView{nbns::NameService(NameServiceSettingsOf(*settings, SubnetBroadcastAddresses())),
                           settings->workgroup};
    };
}

std::optional<LocatedController> LocateDomainController(const nbns::NameService& names,
                                                        std::string_view domain) {
    if (auto primary = PrimaryController(names, domain)) return primary;
    return AnyController(names, domain);
}

std::uint32_t NetbiosDomainLookups::getDcName(std::string_view domain, std::string& name) {
    if (askNetlogon_) {
        if (std::optional<std::string> answer = AskNetlogon(domain, false)) {
            name = *answer;
            return 0;
        }
    }
    const std::optional<NetbiosView> view = view_();
    if (!view) return kDcNotFound;
    const std::optional<LocatedController> primary = PrimaryController(view->names, domain);
    if (!primary) return kDcNotFound;
    name = "\\\\" + primary->name;
    return 0;
}

std::uint32_t NetbiosDomainLookups::serverEnum(std::uint32_t level, std::uint32_t serverTypes,
                                               std::optional<std::string_view> domain,
                                               std::vector<ServerInfo100>& entries) {
    entries.clear();
    if (level != 100) return kInvalidLevel;
    const std::optional<NetbiosView> view = view_();
    if (!view) return kNoBrowserServersFound;
    const std::string name(domain ? *domain : std::string_view(view->workgroup));
    if (!UsableNetbiosName(name)) return kNoBrowserServersFound;

    // Backup browsers hold no name of their own: only their master knows
    // them. The masters are what can be found.
    std::vector<in_addr> addresses;
    auto add = [&](std::uint8_t type) {
        for (const in_addr& address : view->names.query(name, type))
            if (std::none_of(addresses.begin(), addresses.end(),
                             [&](const in_addr& known) { return known.s_addr == address.s_addr; }))
                addresses.push_back(address);
    };
    if (serverTypes & kDomainMasterBrowser) add(nbns::kDomainMasterBrowser);
    if (serverTypes & kMasterBrowser) add(nbns::kLocalMasterBrowser);
    for (const LocatedController& server : Holders(view->names, addresses, nbns::HoldsBrowserName))
        entries.push_back({kPlatformIdNt, server.name});
    return entries.empty() ? kNoBrowserServersFound : 0;
}

std::optional<std::string> NetbiosDomainLookups::getAnyDcName(std::string_view domain) {
    if (askNetlogon_) {
        if (std::optional<std::string> answer = AskNetlogon(domain, true)) return answer;
    }
    const std::optional<NetbiosView> view = view_();
    if (!view) return std::nullopt;
    const std::optional<LocatedController> any = AnyController(view->names, domain);
    if (!any) return std::nullopt;
    return "\\\\" + any->name;
}

std::unique_ptr<ServiceHandle> NetbiosServiceControl::openManager(std::string_view machine, std::uint32_t) {
    while (!machine.empty() && machine.front() == '\\') machine.remove_prefix(1);
    if (machine.empty() || machine.find('\0') != std::string_view::npos) return nullptr;
    const std::optional<NetbiosView> view = view_();
    if (!view) return nullptr;

    in_addr address{};
    const std::string name(machine);
    if (inet_pton(AF_INET, name.c_str(), &address) != 1) {
        if (!UsableNetbiosName(name)) return nullptr;
        const std::vector<in_addr> addresses = view->names.query(name, nbns::kServer);
        if (addresses.empty()) return nullptr;
        address = addresses.front();
    }
    std::optional<std::vector<nbns::HeldName>> table = view->names.nodeStatus(address);
    if (!table) return nullptr;
    return std::make_unique<ManagerHandle>(std::move(*table));
}

std::unique_ptr<ServiceHandle> NetbiosServiceControl::openService(ServiceHandle& manager, std::string_view service,
                                                                  std::uint32_t) {
    if (!IsBrowserService(service)) return nullptr;
    return std::make_unique<BrowserHandle>(nbns::HoldsBrowserName(static_cast<ManagerHandle&>(manager).names));
}

std::optional<std::uint32_t> NetbiosServiceControl::queryState(ServiceHandle& service) {
    return static_cast<BrowserHandle&>(service).running ? kRunning : kStopped;
}

}  // namespace skewmon::platform
