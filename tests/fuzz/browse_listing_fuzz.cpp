// skewmon-browse's side: the request it is given (the workgroup or domain
// named on its command line, which becomes the address it lists) and each
// entry of the listing as libsmbclient hands it over from the network,
// which becomes one line for the program. Whatever the name holds, the line
// is one line that the program reads back to the same entry.
#include <libsmbclient.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/samba/smbc_browse.h"
#include "tests/fuzz/fuzz_check.h"

using namespace skewmon::platform;

namespace {

void CheckRequest(const std::string& container) {
    const std::optional<std::string> url = BrowseUrlFor(container);
    if (!url) return;
    FUZZ_CHECK(*url == "smb://" + container);
    FUZZ_CHECK(container.front() != '-');
    FUZZ_CHECK(container.find_first_of(std::string("/\\@:?#%\0", 8)) == std::string::npos);
}

void CheckEntry(FuzzedDataProvider& input) {
    // libsmbclient's entry types are small numbers of its own.
    const unsigned int type = input.ConsumeIntegralInRange<unsigned int>(0, 999);
    const unsigned int namelen = input.ConsumeBool() ? input.ConsumeIntegral<unsigned int>()
                                                     : input.ConsumeIntegralInRange<unsigned int>(0, 2048);
    const std::string name = input.ConsumeRandomLengthString(4096);
    // The entry as libsmbclient lays it out: the name inline, terminated.
    std::vector<char> storage(sizeof(smbc_dirent) + name.size() + 1, '\0');
    auto* entry = reinterpret_cast<smbc_dirent*>(storage.data());
    entry->smbc_type = type;
    entry->namelen = namelen;
    std::memcpy(entry->name, name.data(), name.size());

    const std::string line = ListedEntryLine(*entry);
    FUZZ_CHECK(!line.empty() && line.back() == '\n' && line.find('\n') == line.size() - 1);
    const std::optional<BrowseHelperEntry> read = ParseBrowseHelperEntry(std::string_view(line).substr(0, line.size() - 1));
    FUZZ_CHECK(read && read->smbcType == type);
    const std::size_t limit = namelen != 0 && namelen < 1024 ? namelen : 1024;
    const std::string expected = name.substr(0, std::min(limit, name.find('\0')));
    FUZZ_CHECK(read->name == expected);

    const NetResourceEntry record = BrowseRecordFor(*read, "WORKGROUP");
    FUZZ_CHECK(record.remoteName.find('\0') == std::string::npos);
    if (type == SMBC_SERVER) {
        FUZZ_CHECK(record.displayType == kResourceDisplayServer && record.remoteName == "\\\\" + expected);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    CheckRequest(input.ConsumeRandomLengthString(256));
    while (input.remaining_bytes() > 0) CheckEntry(input);
    return 0;
}
