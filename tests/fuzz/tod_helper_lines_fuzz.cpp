// The program's side of the skewmon-tod protocol: the lines a helper writes
// (its hello, then one answer per request), whatever bytes they hold, cut
// into lines as the program cuts them. An answer the program takes becomes
// the machine's result row.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/linux/process/tod_protocol.h"
#include "scan/scan_driver.h"
#include "tests/fuzz/fuzz_check.h"

using namespace skewmon;
using namespace skewmon::platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view stream(reinterpret_cast<const char*>(data), size);
    while (!stream.empty()) {
        const std::size_t end = stream.find('\n');
        // The program gives up on a helper that writes a longer line.
        if (end == std::string_view::npos || end > kMaxAnswerLine) break;
        const std::string_view line = stream.substr(0, end);
        stream.remove_prefix(end + 1);

        if (const std::optional<std::string> problem = ParseHelloLine(line)) {
            FUZZ_CHECK(problem->size() <= kMaxProblemText && !fuzzing::HasControlCharacter(*problem));
            const std::string again = HelloLine(*problem);
            FUZZ_CHECK(ParseHelloLine(std::string_view(again).substr(0, again.size() - 1)) == problem);
        }
        if (const std::optional<TodAnswer> answer = ParseAnswerLine(line)) {
            FUZZ_CHECK(answer->sequence != 0);
            const Offset offset = answer->measured.offset;
            FUZZ_CHECK(offset == kNoResponse || (offset >= -kLargestOffset && offset <= kLargestOffset));
            const std::string again = AnswerLine(answer->sequence, answer->measured);
            const std::optional<TodAnswer> reread = ParseAnswerLine(std::string_view(again).substr(0, again.size() - 1));
            FUZZ_CHECK(reread && reread->sequence == answer->sequence &&
                       reread->measured.offset == answer->measured.offset &&
                       reread->measured.method == answer->measured.method);
            const MachineResult result = MakeMachineResult("HELPER", false, answer->measured);
            FUZZ_CHECK(result.row.size() < kRowCapacity && result.row.find('\n') == std::string::npos);
        }
    }
    return 0;
}
