// The connection check on a real connection: a server of the target's own
// on loopback answers the check's first request with the input (the answer
// to the SMB1 upgrade and, when the check goes on, to its SMB2 NEGOTIATE, in
// one stream) and hangs up. Whatever it says, the machine is reachable (it
// answered), the check settles long before its limit, and a clock reading
// comes only from a well-formed negotiate answer.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "platform/linux/network/connect_probe.h"
#include "platform/linux/process/child_process.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/loopback_listener.h"

using namespace skewmon::platform;
using namespace std::chrono_literals;

namespace {

// Takes one connection, reads the check's first request, sends `bytes`
// (reading what else the check sends meanwhile) and closes; gives up after
// a second without a client.
void Serve(int listener, const std::uint8_t* bytes, std::size_t size) {
    const UniqueFd client = skewmon::fuzzing::AcceptOne(listener);
    if (client.get() < 0) return;
    std::uint8_t sink[4096];
    pollfd request{client.get(), POLLIN, 0};
    if (poll(&request, 1, 1000) > 0) recv(client.get(), sink, sizeof sink, MSG_DONTWAIT);
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = send(client.get(), bytes + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EAGAIN) {
            recv(client.get(), sink, sizeof sink, MSG_DONTWAIT);
            pollfd room{client.get(), POLLOUT, 0};
            if (poll(&room, 1, 200) <= 0) break;
            continue;
        }
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::uint16_t port = 0;
    static const int listener = skewmon::fuzzing::LoopbackListener(port);

    std::thread server(Serve, listener, data, size);
    // The second port is the first one again: it is never tried while the
    // first answers.
    ConnectProbe probe(16, {port, port});
    const auto began = std::chrono::steady_clock::now();
    probe.check(1, "127.0.0.1", 10s);
    std::vector<ConnectProbe::Settled> settled;
    for (int round = 0; round < 100 && settled.empty(); ++round) settled = probe.settle(10ms, {});
    server.join();
    // The server hangs up after its bytes: a check that waited for its
    // limit instead would be a hang.
    FUZZ_CHECK(settled.size() == 1 && settled[0].tag == 1 && settled[0].reachable);
    FUZZ_CHECK(std::chrono::steady_clock::now() - began < 5s);
    if (settled[0].negotiate) {
        FUZZ_CHECK(settled[0].negotiate->remote > 0);
    }
    FUZZ_CHECK(probe.underway() == 0);
    return 0;
}
