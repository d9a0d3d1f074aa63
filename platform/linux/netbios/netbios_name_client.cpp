#include "platform/linux/netbios/netbios_name_client.h"
#include "text/text_util.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>

namespace skewmon::platform::nbns {
namespace {

constexpr std::uint16_t kFlagResponse = 0x8000;
constexpr std::uint16_t kFlagRecursionDesired = 0x0100;
constexpr std::uint16_t kFlagBroadcast = 0x0010;
constexpr std::uint16_t kTypeNb = 0x0020;
constexpr std::uint16_t kTypeNbStat = 0x0021;
constexpr std::uint16_t kClassIn = 0x0001;
constexpr std::size_t kHeaderBytes = 12;
constexpr std::size_t kNameBytes = 15;
constexpr std::size_t kStatusRecordBytes = 18;
constexpr std::size_t kMaxPacket = 1500;

void Put16(std::vector<std::uint8_t>& packet, std::uint16_t value) {
    packet.push_back(static_cast<std::uint8_t>(value >> 8));
    packet.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

std::vector<std::uint8_t> Header(std::uint16_t id, std::uint16_t flags) {
    std::vector<std::uint8_t> packet;
    Put16(packet, id);
    Put16(packet, flags);
    Put16(packet, 1);  // one question
    Put16(packet, 0);
    Put16(packet, 0);
    Put16(packet, 0);
    return packet;
}

// The first-level encoding of a 16-byte NetBIOS name, with an empty scope.
void PutName(std::vector<std::uint8_t>& packet, const std::uint8_t (&raw)[16]) {
    packet.push_back(32);
    for (std::uint8_t byte : raw) {
        packet.push_back(static_cast<std::uint8_t>('A' + (byte >> 4)));
        packet.push_back(static_cast<std::uint8_t>('A' + (byte & 0x0F)));
    }
    packet.push_back(0);
}

// Reads what the packet holds, never past its end.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
    bool has(std::size_t count) const { return data_.size() - at_ >= count; }
    std::optional<std::uint16_t> get16() {
        if (!has(2)) return std::nullopt;
        const std::uint16_t value = static_cast<std::uint16_t>(data_[at_] << 8 | data_[at_ + 1]);
        at_ += 2;
        return value;
    }
    bool skip(std::size_t count) {
        if (!has(count)) return false;
        at_ += count;
        return true;
    }
    // A (possibly compressed) name: its labels are skipped, not read.
    bool skipName() {
        for (int labels = 0; labels < 64; ++labels) {
            if (!has(1)) return false;
            const std::uint8_t length = data_[at_];
            if ((length & 0xC0) == 0xC0) return skip(2);
            if (length & 0xC0) return false;
            ++at_;
            if (length == 0) return true;
            if (!skip(length)) return false;
        }
        return false;
    }
    std::span<const std::uint8_t> take(std::size_t count) {
        std::span<const std::uint8_t> part = data_.subspan(at_, count);
        at_ += count;
        return part;
    }

private:
    std::span<const std::uint8_t> data_;
    std::size_t at_ = 0;
};

// The resource data of the first answer of the given type to query `id`:
// none when the packet is no answer to it; an empty span for a negative one.
std::optional<std::span<const std::uint8_t>> AnswerData(std::span<const std::uint8_t> packet,
                                                        std::uint16_t id, std::uint16_t type) {
    Reader reader(packet);
    const auto gotId = reader.get16();
    const auto flags = reader.get16();
    const auto questions = reader.get16();
    const auto answers = reader.get16();
    if (!gotId || *gotId != id || !flags || !(*flags & kFlagResponse) || !questions || !answers ||
        !reader.skip(4))
        return std::nullopt;
    if (((*flags >> 11) & 0x0F) != 0) return std::nullopt;  // not a query's answer
    if ((*flags & 0x0F) != 0) return std::span<const std::uint8_t>();
    for (int i = 0; i < *questions; ++i)
        if (!reader.skipName() || !reader.skip(4)) return std::nullopt;
    for (int i = 0; i < *answers; ++i) {
        if (!reader.skipName()) return std::nullopt;
        const auto rrType = reader.get16();
        if (!rrType || !reader.skip(6)) return std::nullopt;  // class and TTL
        const auto length = reader.get16();
        if (!length || !reader.has(*length)) return std::nullopt;
        std::span<const std::uint8_t> data = reader.take(*length);
        if (*rrType == type) return data;
    }
    return std::span<const std::uint8_t>();
}

std::uint16_t NewId() {
    static thread_local std::mt19937 generator(std::random_device{}());
    return static_cast<std::uint16_t>(generator());
}

class Socket {
public:
    Socket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

sockaddr_in Endpoint(in_addr address, std::uint16_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    endpoint.sin_addr = address;
    return endpoint;
}

// Sends `packet` to `target` and hands every datagram that arrives within
// `wait` to `accept` (with its sender) until `accept` says it is done.
template <typename Accept>
void Exchange(const std::vector<std::uint8_t>& packet, const sockaddr_in& target, bool broadcast,
              std::chrono::milliseconds wait, Accept accept) {
    Socket socket;
    if (socket.fd() < 0) return;
    if (broadcast) {
        const int on = 1;
        if (setsockopt(socket.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return;
    }
    if (sendto(socket.fd(), packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&target),
               sizeof target) != static_cast<ssize_t>(packet.size()))
        return;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::uint8_t buffer[kMaxPacket];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd ready{socket.fd(), POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return;
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got = recvfrom(socket.fd(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                                     &fromLength);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;
        }
        if (accept(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(got)), from)) return;
    }
}

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

}  // namespace

std::vector<std::uint8_t> NameQueryPacket(std::uint16_t id, std::string_view name, std::uint8_t type,
                                          bool broadcast) {
    std::vector<std::uint8_t> packet =
        Header(id, static_cast<std::uint16_t>(kFlagRecursionDesired | (broadcast ? kFlagBroadcast : 0)));
    std::uint8_t raw[16];
    std::fill(std::begin(raw), std::end(raw), static_cast<std::uint8_t>(' '));
    name = name.substr(0, kNameBytes);
    for (std::size_t i = 0; i < name.size(); ++i) raw[i] = static_cast<std::uint8_t>(AsciiUpper(name[i]));
    raw[15] = type;
    PutName(packet, raw);
    Put16(packet, kTypeNb);
    Put16(packet, kClassIn);
    return packet;
}

std::vector<std::uint8_t> NodeStatusPacket(std::uint16_t id) {
    std::vector<std::uint8_t> packet = Header(id, 0);
    std::uint8_t raw[16] = {'*'};
    PutName(packet, raw);
    Put16(packet, kTypeNbStat);
    Put16(packet, kClassIn);
    return packet;
}

std::optional<std::vector<in_addr>> ParseNameQueryResponse(std::span<const std::uint8_t> packet,
                                                           std::uint16_t id) {
    const auto data = AnswerData(packet, id, kTypeNb);
    if (!data) return std::nullopt;
    std::vector<in_addr> addresses;
    for (std::size_t at = 0; at + 6 <= data->size(); at += 6) {
        in_addr address{};
        std::copy_n(data->data() + at + 2, 4, reinterpret_cast<std::uint8_t*>(&address.s_addr));
        // Plain groups answer with the limited broadcast address: no machine.
        if (address.s_addr == INADDR_ANY || address.s_addr == INADDR_BROADCAST) continue;
        addresses.push_back(address);
    }
    return addresses;
}

std::optional<std::vector<HeldName>> ParseNodeStatusResponse(std::span<const std::uint8_t> packet,
                                                             std::uint16_t id) {
    const auto data = AnswerData(packet, id, kTypeNbStat);
    if (!data) return std::nullopt;
    std::vector<HeldName> names;
    if (data->empty()) return names;
    const std::size_t count = (*data)[0];
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = 1 + i * kStatusRecordBytes;
        if (at + kStatusRecordBytes > data->size()) break;
        const char* raw = reinterpret_cast<const char*>(data->data() + at);
        std::string name(raw, kNameBytes);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\0')) name.pop_back();
        const std::uint16_t flags = static_cast<std::uint16_t>((*data)[at + 16] << 8 | (*data)[at + 17]);
        names.push_back({std::move(name), (*data)[at + 15], (flags & 0x8000) != 0});
    }
    return names;
}

bool Holds(const std::vector<HeldName>& names, std::string_view name, std::uint8_t type) {
    return std::any_of(names.begin(), names.end(),
                       [&](const HeldName& held) { return held.type == type && SameNameIgnoringCase(held.name, name); });
}

bool HoldsBrowserName(const std::vector<HeldName>& names) {
    return std::any_of(names.begin(), names.end(), [](const HeldName& held) {
        return held.type == kBrowserElection || held.type == kLocalMasterBrowser ||
               (held.type == kMasterBrowserGroup && held.name == std::string_view(kMasterBrowserName));
    });
}

std::optional<std::string> ServerNameOf(const std::vector<HeldName>& names) {
    for (std::uint8_t type : {kServer, kWorkstation})
        for (const HeldName& held : names)
            if (!held.group && held.type == type && !held.name.empty()) return held.name;
    return std::nullopt;
}

std::vector<in_addr> NameService::query(std::string_view name, std::uint8_t type) const {
    for (const in_addr& server : settings_.winsServers) {
        const sockaddr_in target = Endpoint(server, settings_.port);
        for (int attempt = 0; attempt < settings_.tries; ++attempt) {
            const std::uint16_t id = NewId();
            std::optional<std::vector<in_addr>> answer;
            Exchange(NameQueryPacket(id, name, type, false), target, false, settings_.wait,
                     [&](std::span<const std::uint8_t> reply, const sockaddr_in& from) {
                         if (!SameEndpoint(from, target)) return false;
                         answer = ParseNameQueryResponse(reply, id);
                         return answer.has_value();
                     });
            if (!answer) continue;  // no answer: ask again
            if (!answer->empty()) return *answer;
            break;  // this server does not know the name
        }
    }
    std::vector<in_addr> found;
    for (const in_addr& broadcast : settings_.broadcastAddresses) {
        const std::uint16_t id = NewId();
        Exchange(NameQueryPacket(id, name, type, true), Endpoint(broadcast, settings_.port), true, settings_.wait,
                 [&](std::span<const std::uint8_t> reply, const sockaddr_in&) {
                     if (auto answer = ParseNameQueryResponse(reply, id))
                         for (const in_addr& address : *answer)
                             if (std::none_of(found.begin(), found.end(), [&](const in_addr& known) {
                                     return known.s_addr == address.s_addr;
                                 }))
                                 found.push_back(address);
                     return false;  // every machine of the subnet may answer
                 });
        if (!found.empty()) break;
    }
    return found;
}

std::optional<std::vector<HeldName>> NameService::nodeStatus(in_addr address) const {
    const sockaddr_in target = Endpoint(address, settings_.port);
    for (int attempt = 0; attempt < settings_.tries; ++attempt) {
        const std::uint16_t id = NewId();
        std::optional<std::vector<HeldName>> names;
        Exchange(NodeStatusPacket(id), target, false, settings_.wait,
                 [&](std::span<const std::uint8_t> reply, const sockaddr_in& from) {
                     if (from.sin_addr.s_addr != target.sin_addr.s_addr) return false;
                     names = ParseNodeStatusResponse(reply, id);
                     return names.has_value();
                 });
        if (names) return names;
    }
    return std::nullopt;
}

}  // namespace skewmon::platform::nbns
