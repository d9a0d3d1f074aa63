// Domain discovery and the browse scan against the domain lab
// (tests/lab_domain/lab.sh): a real directory domain controller and a
// workgroup of real browse servers on loopback. Each test runs in a process
// of its own, so that each can give Samba's libraries its own settings.
#include <gtest/gtest.h>
#include <ldap.h>
#include <netdb.h>
#include <sasl/sasl.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "discovery/discovery.h"
#include "platform/headless/headless_dialog.h"
#include "platform/linux/discovery_services.h"
#include "platform/linux/process/process_query_runner.h"
#include "platform/linux/samba/smbc_browse.h"
#include "platform/linux/system/linux_system.h"
#include "tests/fakes/discovery_fakes.h"
#include "tests/fakes/fakes.h"
#include "tests/lab/lab_support.h"
#include "ui/main_dialog.h"

namespace skewmon::testing {
namespace {

using namespace std::chrono_literals;

class Lab : public ::testing::Test {
protected:
    void SetUp() override {
        std::optional<DomainLab> found = DomainLab::FromEnvironment();
        ASSERT_TRUE(found) << "no domain lab: SKEWMON_DOMAIN_LAB_DIR must name a running one";
        lab = *found;
    }
    // Settles which machine this process is, before Samba or libldap is
    // first used: the client settings, and a ticket or none.
    void becomeClient(const std::string& home, bool withTicket) {
        setenv("HOME", home.c_str(), 1);
        setenv("KRB5_CONFIG", lab.krb5Config.c_str(), 1);
        const std::string cache = withTicket ? "FILE:" + lab.ticket : "FILE:" + home + "/no-ticket";
        setenv("KRB5CCNAME", cache.c_str(), 1);
        unsetenv("LDAPURI");
        unsetenv("USER");
        unsetenv("PASSWD");
    }
    // The controller's host name must map to its address (the lab's tests run
    // in a mount namespace whose /etc/hosts says so).
    bool controllerNameMaps() const {
        addrinfo* found = nullptr;
        addrinfo hints{};
        hints.ai_family = AF_INET;
        if (getaddrinfo(lab.dcHost.c_str(), nullptr, &hints, &found) != 0) return false;
        char address[64] = {};
        getnameinfo(found->ai_addr, found->ai_addrlen, address, sizeof address, nullptr, 0, NI_NUMERICHOST);
        freeaddrinfo(found);
        return lab.dcAddress == address;
    }
    void fill() {
        DiscoveryContext context{services, state, computerName, scan};
        FillDomainList(context, dialog, "");
    }

