// The helper processes' plumbing on both sides: what a started helper holds
// and how it ends, looked at from outside through /proc.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "platform/linux/process/child_process.h"
#include "platform/linux/process/helper_start.h"

namespace skewmon::testing {
namespace {

using namespace std::chrono_literals;
using platform::Child;
using platform::FdMapping;
using platform::SpawnChild;
using platform::UniqueFd;
namespace fs = std::filesystem;

const std::string kSleep[] = {"sleep", "30"};

std::string Link(const fs::path& path) {
    std::error_code error;
    const fs::path target = fs::read_symlink(path, error);
    return error ? std::string() : target.string();
}

// Each open descriptor of `pid` and what it leads to.
std::map<int, std::string> DescriptorsNow(pid_t pid) {
    std::map<int, std::string> open;
    const fs::path folder = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& entry : fs::directory_iterator(folder))
        open[std::stoi(entry.path().filename().string())] = Link(entry.path());
    return open;
}

// A descriptor the dynamic loader holds for a moment while it maps a library.
bool LoadingLibrary(const std::map<int, std::string>& open) {
    for (const auto& [fd, target] : open)
        if (target.find(".so") != std::string::npos) return true;
    return false;
}

// The same, once a new program's loader has let go of its libraries: a
// spawn returns at the exec, before the loader has run (bounded wait).
std::map<int, std::string> Descriptors(pid_t pid) {
    std::map<int, std::string> open = DescriptorsNow(pid);
    for (int tries = 0; tries < 200 && LoadingLibrary(open); ++tries) {
        std::this_thread::sleep_for(10ms);
        open = DescriptorsNow(pid);
    }
    return open;
}

// A field of /proc/PID/status, such as "SigBlk".
std::string Status(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0) return line.substr(line.find_first_not_of(" \t", field.size() + 1));
    return {};
}

bool Reaped(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD; }

TEST(SpawnChild, TheHelperHoldsOnlyItsMappedDescriptorsAndDevNull) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    UniqueFd ours(ends[0]), theirs(ends[1]);
    // Not close-on-exec: it would reach any helper that does not close
    // everything it was not given.
    int leaky[2];
    ASSERT_EQ(pipe(leaky), 0);
    UniqueFd leakyRead(leaky[0]), leakyWrite(leaky[1]);

    const FdMapping channel[] = {{theirs.get(), 3}};
    const Child child = SpawnChild("/bin/sleep", kSleep, channel);
    ASSERT_TRUE(child);
    const std::map<int, std::string> held = Descriptors(child.pid());
    const std::map<int, std::string> expected = {
        {0, "/dev/null"}, {1, "/dev/null"}, {2, "/dev/null"}, {3, Link("/proc/self/fd/" + std::to_string(theirs.get()))}};
    EXPECT_EQ(held, expected);
    EXPECT_EQ(Status(child.pid(), "Name"), "sleep");
}

TEST(SpawnChild, SourcesThatAreTargetsTooArriveWhereMapped) {
    // Onto its own number (dup2 would leave it close-on-exec), and two that
    // trade places (set up in turn, the second would get the first's copy).
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    UniqueFd socketEnd(fcntl(ends[0], F_DUPFD_CLOEXEC, 20));
    close(ends[0]);
    close(ends[1]);
    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    UniqueFd pipeRead(fcntl(pipeEnds[0], F_DUPFD_CLOEXEC, 21));
    close(pipeEnds[0]);
    UniqueFd pipeWrite(pipeEnds[1]);
    UniqueFd devNull(open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_GE(socketEnd.get(), 0);
    ASSERT_GE(pipeRead.get(), 0);
    const std::string socketLink = Link("/proc/self/fd/" + std::to_string(socketEnd.get()));
    const std::string pipeLink = Link("/proc/self/fd/" + std::to_string(pipeRead.get()));

    const FdMapping swapped[] = {{socketEnd.get(), pipeRead.get()}, {pipeRead.get(), socketEnd.get()}};
    const Child child = SpawnChild("/bin/sleep", kSleep, swapped);
    ASSERT_TRUE(child);
    std::map<int, std::string> held = Descriptors(child.pid());
    EXPECT_EQ(held[pipeRead.get()], socketLink);
    EXPECT_EQ(held[socketEnd.get()], pipeLink);
    EXPECT_EQ(held.size(), 5u) << "standard input, output, error and the two mapped";

    const FdMapping same[] = {{socketEnd.get(), socketEnd.get()}, {devNull.get(), STDOUT_FILENO}};
    const Child again = SpawnChild("/bin/sleep", kSleep, same);
    ASSERT_TRUE(again);
    held = Descriptors(again.pid());
    EXPECT_EQ(held[socketEnd.get()], socketLink);
    EXPECT_EQ(held[STDOUT_FILENO], "/dev/null");
    EXPECT_EQ(held.size(), 4u);
}

TEST(SpawnChild, TheHelperStartsInASessionOfItsOwnWithSignalsAsNew) {
    // What this process blocks and ignores must not reach the helper: a
    // blocked or ignored SIGTERM would make it unstoppable but by SIGKILL.
    sigset_t blocked, before;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &before), 0);
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &previous);

    Child child = SpawnChild("/bin/sleep", kSleep, {});

    sigaction(SIGINT, &previous, nullptr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    ASSERT_TRUE(child);
    EXPECT_EQ(getsid(child.pid()), child.pid());
    EXPECT_EQ(Status(child.pid(), "SigBlk"), "0000000000000000");
    const unsigned long long ignored = std::stoull(Status(child.pid(), "SigIgn"), nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (SIGINT - 1)), 0u);
    EXPECT_EQ(ignored & (1ull << (SIGTERM - 1)), 0u);
}

