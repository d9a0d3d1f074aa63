// A minimal SMB2 client that does one thing: ask a server for the clock
// reading it puts into its NEGOTIATE response. Samba answers the time-of-day
// call in whole seconds, but fills the negotiate SystemTime from its clock at
// full resolution.
//
// The connection is first moved to SMB2 with an SMB1 NEGOTIATE that offers
// only "SMB 2.???", as Windows clients do. That first exchange meets a server
// still starting up for the connection (Samba forks a process for each),
// which delays the answer by anything up to tens of milliseconds; the SMB2
// NEGOTIATE that follows, the one the caller times, meets a server that is
// ready, so its round trip is the network's.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/time_query.h"

namespace skewmon::platform {

inline constexpr std::uint16_t kSmbPort = 445;
// Never read more than this from a server on one connection, whatever
// lengths it announces.
inline constexpr std::size_t kSmb2MaxRead = 64 * 1024;

// The requests as sent on the wire, each behind its 4-byte session header:
// the SMB1 NEGOTIATE offering only "SMB 2.???", and the SMB2 NEGOTIATE
// (message 1) offering dialects 2.0.2, 2.1, 3.0 and 3.0.2 (3.1.1 would need
// negotiate contexts, which the time does not).
std::vector<std::uint8_t> Smb1UpgradeRequest();
std::vector<std::uint8_t> Smb2NegotiateRequest();

// How many bytes the frame that starts `received` takes in all (session
// header included); none while fewer than 4 bytes are there, or when the
// header is no session message or announces more than kSmb2MaxRead.
std::optional<std::size_t> Smb2FrameSize(std::span<const std::uint8_t> received);

// Whether one complete frame is the SMB2 NEGOTIATE response (dialect 2.???)
// that moves the connection on to SMB2.
bool IsSmb2Upgrade(std::span<const std::uint8_t> frame);

// The SystemTime (100-ns intervals since 1601-01-01 UTC) of one complete
// frame holding the successful SMB2 NEGOTIATE response to our request; none
// for anything else: short, cut, oversized, an error status, another
// command or message, a dialect we did not offer, or a time of zero.
std::optional<std::int64_t> ParseSmb2NegotiateTime(std::span<const std::uint8_t> frame);

// One TCP connection to a server's SMB port, moved on to SMB2 and ready for
// the one negotiate exchange. Everything it does, from resolving the name to
// reading the last answer, ends by the deadline set at opening.
class Smb2NegotiateConnection final : public NegotiateExchange {
public:
    // Connects to `host` (an address, or a name looked up with the system's
    // resolver) at `port` within `budget`; none when that fails, the server
    // does not move to SMB2, or the budget runs out.
    static std::unique_ptr<Smb2NegotiateConnection> Open(std::string_view host, std::uint16_t port,
                                                         std::chrono::milliseconds budget);
    ~Smb2NegotiateConnection() override;
    Smb2NegotiateConnection(const Smb2NegotiateConnection&) = delete;
    Smb2NegotiateConnection& operator=(const Smb2NegotiateConnection&) = delete;

    std::optional<std::int64_t> systemTime() override;

private:
    Smb2NegotiateConnection(int fd, std::chrono::steady_clock::time_point deadline);
    bool send(std::span<const std::uint8_t> bytes);
    // One whole frame into buffer_, or none.
    std::optional<std::span<const std::uint8_t>> receiveFrame();

    int fd_;
    std::chrono::steady_clock::time_point deadline_;
    std::vector<std::uint8_t> buffer_;
    std::size_t readLeft_ = kSmb2MaxRead;
    bool used_ = false;
};

}  // namespace skewmon::platform
