// A small client of the NetBIOS name service (RFC 1001/1002): name queries
// to WINS servers or a subnet's broadcast address, and node status queries,
// which list the names a machine holds. Every wait is bounded, and nothing
// in a reply is trusted beyond what its bytes prove.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace skewmon::platform::nbns {

inline constexpr std::uint16_t kPort = 137;

// Name types of the browse and domain roles.
inline constexpr std::uint8_t kWorkstation = 0x00;
inline constexpr std::uint8_t kMasterBrowserGroup = 0x01;  // __MSBROWSE__
inline constexpr std::uint8_t kServer = 0x20;
inline constexpr std::uint8_t kDomainMasterBrowser = 0x1B;  // also the primary controller
inline constexpr std::uint8_t kDomainControllers = 0x1C;
inline constexpr std::uint8_t kLocalMasterBrowser = 0x1D;
inline constexpr std::uint8_t kBrowserElection = 0x1E;
inline constexpr char kMasterBrowserName[] = "\x01\x02__MSBROWSE__\x02";

struct HeldName {
    std::string name;  // without its padding, as the machine spells it
    std::uint8_t type = 0;
    bool group = false;
};

// The packets, built and read here so that they can be tested without a
// network.
std::vector<std::uint8_t> NameQueryPacket(std::uint16_t id, std::string_view name, std::uint8_t type,
                                          bool broadcast);
std::vector<std::uint8_t> NodeStatusPacket(std::uint16_t id);
// The answer to name query `id`: the addresses it gives (empty for a
// negative answer); none when the packet is no such answer.
std::optional<std::vector<in_addr>> ParseNameQueryResponse(std::span<const std::uint8_t> packet,
                                                           std::uint16_t id);
// The names listed by the answer to node status query `id`; none when the
// packet is no such answer.
std::optional<std::vector<HeldName>> ParseNodeStatusResponse(std::span<const std::uint8_t> packet,
                                                             std::uint16_t id);

// True for the names that only a machine running a browser holds: the
// browser election group, the local master browser name and __MSBROWSE__.
bool HoldsBrowserName(const std::vector<HeldName>& names);
// The machine's own server name: its unique <20> name, else its unique <00>.
std::optional<std::string> ServerNameOf(const std::vector<HeldName>& names);
// True when `names` hold `name`<type>, letter case ignored.
bool Holds(const std::vector<HeldName>& names, std::string_view name, std::uint8_t type);

class NameService {
public:
    struct Settings {
        std::vector<in_addr> winsServers;    // asked in order
        std::vector<in_addr> broadcastAddresses;  // asked after them; empty: never broadcast
        std::uint16_t port = kPort;
        std::chrono::milliseconds wait{800};  // for one answer
        int tries = 2;
    };

    explicit NameService(Settings settings) : settings_(std::move(settings)) {}

    // The addresses registered for `name`<type>: from the first WINS server
    // that knows it, else from the broadcast answers. Empty when nobody does.
    std::vector<in_addr> query(std::string_view name, std::uint8_t type) const;
    // The names `address` holds; none when it does not answer.
    std::optional<std::vector<HeldName>> nodeStatus(in_addr address) const;

    const Settings& settings() const { return settings_; }

private:
    Settings settings_;
};

}  // namespace skewmon::platform::nbns
