#include "platform/linux/network/connect_probe.h"

#include "platform/linux/samba/smb2_negotiate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
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

ConnectProbe::ConnectProbe(std::size_t capacity)
    : capacity_(capacity > 0 ? capacity : CapacityFromLimit()), epoll_(epoll_create1(EPOLL_CLOEXEC)) {}

std::size_t ConnectProbe::room() const {
    return attempts_.size() >= capacity_ ? 0 : capacity_ - attempts_.size();
}

void ConnectProbe::check(std::size_t tag, std::string_view serverName, std::chrono::milliseconds limit) {
    const std::optional<LiteralAddress> address = ParseLiteralAddress(serverName);
    // Names are resolved by the query alone, the way it always resolves
    // them; without epoll nothing can be judged here either.
    if (!address || epoll_.get() < 0) {
        ready_.push_back({tag, true});
        return;
    }
    const Clock::time_point now = Clock::now();
    if (const auto known = recent_.find(address->text); known != recent_.end()) {
        if (known->second.until > now) {
            ready_.push_back({tag, known->second.reachable});
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
    bool reachable = false;
    if (open(attempt, *address, id, reachable)) {
        byAddress_[attempt.key] = id;
        return;
    }
    remember(attempt.key, reachable, limit);
    for (std::size_t settledTag : attempt.tags) ready_.push_back({settledTag, reachable});
    attempts_.erase(id);
}

bool ConnectProbe::open(Attempt& attempt, const LiteralAddress& address, std::uint64_t id, bool& reachable) {
    for (std::size_t port = 0; port < std::size(kSmbPorts); ++port) {
        UniqueFd socket(::socket(address.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (socket.get() < 0) {
            // Out of descriptors or memory: this machine cannot be judged
            // here, and its query finds out for itself.
            reachable = true;
            return false;
        }
        sockaddr_storage target = address.address;
        const std::uint16_t networkPort = htons(kSmbPorts[port]);
        if (target.ss_family == AF_INET)
            reinterpret_cast<sockaddr_in*>(&target)->sin_port = networkPort;
        else
            reinterpret_cast<sockaddr_in6*>(&target)->sin6_port = networkPort;
        int result;
        do {
            result = connect(socket.get(), reinterpret_cast<const sockaddr*>(&target), address.length);
        } while (result != 0 && errno == EINTR);
        // Connected at once (loopback can): the writable event comes all the
        // same and sends the request.
        if (result != 0 && errno != EINPROGRESS) continue;  // refused, no route: this port is out
        epoll_event event{};
        event.events = EPOLLOUT;
        event.data.u64 = (id << kPortBits) | port;
        if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, socket.get(), &event) != 0) {
            reachable = true;
            return false;
        }
        attempt.sockets[port] = std::move(socket);
        ++attempt.pending;
    }
    reachable = false;
    return attempt.pending > 0;
}

void ConnectProbe::finish(std::uint64_t id, bool reachable, std::vector<Settled>& settled) {
    const auto found = attempts_.find(id);
    if (found == attempts_.end()) return;
    Attempt& attempt = found->second;
    for (std::size_t tag : attempt.tags) settled.push_back({tag, reachable});
    // Remembered for as long as one attempt may take: the machine's other
    // entries that come soon after need no attempt of their own.
    remember(attempt.key, reachable, attempt.limit);
    byAddress_.erase(attempt.key);
    attempts_.erase(found);  // its sockets close: nothing more is sent to the machine
}

bool ConnectProbe::ask(int fd, std::uint64_t data) {
    // A session's first request, as every SMB client sends it; the answer
    // is not read, only waited for.
    static const std::vector<std::uint8_t> request = Smb1UpgradeRequest();
    ssize_t sent;
    do {
        sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(request.size())) return false;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.u64 = data;
    return epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) == 0;
}

void ConnectProbe::remember(const std::string& key, bool reachable, std::chrono::milliseconds limit) {
    const Clock::time_point now = Clock::now();
    // A list of many distinct addresses would otherwise keep every one.
    if (recent_.size() >= kMostRemembered)
        std::erase_if(recent_, [now](const auto& entry) { return entry.second.until <= now; });
    if (recent_.size() < kMostRemembered) recent_[key] = {reachable, now + limit};
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
    for (std::uint64_t id : due) finish(id, false, settled);
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
        const int fd = attempt.sockets[port].get();
        if (fd < 0) continue;
        if (attempt.asked[port]) {
            // Any answer at all, an end or a reset among them, is a server
            // at work: only silence is a hung one.
            finish(id, true, settled);
            continue;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        if (error == 0 && ask(fd, events[i].data.u64)) {
            attempt.asked[port] = true;
            continue;
        }
        if (error == 0) {
            finish(id, true, settled);  // connected, and cannot be judged further
            continue;
        }
        epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
        attempt.sockets[port].reset();
        if (--attempt.pending == 0) finish(id, false, settled);
    }
}

std::vector<ConnectProbe::Settled> ConnectProbe::settle(std::chrono::milliseconds wait,
                                                        std::span<const int> alsoWatch) {
    std::vector<Settled> settled = std::move(ready_);
    ready_.clear();
    takeEvents(0, settled);
    expire(settled);
    if (!settled.empty()) return settled;

    // Wait no longer than the first attempt that falls due.
    if (!attempts_.empty()) {
        const auto due = std::chrono::ceil<std::chrono::milliseconds>(attempts_.begin()->second.deadline -
                                                                      Clock::now());
        wait = std::clamp(due, std::chrono::milliseconds{0}, wait);
    }
    std::vector<pollfd> watched;
    watched.reserve(alsoWatch.size() + 1);
    if (!attempts_.empty()) watched.push_back({epoll_.get(), POLLIN, 0});
    for (int fd : alsoWatch)
        if (fd >= 0) watched.push_back({fd, POLLIN, 0});
    poll(watched.data(), watched.size(), PollTimeout(wait));
    takeEvents(0, settled);
    expire(settled);
    return settled;
}

}  // namespace skewmon::platform
