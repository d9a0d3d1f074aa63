// The domain list's reading of the directory: the root entry's values and
// the domain partitions of the forest, any bytes, any number of values, as
// a directory server (or whoever answers in its place) returns them. Then
// the domain focus on what was listed, as the window runs it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "discovery/discovery.h"
#include "state/scan_state.h"
#include "tests/fakes/discovery_fakes.h"
#include "tests/fuzz/fuzz_check.h"

using namespace skewmon;
using namespace skewmon::testing;

namespace {

std::vector<std::string> Values(FuzzedDataProvider& input) {
    std::vector<std::string> values;
    const int count = input.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < count; ++i) values.push_back(input.ConsumeRandomLengthString(600));
    return values;
}

FakeDirectory::Entry Entry(FuzzedDataProvider& input, std::initializer_list<const char*> attributes) {
    FakeDirectory::Entry entry;
    for (const char* attribute : attributes)
        if (input.ConsumeBool()) entry[attribute] = Values(input);
    return entry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    FakeDiscoveryServices services;
    services.authority.answer = platform::PrimaryDomainInfo{input.ConsumeRandomLengthString(300), true};
    services.ldap.root = Entry(input, {"configurationNamingContext", "defaultNamingContext",
                                       "rootDomainNamingContext", "dnsHostName"});
    services.ldap.rootSearchFindsNothing = input.ConsumeBool();
    const int partitions = input.ConsumeIntegralInRange(0, 20);
    for (int i = 0; i < partitions; ++i)
        services.ldap.partitions.push_back(
            Entry(input, {"cn", "distinguishedName", "dnsRoot", "nCName", "nETBIOSName"}));
    // Controllers for some of the names that may come up.
    if (input.ConsumeBool()) services.lookups.anyDomainController = "\\\\" + input.ConsumeRandomLengthString(200);

    DiscoveryState state;
    ScanState scan;
    const std::string localName = input.ConsumeRandomLengthString(100);
    DiscoveryContext context{services, state, localName, scan};
    SelectorDialog dialog;
    FillDomainList(context, dialog, input.ConsumeRandomLengthString(200));

    FUZZ_CHECK(!dialog.entries.empty() && dialog.entries.size() <= static_cast<std::size_t>(partitions) + 1);
    for (const std::string& entry : dialog.entries) {
        // A partition's name or the default name, each cut to its buffer.
        FUZZ_CHECK(entry.size() < PartitionEnumerator::kCommonNameCapacity && entry.size() < kDomainNameCapacity);
        FUZZ_CHECK(entry.find('\0') == std::string::npos);
    }
    FUZZ_CHECK(dialog.selected >= 0 && dialog.selected < static_cast<int>(dialog.entries.size()));
    FUZZ_CHECK(state.selectedDomain.size() < kDomainNameCapacity);
    FUZZ_CHECK(state.focusServer.size() < kFocusServerCapacity && state.focusServer.find('\0') == std::string::npos);
    FUZZ_CHECK(dialog.cursorDepth == 0);
    FUZZ_CHECK(dialog.messages.size() <= 1);
    // Every connection the list opened is closed again.
    std::size_t unbinds = 0, inits = 0;
    for (const std::string& call : services.ldap.log) {
        if (call == "unbind") ++unbinds;
        if (call.rfind("init ", 0) == 0) ++inits;
    }
    FUZZ_CHECK(unbinds == inits);
    return 0;
}
