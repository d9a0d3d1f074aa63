#include "platform/linux/network/connect_probe.h"

#include "platform/linux/samba/smb2_negotiate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace skewmon::platform {
namespace {

constexpr std::size_t kMostAtOnce = 4096;
constexpr std::size_t kFewestAtOnce = 16;
// Descriptors left for everything else: helpers, files, the window.
constexpr rlim_t kKeptDescriptors = 1024;
constexpr int kEventsPerRound = 256;
constexpr unsigned kPortBits = 2;
constexpr std::size_t kMostRemembered = 16384;
// How long port 445 has to answer before 139 is tried beside it.
constexpr std::chrono::milliseconds kSecondPortHeadStart{250};
// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;

std::int64_t FileTime(const timespec& t) {
    return kUnixEpochAsFileTime + std::int64_t(t.tv_sec) * 10000000 + t.tv_nsec / 100;
}

std::int64_t FileTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return FileTime(now);
}

std::size_t CapacityFromLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return kFewestAtOnce;
    // The soft limit may rise to the hard one: the attempts need it, and
    // helpers started later keep the same ceiling.
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, kKeptDescriptors + 2 * kMostAtOnce);
        if (raised.rlim_cur > limit.rlim_cur && setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur <= kKeptDescriptors + 2 * kFewestAtOnce) return kFewestAtOnce;
    const rlim_t fit = (limit.rlim_cur - kKeptDescriptors) / std::size(kSmbPorts);
    return static_cast<std::size_t>(std::clamp<rlim_t>(fit, kFewestAtOnce, kMostAtOnce));
}

int PollTimeout(std::chrono::milliseconds wait) {
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, 60000));
}

}  // namespace

std::optional<LiteralAddress> ParseLiteralAddress(std::string_view serverName) {
    while (!serverName.empty() && serverName.front() == '\\') serverName.remove_prefix(1);
    if (serverName.empty() || serverName.size() > INET6_ADDRSTRLEN) return std::nullopt;
    LiteralAddress literal;
    literal.text.assign(serverName);
    if (literal.text.find('\0') != std::string::npos) return std::nullopt;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&literal.address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&literal.address);
    if (inet_pton(AF_INET, literal.text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        literal.length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, literal.text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        literal.length = sizeof(sockaddr_in6);
    } else {
        return std::nullopt;
    }
    return literal;
}

ConnectProbe::ConnectProbe(std::size_t capacity, Ports ports)
    : capacity_(capacity > 0 ? capacity : CapacityFromLimit()), ports_(ports), epoll_(epoll_create1(EPOLL_CLOEXEC)) {}

std::size_t ConnectProbe::room() const {
    return attempts_.size() >= capacity_ ? 0 : capacity_ - attempts_.size();
}

void ConnectProbe::check(std::size_t tag, std::string_view serverName, std::chrono::milliseconds limit) {
    std::optional<LiteralAddress> address = ParseLiteralAddress(serverName);
    // Names are resolved by the query alone, the way it always resolves
    // them; without epoll nothing can be judged here either.
    if (!address || epoll_.get() < 0) {
        ready_.push_back({tag, true, std::nullopt});
        return;
    }
    const Clock::time_point now = Clock::now();
    if (const auto known = recent_.find(address->text); known != recent_.end()) {
        if (known->second.until > now) {
            ready_.push_back({tag, known->second.reachable, known->second.negotiate});
            return;
        }
        recent_.erase(known);
    }
    if (const auto shared = byAddress_.find(address->text); shared != byAddress_.end()) {
        attempts_.at(shared->second).tags.push_back(tag);
        return;
    }
    const std::uint64_t id = nextId_++;
    Attempt& attempt = attempts_[id];
    attempt.key = address->text;
    attempt.tags.push_back(tag);
    attempt.deadline = now + limit;
    attempt.limit = limit;
    attempt.address = std::move(*address);
    if (!open(attempt, 0, id) || (!anyOpen(attempt) && !openNext(attempt, 0, id))) {
        // Refused on every port; or out of descriptors or memory, when this
        // machine cannot be judged here and its query finds out for itself.
        finish(id, attempt.unjudged, std::nullopt, ready_);
        return;
    }
    byAddress_[attempt.key] = id;
    if (attempt.ports[1].stage == Stage::kUnused) laterPorts_.emplace_back(now + kSecondPortHeadStart, id);
}

