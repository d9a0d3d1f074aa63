#include "platform/linux/process/helper_zygote.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace skewmon::platform {
namespace {

// The descriptor on which the zygote finds its end of the control socket.
constexpr int kZygoteControl = 3;
// How long the zygote may take, once its control socket has closed, to reap
// its helpers and end before it is killed (and its helpers with it).
constexpr int kZygoteEndWaitMs = 1000;
constexpr char kForkRequest = 'F';

// One datagram with at most one attached descriptor.
bool SendWithDescriptor(int socket, const void* data, std::size_t size, int attached) {
    iovec part{const_cast<void*>(data), size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (attached >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &attached, sizeof(int));
    }
    ssize_t sent;
    do {
        sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(size);
}

// Receives one datagram of exactly `size` bytes; its attached descriptor, if
// any, in `attached`. False on end of file, an error or another size.
bool ReceiveWithDescriptor(int socket, void* data, std::size_t size, UniqueFd& attached) {
    iovec part{data, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do {
        got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
            header->cmsg_len == CMSG_LEN(sizeof(int))) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
            attached = UniqueFd(fd);
        }
    }
    return got == static_cast<ssize_t>(size) && !(message.msg_flags & (MSG_TRUNC | MSG_CTRUNC));
}

bool WaitReadable(int fd, int timeoutMs) {
    pollfd watched{fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&watched, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

void ReapEnded() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

void WakeOnChildEnd(int) {}

}  // namespace

ForkedHelper& ForkedHelper::operator=(ForkedHelper&& other) noexcept {
    if (this != &other) {
        kill();
        pid_ = std::exchange(other.pid_, -1);
        pidfd_ = std::move(other.pidfd_);
    }
    return *this;
}

void ForkedHelper::kill() noexcept {
    if (pidfd_.get() < 0) return;
#ifdef SYS_pidfd_send_signal
    // Through the pidfd: the process id may already name another process
    // once the zygote has reaped this one.
    syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGKILL, nullptr, 0);
#endif
    // Not waited for: the zygote reaps it, and waits for every helper of
    // its own before it ends.
    pidfd_.reset();
    pid_ = -1;
}

std::unique_ptr<HelperZygote> HelperZygote::Start(const std::string& path) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return nullptr;
    UniqueFd ours(ends[0]);
    UniqueFd theirs(ends[1]);
    const std::string argv[] = {path, "--zygote"};
    const FdMapping control[] = {{theirs.get(), kZygoteControl}};
    Child child = SpawnChild(path, argv, control);
    if (!child) return nullptr;
    theirs.reset();
    UniqueFd pidfd = OpenPidFd(child.pid());
    if (pidfd.get() < 0) return nullptr;  // its helpers could not be ended safely either
    return std::unique_ptr<HelperZygote>(new HelperZygote(std::move(ours), std::move(pidfd), std::move(child)));
}

HelperZygote::~HelperZygote() {
    // End of file tells the zygote to reap its last helpers and end.
    control_.reset();
    WaitReadable(pidfd_.get(), kZygoteEndWaitMs);
}

ForkedHelper HelperZygote::fork(int channel, std::chrono::milliseconds limit) {
    if (broken_) return {};
    broken_ = true;  // until the answer has come in whole
    if (!SendWithDescriptor(control_.get(), &kForkRequest, 1, channel)) return {};
    if (!WaitReadable(control_.get(), static_cast<int>(limit.count()))) return {};
    std::int32_t pid = 0;
    UniqueFd pidfd;
    if (!ReceiveWithDescriptor(control_.get(), &pid, sizeof pid, pidfd)) return {};
    broken_ = false;
    if (pid <= 0 || pidfd.get() < 0) return {};
    return ForkedHelper(pid, std::move(pidfd));
}

int ServeForkRequests(int control, int channelFd, const std::function<int()>& serve) {
    // Ended helpers wake the wait below, to be reaped at once.
    sigset_t childEnd;
    sigemptyset(&childEnd);
    sigaddset(&childEnd, SIGCHLD);
    sigset_t waiting;
    sigprocmask(SIG_BLOCK, &childEnd, &waiting);
    sigdelset(&waiting, SIGCHLD);
    struct sigaction wake {};
    wake.sa_handler = WakeOnChildEnd;
    sigaction(SIGCHLD, &wake, nullptr);

    for (;;) {
        ReapEnded();
        pollfd watched{control, POLLIN, 0};
        const int ready = ppoll(&watched, 1, nullptr, &waiting);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        char request = 0;
        UniqueFd channel;
        if (!ReceiveWithDescriptor(control, &request, 1, channel)) break;  // the program has gone
        std::int32_t answer = 0;
        UniqueFd pidfd;
        if (request == kForkRequest && channel.get() >= 0) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                signal(SIGCHLD, SIG_DFL);
                sigprocmask(SIG_UNBLOCK, &childEnd, nullptr);
                close(control);
                if (dup2(channel.get(), channelFd) != channelFd) _exit(1);
                if (channel.get() != channelFd) channel.reset();
                _exit(serve());
            }
            // Not yet reaped, so the process id still names it here.
            if (pid > 0) {
                pidfd = OpenPidFd(pid);
                if (pidfd.get() >= 0)
                    answer = pid;
                else
                    ::kill(pid, SIGKILL);
            }
        }
        if (!SendWithDescriptor(control, &answer, sizeof answer, pidfd.get())) break;
    }
    // The helpers still serving go with their program; none is left a zombie.
    close(control);
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
    return 0;
}

}  // namespace skewmon::platform
