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
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/linux/netbios/netbios_name_client.h"
#include "platform/linux/samba/netapi_clock.h"
#include "platform/linux/samba/lanman_settings.h"
#include "platform/linux/ldap/ldap_openldap.h"
#include "platform/linux/samba/smbc_browse.h"

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
    SmbcNetworkBrowser browser(SKEWMON_BROWSE_PATH);
    for (const char* name : {"", "LAB/../x", "user@host", "a?b", "-x"}) {
        NetResourceRequest request;
        request.remoteName = name;
        EXPECT_FALSE(browser.open(request)) << name;
    }
}

TEST(BrowseHelperLines, CarryAnyNameWholeAndRefuseWhatTheyAreNot) {
    const std::string hostile("a\nend 0\tb\0c\xff", 13);
    const std::string line = BrowseHelperEntryLine(2, hostile);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);  // one line, whatever the name holds
    const std::optional<BrowseHelperEntry> entry = ParseBrowseHelperEntry(line.substr(0, line.size() - 1));
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->smbcType, 2u);
    EXPECT_EQ(entry->name, hostile);
    // The record ends the name at its NUL, as the platform's records do.
    EXPECT_EQ(BrowseRecordFor(*entry, "LAB").remoteName, "\\\\a\nend 0\tb");

    const std::optional<BrowseHelperEntry> unnamed = ParseBrowseHelperEntry("entry 1 ");
    ASSERT_TRUE(unnamed);
    EXPECT_EQ(unnamed->name, "");
    for (const char* bad : {"", "open", "end 0", "entry", "entry 2", "entry  6162", "entry x 6162", "entry 2 616",
                            "entry 2 6g", "entry 2 6162 ", "entry 1234 61", "Entry 2 61"})
        EXPECT_FALSE(ParseBrowseHelperEntry(bad)) << bad;

    EXPECT_EQ(BrowseRecordFor({1, "LABWG"}, "X").remoteName, "LABWG");
    EXPECT_EQ(BrowseRecordFor({1, "LABWG"}, "X").displayType, 1u);
    EXPECT_EQ(BrowseRecordFor({2, "LAB11"}, "LABWG").remoteName, "\\\\LAB11");
    EXPECT_EQ(BrowseRecordFor({3, "public"}, "LAB11").remoteName, "\\\\LAB11\\public");
}

// A stand-in helper: a script that writes what the test tells it.
class BrowseHelper : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/skewmon-browse-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string script(const std::string& body) {
        const std::filesystem::path path = dir_ / "helper";
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path.string();
    }
    static NetResourceRequest Request(const std::string& name) {
        NetResourceRequest request;
        request.remoteName = name;
        return request;
    }
    std::filesystem::path dir_;
};

TEST_F(BrowseHelper, EntriesComeInBatchesThatFitTheBufferAndTheEndIsTold) {
    SmbcNetworkBrowser browser(script("[ \"$1\" = LABWG ] || exit 2\n"
                                      "printf 'open\\nentry 2 4c41423131\\nentry 3 7075626c6963\\nentry 2 4c41423132\\nend 0\\n'"));
    EXPECT_FALSE(browser.open(Request("OTHER")));  // the helper could not open it
    std::unique_ptr<NetworkEnumeration> walk = browser.open(Request("LABWG"));
    ASSERT_TRUE(walk);
    std::vector<NetResourceEntry> entries;
    EXPECT_EQ(walk->fetch(90, 0xFFFFFFFF, entries), 0u);  // two records (40 and 47 bytes) fill 90
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].remoteName, "\\\\LAB11");
    EXPECT_EQ(entries[0].displayType, kResourceDisplayServer);
    EXPECT_EQ(entries[1].remoteName, "\\\\LABWG\\public");
    EXPECT_EQ(walk->fetch(90, 0xFFFFFFFF, entries), 0u);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].remoteName, "\\\\LAB12");
    EXPECT_EQ(walk->fetch(90, 0xFFFFFFFF, entries), kStatusNoMoreItems);
    EXPECT_TRUE(entries.empty());
}

