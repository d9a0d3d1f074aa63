// The connection check of the console's parallel scan against listeners of
// the test's own on loopback: taken, refused, never completed, and names.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "platform/linux/network/connect_probe.h"

namespace skewmon::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A listener on ADDRESS:PORT. kAnswers: a server that answers every
// connection's first request (with one byte, then its end); kHangs: one that
// takes connections and never says a word; kDrops: its one-place backlog is
// taken by connections nobody accepts, so that further attempts get no
// answer at all, as behind a firewall.
enum class Behaviour { kAnswers, kHangs, kDrops };

class Listener {
public:
    Listener(const char* address, std::uint16_t port, Behaviour behaviour)
        : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
        const int yes = 1;
        setsockopt(socket_.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(port);
        inet_pton(AF_INET, address, &where.sin_addr);
        ok_ = bind(socket_.get(), reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
              listen(socket_.get(), behaviour == Behaviour::kDrops ? 0 : 16) == 0;
        if (ok_ && behaviour == Behaviour::kAnswers) {
            server_ = std::thread([this] {
                // Bounded: ends with the listener, or after 100 rounds.
                for (int round = 0; round < 100 && !done_; ++round) {
                    pollfd watched{socket_.get(), POLLIN, 0};
                    if (poll(&watched, 1, 50) <= 0) continue;
                    UniqueFd peer(accept(socket_.get(), nullptr, nullptr));
                    char request[256];
                    if (peer.get() >= 0 && recv(peer.get(), request, sizeof request, 0) > 0)
                        send(peer.get(), "!", 1, MSG_NOSIGNAL);
                }
            });
        }
        if (ok_ && behaviour == Behaviour::kDrops) {
            // listen(0) holds one finished connection; the next one waits
            // in the half-open queue, and later attempts get no answer.
            for (int i = 0; i < 2; ++i) {
                filler_[i] = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
                connect(filler_[i].get(), reinterpret_cast<sockaddr*>(&where), sizeof where);
            }
            usleep(100000);
        }
    }
    ~Listener() {
        done_ = true;
        if (server_.joinable()) server_.join();
    }
    bool ok() const { return ok_; }

private:
    UniqueFd socket_;
    std::atomic<bool> done_{false};
    std::thread server_;
    UniqueFd filler_[2];
    bool ok_ = false;
};

std::map<std::size_t, bool> SettleAll(ConnectProbe& probe, std::chrono::milliseconds bound) {
    std::map<std::size_t, bool> settled;
    const Clock::time_point until = Clock::now() + bound;
    while (Clock::now() < until) {
        for (const ConnectProbe::Settled& each : probe.settle(20ms, {})) settled[each.tag] = each.reachable;
        if (probe.underway() == 0 && !settled.empty()) break;
    }
    return settled;
}

TEST(ConnectProbe, TellsTakenFromRefusedAtOnceAndLeavesNamesToTheQuery) {
    // 127.0.0.0/8 is all loopback: addresses of this test's own.
    Listener smb("127.77.0.1", 445, Behaviour::kAnswers);
    Listener netbiosOnly("127.77.0.2", 139, Behaviour::kAnswers);
    ASSERT_TRUE(smb.ok() && netbiosOnly.ok());
    ConnectProbe probe;
    const Clock::time_point began = Clock::now();
    probe.check(1, "\\\\127.77.0.1", 3000ms);
    probe.check(2, "\\\\127.77.0.2", 3000ms);
    probe.check(3, "\\\\127.77.0.3", 3000ms);  // nothing listens
    probe.check(4, "\\\\SOMEHOST", 3000ms);    // a name: the query resolves it
    probe.check(5, "\\\\127.77.0.1", 3000ms);  // listed twice
    const std::map<std::size_t, bool> settled = SettleAll(probe, 2000ms);
    EXPECT_LT(Clock::now() - began, 1000ms);
    EXPECT_EQ(settled, (std::map<std::size_t, bool>{{1, true}, {2, true}, {3, false}, {4, true}, {5, true}}));
}

TEST(ConnectProbe, DroppedAndHungMachinesAreUnreachableWhenTheLimitRunsOut) {
    Listener dropped445("127.77.0.4", 445, Behaviour::kDrops);
    Listener dropped139("127.77.0.4", 139, Behaviour::kDrops);
    Listener hung("127.77.0.5", 445, Behaviour::kHangs);
    Listener answers("127.77.0.6", 445, Behaviour::kAnswers);
    ASSERT_TRUE(dropped445.ok() && dropped139.ok() && hung.ok() && answers.ok());
    ConnectProbe probe;
    const Clock::time_point began = Clock::now();
    probe.check(7, "\\\\127.77.0.4", 400ms);
    probe.check(8, "\\\\127.77.0.5", 400ms);
    probe.check(9, "\\\\127.77.0.6", 400ms);
    const std::map<std::size_t, bool> settled = SettleAll(probe, 3000ms);
    const auto took = Clock::now() - began;
    EXPECT_EQ(settled, (std::map<std::size_t, bool>{{7, false}, {8, false}, {9, true}}));
    EXPECT_GE(took, 390ms);
    EXPECT_LT(took, 700ms);
    EXPECT_EQ(probe.underway(), 0u);
}

TEST(ConnectProbe, ReadsOnlyAddressesWrittenOut) {
    EXPECT_TRUE(ParseLiteralAddress("\\\\10.1.2.3"));
    EXPECT_TRUE(ParseLiteralAddress("::1"));
    EXPECT_FALSE(ParseLiteralAddress("\\\\FILESRV"));
    EXPECT_FALSE(ParseLiteralAddress("\\\\10.1.2.3.example"));
    EXPECT_FALSE(ParseLiteralAddress(std::string_view("10.1.2.3\0x", 10)));
    EXPECT_FALSE(ParseLiteralAddress("\\\\"));
}

}  // namespace
}  // namespace skewmon::platform
