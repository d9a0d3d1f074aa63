// The Linux discovery pieces that need no lab: the NetBIOS name service's
// packets and waits (against a responder of the test's own on loopback),
// the reading of the client settings, and the mappings to the platform's
// numbers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/linux/lanman_nbns.h"
#include "platform/linux/lanman_settings.h"
#include "platform/linux/ldap_openldap.h"
#include "platform/linux/smbc_browse.h"

namespace skewmon::platform {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

in_addr Address(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address;
}

// An answer to `query` (its id and question copied) with resource data
// `data` of `type`, or a negative answer with `rcode`.
Bytes Answer(const Bytes& query, std::uint16_t type, const Bytes& data, int rcode = 0) {
    Bytes packet(query.begin(), query.begin() + 2);
    packet.push_back(static_cast<std::uint8_t>(0x85));
    packet.push_back(static_cast<std::uint8_t>(0x00 | rcode));
    const Bytes counts{0, 0, 0, 1, 0, 0, 0, 0};
    packet.insert(packet.end(), counts.begin(), counts.end());
    packet.insert(packet.end(), query.begin() + 12, query.begin() + 12 + 34);  // the encoded name
    packet.push_back(static_cast<std::uint8_t>(type >> 8));
    packet.push_back(static_cast<std::uint8_t>(type));
    const Bytes rest{0, 1, 0, 0, 0, 0, static_cast<std::uint8_t>(data.size() >> 8),
                     static_cast<std::uint8_t>(data.size())};
    packet.insert(packet.end(), rest.begin(), rest.end());
    packet.insert(packet.end(), data.begin(), data.end());
    return packet;
}

Bytes Addresses(std::initializer_list<const char*> addresses) {
    Bytes data;
    for (const char* text : addresses) {
        const in_addr address = Address(text);
        data.push_back(0x60);
        data.push_back(0x00);
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&address.s_addr);
        data.insert(data.end(), raw, raw + 4);
    }
    return data;
}

Bytes StatusRecord(const std::string& name, std::uint8_t type, bool group) {
    Bytes record(15, ' ');
    std::copy(name.begin(), name.end(), record.begin());
    record.push_back(type);
    record.push_back(group ? 0x84 : 0x04);
    record.push_back(0x00);
    return record;
}