TEST(SpawnChild, AProgramThatCannotStartGivesNoChildAndLeaksNothing) {
    const std::size_t open = Descriptors(getpid()).size();
    UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const FdMapping mapped[] = {{devNull.get(), 3}};
    const std::string argv[] = {"missing"};
    EXPECT_FALSE(SpawnChild("/nonexistent/skewmon-helper", argv, mapped));
    const FdMapping badSource[] = {{1000, 3}};
    EXPECT_FALSE(SpawnChild("/bin/sleep", kSleep, badSource));
    devNull.reset();
    EXPECT_EQ(Descriptors(getpid()).size(), open);
}

TEST(Child, KillsAndReapsAHelperThatIgnoresTermination) {
    const std::string argv[] = {"sh", "-c", "trap '' TERM INT HUP; while :; do sleep 1; done"};
    Child child = SpawnChild("/bin/sh", argv, {});
    ASSERT_TRUE(child);
    const pid_t pid = child.pid();

    // Moved, it is still one helper, ended once.
    Child owner = std::move(child);
    EXPECT_FALSE(child);
    EXPECT_EQ(kill(pid, 0), 0);
    const auto start = std::chrono::steady_clock::now();
    owner = Child();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(Reaped(pid));
    {
        Child scoped = SpawnChild("/bin/sh", argv, {});
        ASSERT_TRUE(scoped);
        const pid_t other = scoped.pid();
        scoped.killAndReap();
        EXPECT_FALSE(scoped);
        EXPECT_TRUE(Reaped(other));
    }
}

// A helper started through a go-between that then ends: the helper must end
// with it, in a session of its own, reading /dev/null.
TEST(StartHelperProcess, TheHelperLeavesTheTerminalAndEndsWithItsStarter) {
    int report[2];
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    UniqueFd reportRead(report[0]), reportWrite(report[1]);
    const pid_t starter = fork();
    ASSERT_GE(starter, 0);
    if (starter == 0) {
        const pid_t helper = fork();
        if (helper == 0) {
            if (!platform::StartHelperProcess()) _exit(3);
            // Once for the starter, once for the test.
            const pid_t self[2] = {getpid(), getpid()};
            platform::WriteAll(reportWrite.get(), std::string_view(reinterpret_cast<const char*>(self), sizeof self));
            for (;;) pause();
        }
        reportWrite.reset();  // a helper that fails is the end of the report
        pid_t said = 0;
        _exit(helper > 0 && read(reportRead.get(), &said, sizeof said) == sizeof said ? 0 : 1);
    }
    reportWrite.reset();
    pid_t helper = 0;
    ASSERT_EQ(read(reportRead.get(), &helper, sizeof helper), static_cast<ssize_t>(sizeof helper));
    const std::string state = Status(helper, "State");
    const bool alive = !state.empty() && state[0] != 'Z';
    EXPECT_TRUE(alive);
    if (alive) {
        EXPECT_EQ(getsid(helper), helper);
        EXPECT_EQ(Link("/proc/" + std::to_string(helper) + "/fd/0"), "/dev/null");
    }
    int status = 0;
    ASSERT_EQ(waitpid(starter, &status, 0), starter);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Its starter gone, the helper is killed (gone, or a zombie until
    // whoever adopted it reaps it).
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    std::string now = Status(helper, "State");
    while (!now.empty() && now[0] != 'Z' && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        now = Status(helper, "State");
    }
    EXPECT_TRUE(now.empty() || now[0] == 'Z') << now;
    if (!now.empty() && now[0] != 'Z') kill(helper, SIGKILL);
}

}  // namespace
}  // namespace skewmon::testing
