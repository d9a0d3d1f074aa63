#include "platform/linux/process/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

extern char** environ;

namespace skewmon::platform {
namespace {

// RAII for posix_spawn's two attribute records.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void UniqueFd::reset() noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        killAndReap();
        pid_ = std::exchange(other.pid_, -1);
    }
    return *this;
}

void Child::killAndReap() noexcept {
    if (pid_ <= 0) return;
    // A zombie takes the signal harmlessly, and its pid cannot be reused
    // before it is reaped here.
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

Child SpawnChild(const std::string& path, std::span<const std::string> argv, std::span<const FdMapping> descriptors) {
    // Standard input, output and error are always set; mapped descriptors
    // above them as well. Everything above the highest goes.
    int top = STDERR_FILENO;
    for (const FdMapping& mapping : descriptors) top = std::max(top, mapping.to);

    // Every source moves above `top` first: the descriptors set up below
    // cannot then overwrite a source before it is copied, and dup2 onto the
    // same number, which would keep close-on-exec set, never happens.
    std::vector<UniqueFd> sources;
    sources.reserve(descriptors.size());
    for (const FdMapping& mapping : descriptors) {
        sources.emplace_back(fcntl(mapping.from, F_DUPFD_CLOEXEC, top + 1));
        if (sources.back().get() < 0) return Child();
    }

    SpawnSetup setup;
    for (int fd = 0; fd <= top; ++fd) {
        const auto mapped = std::find_if(descriptors.begin(), descriptors.end(),
                                         [fd](const FdMapping& mapping) { return mapping.to == fd; });
        int failed;
        if (mapped != descriptors.end()) {
            const int source = sources[static_cast<std::size_t>(mapped - descriptors.begin())].get();
            failed = posix_spawn_file_actions_adddup2(&setup.actions, source, fd);
        } else if (fd <= STDERR_FILENO) {
            // Nothing to read a password from, nowhere to clutter the
            // program's own output.
            failed = posix_spawn_file_actions_addopen(&setup.actions, fd, "/dev/null",
                                                      fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
        } else {
            failed = posix_spawn_file_actions_addclose(&setup.actions, fd);
        }
        if (failed != 0) return Child();
    }
    if (posix_spawn_file_actions_addclosefrom_np(&setup.actions, top + 1) != 0) return Child();

    // A session of its own: no controlling terminal to prompt on. Signals as
    // a fresh program has them, whatever this process blocks or ignores.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> arguments(argv.begin(), argv.end());
    std::vector<char*> pointers;
    pointers.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);

    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, pointers.data(), environ) != 0)
        return Child();
    return Child(pid);
}

UniqueFd OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return UniqueFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
#else
    (void)pid;
    return UniqueFd();
#endif
}

}  // namespace skewmon::platform
