// The SMB2 negotiate client: its parser on a response captured from a lab
// Samba server, cut and altered, and the client and the whole measurement
// against a fake server in the test that answers well, badly, or not at all.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/linux/network/connect_probe.h"
#include "platform/linux/samba/netapi_clock.h"
#include "platform/linux/samba/smb2_negotiate.h"
#include "tests/fakes/fakes.h"
#include "timing/remote_time.h"

namespace skewmon::testing {
namespace {

using namespace std::chrono_literals;
using platform::ParseSmb2NegotiateTime;
using Bytes = std::vector<std::uint8_t>;
using Steady = std::chrono::steady_clock;

// The answer of Samba 4.17 (smbd of the test lab, LAB111) to our SMB2
// NEGOTIATE, session header included: dialect 3.0.2, message 1, SystemTime
// 0x01DD86E5A20C1BCC.
const Bytes kSambaResponse = {
    0x00, 0x00, 0x00, 0xca, 0xfe, 0x53, 0x4d, 0x42, 0x40, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x41, 0x00, 0x01, 0x00,
    0x02, 0x03, 0x00, 0x00, 0x6c, 0x61, 0x62, 0x31, 0x31, 0x31, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80, 0x00,
    0xcc, 0x1b, 0x0c, 0xa2, 0xe5, 0x86, 0xdd, 0x01, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x4a, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x60, 0x48, 0x06, 0x06, 0x2b, 0x06, 0x01, 0x05, 0x05, 0x02, 0xa0, 0x3e,
    0x30, 0x3c, 0xa0, 0x0e, 0x30, 0x0c, 0x06, 0x0a, 0x2b, 0x06, 0x01, 0x04,
    0x01, 0x82, 0x37, 0x02, 0x02, 0x0a, 0xa3, 0x2a, 0x30, 0x28, 0xa0, 0x26,
    0x1b, 0x24, 0x6e, 0x6f, 0x74, 0x5f, 0x64, 0x65, 0x66, 0x69, 0x6e, 0x65,
    0x64, 0x5f, 0x69, 0x6e, 0x5f, 0x52, 0x46, 0x43, 0x34, 0x31, 0x37, 0x38,
    0x40, 0x70, 0x6c, 0x65, 0x61, 0x73, 0x65, 0x5f, 0x69, 0x67, 0x6e, 0x6f,
    0x72, 0x65,
};
constexpr std::int64_t kSambaTime = 0x01DD86E5A20C1BCCLL;

// Offsets into kSambaResponse: the SMB2 header starts after the 4-byte
// session header, the NEGOTIATE response after the 64-byte SMB2 header.
constexpr std::size_t kStatus = 4 + 8, kCommand = 4 + 12, kFlags = 4 + 16, kMessageId = 4 + 24;
constexpr std::size_t kBody = 4 + 64;
constexpr std::size_t kDialect = kBody + 4, kSystemTime = kBody + 40, kSecurityOffset = kBody + 56;

void Put(Bytes& b, std::size_t at, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

Bytes WithSystemTime(std::int64_t fileTime) {
    Bytes b = kSambaResponse;
    Put(b, kSystemTime, static_cast<std::uint64_t>(fileTime), 8);
    return b;
}

// The answer to the SMB1 upgrade: message 0, dialect 2.???.
Bytes UpgradeAnswer() {
    Bytes b = kSambaResponse;
    Put(b, kMessageId, 0, 8);
    Put(b, kDialect, 0x02FF, 2);
    return b;
}

std::int64_t NowAsFileTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return 116444736000000000LL + std::int64_t(now.tv_sec) * 10000000 + now.tv_nsec / 100;
}

TEST(Smb2Parser, ReadsTheCapturedResponseAndNothingOfAnyCutOfIt) {
    EXPECT_EQ(ParseSmb2NegotiateTime(kSambaResponse), kSambaTime);
    for (std::size_t n = 0; n < kSambaResponse.size(); ++n) {
        const std::span<const std::uint8_t> cut(kSambaResponse.data(), n);
        EXPECT_EQ(ParseSmb2NegotiateTime(cut), std::nullopt) << n << " bytes";
        EXPECT_FALSE(platform::IsSmb2Upgrade(cut)) << n << " bytes";
        // The frame's size is known from its first four bytes on.
        EXPECT_EQ(platform::Smb2FrameSize(cut), n < 4 ? std::nullopt : std::optional(kSambaResponse.size()));
    }
    // The fixed part alone, with the session header saying so: still whole.
    Bytes fixedOnly(kSambaResponse.begin(), kSambaResponse.begin() + 4 + 128);
    fixedOnly[3] = 128;
    Put(fixedOnly, kSecurityOffset, 0, 4);  // no security buffer
    EXPECT_EQ(ParseSmb2NegotiateTime(fixedOnly), kSambaTime);
    fixedOnly.pop_back();
    fixedOnly[3] = 127;
    EXPECT_EQ(ParseSmb2NegotiateTime(fixedOnly), std::nullopt);
}

TEST(Smb2Parser, RejectsEveryOtherKindOfAnswer) {
    struct Case {
        const char* what;
        std::size_t at;
        std::uint64_t value;
        std::size_t width;
    };
    const Case cases[] = {
        {"an error status", kStatus, 0xC0000022, 4},
        {"another command", kCommand, 1, 2},
        {"a request, not a response", kFlags, 0, 4},
        {"the answer to another message", kMessageId, 0, 8},
        {"SMB1", 4, 0xFF, 1},
        {"the upgrade dialect", kDialect, 0x02FF, 2},
        {"a dialect we did not offer", kDialect, 0x0311, 2},
        {"a response structure of another size", kBody, 64, 2},
        {"a security buffer past the end", kSecurityOffset, 0x00FF0080, 4},
        {"a security buffer inside the header", kSecurityOffset, 0x004A0010, 4},
        {"no time", kSystemTime, 0, 8},
        {"a time past any FILETIME", kSystemTime, 0x8000000000000000ULL, 8},
        {"a keep-alive, not a session message", 0, 0x85, 1},
        {"a length past the bytes", 3, 0xCB, 1},
        {"a length short of the bytes", 3, 0xC9, 1},
    };
    for (const Case& c : cases) {
        Bytes b = kSambaResponse;
        Put(b, c.at, c.value, c.width);
        EXPECT_EQ(ParseSmb2NegotiateTime(b), std::nullopt) << c.what;
    }
    EXPECT_TRUE(platform::IsSmb2Upgrade(UpgradeAnswer()));
    EXPECT_FALSE(platform::IsSmb2Upgrade(kSambaResponse));
    // Anything announcing more than the client ever reads is refused at its
    // first four bytes.
    EXPECT_EQ(platform::Smb2FrameSize(Bytes{0, 0xFF, 0xFF, 0xFF}), std::nullopt);
    EXPECT_EQ(platform::Smb2FrameSize(Bytes{0, 0x00, 0xFF, 0xFD}), std::nullopt);
    EXPECT_EQ(platform::Smb2FrameSize(Bytes{0, 0x00, 0xFF, 0xFC}), std::optional<std::size_t>(64 * 1024));
}

enum class Behaviour {
    kHonest,          // upgrade, then the negotiate answer with its clock
    kNoSmb2,          // answers the upgrade as an SMB1-only server does
    kSilent,          // never a word
    kSilentAfterUpgrade,
    kCutAndClose,     // half the negotiate answer, then gone
    kCutAndHold,      // half the negotiate answer, then nothing
    kHugeLength,      // announces 16 MiB and keeps sending
};

// A server on 127.0.0.1 (a port of its own) that plays one behaviour to
// every connection, its negotiate clock `aheadMs` ahead of ours. Its thread
// ends with the object.
class FakeSmbServer {
public:
    // On `host`:`port` when given (an SMB port of a loopback address of
    // the test's own).
    FakeSmbServer(Behaviour behaviour, std::int64_t aheadMs, const char* host = "127.0.0.1",
                  std::uint16_t port = 0)
        : behaviour_(behaviour), aheadMs_(aheadMs) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int yes = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        inet_pton(AF_INET, host, &address.sin_addr);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 8) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            ADD_FAILURE() << "no listener";
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeSmbServer() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    std::uint16_t port() const { return port_; }
    int connections() const { return connections_; }

private:
    bool readable(int fd) {
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) return true;
        }
        return false;
    }
    bool readExactly(int fd, std::uint8_t* into, std::size_t n) {
        std::size_t got = 0;
        while (got < n && readable(fd)) {
            const ssize_t r = recv(fd, into + got, n - got, 0);
            if (r <= 0) return false;
            got += static_cast<std::size_t>(r);
        }
        return got == n;
    }
    // One frame from the client, which sends only small ones.
    bool readFrame(int fd) {
        std::uint8_t header[4];
        if (!readExactly(fd, header, 4)) return false;
        const std::size_t length = std::size_t{header[1]} << 16 | std::size_t{header[2]} << 8 | header[3];
        if (length == 0 || length > 4096) return false;
        Bytes body(length);
        return readExactly(fd, body.data(), length);
    }
    void sendAll(int fd, const Bytes& b) { ::send(fd, b.data(), b.size(), MSG_NOSIGNAL); }
    void holdUntilStopped(int fd) {
        while (readable(fd)) {
            std::uint8_t sink[512];
            if (recv(fd, sink, sizeof sink, 0) <= 0) return;
        }
    }

    void serve(int fd) {
        if (!readFrame(fd)) return;
        switch (behaviour_) {
            case Behaviour::kSilent:
                return holdUntilStopped(fd);
            case Behaviour::kNoSmb2: {
                // SMB1 NEGOTIATE response, dialect index 0xFFFF: none offered suits.
                const Bytes none = {0x00, 0x00, 0x00, 0x25, 0xff, 0x53, 0x4d, 0x42, 0x72, 0x00, 0x00, 0x00,
                                    0x00, 0x88, 0x03, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x01, 0xff, 0xff, 0x00, 0x00};
                sendAll(fd, none);
                return holdUntilStopped(fd);
            }
            default:
                break;
        }
        sendAll(fd, UpgradeAnswer());
        if (!readFrame(fd)) return;
        const Bytes answer = WithSystemTime(NowAsFileTime() + aheadMs_ * 10000);
        switch (behaviour_) {
            case Behaviour::kHonest:
                sendAll(fd, answer);
                return holdUntilStopped(fd);
            case Behaviour::kSilentAfterUpgrade:
                return holdUntilStopped(fd);
            case Behaviour::kCutAndClose:
                sendAll(fd, Bytes(answer.begin(), answer.begin() + 100));
                return;
            case Behaviour::kCutAndHold:
                sendAll(fd, Bytes(answer.begin(), answer.begin() + 100));
                return holdUntilStopped(fd);
            case Behaviour::kHugeLength: {
                sendAll(fd, Bytes{0x00, 0xFF, 0xFF, 0xFF});
                const Bytes flood(64 * 1024, 'A');
                for (int i = 0; i < 16 && !stop_; ++i)
                    if (::send(fd, flood.data(), flood.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) break;
                return holdUntilStopped(fd);
            }
            default:
                return;
        }
    }

    void run() {
        while (readable(listener_)) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++connections_;
            serve(fd);
            close(fd);
        }
    }

    Behaviour behaviour_;
    std::int64_t aheadMs_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

