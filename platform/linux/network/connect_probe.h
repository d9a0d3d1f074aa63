// Whether machines take a connection to their SMB ports and answer on it,
// for thousands of them at once on one thread: non-blocking connection
// attempts under epoll, each sending a session's first request (the SMB
// negotiate) once connected. A machine whose attempts are all refused is
// unreachable at once; one that neither connects nor answers in any way
// (not even by closing) within its limit, when the limit runs out.
//
// Port 445 is tried first and 139 only when 445 is refused or has not
// answered after a head start: a server forks a process for every
// connection it takes, and one is enough. Where 445 moves on to SMB2, the
// connection goes on to one SMB2 NEGOTIATE, timed, whose answer carries the
// server's clock: the reading a whole-second time of day is refined from,
// without another connection.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
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
#include "platform/time_query.h"

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
        std::optional<NegotiateReading> negotiate;
    };

    using Ports = std::array<std::uint16_t, std::size(kSmbPorts)>;
    // At most `capacity` addresses are tried at once (two descriptors each);
    // 0 picks what the process's descriptor limit allows. `ports` stand in
    // for the SMB ports in tests: the first is asked for the clock.
    explicit ConnectProbe(std::size_t capacity = 0, Ports ports = {kSmbPorts[0], kSmbPorts[1]});
    ConnectProbe(const ConnectProbe&) = delete;
    ConnectProbe& operator=(const ConnectProbe&) = delete;

    std::size_t room() const;
    // Starts checking `serverName` under `tag`. A name that is no address
    // settles as reachable at once: only the query resolves names. Machines
    // listed more than once share one attempt, and an address settled less
    // than `limit` ago settles the same way again, with the same reading,
    // without a new attempt.
    void check(std::size_t tag, std::string_view serverName, std::chrono::milliseconds limit);
    // Waits at most `wait` for checks to settle, returning early when one of
    // `alsoWatch` (other descriptors) becomes readable.
    std::vector<Settled> settle(std::chrono::milliseconds wait, std::span<const int> alsoWatch);
    // Attempts under way (each may stand for several tags).
    std::size_t underway() const { return attempts_.size(); }

private:
    using Clock = std::chrono::steady_clock;
    // Where one port's connection stands.
    enum class Stage { kUnused, kConnecting, kUpgrading, kNegotiating, kClosed };
    struct Port {
        UniqueFd socket;
        Stage stage = Stage::kUnused;
        std::vector<std::uint8_t> received;  // the answer read so far
        std::int64_t sentAt = 0;             // local UTC clock, file time, when the negotiate left
    };
    struct Attempt {
        std::string key;
        std::vector<std::size_t> tags;
        Port ports[std::size(kSmbPorts)];
        bool answered = false;  // a server at work: reachable whatever follows
        bool unjudged = false;  // a port could not even be tried: left to the query
        Clock::time_point deadline;
        std::chrono::milliseconds limit{};
        LiteralAddress address;
    };
    struct Outcome {
        bool reachable;
        std::optional<NegotiateReading> negotiate;
        Clock::time_point until;
    };

    // Opens the connection of port `port` (closed at once when refused);
    // false, and the attempt unjudged, when it cannot even start.
    bool open(Attempt& attempt, std::size_t port, std::uint64_t id);
    // Opens the first untried port after `port`; false when no port is open
    // any more.
    bool openNext(Attempt& attempt, std::size_t port, std::uint64_t id);
    bool anyOpen(const Attempt& attempt) const;
    void finish(std::uint64_t id, bool reachable, std::optional<NegotiateReading> negotiate,
                std::vector<Settled>& settled);
    void close(Port& port);
    // Sends `request` on a connected socket and waits for its answer;
    // false when it cannot.
    bool ask(Port& port, std::span<const std::uint8_t> request, std::uint64_t data);
    // Reads what has come on `port`: false when the connection ended or broke.
    bool receive(Port& port, std::optional<std::int64_t>& arrivedAt);
    void answerCame(std::uint64_t id, std::size_t port, std::uint64_t data, std::vector<Settled>& settled);
    void remember(const std::string& key, bool reachable, const std::optional<NegotiateReading>& negotiate,
                  std::chrono::milliseconds limit);
    void startLaterPorts();
    void expire(std::vector<Settled>& settled);
    void takeEvents(int timeoutMs, std::vector<Settled>& settled);

    const std::size_t capacity_;
    const Ports ports_;
    UniqueFd epoll_;
    std::uint64_t nextId_ = 1;
    std::map<std::uint64_t, Attempt> attempts_;      // by id, which grows with start time
    std::map<std::string, std::uint64_t> byAddress_;  // the attempt under way for an address
    std::map<std::string, Outcome> recent_;           // settled addresses, for a while
    std::vector<Settled> ready_;                      // settled without an attempt
    std::deque<std::pair<Clock::time_point, std::uint64_t>> laterPorts_;  // head starts running out
};

}  // namespace skewmon::platform