TEST_F(BrowseHelper, AHelperThatFailsOrFallsSilentEndsTheWalkWithWhatCameBefore) {
    SmbcNetworkBrowser failing(script("printf 'open\\nentry 2 41\\nend 1\\n'"));
    std::unique_ptr<NetworkEnumeration> walk = failing.open(Request("LABWG"));
    ASSERT_TRUE(walk);
    std::vector<NetResourceEntry> entries;
    EXPECT_EQ(walk->fetch(65534, 0xFFFFFFFF, entries), 0u);
    EXPECT_EQ(entries.size(), 1u);
    EXPECT_EQ(walk->fetch(65534, 0xFFFFFFFF, entries), 1208u);

    SmbcNetworkBrowser garbage(script("printf 'open\\nentry 2 41\\nwhat is this\\nentry 2 42\\n'"));
    walk = garbage.open(Request("LABWG"));
    ASSERT_TRUE(walk);
    EXPECT_EQ(walk->fetch(65534, 0xFFFFFFFF, entries), 0u);
    EXPECT_EQ(entries.size(), 1u);
    EXPECT_EQ(walk->fetch(65534, 0xFFFFFFFF, entries), 1208u);

    SmbcNetworkBrowser silent(script("printf 'open\\nentry 2 41\\n'; exec sleep 30"), 300ms);
    walk = silent.open(Request("LABWG"));
    ASSERT_TRUE(walk);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(walk->fetch(65534, 0xFFFFFFFF, entries), 0u);
    EXPECT_EQ(entries.size(), 1u);
    EXPECT_EQ(walk->fetch(65534, 0xFFFFFFFF, entries), 1208u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    walk.reset();  // the sleeping helper is killed, not waited for

    EXPECT_FALSE(SmbcNetworkBrowser((dir_ / "missing").string()).open(Request("LABWG")));
}

// A server that takes connections and never answers, on the test's own
// loopback address.
class HungSmbServer {
public:
    explicit HungSmbServer(const char* address) {
        for (int port : {445, 139}) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int on = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in where{};
            where.sin_family = AF_INET;
            where.sin_port = htons(static_cast<std::uint16_t>(port));
            where.sin_addr = Address(address);
            if (bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(fd, 16) != 0) {
                close(fd);
                continue;
            }
            listeners_.push_back(fd);
        }
    }
    ~HungSmbServer() {
        for (int fd : listeners_) close(fd);
    }
    bool listening() const { return listeners_.size() == 2; }

private:
    std::vector<int> listeners_;  // the kernel accepts; nobody ever reads
};

TEST(BrowseAndDomainLookUps, AHungBrowseNeverKeepsTheWindowsLookUpsWaiting) {
    // An address of this build's lab range beyond every server the lab
    // starts: the lab may be running while this test runs.
    const std::string address = "127.0.0." + std::to_string(SKEWMON_TEST_LAB_FIRST + 15);
    HungSmbServer server(address.c_str());
    ASSERT_TRUE(server.listening()) << "cannot listen on " << address << ":445 and :139";
    QuietNetapiContext();  // set up before timing what the window's thread does

    SmbcNetworkBrowser browser(SKEWMON_BROWSE_PATH, 3s);
    std::atomic<bool> browsing{true};
    std::thread scan([&] {
        NetResourceRequest request;
        request.remoteName = address;
        browser.open(request);  // hangs on the silent server until the limit
        browsing = false;
    });
    std::this_thread::sleep_for(500ms);  // the listing is under way
    ASSERT_TRUE(browsing);

    // What a domain change does first on the window's thread.
    const auto started = std::chrono::steady_clock::now();
    LoadedClientSettings();
    {
        std::lock_guard lock(NetapiLock());
    }
    const auto waited = std::chrono::steady_clock::now() - started;
    const bool stillBrowsing = browsing;
    scan.join();
    EXPECT_TRUE(stillBrowsing);
    EXPECT_LT(waited, 500ms);
}

}  // namespace
}  // namespace skewmon::platform
