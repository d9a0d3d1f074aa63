#include "platform/linux/process_query_runner.h"

#include "platform/linux/install_layout.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <new>
#include <climits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace skewmon::platform {
namespace {

using Clock = std::chrono::steady_clock;

// How long one wait slice may last: the stop flag is looked at between slices.
constexpr std::chrono::milliseconds kSlice{20};
// A line longer than this is no Offset.
constexpr std::size_t kMaxOutput = 64;

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

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

class HelperQuery final : public PendingQuery {
public:
    HelperQuery(pid_t pid, UniqueFd output) : pid_(pid), output_(std::move(output)) {}

    ~HelperQuery() override {
        if (reaped_) return;
        // Unfinished, or finished but not yet collected: a zombie takes the
        // signal harmlessly, and its pid cannot be reused before waitpid.
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }

    QueryWait wait(std::optional<std::chrono::milliseconds> limit, const std::atomic<bool>& stop) override {
        const Clock::time_point deadline =
            limit ? Clock::now() + *limit : Clock::time_point::max();
        while (!reaped_) {
            if (stop) return QueryWait::kStopped;
            const Clock::time_point now = Clock::now();
            if (now >= deadline) return QueryWait::kTimedOut;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
            const auto slice = std::clamp(left, std::chrono::milliseconds{1}, kSlice);
            if (output_.get() >= 0)
                readSome(slice);
            else
                collectExit(slice);
        }
        return QueryWait::kFinished;
    }

    Offset result() override { return result_; }

private:
    // Waits at most `slice` for output; at its end (or when it is garbage)
    // goes on to collecting the helper's exit.
    void readSome(std::chrono::milliseconds slice) {
        pollfd fd{output_.get(), POLLIN, 0};
        const int ready = poll(&fd, 1, static_cast<int>(slice.count()));
        if (ready <= 0) return;  // time-out, or EINTR: the caller loops
        char chunk[256];
        const ssize_t got = read(output_.get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) return;
            output_.reset();
            garbage_ = true;
            return;
        }
        if (got == 0) {
            output_.reset();
            return;
        }
        text_.append(chunk, static_cast<std::size_t>(got));
        if (text_.size() > kMaxOutput) {
            // Whatever this is, it is no answer: stop listening to it.
            garbage_ = true;
            output_.reset();
            kill(pid_, SIGKILL);
        }
    }

    void collectExit(std::chrono::milliseconds slice) {
        const Clock::time_point until = Clock::now() + slice;
        for (;;) {
            int status = 0;
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_ || (done < 0 && errno != EINTR)) {
                reaped_ = true;
                const bool clean = done == pid_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
                result_ = clean && !garbage_ ? ParseHelperOutput(text_) : kNoResponse;
                return;
            }
            if (Clock::now() >= until) return;
            std::this_thread::sleep_for(std::chrono::milliseconds{1});
        }
    }

    pid_t pid_;
    UniqueFd output_;
    std::string text_;
    bool garbage_ = false;
    bool reaped_ = false;
    Offset result_ = kNoResponse;
};

}  // namespace

Offset ParseHelperOutput(std::string_view output) {
    if (output.empty() || output.back() != '\n') return kNoResponse;
    output.remove_suffix(1);
    if (output.empty() || output.size() > 20) return kNoResponse;
    Offset value = 0;
    const auto [end, error] = std::from_chars(output.data(), output.data() + output.size(), value);
    if (error != std::errc() || end != output.data() + output.size()) return kNoResponse;
    return value;
}

ProcessQueryRunner::ProcessQueryRunner(std::string helperPath) : helperPath_(std::move(helperPath)) {}

std::string ProcessQueryRunner::DefaultHelperPath() { return DefaultQueryHelperPath(); }

std::unique_ptr<PendingQuery> ProcessQueryRunner::start(const std::string& serverName, bool /*inlineMode*/) {
    // The name goes over as one argument; an embedded NUL would cut it short
    // into another name, so such a name is no query at all.
    if (serverName.find('\0') != std::string::npos) return nullptr;

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return nullptr;
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);

    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDOUT_FILENO);
    // libnetapi's complaints would only clutter the program's own output.
    posix_spawn_file_actions_addopen(&setup.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);

    // A session of its own: no controlling terminal to prompt on. Signals as
    // a fresh program has them, whatever this process blocks or ignores.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setflags(&setup.attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string program = helperPath_;
    std::string argument = serverName;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, helperPath_.c_str(), &setup.actions, &setup.attributes, argv, environ) != 0)
        return nullptr;
    writeEnd.reset();  // the helper holds the only write end: its exit is our end of file
    try {
        return std::make_unique<HelperQuery>(pid, std::move(readEnd));
    } catch (const std::bad_alloc&) {
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return nullptr;
    }
}

}  // namespace skewmon::platform
