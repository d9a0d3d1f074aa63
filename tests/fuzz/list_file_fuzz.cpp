// The machine list file: any bytes, any line lengths, NULs, CR LF or no line
// end at all, read as a scan reads it. Every name it gives is one a query
// can take and a row can hold.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/linux/process/tod_protocol.h"
#include "scan/scan_driver.h"
#include "tests/fuzz/fuzz_check.h"
#include "text/text_util.h"
#include "timing/remote_time.h"

using namespace skewmon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    FUZZ_CHECK(file != nullptr);
    const std::atomic<bool> stop{false};
    std::vector<std::string> names;
    // Read twice, as two scans of one run read it: the same names both times.
    for (int scan = 0; scan < 2; ++scan) {
        std::vector<std::string> read;
        ReadListMachines(file, stop, [&](const std::string& name) { read.push_back(name); });
        if (scan == 0) names = read;
        FUZZ_CHECK(read == names);
    }
    std::fclose(file);

    // No line can give more names than it has pieces of 254 bytes.
    FUZZ_CHECK(names.size() <= size);
    for (const std::string& name : names) {
        FUZZ_CHECK(!name.empty() && name.size() < kMachineNameCapacity && IsAsciiAlnum(name.front()));
        FUZZ_CHECK(name.find('\n') == std::string::npos && name.find('\0') == std::string::npos);
        // What the query helper is sent: the name travels whole.
        const std::string server = QueryServerName(name);
        FUZZ_CHECK(platform::RequestLine(1, server).has_value());
        const MachineResult result = MakeMachineResult(name, false, Measurement{});
        FUZZ_CHECK(result.row.size() < kRowCapacity);
    }
    return 0;
}