TEST(NameServicePackets, QueriesAreEncodedAsTheProtocolSays) {
    const Bytes query = nbns::NameQueryPacket(0x1234, "labwg", 0x1B, false);
    ASSERT_EQ(query.size(), 50u);
    EXPECT_EQ(Bytes(query.begin(), query.begin() + 12), (Bytes{0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(query[12], 32);
    // "LABWG" upper-cased, padded with blanks, type in the last byte.
    EXPECT_EQ(std::string(query.begin() + 13, query.begin() + 45), "EMEBECFHEHCACACACACACACACACACABL");
    EXPECT_EQ(Bytes(query.begin() + 45, query.end()), (Bytes{0, 0, 0x20, 0, 1}));
    EXPECT_EQ(nbns::NameQueryPacket(1, "x", 0, true)[3], 0x10);  // broadcast flag

    const Bytes status = nbns::NodeStatusPacket(7);
    EXPECT_EQ(status[2], 0);
    EXPECT_EQ(std::string(status.begin() + 13, status.begin() + 15), "CK");  // '*'
    EXPECT_EQ(status[status.size() - 3], 0x21);
}

TEST(NameServicePackets, AnswersAreReadOnlyAsFarAsTheyProveThemselves) {
    const Bytes query = nbns::NameQueryPacket(0x0102, "LABWG", 0x1C, false);
    auto positive = nbns::ParseNameQueryResponse(Answer(query, 0x20, Addresses({"127.0.0.60", "255.255.255.255", "127.0.0.70"})), 0x0102);
    ASSERT_TRUE(positive);
    ASSERT_EQ(positive->size(), 2u);  // the plain group's broadcast address is no machine
    EXPECT_EQ((*positive)[1].s_addr, Address("127.0.0.70").s_addr);

    auto negative = nbns::ParseNameQueryResponse(Answer(query, 0x20, {}, 3), 0x0102);
    ASSERT_TRUE(negative);
    EXPECT_TRUE(negative->empty());

    Bytes reply = Answer(query, 0x20, Addresses({"127.0.0.60"}));
    EXPECT_FALSE(nbns::ParseNameQueryResponse(reply, 0x0103));           // another query's
    EXPECT_FALSE(nbns::ParseNameQueryResponse(query, 0x0102));           // a question, not an answer
    reply.resize(reply.size() - 3);
    EXPECT_FALSE(nbns::ParseNameQueryResponse(reply, 0x0102));           // cut short
    EXPECT_FALSE(nbns::ParseNameQueryResponse(Bytes(5, 0), 0));

    const Bytes status = nbns::NodeStatusPacket(9);
    Bytes table{3};
    for (const Bytes& record : {StatusRecord("LABMB", 0x00, false), StatusRecord("LABWG", 0x1E, true),
                                StatusRecord("LABMB", 0x20, false)})
        table.insert(table.end(), record.begin(), record.end());
    auto names = nbns::ParseNodeStatusResponse(Answer(status, 0x21, table), 9);
    ASSERT_TRUE(names);
    ASSERT_EQ(names->size(), 3u);
    EXPECT_EQ((*names)[1].name, "LABWG");
    EXPECT_TRUE((*names)[1].group);
    EXPECT_TRUE(nbns::HoldsBrowserName(*names));
    EXPECT_EQ(nbns::ServerNameOf(*names), "LABMB");
    EXPECT_TRUE(nbns::Holds(*names, "labwg", 0x1E));

    // A count larger than the records sent: only the whole records count.
    table[0] = 40;
    names = nbns::ParseNodeStatusResponse(Answer(status, 0x21, table), 9);
    ASSERT_TRUE(names);
    EXPECT_EQ(names->size(), 3u);

    // A controller without a browser: no browser name, its <20> name.
    const std::vector<nbns::HeldName> dc{{"LABDC", 0x00, false}, {"SKEWLAB", 0x1B, false}, {"SKEWLAB", 0x1C, true},
                                         {"LABDC", 0x20, false}};
    EXPECT_FALSE(nbns::HoldsBrowserName(dc));
    EXPECT_EQ(nbns::ServerNameOf(dc), "LABDC");
    EXPECT_FALSE(nbns::ServerNameOf({{"GROUP", 0x20, true}}));
}

// A name server of the test's own: answers what `respond` makes of each
// query, from its own port or, when told, from another one.
class Responder {
public:
    explicit Responder(std::function<std::optional<Bytes>(const Bytes&)> respond, bool fromOtherPort = false)
        : respond_(std::move(respond)), fromOtherPort_(fromOtherPort) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        other_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr = Address("127.0.0.1");
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof local;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
        timeval wait{0, 50000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        thread_ = std::thread([this] { serve(); });
    }
    ~Responder() {
        stop_ = true;
        thread_.join();
        close(fd_);
        close(other_);
    }
    std::uint16_t port() const { return port_; }
    int queries() const { return queries_; }

private:
    void serve() {
        std::uint8_t buffer[1500];
        while (!stop_) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t got = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (got <= 0) continue;
            ++queries_;
            if (auto reply = respond_(Bytes(buffer, buffer + got)))
                sendto(fromOtherPort_ ? other_ : fd_, reply->data(), reply->size(), 0,
                       reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    std::function<std::optional<Bytes>(const Bytes&)> respond_;
    bool fromOtherPort_;
    int fd_ = -1;
    int other_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> queries_{0};
    std::thread thread_;
};

nbns::NameService ServiceAt(std::uint16_t port, int servers = 1) {
    nbns::NameService::Settings settings;
    for (int i = 0; i < servers; ++i) settings.winsServers.push_back(Address("127.0.0.1"));
    settings.port = port;
    settings.wait = 150ms;
    settings.tries = 2;
    return nbns::NameService(settings);
}

TEST(NameService, AsksUntilAnsweredAndTrustsOnlyItsServer) {
    int seen = 0;
    Responder lateThenAnswers([&](const Bytes& query) -> std::optional<Bytes> {
        if (++seen == 1) return std::nullopt;  // the first try goes unanswered
        return Answer(query, 0x20, Addresses({"127.0.0.61"}));
    });
    const auto found = ServiceAt(lateThenAnswers.port()).query("LABWG", 0x1B);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].s_addr, Address("127.0.0.61").s_addr);
    EXPECT_EQ(lateThenAnswers.queries(), 2);

    // A negative answer is final for that server: no second try.
    Responder negative([](const Bytes& query) { return Answer(query, 0x20, {}, 3); });
    EXPECT_TRUE(ServiceAt(negative.port()).query("NOSUCH", 0x1B).empty());
    EXPECT_EQ(negative.queries(), 1);

    // An answer from another port than the one asked is not the server's.
    Responder spoofed([](const Bytes& query) { return Answer(query, 0x20, Addresses({"127.0.0.99"})); }, true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ServiceAt(spoofed.port()).query("LABWG", 0x1B).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);  // bounded: tries x wait
    EXPECT_EQ(spoofed.queries(), 2);

    // Node status: the names of the machine asked.
    Responder status([](const Bytes& query) {
        Bytes table{1};
        const Bytes record = StatusRecord("LABB62", 0x20, false);
        table.insert(table.end(), record.begin(), record.end());
        return Answer(query, 0x21, table);
    });
    const auto names = ServiceAt(status.port()).nodeStatus(Address("127.0.0.1"));
    ASSERT_TRUE(names);
    EXPECT_EQ(nbns::ServerNameOf(*names), "LABB62");
    Responder silent([](const Bytes&) { return std::nullopt; });
    EXPECT_FALSE(ServiceAt(silent.port()).nodeStatus(Address("127.0.0.1")));
}

TEST(ClientSettings, NameServiceFollowsTheResolveOrder) {
    SambaClientSettings settings;
    settings.winsServers = {"127.0.0.60", "backup:127.0.0.70", "wins.example"};
    settings.resolveOrder = {"lmhosts", "wins"};
    const std::vector<in_addr> subnets{Address("192.0.2.255")};
    nbns::NameService::Settings service = NameServiceSettingsOf(settings, subnets);
    ASSERT_EQ(service.winsServers.size(), 2u);  // a host name would need the resolver
    EXPECT_EQ(service.winsServers[1].s_addr, Address("127.0.0.70").s_addr);
    EXPECT_TRUE(service.broadcastAddresses.empty());

    settings.resolveOrder = {"host", "bcast"};
    service = NameServiceSettingsOf(settings, subnets);
    EXPECT_TRUE(service.winsServers.empty());
    ASSERT_EQ(service.broadcastAddresses.size(), 1u);
    for (const in_addr& address : SubnetBroadcastAddresses())
        EXPECT_NE(ntohl(address.s_addr) >> 24, 127u);  // loopback is never broadcast on
}

TEST(PlatformNumbers, ClientCodesAndTypesMapToThePlatforms) {
    EXPECT_EQ(StandardLdapCode(0), 0u);
    EXPECT_EQ(StandardLdapCode(49), 49u);
    EXPECT_EQ(StandardLdapCode(-1), 0x51u);  // server down
    EXPECT_EQ(StandardLdapCode(-14), 0x5Eu);  // no results returned
    EXPECT_EQ(StandardLdapCode(-99), 0x52u);

    EXPECT_EQ(LdapUriFor("127.0.0.60", 389), "ldap://127.0.0.60:389");
    EXPECT_FALSE(LdapUriFor("evil/path", 389));
    EXPECT_FALSE(LdapUriFor("", 389));

    EXPECT_EQ(DisplayTypeOfSmbcType(2), kResourceDisplayServer);
    EXPECT_EQ(DisplayTypeOfSmbcType(1), 1u);  // workgroup: domain
    EXPECT_EQ(DisplayTypeOfSmbcType(3), 3u);  // shares
    EXPECT_EQ(DisplayTypeOfSmbcType(6), 3u);
    EXPECT_EQ(DisplayTypeOfSmbcType(99), 0u);

    // Names that would change the address of the listing are refused.
    SmbcNetworkBrowser browser;
    for (const char* name : {"", "LAB/../x", "user@host", "a?b"}) {
        NetResourceRequest request;
        request.remoteName = name;
        EXPECT_FALSE(browser.open(request)) << name;
    }
}

}  // namespace
}  // namespace skewmon::platform
