// Whether machines take a connection to their SMB ports and answer on it,
// for thousands of them at once on one thread: non-blocking connection
// attempts under epoll, each sending a session's first request (the SMB
// negotiate) once connected. A machine whose attempts are all refused is
// unreachable at once; one that neither connects nor answers in any way
// (not even by closing) within its limit, when the limit runs out.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/process/child_process.h"

namespace skewmon::platform {

// The SMB ports a client tries: direct hosting, then NetBIOS session.
inline constexpr std::uint16_t kSmbPorts[] = {445, 139};

// A machine's address as the time query would use it without resolving
// anything: an IPv4 or IPv6 address written out, after any leading
// backslashes. None for a name.
struct LiteralAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
    std::string text;  // as written, the key under which attempts are shared
};
std::optional<LiteralAddress> ParseLiteralAddress(std::string_view serverName);

class ConnectProbe {
public:
    struct Settled {
        std::size_t tag;
        bool reachable;
    };

    // At most `capacity` addresses are tried at once (two descriptors each);
    // 0 picks what the process's descriptor limit allows.
    explicit ConnectProbe(std::size_t capacity = 0);
    ConnectProbe(const ConnectProbe&) = delete;
    ConnectProbe& operator=(const ConnectProbe&) = delete;

    std::size_t room() const;
    // Starts checking `serverName` under `tag`. A name that is no address
    // settles as reachable at once: only the query resolves names. Machines
    // listed more than once share one attempt, and an address settled less
    // than `limit` ago settles the same way again without a new attempt.
    void check(std::size_t tag, std::string_view serverName, std::chrono::milliseconds limit);
    // Waits at most `wait` for checks to settle, returning early when one of
    // `alsoWatch` (other descriptors) becomes readable.
    std::vector<Settled> settle(std::chrono::milliseconds wait, std::span<const int> alsoWatch);
    // Attempts under way (each may stand for several tags).
    std::size_t underway() const { return attempts_.size(); }

private:
    using Clock = std::chrono::steady_clock;
    struct Attempt {
        std::string key;
        std::vector<std::size_t> tags;
        UniqueFd sockets[std::size(kSmbPorts)];
        bool asked[std::size(kSmbPorts)] = {};  // connected, request sent
        int pending = 0;
        Clock::time_point deadline;
        std::chrono::milliseconds limit{};
    };
    struct Outcome {
        bool reachable;
        Clock::time_point until;
    };

    // Starts the attempt; false when it settled at once (`reachable` says how).
    bool open(Attempt& attempt, const LiteralAddress& address, std::uint64_t id, bool& reachable);
    void finish(std::uint64_t id, bool reachable, std::vector<Settled>& settled);
    // Sends the request on a connected socket and waits for its answer;
    // false when it cannot.
    bool ask(int fd, std::uint64_t data);
    void remember(const std::string& key, bool reachable, std::chrono::milliseconds limit);
    void expire(std::vector<Settled>& settled);
    void takeEvents(int timeoutMs, std::vector<Settled>& settled);

    const std::size_t capacity_;
    UniqueFd epoll_;
    std::uint64_t nextId_ = 1;
    std::map<std::uint64_t, Attempt> attempts_;      // by id, which grows with start time
    std::map<std::string, std::uint64_t> byAddress_;  // the attempt under way for an address
    std::map<std::string, Outcome> recent_;           // settled addresses, for a while
    std::vector<Settled> ready_;                      // settled without an attempt
};

}  // namespace skewmon::platform