TEST(Smb2Client, ReadsAnHonestServersClock) {
    FakeSmbServer server(Behaviour::kHonest, 400);
    auto connection = platform::Smb2NegotiateConnection::Open("127.0.0.1", server.port(), 1000ms);
    ASSERT_TRUE(connection);
    const std::int64_t before = NowAsFileTime();
    const std::optional<std::int64_t> time = connection->systemTime();
    const std::int64_t after = NowAsFileTime();
    ASSERT_TRUE(time);
    EXPECT_GE(*time, before + 400 * 10000);
    EXPECT_LE(*time, after + 400 * 10000);
    EXPECT_EQ(connection->systemTime(), std::nullopt) << "a second negotiate on one connection";
}

TEST(Smb2Client, EndsWithinItsBudgetWhateverTheServerDoes) {
    struct Case {
        Behaviour behaviour;
        const char* what;
        bool opens;
        std::chrono::milliseconds within;  // of the budget's 300 ms
    };
    const Case cases[] = {
        {Behaviour::kNoSmb2, "SMB1 only", false, 150ms},
        {Behaviour::kSilent, "silent", false, 450ms},
        {Behaviour::kSilentAfterUpgrade, "silent after the upgrade", true, 450ms},
        {Behaviour::kCutAndClose, "cut and gone", true, 150ms},
        {Behaviour::kCutAndHold, "cut and holding", true, 450ms},
        {Behaviour::kHugeLength, "huge length", true, 150ms},
    };
    for (const Case& c : cases) {
        FakeSmbServer server(c.behaviour, 0);
        const auto start = Steady::now();
        auto connection = platform::Smb2NegotiateConnection::Open("127.0.0.1", server.port(), 300ms);
        EXPECT_EQ(static_cast<bool>(connection), c.opens) << c.what;
        if (connection) {
            EXPECT_EQ(connection->systemTime(), std::nullopt) << c.what;
        }
        const auto took = Steady::now() - start;
        EXPECT_LT(took, c.within) << c.what;
        if (c.within > 300ms) {
            EXPECT_GE(took, 290ms) << c.what;  // it did wait for the answer
        }
    }
}

