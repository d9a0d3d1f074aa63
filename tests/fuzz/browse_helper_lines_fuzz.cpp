// The program's side of the skewmon-browse protocol: whatever bytes come on
// the helper's output, read through the same walk the scan uses. The first
// input byte chooses how the walk is asked: as a scan asks it, or with small
// buffers that split the entries over many calls.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/samba/smbc_browse.h"
#include "scan/scan_driver.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/pipe_input.h"

using namespace skewmon;
using namespace skewmon::platform;

namespace {

constexpr std::chrono::milliseconds kSilence{1000};  // never reached: the input is all there

// A browser whose helper has already written the input.
class PipedBrowser final : public NetworkBrowser {
public:
    PipedBrowser(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::unique_ptr<NetworkEnumeration> open(const NetResourceRequest& request) override {
        UniqueFd output = fuzzing::PipedInput(data_, size_);
        if (output.get() < 0) return nullptr;
        return ReadBrowseListing(Child(), std::move(output), request.remoteName, kSilence);
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t mode = data[0];
    PipedBrowser browser(data + 1, size - 1);
    const std::atomic<bool> stop{false};

    if (mode < 128) {
        std::size_t machines = 0;
        BrowseMachines(browser, "WORKGROUP", "Microsoft Windows Network", stop, [&](const std::string& name) {
            FUZZ_CHECK(++machines <= size);
            FUZZ_CHECK(!name.empty() && name.size() < kMachineNameCapacity);
            FUZZ_CHECK(name.find('\0') == std::string::npos);
        });
        return 0;
    }

    NetResourceRequest request;
    request.remoteName = "WORKGROUP";
    const std::unique_ptr<NetworkEnumeration> walk = browser.open(request);
    if (!walk) return 0;
    const std::uint32_t bufferBytes = mode & 0x3F;
    const std::uint32_t count = 1 + (mode >> 6 & 1);
    std::vector<NetResourceEntry> entries;
    // Every call that returns entries takes at least one: the walk ends
    // within one call per line.
    for (std::size_t calls = 0;; ++calls) {
        FUZZ_CHECK(calls <= size + 1);
        const std::uint32_t status = walk->fetch(bufferBytes, count, entries);
        if (status != 0 && status != kStatusMoreData) {
            FUZZ_CHECK(entries.empty());
            break;
        }
        FUZZ_CHECK(!entries.empty() && entries.size() <= count);
        for (const NetResourceEntry& entry : entries) {
            FUZZ_CHECK(entry.remoteName.find('\0') == std::string::npos);
            if (entry.displayType == kResourceDisplayServer) {
                FUZZ_CHECK(entry.remoteName.rfind("\\\\", 0) == 0);
            }
        }
    }
    return 0;
}
