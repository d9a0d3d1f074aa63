// Hands a fuzz input to code that reads a descriptor: the bytes wait in a
// pipe whose writing end is closed, so that the reader meets the end of
// input after them and never waits.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/linux/process/child_process.h"

namespace skewmon::fuzzing {

// The largest input a pipe takes at once; the targets are run with a
// -max_len below it.
inline constexpr std::size_t kMaxPipedInput = 60 * 1024;

// The reading end, or an empty descriptor when the input is too long.
inline platform::UniqueFd PipedInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxPipedInput) return platform::UniqueFd();
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) std::abort();
    platform::UniqueFd readEnd(ends[0]);
    platform::UniqueFd writeEnd(ends[1]);
    fcntl(writeEnd.get(), F_SETPIPE_SZ, 64 * 1024);
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = write(writeEnd.get(), data + written, size - written);
        if (n <= 0) std::abort();
        written += static_cast<std::size_t>(n);
    }
    return readEnd;
}

}  // namespace skewmon::fuzzing
