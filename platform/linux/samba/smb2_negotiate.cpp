#include "platform/linux/samba/smb2_negotiate.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace skewmon::platform {
namespace {

using Steady = std::chrono::steady_clock;

constexpr std::size_t kSessionHeaderSize = 4;
constexpr std::size_t kSmb2HeaderSize = 64;
// The response's fixed part, SystemTime at 40 and the security buffer's
// place at 56, runs to 64 bytes past the header.
constexpr std::size_t kResponseFixedSize = 64;
constexpr std::size_t kMinResponse = kSmb2HeaderSize + kResponseFixedSize;

constexpr std::uint16_t kCommandNegotiate = 0;
constexpr std::uint32_t kFlagServerToRedir = 0x1;
constexpr std::uint16_t kNegotiateRequestSize = 36;
constexpr std::uint16_t kNegotiateResponseSize = 65;
constexpr std::array<std::uint16_t, 4> kDialects = {0x0202, 0x0210, 0x0300, 0x0302};
constexpr std::uint16_t kDialectWildcard = 0x02FF;  // "move on to SMB2"
// The SMB1 upgrade is message 0, the SMB2 NEGOTIATE message 1.
constexpr std::uint64_t kNegotiateMessageId = 1;

std::uint16_t Le16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
    return std::uint32_t{Le16(b, at)} | std::uint32_t{Le16(b, at + 2)} << 16;
}
std::uint64_t Le64(std::span<const std::uint8_t> b, std::size_t at) {
    return std::uint64_t{Le32(b, at)} | std::uint64_t{Le32(b, at + 4)} << 32;
}

struct NegotiateResponse {
    std::uint64_t messageId = 0;
    std::uint16_t dialect = 0;
    std::uint64_t systemTime = 0;
};

// The fields of one complete frame holding a successful SMB2 NEGOTIATE
// response; none for anything else.
std::optional<NegotiateResponse> ParseNegotiateResponse(std::span<const std::uint8_t> frame) {
    const std::optional<std::size_t> size = Smb2FrameSize(frame);
    if (!size || *size != frame.size()) return std::nullopt;
    const std::span<const std::uint8_t> m = frame.subspan(kSessionHeaderSize);
    if (m.size() < kMinResponse) return std::nullopt;

    // From here on every read lies within the kMinResponse bytes checked above.
    if (m[0] != 0xFE || m[1] != 'S' || m[2] != 'M' || m[3] != 'B') return std::nullopt;
    if (Le16(m, 4) != kSmb2HeaderSize) return std::nullopt;
    if (Le32(m, 8) != 0) return std::nullopt;  // an error status carries no negotiate body
    if (Le16(m, 12) != kCommandNegotiate) return std::nullopt;
    if ((Le32(m, 16) & kFlagServerToRedir) == 0) return std::nullopt;

    const std::span<const std::uint8_t> r = m.subspan(kSmb2HeaderSize);
    if (Le16(r, 0) != kNegotiateResponseSize) return std::nullopt;
    // The security buffer, counted from the SMB2 header, must lie inside.
    const std::size_t securityOffset = Le16(r, 56);
    const std::size_t securityLength = Le16(r, 58);
    if (securityLength != 0 && (securityOffset < kMinResponse || securityOffset + securityLength > m.size()))
        return std::nullopt;
    return NegotiateResponse{Le64(m, 24), Le16(r, 4), Le64(r, 40)};
}

int Remaining(Steady::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, std::numeric_limits<int>::max()));
}

// Waits for `events` on fd until the deadline; true when one came.
bool WaitFor(int fd, short events, Steady::time_point deadline) {
    for (;;) {
        const int left = Remaining(deadline);
        if (left == 0) return false;
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, left);
        if (n > 0) return true;
        if (n == 0 || errno != EINTR) return false;
    }
}

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = AF_UNSPEC;
};

std::optional<Address> FirstAddress(const addrinfo* list) {
    for (const addrinfo* a = list; a; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Address address;
        std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
        address.length = a->ai_addrlen;
        address.family = a->ai_family;
        return address;
    }
    return std::nullopt;
}

std::optional<Address> Lookup(const std::string& host, std::uint16_t port, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags | AI_NUMERICSERV;
    addrinfo* raw = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &raw) != 0) return std::nullopt;
    AddrInfoList list(raw);
    return FirstAddress(list.get());
}