    DomainLab lab;
    std::string computerName = "SKEWCLIENT";
    DiscoveryState state;
    ScanState scan;
    SelectorDialog dialog;
    platform::LinuxDiscoveryServices services;
};

// The partitions' names as a plain OpenLDAP search with the user's ticket
// lists them: the directory's order.
std::vector<std::string> PartitionsAsListed(const DomainLab& lab) {
    std::vector<std::string> names;
    LDAP* ld = nullptr;
    const std::string uri = "ldap://" + lab.dcHost;
    if (ldap_initialize(&ld, uri.c_str()) != LDAP_SUCCESS) return names;
    int version = 3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    auto quiet = [](LDAP*, unsigned, void*, void* prompts) {
        for (auto* p = static_cast<sasl_interact_t*>(prompts); p->id != SASL_CB_LIST_END; ++p) {
            p->result = "";
            p->len = 0;
        }
        return LDAP_SUCCESS;
    };
    LDAPMessage* result = nullptr;
    std::string base = "CN=Partitions,CN=Configuration";
    for (std::size_t start = 0, dot; start <= lab.realm.size(); start = dot + 1) {
        dot = lab.realm.find('.', start);
        if (dot == std::string::npos) dot = lab.realm.size();
        base += ",DC=" + lab.realm.substr(start, dot - start);
    }
    char cn[] = "cn";
    char* attributes[] = {cn, nullptr};
    if (ldap_sasl_interactive_bind_s(ld, nullptr, "GSSAPI", nullptr, nullptr, LDAP_SASL_QUIET, quiet, nullptr) ==
            LDAP_SUCCESS &&
        ldap_search_ext_s(ld, base.c_str(), LDAP_SCOPE_ONELEVEL, "(&(systemFlags=3))", attributes, 0, nullptr,
                          nullptr, nullptr, 0, &result) == LDAP_SUCCESS) {
        for (LDAPMessage* entry = ldap_first_entry(ld, result); entry; entry = ldap_next_entry(ld, entry)) {
            berval** values = ldap_get_values_len(ld, entry, "cn");
            if (values && values[0]) names.emplace_back(values[0]->bv_val, values[0]->bv_len);
            ldap_value_free_len(values);
        }
    }
    ldap_msgfree(result);
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return names;
}

TEST_F(Lab, WorkgroupMachineListsItsWorkgroupAloneAndFocusesItsMaster) {
    becomeClient(lab.workgroupHome, false);
    fill();
    EXPECT_EQ(dialog.entries, std::vector<std::string>{lab.workgroup});
    EXPECT_EQ(dialog.selected, 0);
    EXPECT_FALSE(dialog.selectorEnabled);
    EXPECT_EQ(state.joinedToDomain, 0);
    EXPECT_TRUE(dialog.messages.empty());
    // No controller for a workgroup: its browse server stands.
    EXPECT_EQ(state.focusServer, "\\\\" + lab.master);
}

TEST_F(Lab, MemberWithATicketListsTheForestsDomainsInTheDirectorysOrder) {
    becomeClient(lab.memberHome, true);
    ASSERT_TRUE(controllerNameMaps()) << "run in the lab's mount namespace (tests/lab_domain/in_namespace.sh)";
    if (platform::OpenLdapClient::ConfiguredUri()) GTEST_SKIP() << "the LDAP client settings name a server";
    fill();
    const std::vector<std::string> listed = PartitionsAsListed(lab);
    ASSERT_EQ(listed.size(), lab.partitions.size());
    EXPECT_EQ(dialog.entries, listed);
    std::vector<std::string> sorted = dialog.entries, expected = lab.partitions;
    std::sort(sorted.begin(), sorted.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sorted, expected);
    EXPECT_EQ(dialog.selected, 0);
    EXPECT_TRUE(dialog.selectorEnabled);
    EXPECT_EQ(state.joinedToDomain, 1);
    EXPECT_EQ(state.defaultDomainName, lab.domain);
    // The fill ends with the focus step on the first entry. Only the lab's
    // own domain has machines; a forest partition without any is reported
    // once, and the selection stays on entry 0.
    if (dialog.entries[0] == lab.domain) {
        EXPECT_TRUE(dialog.messages.empty());
        EXPECT_EQ(state.focusServer, "\\\\" + lab.dcName);
    } else {
        ASSERT_EQ(dialog.messages.size(), 1u);
        EXPECT_EQ(dialog.messages[0].text, "Could not set focus to domain " + dialog.entries[0] + ".");
        EXPECT_EQ(dialog.selected, 0);
    }
    // Choosing the lab's own domain finds its controller.
    const auto own = std::find(dialog.entries.begin(), dialog.entries.end(), lab.domain);
    ASSERT_NE(own, dialog.entries.end());
    dialog.selected = static_cast<int>(own - dialog.entries.begin());
    DiscoveryContext context{services, state, computerName, scan};
    FocusDomain(context, dialog);
    EXPECT_EQ(state.focusServer, "\\\\" + lab.dcName);
}

TEST_F(Lab, ConfiguredDirectoryServerIsTheDefault) {
    becomeClient(lab.memberHome, true);
    ASSERT_TRUE(controllerNameMaps()) << "run in the lab's mount namespace (tests/lab_domain/in_namespace.sh)";
    setenv("LDAPURI", ("ldap://" + lab.dcHost).c_str(), 1);
    std::string root, defaultContext, configuration, host;
    DirectoryConnection open =
        ReadRootDse(services.directory(), &root, &defaultContext, &configuration, &host);
    ASSERT_TRUE(open.connection) << "error " << open.error;
    EXPECT_EQ(host, lab.dcHost);
    EXPECT_EQ(configuration.rfind("CN=Configuration,", 0), 0u);
    EXPECT_EQ(root, defaultContext);
}

TEST_F(Lab, MemberWithoutATicketListsItsPrimaryDomainAlone) {
    becomeClient(lab.memberHome, false);
    fill();
    EXPECT_EQ(dialog.entries, std::vector<std::string>{lab.domain});
    EXPECT_EQ(state.joinedToDomain, 1);
    EXPECT_FALSE(dialog.selectorEnabled);
    EXPECT_TRUE(dialog.messages.empty());
    EXPECT_EQ(state.focusServer, "\\\\" + lab.dcName);
}

TEST_F(Lab, UnknownDomainShowsTheMessageOnceAndSelectsTheFirstEntry) {
    becomeClient(lab.memberHome, false);
    fill();
    ASSERT_EQ(dialog.entries.size(), 1u);
    dialog.entries.push_back("NOSUCHDOMAIN");
    dialog.selected = 1;
    DiscoveryContext context{services, state, computerName, scan};
    FocusDomain(context, dialog);
    ASSERT_EQ(dialog.messages.size(), 1u);
    EXPECT_EQ(dialog.messages[0].text, "Could not set focus to domain NOSUCHDOMAIN.");
    EXPECT_EQ(dialog.messages[0].title, "Skewmon Error");
    EXPECT_EQ(dialog.selected, 0);
    EXPECT_EQ(state.selectedDomain, lab.domain);
}

TEST_F(Lab, ServiceStatesAndBrowseServersOfTheWorkgroup) {
    becomeClient(lab.workgroupHome, false);
    platform::ServiceControl& control = services.serviceControl();
    EXPECT_EQ(GetServiceState(control, "\\\\" + lab.master, "Browser"), kServiceRunning);
    EXPECT_EQ(GetServiceState(control, "\\\\" + lab.dcName, "Browser"), 1u);  // answers, runs no browser
    EXPECT_EQ(GetServiceState(control, "\\\\NOSUCHHOST", "Browser"), kServiceStateUnknown);
    EXPECT_EQ(GetServiceState(control, "\\\\" + lab.master, "Spooler"), kServiceStateUnknown);

    std::vector<platform::ServerInfo100> servers;
    EXPECT_EQ(services.domainLookups().serverEnum(100, 0xE0000, std::nullopt, servers), 0u);
    ASSERT_EQ(servers.size(), 1u);
    EXPECT_EQ(servers[0].name, lab.master);
    // The controller's domain: a controller, but no browser.
    EXPECT_NE(services.domainLookups().serverEnum(100, 0xE0000, lab.domain, servers), 0u);
    std::string controller;
    EXPECT_EQ(services.domainLookups().getDcName(lab.domain, controller), 0u);
    EXPECT_EQ(controller, "\\\\" + lab.dcName);
    EXPECT_EQ(services.domainLookups().getAnyDcName(lab.domain), "\\\\" + lab.dcName);
    EXPECT_NE(services.domainLookups().getDcName(lab.workgroup, controller), 0u);
}

// "+" or "-" and the variance text as signed milliseconds.
std::int64_t RowOffset(const std::string& sign, const std::string& variance) {
    int years = 0, days = 0, hours = 0, minutes = 0, seconds = 0, ms = 0;
    std::sscanf(variance.c_str(), "%d %d %d:%d:%d.%d", &years, &days, &hours, &minutes, &seconds, &ms);
    const std::int64_t magnitude =
        ((((std::int64_t(years) * 365 + days) * 24 + hours) * 60 + minutes) * 60 + seconds) * 1000 + ms;
    return sign == "-" ? -magnitude : magnitude;
}

TEST_F(Lab, BrowseScanOfTheWorkgroupMeasuresItsShiftedClocks) {
    becomeClient(lab.workgroupHome, false);
    Recording<platform::LinuxSystem> system;
    system.name = computerName;
    platform::HeadlessWindowSystem windows;
    platform::ProcessQueryRunner runner(TodHelperPath());
    platform::SmbcNetworkBrowser browser(SKEWMON_BROWSE_PATH);
    Program program(Platform{system, windows, runner, browser, services});
    MainDialog mainDialog(program);
    platform::HeadlessDialog window;
    window.start(mainDialog);
    ASSERT_TRUE(window.waitUntil([](const platform::HeadlessSnapshot& s) { return s.initialised; }, 30s));
    platform::HeadlessSnapshot s = window.snapshot();
    EXPECT_EQ(s.rows(ctl::kDomainSelector), std::vector<std::string>{lab.workgroup});
    EXPECT_TRUE(s.messages.empty());

    window.command(ctl::kScan);
    ASSERT_TRUE(window.waitUntil(
        [](const platform::HeadlessSnapshot& snap) {
            return snap.control(ctl::kSaveResults).enabled && snap.text(ctl::kClose) == "&Close";
        },
        60s));
    s = window.snapshot();
    std::map<std::string, std::int64_t> measured;
    for (const std::string& row : s.rows(ctl::kResultsList)) {
        std::istringstream fields(row);
        std::string name, sign, variance;
        std::getline(fields, name, '\t');
        std::getline(fields, sign, '\t');
        std::getline(fields, variance, '\t');
        ASSERT_TRUE(sign == "+" || sign == "-") << row;
        measured[name] = RowOffset(sign, variance);
    }
    ASSERT_EQ(measured.size(), lab.shifts.size());
    for (const auto& [name, shift] : lab.shifts) {
        ASSERT_TRUE(measured.count(name)) << name;
        // The servers answer in whole seconds: a reading lies up to a second
        // below the shift.
        EXPECT_GE(measured[name], shift - 1100) << name;
        EXPECT_LE(measured[name], shift + 150) << name;
    }
    window.command(ctl::kClose);
    window.waitForEnd();
}

TEST_F(Lab, TimeQueryByNameWithoutAUsableTicketAsksAsGuest) {
    // The workgroup's servers are no members of the domain and take guests
    // alone. A cache of the domain user's that holds no ticket-granting
    // ticket still in date must not make the query sign in with Kerberos,
    // which the servers refuse, as a guest, or with a name and password.
    becomeClient(lab.workgroupHome, false);
    const std::string expired = "FILE:" + lab.workgroupHome + "/expired-tickets";
    const std::string serviceOnly = "FILE:" + lab.workgroupHome + "/service-tickets";
    ASSERT_TRUE(CopyKerberosCache("FILE:" + lab.ticket, expired, GrantingTicket::kExpire));
    ASSERT_TRUE(CopyKerberosCache("FILE:" + lab.ticket, serviceOnly, GrantingTicket::kDrop));
    // The server furthest off: a reading near its shift is its own answer.
    std::string server;
    std::int64_t shift = 0;
    for (const auto& [name, ms] : lab.shifts)
        if (server.empty() || std::llabs(ms) > std::llabs(shift)) std::tie(server, shift) = std::tie(name, ms);
    const std::atomic<bool> never{false};
    for (const std::string& cache : {expired, serviceOnly}) {
        for (const char* user : {static_cast<const char*>(nullptr), "nobody-here%not-a-password"}) {
            const std::string what = cache + (user ? " as a named user" : " as guest");
            ScopedEnvironment tickets("KRB5CCNAME", cache);
            std::optional<ScopedEnvironment> named;
            if (user) named.emplace("USER", user);
            platform::ProcessQueryRunner runner(TodHelperPath());  // its helpers see the cache
            auto query = runner.start(QueryServerName(server), false);
            ASSERT_NE(query, nullptr) << what;
            ASSERT_EQ(query->wait(10s, never), platform::QueryWait::kFinished) << what;
            const Offset measured = query->result();
            if (measured == kNoResponse) {
                ADD_FAILURE() << what << ": no answer";
                continue;
            }
            EXPECT_GE(measured, shift - 1100) << what;
            EXPECT_LE(measured, shift + 150) << what;
        }
    }
}

}  // namespace
}  // namespace skewmon::testing
