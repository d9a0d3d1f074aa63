// The NetBIOS name-service client's reading of a UDP reply, which anyone on
// the segment can send first. The input: the query's id (two bytes, as the
// client chose it) and the datagram. Read both as the answer to a name
// query and as the answer to a node status query, then as the domain focus
// uses the names.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/linux/netbios/netbios_name_client.h"
#include "tests/fuzz/fuzz_check.h"

using namespace skewmon::platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint16_t id = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
    const std::span<const std::uint8_t> packet(data + 2, size - 2);

    if (const auto addresses = nbns::ParseNameQueryResponse(packet, id)) {
        FUZZ_CHECK(addresses->size() <= packet.size() / 6);
        for (const in_addr& address : *addresses) {
            FUZZ_CHECK(address.s_addr != INADDR_ANY && address.s_addr != INADDR_BROADCAST);
        }
    }
    if (const auto names = nbns::ParseNodeStatusResponse(packet, id)) {
        FUZZ_CHECK(names->size() <= 255);
        for (const nbns::HeldName& held : *names) {
            FUZZ_CHECK(held.name.size() <= 15);
            FUZZ_CHECK(held.name.empty() || (held.name.back() != ' ' && held.name.back() != '\0'));
        }
        nbns::HoldsBrowserName(*names);
        nbns::Holds(*names, "WORKGROUP", nbns::kDomainMasterBrowser);
        if (const auto server = nbns::ServerNameOf(*names)) {
            FUZZ_CHECK(!server->empty() && server->size() <= 15);
        }
    }
    return 0;
}
