// The SMB2 negotiate client on a real connection: a server of the target's
// own on loopback sends the input (all a hostile server would say, the
// answer to the SMB1 upgrade and to the SMB2 NEGOTIATE in one stream) and
// hangs up, and the client reads it as it reads any server: frame by frame,
// within its read allowance and its deadline.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "platform/linux/process/child_process.h"
#include "platform/linux/samba/smb2_negotiate.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/loopback_listener.h"

using namespace skewmon::platform;
using namespace std::chrono_literals;

namespace {

// Takes one connection, sends `bytes` and closes it; gives up after a second
// without a client.
void Serve(int listener, const std::uint8_t* bytes, std::size_t size) {
    const UniqueFd client = skewmon::fuzzing::AcceptOne(listener);
    if (client.get() < 0) return;
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = send(client.get(), bytes + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::uint16_t port = 0;
    static const int listener = skewmon::fuzzing::LoopbackListener(port);

    std::thread server(Serve, listener, data, size);
    std::optional<std::int64_t> time;
    // The server hangs up after its bytes: a client that waited for its
    // deadline instead would be a hang (over the one second the target is
    // given per input).
    if (auto connection = Smb2NegotiateConnection::Open("127.0.0.1", port, 10s)) {
        time = connection->systemTime();
        FUZZ_CHECK(!connection->systemTime());  // one exchange per connection
    }
    server.join();
    if (time) {
        FUZZ_CHECK(*time > 0);
    }
    return 0;
}