TEST(Smb2Client, NothingToConnectToIsNoReadingAtOnce) {
    std::uint16_t closed = 0;
    {
        FakeSmbServer gone(Behaviour::kHonest, 0);  // its port, then nobody's
        closed = gone.port();
    }
    const auto start = Steady::now();
    EXPECT_FALSE(platform::Smb2NegotiateConnection::Open("127.0.0.1", closed, 300ms));
    EXPECT_FALSE(platform::Smb2NegotiateConnection::Open("", closed, 300ms));
    EXPECT_FALSE(platform::Smb2NegotiateConnection::Open(std::string_view("127.0.0.1\0x", 11), closed, 300ms));
    EXPECT_LT(Steady::now() - start, 100ms);
}

// The real clocks and SMB2 client, with the time of day of a Samba server
// whose clock runs `aheadMs` ahead, cut to the second, and its negotiate
// port played by a fake server.
class FakeServerClock final : public platform::RemoteClock {
public:
    FakeServerClock(std::int64_t aheadMs, std::uint16_t negotiatePort) : aheadMs_(aheadMs), port_(negotiatePort) {}
    std::uint32_t tickCount() override { return real_.tickCount(); }
    std::int64_t systemTimeAsFileTime() override { return real_.systemTimeAsFileTime(); }
    std::uint32_t remoteTimeOfDay(std::string_view, platform::TimeOfDayInfo& reply) override {
        reply = TimeOfDayReplyAt((NowAsFileTime() - 116444736000000000LL) / 10000 + aheadMs_, true);
        return 0;
    }
    std::unique_ptr<platform::NegotiateExchange> openNegotiate(std::string_view,
                                                               std::chrono::milliseconds budget) override {
        return platform::Smb2NegotiateConnection::Open("127.0.0.1", port_, budget);
    }

private:
    platform::NetapiClock real_;
    std::int64_t aheadMs_;
    std::uint16_t port_;
};

