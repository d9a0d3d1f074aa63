// The program's side of its helper processes: descriptors that close
// themselves, a started helper that is killed and reaped with its owner, and
// the start itself with nothing of the program leaking into the helper.
#pragma once

#include <sys/types.h>

#include <span>
#include <string>
#include <utility>

namespace skewmon::platform {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    void reset() noexcept;

private:
    int fd_;
};

// A started helper. Destroying it kills the helper with SIGKILL, whatever it
// is doing or ignoring, and reaps it.
class Child {
public:
    Child() = default;
    explicit Child(pid_t pid) noexcept : pid_(pid) {}
    Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { killAndReap(); }

    explicit operator bool() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Ends the helper at once and waits until it is reaped; nothing when
    // there is none.
    void killAndReap() noexcept;

private:
    pid_t pid_ = -1;
};

// A descriptor the helper gets: this process's `from` as the helper's `to`.
struct FdMapping {
    int from;
    int to;
};

// Starts `path` with `argv` (its first element the program's name) in a
// session of its own, with no signal blocked and the termination signals at
// their defaults. Each mapped descriptor is at its number; standard input,
// output and error that are not mapped lead to /dev/null; no other
// descriptor of this process reaches it. An empty Child when it cannot start.
Child SpawnChild(const std::string& path, std::span<const std::string> argv, std::span<const FdMapping> descriptors);

// A descriptor that becomes readable when the process ends; none where the
// kernel has no pidfd_open.
UniqueFd OpenPidFd(pid_t pid);

}  // namespace skewmon::platform