// An address resolves at once; a name goes to the resolver on a thread of
// its own, which is left to finish alone when it outlasts the deadline (the
// system's resolver has no time limit of ours).
std::optional<Address> Resolve(const std::string& host, std::uint16_t port, Steady::time_point deadline) {
    if (auto numeric = Lookup(host, port, AI_NUMERICHOST)) return numeric;

    struct Pending {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
        std::optional<Address> result;
    };
    auto pending = std::make_shared<Pending>();
    try {
        std::thread([pending, host, port] {
            std::optional<Address> result = Lookup(host, port, AI_ADDRCONFIG);
            std::lock_guard guard(pending->lock);
            pending->result = result;
            pending->finished = true;
            pending->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    std::unique_lock guard(pending->lock);
    if (!pending->done.wait_until(guard, deadline, [&] { return pending->finished; })) return std::nullopt;
    return pending->result;
}

}  // namespace

std::vector<std::uint8_t> Smb1UpgradeRequest() {
    static constexpr char kDialect[] = "SMB 2.???";  // sent with its terminating NUL
    constexpr std::size_t kSmb1HeaderSize = 32;
    const std::size_t byteCount = 1 + sizeof kDialect;
    const std::size_t length = kSmb1HeaderSize + 1 + 2 + byteCount;
    std::vector<std::uint8_t> out(kSessionHeaderSize + length, 0);
    out[3] = static_cast<std::uint8_t>(length);  // well below 256
    // SMB1 header: protocol, command NEGOTIATE (0x72), zero status, flags
    // (canonical, case-insensitive names), flags2 (Unicode, NT status codes,
    // extended security, long names), tree id 0xFFFF, all else zero.
    const std::size_t h = kSessionHeaderSize;
    out[h] = 0xFF;
    out[h + 1] = 'S';
    out[h + 2] = 'M';
    out[h + 3] = 'B';
    out[h + 4] = 0x72;
    out[h + 9] = 0x18;
    out[h + 10] = 0x01;
    out[h + 11] = 0xC8;
    out[h + 24] = 0xFF;
    out[h + 25] = 0xFF;
    // No parameter words; the bytes are the one dialect, marked 0x02.
    const std::size_t b = h + kSmb1HeaderSize;
    out[b + 1] = static_cast<std::uint8_t>(byteCount);
    out[b + 3] = 0x02;
    for (std::size_t i = 0; i < sizeof kDialect; ++i) out[b + 4 + i] = static_cast<std::uint8_t>(kDialect[i]);
    return out;
}

std::vector<std::uint8_t> Smb2NegotiateRequest() {
    const std::size_t length = kSmb2HeaderSize + kNegotiateRequestSize + 2 * kDialects.size();
    std::vector<std::uint8_t> out(kSessionHeaderSize + length, 0);
    auto put16 = [&out](std::size_t at, std::uint16_t v) {
        out[at] = static_cast<std::uint8_t>(v);
        out[at + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    // Session header: a session message (0) and a 24-bit big-endian length.
    out[1] = static_cast<std::uint8_t>(length >> 16);
    out[2] = static_cast<std::uint8_t>(length >> 8);
    out[3] = static_cast<std::uint8_t>(length);
    // SMB2 header: protocol, structure size, command, one credit asked for,
    // message id; status, flags, tree, session and signature all zero.
    const std::size_t h = kSessionHeaderSize;
    out[h] = 0xFE;
    out[h + 1] = 'S';
    out[h + 2] = 'M';
    out[h + 3] = 'B';
    put16(h + 4, kSmb2HeaderSize);
    put16(h + 12, kCommandNegotiate);
    put16(h + 14, 1);
    out[h + 24] = static_cast<std::uint8_t>(kNegotiateMessageId);
    // NEGOTIATE request: structure size, dialect count, security mode
    // (signing enabled); capabilities, client GUID and start time zero; then
    // the dialects.
    const std::size_t b = h + kSmb2HeaderSize;
    put16(b, kNegotiateRequestSize);
    put16(b + 2, static_cast<std::uint16_t>(kDialects.size()));
    put16(b + 4, 0x0001);
    for (std::size_t i = 0; i < kDialects.size(); ++i) put16(b + kNegotiateRequestSize + 2 * i, kDialects[i]);
    return out;
}

std::optional<std::size_t> Smb2FrameSize(std::span<const std::uint8_t> received) {
    if (received.size() < kSessionHeaderSize || received[0] != 0) return std::nullopt;
    const std::size_t length =
        std::size_t{received[1]} << 16 | std::size_t{received[2]} << 8 | std::size_t{received[3]};
    if (length > kSmb2MaxRead - kSessionHeaderSize) return std::nullopt;
    return kSessionHeaderSize + length;
}

bool IsSmb2Upgrade(std::span<const std::uint8_t> frame) {
    const std::optional<NegotiateResponse> response = ParseNegotiateResponse(frame);
    return response && response->messageId == 0 && response->dialect == kDialectWildcard;
}

std::optional<std::int64_t> ParseSmb2NegotiateTime(std::span<const std::uint8_t> frame) {
    const std::optional<NegotiateResponse> response = ParseNegotiateResponse(frame);
    if (!response || response->messageId != kNegotiateMessageId) return std::nullopt;
    bool offered = false;
    for (std::uint16_t d : kDialects) offered = offered || d == response->dialect;
    if (!offered) return std::nullopt;
    if (response->systemTime == 0 || response->systemTime > std::uint64_t(std::numeric_limits<std::int64_t>::max()))
        return std::nullopt;
    return static_cast<std::int64_t>(response->systemTime);
}

std::unique_ptr<Smb2NegotiateConnection> Smb2NegotiateConnection::Open(std::string_view host, std::uint16_t port,
                                                                        std::chrono::milliseconds budget) {
    const Steady::time_point deadline = Steady::now() + budget;
    if (host.empty() || host.find('\0') != std::string_view::npos) return nullptr;
    const std::optional<Address> address = Resolve(std::string(host), port, deadline);
    if (!address) return nullptr;

    const int fd = socket(address->family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return nullptr;
    std::unique_ptr<Smb2NegotiateConnection> connection(new Smb2NegotiateConnection(fd, deadline));
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    if (connect(fd, reinterpret_cast<const sockaddr*>(&address->storage), address->length) != 0) {
        if (errno != EINPROGRESS) return nullptr;
        if (!WaitFor(fd, POLLOUT, deadline)) return nullptr;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return nullptr;
    }

    const std::vector<std::uint8_t> upgrade = Smb1UpgradeRequest();
    if (!connection->send(upgrade)) return nullptr;
    const auto answer = connection->receiveFrame();
    if (!answer || !IsSmb2Upgrade(*answer)) return nullptr;
    return connection;
}

Smb2NegotiateConnection::Smb2NegotiateConnection(int fd, Steady::time_point deadline)
    : fd_(fd), deadline_(deadline), buffer_(kSmb2MaxRead) {}

Smb2NegotiateConnection::~Smb2NegotiateConnection() { close(fd_); }

bool Smb2NegotiateConnection::send(std::span<const std::uint8_t> bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {  // each pass sends at least one byte or gives up
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!WaitFor(fd_, POLLOUT, deadline_)) return false;
        } else {
            return false;
        }
    }
    return true;
}

std::optional<std::span<const std::uint8_t>> Smb2NegotiateConnection::receiveFrame() {
    // Each pass adds at least one byte, within what is left of the
    // connection's read allowance, or ends the exchange.
    std::size_t received = 0;
    std::size_t wanted = kSessionHeaderSize;
    while (received < wanted) {
        if (wanted > readLeft_) return std::nullopt;
        const ssize_t n = recv(fd_, buffer_.data() + received, wanted - received, 0);
        if (n > 0) {
            received += static_cast<std::size_t>(n);
            if (received == kSessionHeaderSize) {
                const std::optional<std::size_t> size = Smb2FrameSize({buffer_.data(), received});
                if (!size) return std::nullopt;
                wanted = *size;
            }
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!WaitFor(fd_, POLLIN, deadline_)) return std::nullopt;
        } else {
            return std::nullopt;  // closed early, or an error
        }
    }
    readLeft_ -= received;
    return std::span<const std::uint8_t>(buffer_.data(), received);
}

std::optional<std::int64_t> Smb2NegotiateConnection::systemTime() {
    // One request per connection: a second NEGOTIATE is a protocol error.
    if (used_) return std::nullopt;
    used_ = true;
    // Made before the first byte leaves: the caller's clock readings are
    // around this call.
    const std::vector<std::uint8_t> request = Smb2NegotiateRequest();
    if (!send(request)) return std::nullopt;
    const auto answer = receiveFrame();
    if (!answer) return std::nullopt;
    return ParseSmb2NegotiateTime(*answer);
}

}  // namespace skewmon::platform