TEST(Smb2Measurement, AnHonestServerGivesItsShiftToTheMillisecond) {
    for (std::int64_t ahead : {400, -250, -750, 2000}) {
        FakeSmbServer server(Behaviour::kHonest, ahead);
        FakeServerClock clock(ahead, server.port());
        const Measurement m = MeasureRemoteTime(clock, "\\\\127.0.0.1");
        EXPECT_EQ(m.method, MeasurementMethod::kNegotiate) << ahead;
        EXPECT_LE(std::llabs(m.offset - ahead), 5) << ahead;
    }
}

TEST(Smb2Measurement, AFaultyServerLeavesTheWholeSecondResultAndNoWaitPastTheBudget) {
    struct Case {
        Behaviour behaviour;
        std::int64_t negotiateAheadMs;
        const char* what;
    };
    const Case cases[] = {
        {Behaviour::kHonest, 400 + 5000, "a negotiate clock outside the second"},
        {Behaviour::kHonest, 400 - 1500, "a negotiate clock below the second"},
        {Behaviour::kNoSmb2, 400, "SMB1 only"},
        {Behaviour::kSilent, 400, "never answers"},
        {Behaviour::kSilentAfterUpgrade, 400, "never answers the negotiate"},
        {Behaviour::kCutAndClose, 400, "a cut answer"},
        {Behaviour::kCutAndHold, 400, "a cut answer, held"},
        {Behaviour::kHugeLength, 400, "a huge length"},
    };
    for (const Case& c : cases) {
        FakeSmbServer server(c.behaviour, c.negotiateAheadMs);
        FakeServerClock clock(400, server.port());
        const auto start = Steady::now();
        const Measurement m = MeasureRemoteTime(clock, "\\\\127.0.0.1");
        const auto took = Steady::now() - start;
        EXPECT_EQ(m.method, MeasurementMethod::kTimeOfDay) << c.what;
        // Whole seconds: up to a second below the truth, never above it.
        EXPECT_LE(m.offset, 400 + 5) << c.what;
        EXPECT_GT(m.offset, 400 - 1000 - 5) << c.what;
        EXPECT_LT(took, kNegotiateBudget + 150ms) << c.what;
        EXPECT_EQ(server.connections(), 1) << c.what;
    }
}

// The connection check reads the negotiate clock on its own connection, so
// that a whole-second answer needs no connection of its own to be refined.
struct ProbeOutcome {
    bool reachable = false;
    std::optional<platform::NegotiateReading> reading;
    std::chrono::milliseconds took{};
};

ProbeOutcome Probe(const char* address, std::chrono::milliseconds limit) {
    platform::ConnectProbe probe;
    const auto began = Steady::now();
    probe.check(7, std::string("\\\\") + address, limit);
    ProbeOutcome outcome;
    for (int round = 0; round < 400; ++round) {  // bounded: 400 x 20 ms
        const auto settled = probe.settle(20ms, {});
        if (settled.empty()) continue;
        EXPECT_EQ(settled.size(), 1u);
        EXPECT_EQ(settled[0].tag, 7u);
        outcome = {settled[0].reachable, settled[0].negotiate,
                   std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - began)};
        break;
    }
    EXPECT_EQ(probe.underway(), 0u);
    return outcome;
}