bool ConnectProbe::open(Attempt& attempt, std::size_t port, std::uint64_t id) {
    Port& slot = attempt.ports[port];
    slot.stage = Stage::kClosed;
    UniqueFd socket(::socket(attempt.address.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.get() < 0) {
        attempt.unjudged = true;
        return false;
    }
    // The kernel stamps each arrival: the answer's time is the network's,
    // not when this thread came round to it.
    const int on = 1;
    setsockopt(socket.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    sockaddr_storage target = attempt.address.address;
    const std::uint16_t networkPort = htons(ports_[port]);
    if (target.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&target)->sin_port = networkPort;
    else
        reinterpret_cast<sockaddr_in6*>(&target)->sin6_port = networkPort;
    int result;
    do {
        result = connect(socket.get(), reinterpret_cast<const sockaddr*>(&target), attempt.address.length);
    } while (result != 0 && errno == EINTR);
    // Connected at once (loopback can): the writable event comes all the
    // same and sends the request.
    if (result != 0 && errno != EINPROGRESS) return true;  // refused, no route: this port is out
    epoll_event event{};
    event.events = EPOLLOUT;
    event.data.u64 = (id << kPortBits) | port;
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, socket.get(), &event) != 0) {
        attempt.unjudged = true;
        return false;
    }
    slot.socket = std::move(socket);
    slot.stage = Stage::kConnecting;
    return true;
}

bool ConnectProbe::openNext(Attempt& attempt, std::size_t port, std::uint64_t id) {
    for (std::size_t next = port + 1; next < std::size(kSmbPorts); ++next) {
        if (attempt.ports[next].stage != Stage::kUnused) continue;
        if (!open(attempt, next, id)) return false;
        if (attempt.ports[next].stage != Stage::kClosed) return true;
    }
    return anyOpen(attempt);
}

bool ConnectProbe::anyOpen(const Attempt& attempt) const {
    return std::any_of(std::begin(attempt.ports), std::end(attempt.ports), [](const Port& port) {
        return port.stage != Stage::kUnused && port.stage != Stage::kClosed;
    });
}

void ConnectProbe::close(Port& port) {
    if (port.socket.get() >= 0) epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, port.socket.get(), nullptr);
    port.socket.reset();
    port.stage = Stage::kClosed;
    port.received.clear();
}

void ConnectProbe::finish(std::uint64_t id, bool reachable, std::optional<NegotiateReading> negotiate,
                          std::vector<Settled>& settled) {
    const auto found = attempts_.find(id);
    if (found == attempts_.end()) return;
    Attempt& attempt = found->second;
    for (std::size_t tag : attempt.tags) settled.push_back({tag, reachable, negotiate});
    // Remembered for as long as one attempt may take: the machine's other
    // entries that come soon after need no attempt of their own.
    remember(attempt.key, reachable, negotiate, attempt.limit);
    if (const auto mine = byAddress_.find(attempt.key); mine != byAddress_.end() && mine->second == id)
        byAddress_.erase(mine);
    attempts_.erase(found);  // its sockets close: nothing more is sent to the machine
}

bool ConnectProbe::ask(Port& port, std::span<const std::uint8_t> request, std::uint64_t data) {
    ssize_t sent;
    do {
        sent = send(port.socket.get(), request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(request.size())) return false;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.u64 = data;
    return epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, port.socket.get(), &event) == 0;
}

bool ConnectProbe::receive(Port& port, std::optional<std::int64_t>& arrivedAt) {
    for (;;) {
        std::uint8_t chunk[2048];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        iovec part{chunk, sizeof chunk};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(port.socket.get(), &message, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        if (got == 0) return false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
                c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                arrivedAt = FileTime(stamp);
            }
        }
        // A server announcing more than any negotiate answer takes is
        // judged on what came; nothing more is kept.
        const std::size_t room = kSmb2MaxRead - std::min(kSmb2MaxRead, port.received.size());
        port.received.insert(port.received.end(), chunk, chunk + std::min<std::size_t>(room, got));
        if (room == 0) return true;
    }
}

void ConnectProbe::answerCame(std::uint64_t id, std::size_t port, std::uint64_t data,
                              std::vector<Settled>& settled) {
    Attempt& attempt = attempts_.at(id);
    Port& slot = attempt.ports[port];
    std::optional<std::int64_t> arrivedAt;
    const bool open = receive(slot, arrivedAt);
    if (!arrivedAt) arrivedAt = FileTimeNow();
    const std::span<const std::uint8_t> received(slot.received);
    const std::optional<std::size_t> frame = Smb2FrameSize(received);
    const bool whole = frame && received.size() >= *frame;
    // Any answer at all, an end or a reset among them, is a server at work:
    // only silence is a hung one.
    if (!open || !received.empty()) attempt.answered = true;
    if (open && !whole && (frame || received.size() < 4)) return;  // more to come
    if (slot.stage == Stage::kUpgrading && whole && port == 0 &&
        IsSmb2Upgrade(received.first(*frame))) {
        // The server is ready now: the SMB2 NEGOTIATE that follows meets no
        // start-up, and its round trip is the network's.
        for (std::size_t other = 0; other < std::size(kSmbPorts); ++other)
            if (other != port) close(attempt.ports[other]);
        static const std::vector<std::uint8_t> request = Smb2NegotiateRequest();
        slot.received.clear();
        slot.sentAt = FileTimeNow();
        if (open && ask(slot, request, data)) {
            slot.stage = Stage::kNegotiating;
            return;
        }
        finish(id, true, std::nullopt, settled);
        return;
    }
    std::optional<NegotiateReading> reading;
    if (slot.stage == Stage::kNegotiating && whole) {
        const std::optional<std::int64_t> remote = ParseSmb2NegotiateTime(received.first(*frame));
        const std::int64_t trip = *arrivedAt - slot.sentAt;
        if (remote && trip >= 0)
            reading = NegotiateReading{*remote, slot.sentAt, static_cast<std::uint32_t>(std::min<std::int64_t>(
                                                                 trip / 10000, UINT32_MAX)),
                                       Clock::now()};
    }
    finish(id, true, reading, settled);
}

