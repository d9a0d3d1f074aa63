// The SMB2 NEGOTIATE client's reading of what a server sends on port 445:
// the input is the byte stream of one connection, the answer to the SMB1
// upgrade first, then the answer to the SMB2 NEGOTIATE. Cut into frames as
// the connection cuts them.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/linux/samba/smb2_negotiate.h"
#include "tests/fuzz/fuzz_check.h"

using namespace skewmon::platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> stream(data, size);
    for (int frames = 0; frames < 2; ++frames) {
        const std::optional<std::size_t> frameSize = Smb2FrameSize(stream);
        if (frameSize) {
            FUZZ_CHECK(*frameSize >= 4 && *frameSize <= kSmb2MaxRead);
        }
        // What a server sent whole, or the rest when it announced more than
        // it sent: the parsers take either.
        const std::span<const std::uint8_t> frame =
            frameSize && *frameSize <= stream.size() ? stream.first(*frameSize) : stream;
        const bool upgrade = IsSmb2Upgrade(frame);
        const std::optional<std::int64_t> time = ParseSmb2NegotiateTime(frame);
        // Only a whole frame of the size it announces is ever accepted, and
        // never as both answers at once.
        if (upgrade || time) {
            FUZZ_CHECK(frameSize && *frameSize == frame.size());
        }
        FUZZ_CHECK(!(upgrade && time));
        if (time) {
            FUZZ_CHECK(*time > 0);
        }
        // A frame with a byte less or more is no answer.
        if (!frame.empty()) {
            FUZZ_CHECK(!ParseSmb2NegotiateTime(frame.first(frame.size() - 1)));
        }
        if (!frameSize || *frameSize >= stream.size()) break;
        stream = stream.subspan(*frameSize);
    }
    return 0;
}
