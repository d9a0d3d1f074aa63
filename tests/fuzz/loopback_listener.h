// A listening socket for the targets that play a server on a real
// connection, on 127.0.0.1 at a port the system picks, and its clients.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/linux/process/child_process.h"

#include "tests/fuzz/fuzz_check.h"

namespace skewmon::fuzzing {

// The listening descriptor; `port` gets its number.
inline int LoopbackListener(std::uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    FUZZ_CHECK(fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
               listen(fd, 16) == 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    port = ntohs(address.sin_port);
    return fd;
}

// The next connection on `listener`; none (an invalid descriptor) after a
// second without a client.
inline platform::UniqueFd AcceptOne(int listener) {
    pollfd ready{listener, POLLIN, 0};
    if (poll(&ready, 1, 1000) <= 0) return platform::UniqueFd();
    return platform::UniqueFd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

}  // namespace skewmon::fuzzing
