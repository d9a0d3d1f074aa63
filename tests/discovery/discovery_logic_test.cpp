// The domain list and the domain focus against scripted domain services.
#include <gtest/gtest.h>

#include "discovery/discovery.h"
#include "tests/fakes/discovery_fakes.h"

namespace skewmon::testing {
namespace {

using Entry = FakeDirectory::Entry;

Entry Partition(const std::string& cn) {
    return {{"cn", {cn}}, {"nCName", {"DC=" + cn + ",DC=example"}}, {"nETBIOSName", {cn}}};
}

// The calls up to and including the bind, as every directory fill makes them.
const CallLog kOpeningCalls{
    "init <default> 389", "option 0x11 0x3",      "option 0x4 0x0",  "option 0x8 0x60",
    "option 0x10 0xa",    "option 0x91 0x1 direct", "connect",        "bind 0x486",
};

CallLog Concat(CallLog head, const CallLog& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST(RootDse, RunsItsStepsInOrderAndReadsTheWantedValues) {
    FakeDirectory directory;
    directory.root = {{"defaultNamingContext", {"DC=corp,DC=example"}},
                      {"configurationNamingContext", {"CN=Configuration,DC=corp,DC=example", "second"}},
                      {"dnsHostName", {"dc1.corp.example"}}};
    std::string root = "stale", config = "stale", host = "stale";
    DirectoryConnection open = ReadRootDse(directory, &root, nullptr, &config, &host);

    ASSERT_TRUE(open.connection);
    EXPECT_EQ(open.error, 0u);
    EXPECT_EQ(root, "");  // missing: empty, no error
    EXPECT_EQ(config, "CN=Configuration,DC=corp,DC=example");
    EXPECT_EQ(host, "dc1.corp.example");
    // The search phase's limits are set after the bind; the result is freed
    // while the connection stays open for the caller.
    EXPECT_EQ(directory.log,
              Concat(kOpeningCalls, {"option 0x4 0x3c", "option 0x3 0x0", "search [<root>] 0 <any> <all> values",
                                     "count", "message", "values rootDomainNamingContext",
                                     "values configurationNamingContext", "values dnsHostName", "msgfree"}));
}

TEST(RootDse, FirstFailingStepEndsTheConnectionWithItsCode) {
    FakeDirectory directory;
    directory.failures["bind"] = 49;
    std::string config;
    DirectoryConnection open = ReadRootDse(directory, nullptr, nullptr, &config, nullptr);
    EXPECT_FALSE(open.connection);
    EXPECT_EQ(open.error, 49u);
    EXPECT_EQ(directory.log, Concat(kOpeningCalls, {"unbind"}));

    // A root search without entries: the thread's error, or 94 when it is 0.
    for (std::uint32_t threadError : {0u, 32u}) {
        FakeDirectory empty;
        empty.rootSearchFindsNothing = true;
        empty.threadError = threadError;
        open = ReadRootDse(empty, nullptr, nullptr, &config, nullptr);
        EXPECT_FALSE(open.connection);
        EXPECT_EQ(open.error, threadError ? threadError : 94u);
        const CallLog tail(empty.log.end() - 4, empty.log.end());
        EXPECT_EQ(tail, (CallLog{"count", "lastError", "unbind", "msgfree"}));
    }

    FakeDirectory none;
    none.initFails = true;
    none.threadError = 81;
    open = ReadRootDse(none, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(open.error, 81u);
    EXPECT_EQ(none.log, (CallLog{"init <default> 389", "lastError"}));
}

TEST(Partitions, SearchTheConfigurationAndWalkInTheDirectorysOrder) {
    FakeDirectory directory;
    directory.partitions = {Partition("CORP"), Partition("EMEA"), Partition("ASIA")};
    directory.partitions[1]["dnsRoot"] = {"emea.corp.example"};
    {
        PartitionEnumerator partitions(directory);
        ASSERT_EQ(partitions.open(), 0u);
        EXPECT_EQ(partitions.commonName(), "CORP");
        EXPECT_EQ(partitions.namingContext(), "DC=CORP,DC=example");
        EXPECT_EQ(partitions.dnsRoot(), "");
        ASSERT_TRUE(partitions.next());
        EXPECT_EQ(partitions.commonName(), "EMEA");
        EXPECT_EQ(partitions.dnsRoot(), "emea.corp.example");
        ASSERT_TRUE(partitions.next());
        EXPECT_EQ(partitions.netbiosName(), "ASIA");
        EXPECT_FALSE(partitions.next());
        EXPECT_FALSE(partitions.next());  // nothing left to stand on
    }
    const std::string search =
        "search [CN=Partitions,CN=Configuration,DC=corp,DC=example] 1 (&(systemFlags=3)) "
        "cn,distinguishedName,dnsRoot,nCName,nETBIOSName values";
    auto at = std::find(directory.log.begin(), directory.log.end(), search);
    ASSERT_NE(at, directory.log.end());
    EXPECT_EQ(std::vector<std::string>(at + 1, at + 9),
              (CallLog{"count", "first", "values cn", "values distinguishedName", "values dnsRoot", "values nCName",
                       "values nETBIOSName", "next"}));
    // Closing frees the partitions' answer before the connection ends.
    EXPECT_EQ(CallLog(directory.log.end() - 2, directory.log.end()), (CallLog{"msgfree", "unbind"}));
}

TEST(Partitions, FieldsAreCutToTheirBuffers) {
    FakeDirectory directory;
    Entry entry{{"cn", {std::string(200, 'c')}},
                {"distinguishedName", {std::string(300, 'd')}},
                {"dnsRoot", {std::string(300, 'r')}},
                {"nCName", {std::string(130, 'n') + "tail"}},
                {"nETBIOSName", {std::string("NET\0BIOS", 8)}}};
    directory.partitions = {entry};
    // A configuration context of 200 bytes arrives cut to 127 bytes.
    directory.root = {{"configurationNamingContext", {std::string(200, 'x')}}};
    PartitionEnumerator partitions(directory);
    ASSERT_EQ(partitions.open(), 0u);
    EXPECT_EQ(partitions.commonName(), std::string(127, 'c'));
    EXPECT_EQ(partitions.distinguishedName(), std::string(255, 'd'));
    EXPECT_EQ(partitions.dnsRoot(), std::string(255, 'r'));
    EXPECT_EQ(partitions.namingContext(), std::string(127, 'n'));
    EXPECT_EQ(partitions.netbiosName(), "NET");
    EXPECT_NE(std::find(directory.log.begin(), directory.log.end(),
                        "search [CN=Partitions," + std::string(127, 'x') +
                            "] 1 (&(systemFlags=3)) cn,distinguishedName,dnsRoot,nCName,nETBIOSName values"),
              directory.log.end());

    // A 100-byte context makes a 114-byte base, not cut.
    FakeDirectory hundred;
    hundred.root = {{"configurationNamingContext", {std::string(100, 'y')}}};
    hundred.partitions = {Partition("A")};
    PartitionEnumerator short_(hundred);
    ASSERT_EQ(short_.open(), 0u);
    auto search = std::find_if(hundred.log.begin(), hundred.log.end(),
                               [](const std::string& line) { return line.rfind("search [CN=", 0) == 0; });
    ASSERT_NE(search, hundred.log.end());
    EXPECT_EQ(search->substr(8, search->find(']') - 8).size(), 114u);
}

TEST(Partitions, OpenFailuresCloseAndSayWhy) {
    FakeDirectory failing;
    failing.failures["search"] = 32;
    PartitionEnumerator a(failing);
    EXPECT_EQ(a.open(), 32u);
    EXPECT_EQ(failing.log.back(), "unbind");
    EXPECT_FALSE(a.next());

    FakeDirectory empty;  // no partitions at all
    PartitionEnumerator b(empty);
    EXPECT_EQ(b.open(), 94u);
    EXPECT_EQ(CallLog(empty.log.end() - 2, empty.log.end()), (CallLog{"msgfree", "unbind"}));

    FakeDirectory refused;
    refused.failures["bind"] = 49;
    PartitionEnumerator c(refused);
    EXPECT_EQ(c.open(), 49u);
    b.close();
    b.close();  // closing twice is harmless
}

class Discovery : public ::testing::Test {
protected:
    DiscoveryContext context() { return DiscoveryContext{services, state, computerName, scan}; }
    void fill(std::string_view preferred = "") {
        DiscoveryContext c = context();
        FillDomainList(c, dialog, preferred);
    }
    void focus() {
        DiscoveryContext c = context();
        FocusDomain(c, dialog);
    }
    void member(const std::string& domain) { services.authority.answer = platform::PrimaryDomainInfo{domain, true}; }
    // A selector of the given entries with `index` selected, as the user left it.
    void selector(std::vector<std::string> entries, int index) {
        dialog.entries = std::move(entries);
        dialog.selected = index;
    }

    FakeDiscoveryServices services;
    DiscoveryState state;
    std::string computerName = "WORKSTATION";
    ScanState scan;
    SelectorDialog dialog;
};

TEST_F(Discovery, MemberListsTheForestsDomainsFirstSelected) {
    member("CORP");
    services.ldap.partitions = {Partition("CORP"), Partition("EMEA"), Partition("ASIA")};
    services.lookups.anyDomainController = "\\\\DC1";
    fill();
    EXPECT_EQ(dialog.entries, (std::vector<std::string>{"CORP", "EMEA", "ASIA"}));
    EXPECT_EQ(dialog.selected, 0);
    EXPECT_TRUE(dialog.selectorEnabled);
    EXPECT_EQ(state.defaultDomainName, "CORP");
    EXPECT_EQ(state.joinedToDomain, 1);
    // The fill ends with the focus step on the selection.
    EXPECT_EQ(services.lookups.log, CallLog{"pdc CORP"});
    EXPECT_EQ(state.selectedDomain, "CORP");
    EXPECT_EQ(state.focusServer, "\\\\DC1");
}

TEST_F(Discovery, PreferredDomainInAnotherCaseTakesTheSelection) {
    member("CORP");
    services.ldap.partitions = {Partition("CORP"), Partition("EMEA"), Partition("ASIA")};
    services.lookups.anyDomainController = "\\\\DC1";
    fill("emea");
    EXPECT_EQ(dialog.selected, 1);
    EXPECT_EQ(state.selectedDomain, "EMEA");

    // With no preference only an entry whose name is empty moves it on.
    services.ldap.partitions = {Partition("CORP"), Partition(""), Partition("ASIA")};
    services.ldap.partitions[1].erase("cn");
    fill("");
    EXPECT_EQ(dialog.entries, (std::vector<std::string>{"CORP", "", "ASIA"}));
    EXPECT_EQ(dialog.selected, 1);
}

TEST_F(Discovery, MemberWithoutDirectoryAnswerListsItsPrimaryDomainAlone) {
    member("CORP");
    services.ldap.failures["bind"] = 49;
    services.lookups.anyDomainController = "\\\\DC1";
    fill();
    EXPECT_EQ(dialog.entries, std::vector<std::string>{"CORP"});
    EXPECT_EQ(dialog.selected, 0);
    EXPECT_FALSE(dialog.selectorEnabled);  // one entry
    EXPECT_TRUE(dialog.messages.empty());
    EXPECT_EQ(state.focusServer, "\\\\DC1");

    // A partition whose name is longer than 127 bytes is listed cut.
    services.ldap.failures.clear();
    services.ldap.partitions = {Partition(std::string(140, 'L'))};
    fill();
    EXPECT_EQ(dialog.entries, std::vector<std::string>{std::string(127, 'L')});
}

TEST_F(Discovery, WorkgroupMachineNeverAsksTheDirectory) {
    services.authority.answer = platform::PrimaryDomainInfo{"LABWG", false};
    services.lookups.browseServers = {{500, "MASTER"}};
    services.services.browserStates["\\\\MASTER"] = 4;
    fill();
    EXPECT_TRUE(services.ldap.log.empty());
    EXPECT_EQ(dialog.entries, std::vector<std::string>{"LABWG"});
    EXPECT_EQ(dialog.selected, 0);
    EXPECT_FALSE(dialog.selectorEnabled);
    EXPECT_EQ(state.joinedToDomain, 0);
    EXPECT_EQ(state.focusServer, "\\\\MASTER");
}

TEST_F(Discovery, AuthorityFailureFallsBackToTheComputerNameAndLooksNothingUp) {
    state.joinedToDomain = 1;  // an earlier answer stays when the query fails
    services.ldap.failures["connect"] = 81;
    fill();
    EXPECT_EQ(dialog.entries, std::vector<std::string>{"WORKSTATION"});
    EXPECT_EQ(state.defaultDomainName, "WORKSTATION");
    EXPECT_EQ(state.joinedToDomain, 1);
    EXPECT_TRUE(services.lookups.log.empty());
    EXPECT_TRUE(dialog.messages.empty());

    // A primary name too long for its buffer is cut to 127 bytes.
    member(std::string(200, 'P'));
    services.ldap.failures["connect"] = 81;
    fill();
    EXPECT_EQ(state.defaultDomainName, std::string(127, 'P'));
}

TEST_F(Discovery, FoundControllerEndsTheStepAtOnce) {
    selector({"CORP", "EMEA"}, 1);
    services.lookups.controllers["EMEA"] = "\\\\EMEADC";
    focus();
    EXPECT_EQ(services.lookups.log, CallLog{"pdc EMEA"});
    EXPECT_TRUE(services.services.log.empty());  // its Browser service is not examined
    EXPECT_EQ(state.focusServer, "\\\\EMEADC");
    EXPECT_TRUE(dialog.selectorEnabled);
    EXPECT_EQ(dialog.cursorDepth, 0);
    EXPECT_EQ(dialog.deepestCursor, 1);
}

TEST_F(Discovery, BrowseServersCountEvenWithoutARunningBrowser) {
    selector({"CORP", "EMEA"}, 1);
    services.lookups.browseServers = {{500, "ONE"}, {500, "TWO"}, {500, "THREE"}};
    services.services.browserStates = {{"\\\\ONE", 1}, {"\\\\TWO", std::nullopt}};  // THREE unreachable
    focus();
    EXPECT_EQ(services.lookups.log, (CallLog{"pdc EMEA", "enum 100 0xe0000 <own>"}));
    EXPECT_EQ(services.services.machinesAsked(), (std::vector<std::string>{"\\\\ONE", "\\\\TWO", "\\\\THREE"}));
    EXPECT_EQ(state.focusServer, "\\\\THREE");
    EXPECT_TRUE(dialog.messages.empty());
    EXPECT_EQ(dialog.selected, 1);

    // A running Browser stops the walk: the third is never contacted.
    services.services.log.clear();
    services.services.browserStates = {{"\\\\ONE", 7}, {"\\\\TWO", 4}, {"\\\\THREE", 4}};
    focus();
    EXPECT_EQ(services.services.machinesAsked(), (std::vector<std::string>{"\\\\ONE", "\\\\TWO"}));
    EXPECT_EQ(state.focusServer, "\\\\TWO");
}

TEST_F(Discovery, AnyControllerCountsOnlyWithARunningBrowser) {
    selector({"CORP", "EMEA"}, 1);
    services.lookups.enumStatus = 2184;  // the enumeration fails: no servers
    services.lookups.browseServers = {{500, "IGNORED"}};
    services.lookups.anyControllers["EMEA"] = "\\\\ANYDC";
    services.services.browserStates["\\\\ANYDC"] = 4;
    focus();
    EXPECT_EQ(services.lookups.log, (CallLog{"pdc EMEA", "enum 100 0xe0000 <own>", "any EMEA"}));
    EXPECT_EQ(state.focusServer, "\\\\ANYDC");
    EXPECT_TRUE(dialog.messages.empty());
}

TEST_F(Discovery, NoServerShowsTheMessageOnceAndFallsBackToTheFirstEntry) {
    selector({"CORP", "50%s%n"}, 1);
    services.lookups.anyControllers["50%s%n"] = "\\\\ANYDC";
    services.services.browserStates["\\\\ANYDC"] = 1;  // stopped
    focus();
    ASSERT_EQ(dialog.messages.size(), 1u);
    EXPECT_EQ(dialog.messages[0].text, "Could not set focus to domain 50%s%n.");
    EXPECT_EQ(dialog.messages[0].title, "Skewmon Error");
    EXPECT_EQ(dialog.messages[0].icon, platform::MessageIcon::kWarning);
    EXPECT_FALSE(dialog.messages[0].owned);  // no scan has run yet
    EXPECT_EQ(dialog.selected, 0);
    EXPECT_EQ(state.selectedDomain, "CORP");
    EXPECT_EQ(state.focusServer, "");
    // Entry 0 is not looked up in turn.
    EXPECT_EQ(services.lookups.log, (CallLog{"pdc 50%s%n", "enum 100 0xe0000 <own>", "any 50%s%n"}));
    EXPECT_EQ(dialog.cursorDepth, 0);

    // Once a scan has run, the dialog owns the message; a manager that
    // refuses reads as not running.
    SelectorDialog owner;
    scan.dialog = &owner;
    services.services.browserStates.clear();
    dialog.selected = 1;
    focus();
    ASSERT_EQ(dialog.messages.size(), 2u);
    EXPECT_TRUE(dialog.messages[1].owned);
}

TEST_F(Discovery, NothingIsLookedUpForTheComputerNameOrNoSelection) {
    selector({"CORP", "workStation"}, 1);
    focus();
    EXPECT_EQ(state.selectedDomain, "workStation");
    EXPECT_TRUE(services.lookups.log.empty());
    EXPECT_TRUE(dialog.messages.empty());

    selector({"CORP"}, -1);
    state.selectedDomain = "earlier";
    focus();
    EXPECT_TRUE(services.lookups.log.empty());
    EXPECT_TRUE(dialog.messages.empty());
    EXPECT_EQ(state.selectedDomain, "earlier");
    EXPECT_FALSE(dialog.selectorEnabled);  // one entry, even with no selection
    EXPECT_EQ(dialog.cursorDepth, 0);
}

// What a signed-in user who is no administrator holds on a remote machine:
// connect (and read) on the manager; query status, configuration and
// interrogate on a service. Generic execute maps to connect and lock.
void AsOrdinaryUser(FakeServices& services) {
    services.managerRights = 0x0001 | 0x0004 | 0x0010 | 0x20000;
    services.serviceRights = 0x0001 | 0x0004 | 0x0008 | 0x0080 | 0x0100 | 0x20000;
}

TEST(ServiceState, AnOrdinaryUserReadsTheState) {
    FakeServices services;
    AsOrdinaryUser(services);
    services.browserStates["\\\\HOST"] = 4;
    EXPECT_EQ(GetServiceState(services, "\\\\HOST", "Browser"), 4u);
    services.browserStates["\\\\HOST"] = 1;
    EXPECT_EQ(GetServiceState(services, "\\\\HOST", "Browser"), 1u);
}

TEST_F(Discovery, AnOrdinaryUserFindsAnyControllerWithARunningBrowser) {
    AsOrdinaryUser(services.services);
    selector({"CORP", "EMEA"}, 1);
    services.lookups.enumStatus = 2184;
    services.lookups.anyControllers["EMEA"] = "\\\\ANYDC";
    services.services.browserStates["\\\\ANYDC"] = 4;
    focus();
    EXPECT_EQ(state.focusServer, "\\\\ANYDC");
    EXPECT_TRUE(dialog.messages.empty());
    EXPECT_EQ(dialog.selected, 1);
}

TEST(ServiceState, ClosesTheServiceBeforeItsManager) {
    FakeServices services;
    services.browserStates["\\\\HOST"] = 4;
    EXPECT_EQ(GetServiceState(services, "\\\\HOST", "Browser"), 4u);
    EXPECT_EQ(services.log, (CallLog{"manager \\\\HOST 0x1", "service Browser 0x4", "query",
                                     "close service", "close manager \\\\HOST"}));
    EXPECT_EQ(GetServiceState(services, "\\\\HOST", "Spooler"), 255u);  // no such service
    EXPECT_EQ(GetServiceState(services, "\\\\GONE", "Browser"), 255u);
    services.browserStates["\\\\MUTE"] = std::nullopt;
    EXPECT_EQ(GetServiceState(services, "\\\\MUTE", "Browser"), 255u);
}

}  // namespace
}  // namespace skewmon::testing