TEST(ProbeReading, AnHonestServersClockComesWithItsConnectionAndPort139IsNeverTried) {
    FakeSmbServer smb(Behaviour::kHonest, 400, "127.78.0.1", 445);
    FakeSmbServer netbios(Behaviour::kHonest, 400, "127.78.0.1", 139);
    const ProbeOutcome outcome = Probe("127.78.0.1", 3000ms);
    EXPECT_TRUE(outcome.reachable);
    ASSERT_TRUE(outcome.reading);
    EXPECT_LE(outcome.reading->roundTripMs, 50u);
    const Offset offset = OffsetFromReadings(outcome.reading->remote, outcome.reading->local,
                                             outcome.reading->roundTripMs);
    EXPECT_NEAR(static_cast<double>(offset), 400.0, 10.0);
    EXPECT_EQ(smb.connections(), 1);
    EXPECT_EQ(netbios.connections(), 0);  // one connection is all a server is asked for

    // A whole-second answer that allows it is refined from the reading;
    // one that does not, or one in hundredths, is left as it came.
    const Measurement whole{0, MeasurementMethod::kTimeOfDay, 3, kWholeSecondResolutionMs};
    const std::optional<Measurement> refined = RefinedByNegotiate(whole, *outcome.reading);
    ASSERT_TRUE(refined);
    EXPECT_EQ(refined->method, MeasurementMethod::kNegotiate);
    EXPECT_EQ(refined->offset, offset);
    EXPECT_EQ(refined->resolutionMs, kNegotiateResolutionMs);
    EXPECT_FALSE(RefinedByNegotiate({2000, MeasurementMethod::kTimeOfDay, 3, kWholeSecondResolutionMs},
                                    *outcome.reading));
    EXPECT_FALSE(RefinedByNegotiate({390, MeasurementMethod::kTimeOfDay, 3, kHundredthsResolutionMs},
                                    *outcome.reading));
    EXPECT_FALSE(RefinedByNegotiate({}, *outcome.reading));
}

TEST(ProbeReading, AServerThatAnswersBadlyIsReachableWithoutAReading) {
    struct Case {
        Behaviour behaviour;
        const char* address;
        bool waitsForTheLimit;
    };
    const Case cases[] = {
        {Behaviour::kNoSmb2, "127.78.0.2", false},
        {Behaviour::kCutAndClose, "127.78.0.3", false},
        {Behaviour::kSilentAfterUpgrade, "127.78.0.4", true},
        {Behaviour::kCutAndHold, "127.78.0.5", true},
        {Behaviour::kHugeLength, "127.78.0.6", false},
    };
    for (const Case& c : cases) {
        FakeSmbServer server(c.behaviour, 400, c.address, 445);
        const ProbeOutcome outcome = Probe(c.address, 600ms);
        EXPECT_TRUE(outcome.reachable) << c.address;
        EXPECT_FALSE(outcome.reading) << c.address;
        if (c.waitsForTheLimit) {
            EXPECT_GE(outcome.took, 590ms) << c.address;
        }
        EXPECT_LT(outcome.took, 1000ms) << c.address;
    }
}

TEST(ProbeReading, Port139IsTriedWhen445IsRefusedOrSilentAndAnswersForTheMachine) {
    {
        FakeSmbServer netbios(Behaviour::kHonest, 0, "127.78.0.7", 139);  // nothing on 445
        const ProbeOutcome outcome = Probe("127.78.0.7", 3000ms);
        EXPECT_TRUE(outcome.reachable);
        EXPECT_FALSE(outcome.reading);  // only 445 is asked for the clock
        EXPECT_LT(outcome.took, 200ms);  // refused: no head start to wait for
        EXPECT_EQ(netbios.connections(), 1);
    }
    {
        FakeSmbServer hung(Behaviour::kSilent, 0, "127.78.0.8", 445);
        FakeSmbServer netbios(Behaviour::kHonest, 0, "127.78.0.8", 139);
        const ProbeOutcome outcome = Probe("127.78.0.8", 3000ms);
        EXPECT_TRUE(outcome.reachable);
        EXPECT_GE(outcome.took, 240ms);  // 445's head start
        EXPECT_LT(outcome.took, 1000ms);
        EXPECT_EQ(netbios.connections(), 1);
    }
}

}  // namespace
}  // namespace skewmon::testing
