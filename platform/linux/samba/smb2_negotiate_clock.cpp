// NetapiClock's way to the server's negotiate clock: the same server name
// that libnetapi is given, over the SMB2 client of smb2_negotiate.h.
#include "platform/linux/samba/netapi_clock.h"
#include "platform/linux/samba/smb2_negotiate.h"

namespace skewmon::platform {

std::unique_ptr<NegotiateExchange> NetapiClock::openNegotiate(std::string_view serverName,
                                                              std::chrono::milliseconds budget) {
    const std::optional<std::string> server = NetapiServerName(serverName);
    if (!server) return nullptr;
    return Smb2NegotiateConnection::Open(*server, kSmbPort, budget);
}

}  // namespace skewmon::platform
