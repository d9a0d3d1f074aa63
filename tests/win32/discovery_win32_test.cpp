#include "platform/win32/discovery_win32.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "discovery/discovery.h"

namespace skewmon::platform::win32 {
namespace {

constexpr char kNoSuchDomain[] = "NO-SUCH-DOMAIN-7F3A";

TEST(LsaAuthority, NamesThePrimaryDomainOrWorkgroup) {
    LsaAuthority authority;
    const std::optional<PrimaryDomainInfo> primary = authority.queryPrimaryDomain();
    ASSERT_TRUE(primary);
    EXPECT_FALSE(primary->name.empty());
}

TEST(NetApiLookups, AnUnknownDomainHasNoControllerAndNoServers) {
    NetApiLookups lookups;
    std::string controller = "unchanged";
    EXPECT_NE(lookups.getDcName(kNoSuchDomain, controller), 0u);
    EXPECT_EQ(controller, "unchanged");
    EXPECT_FALSE(lookups.getAnyDcName(kNoSuchDomain));

    std::vector<ServerInfo100> servers{{500, "STALE"}};
    EXPECT_NE(lookups.serverEnum(100, 0xE0000, std::string_view(kNoSuchDomain), servers), 0u);
    EXPECT_TRUE(servers.empty());
    servers = {{500, "STALE"}};
    EXPECT_EQ(lookups.serverEnum(101, 0xE0000, std::nullopt, servers), static_cast<std::uint32_t>(ERROR_INVALID_LEVEL));
    EXPECT_TRUE(servers.empty());
}

TEST(ScmServiceControl, ReadsTheStateOfAnInstalledServiceAndRefusesUnknownOnes) {
    ScmServiceControl control;
    std::unique_ptr<ServiceHandle> manager = control.openManager("", SC_MANAGER_CONNECT);
    ASSERT_TRUE(manager);
    // The RPC service is installed wherever LAN Manager calls exist at all;
    // whether it runs at this moment is the system's business.
    std::unique_ptr<ServiceHandle> rpc = control.openService(*manager, "RpcSs", SERVICE_QUERY_STATUS);
    ASSERT_TRUE(rpc);
    const std::optional<std::uint32_t> state = control.queryState(*rpc);
    ASSERT_TRUE(state);
    EXPECT_GE(*state, static_cast<std::uint32_t>(SERVICE_STOPPED));
    EXPECT_LE(*state, static_cast<std::uint32_t>(SERVICE_PAUSED));
    EXPECT_FALSE(control.openService(*manager, "NoSuchService7F3A", SERVICE_QUERY_STATUS));

    EXPECT_EQ(GetServiceState(control, "", "NoSuchService7F3A"), kServiceStateUnknown);
    // The logic asks for no more than reading the state takes.
    EXPECT_EQ(GetServiceState(control, "", "RpcSs"), *state);
}

TEST(WldapClient, MakesConnectionHandlesThatTakeOptions) {
    WldapClient client;
    std::unique_ptr<LdapConnection> connection = client.init(std::nullopt, 389);
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->setOption(kLdapOptProtocolVersion, 3, LdapValuePassing::kByAddress), 0u);
    EXPECT_EQ(connection->setOption(kLdapOptSizeLimit, 0, LdapValuePassing::kByAddress), 0u);
}

}  // namespace
}  // namespace skewmon::platform::win32
