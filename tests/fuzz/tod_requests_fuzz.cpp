// skewmon-tod's side of its protocol: the request lines it reads from its
// channel, whatever bytes come there, through the same line reader and
// parser the helper uses. A request it accepts must be one the program can
// send: written again, it reads back the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/linux/process/tod_protocol.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/pipe_input.h"

using namespace skewmon;
using namespace skewmon::platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const UniqueFd channel = fuzzing::PipedInput(data, size);
    if (channel.get() < 0) return 0;
    LineReader input(channel.get());
    std::string line;
    std::size_t lines = 0;
    while (input.next(line, kMaxRequestLine)) {
        FUZZ_CHECK(++lines <= size);
        FUZZ_CHECK(line.size() <= kMaxRequestLine && line.find('\n') == std::string::npos);
        const std::optional<TodRequest> request = ParseRequestLine(line);
        if (!request) break;  // the helper ends at the first line that is no request
        FUZZ_CHECK(request->sequence != 0);
        FUZZ_CHECK(!request->serverName.empty() && request->serverName.size() <= kMaxRequestName);
        FUZZ_CHECK(request->serverName.find('\0') == std::string::npos);
        const std::optional<std::string> again = RequestLine(request->sequence, request->serverName);
        FUZZ_CHECK(again && again->back() == '\n');
        const std::optional<TodRequest> reread = ParseRequestLine(std::string_view(*again).substr(0, again->size() - 1));
        FUZZ_CHECK(reread && reread->sequence == request->sequence && reread->serverName == request->serverName);
    }
    return 0;
}