void ConnectProbe::remember(const std::string& key, bool reachable, const std::optional<NegotiateReading>& negotiate,
                            std::chrono::milliseconds limit) {
    const Clock::time_point now = Clock::now();
    // A list of many distinct addresses would otherwise keep every one.
    if (recent_.size() >= kMostRemembered)
        std::erase_if(recent_, [now](const auto& entry) { return entry.second.until <= now; });
    if (recent_.size() < kMostRemembered) recent_[key] = {reachable, negotiate, now + limit};
}

void ConnectProbe::startLaterPorts() {
    const Clock::time_point now = Clock::now();
    while (!laterPorts_.empty() && laterPorts_.front().first <= now) {
        const std::uint64_t id = laterPorts_.front().second;
        laterPorts_.pop_front();
        const auto found = attempts_.find(id);
        if (found == attempts_.end() || found->second.answered) continue;
        // Whether it opens or not, the attempt goes on until its deadline.
        openNext(found->second, 0, id);
    }
}

void ConnectProbe::expire(std::vector<Settled>& settled) {
    const Clock::time_point now = Clock::now();
    // Attempts are kept in the order they started, all with the same limit
    // in practice: the first one not yet due ends the search.
    std::vector<std::uint64_t> due;
    for (const auto& [id, attempt] : attempts_) {
        if (attempt.deadline > now) break;
        due.push_back(id);
    }
    for (std::uint64_t id : due) {
        const Attempt& attempt = attempts_.at(id);
        finish(id, attempt.answered || attempt.unjudged, std::nullopt, settled);
    }
}

void ConnectProbe::takeEvents(int timeoutMs, std::vector<Settled>& settled) {
    epoll_event events[kEventsPerRound];
    const int count = epoll_wait(epoll_.get(), events, kEventsPerRound, timeoutMs);
    for (int i = 0; i < count; ++i) {
        const std::uint64_t id = events[i].data.u64 >> kPortBits;
        const std::size_t port = events[i].data.u64 & ((1u << kPortBits) - 1);
        const auto found = attempts_.find(id);
        if (found == attempts_.end() || port >= std::size(kSmbPorts)) continue;
        Attempt& attempt = found->second;
        Port& slot = attempt.ports[port];
        if (slot.socket.get() < 0) continue;
        if (slot.stage == Stage::kUpgrading || slot.stage == Stage::kNegotiating) {
            answerCame(id, port, events[i].data.u64, settled);
            continue;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(slot.socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        // A session's first request, as every SMB client sends it.
        static const std::vector<std::uint8_t> upgrade = Smb1UpgradeRequest();
        if (error == 0 && ask(slot, upgrade, events[i].data.u64)) {
            slot.stage = Stage::kUpgrading;
            continue;
        }
        if (error == 0) {
            finish(id, true, std::nullopt, settled);  // connected, and cannot be judged further
            continue;
        }
        close(slot);
        // Refused here: the next port need not wait for its head start.
        if (!attempt.answered && !openNext(attempt, port, id)) finish(id, attempt.unjudged, std::nullopt, settled);
    }
}

std::vector<ConnectProbe::Settled> ConnectProbe::settle(std::chrono::milliseconds wait,
                                                        std::span<const int> alsoWatch) {
    std::vector<Settled> settled = std::move(ready_);
    ready_.clear();
    startLaterPorts();
    takeEvents(0, settled);
    expire(settled);
    if (!settled.empty()) return settled;

    // Wait no longer than the first attempt that falls due, or the first
    // head start that runs out.
    const Clock::time_point now = Clock::now();
    auto until = [&](Clock::time_point due) {
        return std::clamp(std::chrono::ceil<std::chrono::milliseconds>(due - now), std::chrono::milliseconds{0},
                          wait);
    };
    if (!attempts_.empty()) wait = until(attempts_.begin()->second.deadline);
    if (!laterPorts_.empty()) wait = until(laterPorts_.front().first);
    std::vector<pollfd> watched;
    watched.reserve(alsoWatch.size() + 1);
    if (!attempts_.empty()) watched.push_back({epoll_.get(), POLLIN, 0});
    for (int fd : alsoWatch)
        if (fd >= 0) watched.push_back({fd, POLLIN, 0});
    poll(watched.data(), watched.size(), PollTimeout(wait));
    startLaterPorts();
    takeEvents(0, settled);
    expire(settled);
    return settled;
}

}  // namespace skewmon::platform
