// Serving helpers forked from one skewmon-tod that has already loaded and
// set up Samba's libraries: a new helper then costs a fork, not a program
// start, and shares the set-up's memory with its siblings until it writes
// to it.
//
// The program holds one end of a datagram socket pair, the zygote the other
// on descriptor 3. Each request carries, as an attached descriptor, the
// helper's end of a fresh channel; the zygote forks a helper serving on it
// and answers with the helper's process id and a pidfd for it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/process/child_process.h"

namespace skewmon::platform {

// A helper the zygote forked: not this process's child, so it is ended
// through its pidfd, and the zygote reaps it.
class ForkedHelper {
public:
    ForkedHelper() = default;
    ForkedHelper(pid_t pid, UniqueFd pidfd) noexcept : pid_(pid), pidfd_(std::move(pidfd)) {}
    ForkedHelper(ForkedHelper&&) noexcept = default;
    ForkedHelper& operator=(ForkedHelper&& other) noexcept;
    ForkedHelper(const ForkedHelper&) = delete;
    ForkedHelper& operator=(const ForkedHelper&) = delete;
    ~ForkedHelper() { kill(); }

    explicit operator bool() const { return pidfd_.get() >= 0; }
    pid_t pid() const { return pid_; }
    int pidfd() const { return pidfd_.get(); }
    // Ends it with SIGKILL.
    void kill() noexcept;

private:
    pid_t pid_ = -1;
    UniqueFd pidfd_;
};

class HelperZygote {
public:
    // Starts `path --zygote`; none when it cannot be started.
    static std::unique_ptr<HelperZygote> Start(const std::string& path);
    // Closes the control socket and waits, briefly, for the zygote to reap
    // its helpers and end; then kills what is left.
    ~HelperZygote();
    HelperZygote(const HelperZygote&) = delete;
    HelperZygote& operator=(const HelperZygote&) = delete;

    // A helper serving on `channel` (the helper's end, which the caller
    // still closes); none when the zygote does not fork one within `limit`.
    // The first call also waits for the zygote's own set-up.
    ForkedHelper fork(int channel, std::chrono::milliseconds limit);
    bool broken() const { return broken_; }

private:
    HelperZygote(UniqueFd control, UniqueFd pidfd, Child child)
        : control_(std::move(control)), pidfd_(std::move(pidfd)), child_(std::move(child)) {}

    UniqueFd control_;
    UniqueFd pidfd_;
    bool broken_ = false;
    Child child_;  // last: killed and reaped once the control socket has closed
};

// The zygote's side: forks `serve` for each request arriving on `control`,
// with the request's channel as descriptor `channelFd` in the child, until
// the program closes its end. Reaps its children. Returns the exit status.
int ServeForkRequests(int control, int channelFd, const std::function<int()>& serve);

}  // namespace skewmon::platform
