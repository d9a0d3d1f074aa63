// The program as a user runs it: where it finds its helper and its list
// file, --version, and what it does with inputs that would hang it. These
// run the built executables (and copies of them laid out as a package does).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/process/install_layout.h"

extern char** environ;

namespace skewmon::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Running a program with a time limit.

struct Finished {
    bool timedOut = false;
    int exitCode = -1;  // when it exited
    int signal = 0;     // when a signal ended it
    std::string out, err;
};

class Child {
public:
    // `environment`: changes to this process's environment (an empty value
    // removes the variable).
    Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment) {
        std::map<std::string, std::string> merged;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            const auto equals = text.find('=');
            if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
        }
        for (const auto& [name, value] : environment) {
            if (value.empty())
                merged.erase(name);
            else
                merged[name] = value;
        }
        std::vector<std::string> envText;
        for (const auto& [name, value] : merged) envText.push_back(name + "=" + value);
        std::vector<char*> envp, args;
        for (std::string& text : envText) envp.push_back(text.data());
        envp.push_back(nullptr);
        std::vector<std::string> argText = argv;
        for (std::string& text : argText) args.push_back(text.data());
        args.push_back(nullptr);

        int outPipe[2], errPipe[2];
        if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        if (posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), envp.data()) != 0) pid_ = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        close(outPipe[1]);
        close(errPipe[1]);
        out_ = outPipe[0];
        err_ = errPipe[0];
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }

    // Collects output until the child ends or `limit` passes; then it is
    // killed and `timedOut` set.
    Finished finish(std::chrono::milliseconds limit) {
        Finished done;
        if (pid_ <= 0) return done;
        const Clock::time_point deadline = Clock::now() + limit;
        while (out_ >= 0 || err_ >= 0) {
            if (Clock::now() >= deadline) {
                done.timedOut = true;
                kill(pid_, SIGKILL);
                break;
            }
            pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                int& fd = i == 0 ? out_ : err_;
                if (fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                char chunk[4096];
                const ssize_t got = read(fd, chunk, sizeof chunk);
                if (got > 0) {
                    (i == 0 ? done.out : done.err).append(chunk, static_cast<std::size_t>(got));
                } else {
                    close(fd);
                    fd = -1;
                }
            }
        }
        // Output closed: the child is ending. Still bounded.
        int status = 0;
        for (;;) {
            const pid_t reaped = waitpid(pid_, &status, WNOHANG);
            if (reaped == pid_) break;
            if (Clock::now() >= deadline + 2s) {
                done.timedOut = true;
                kill(pid_, SIGKILL);
            }
            std::this_thread::sleep_for(5ms);
        }
        reaped_ = true;
        if (WIFEXITED(status)) done.exitCode = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) done.signal = WTERMSIG(status);
        return done;
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int out_ = -1;
    int err_ = -1;
};

Finished RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment = {},
             std::chrono::milliseconds limit = 10s) {
    Child child(argv, environment);
    return child.finish(limit);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// ---------------------------------------------------------------------------
// A scratch folder with copies of the program laid out as a build tree or a
// package lays them out.

class Scratch : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/skewmon-install-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
        // A HOME of its own: the local machine's name is known, and no
        // user's client settings are read.
        home = dir / "home";
        fs::create_directories(home / ".smb");
        // Should a window look for its domain: names from lmhosts alone, and
        // nothing beyond loopback.
        std::ofstream(home / ".smb" / "smb.conf")
            << "[global]\n  netbios name = PLAINCOPY\n  name resolve order = lmhosts\n"
               "  interfaces = 127.0.0.1/8\n  bind interfaces only = yes\n  disable netbios = yes\n";
    }
    void TearDown() override {
        if (!dir.empty()) fs::remove_all(dir);
    }

    // A copy (a hard link where it can) of `from` at `to`, executable.
    static void Place(const fs::path& from, const fs::path& to) {
        fs::create_directories(to.parent_path());
        std::error_code error;
        fs::create_hard_link(from, to, error);
        if (error) fs::copy_file(from, to);
    }
    static void Touch(const fs::path& path, fs::perms perms) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "#!/bin/sh\n";
        fs::permissions(path, perms);
    }

    std::map<std::string, std::string> environment() const {
        return {{"HOME", home.string()}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
    }

    fs::path dir, home;
};

// ---------------------------------------------------------------------------
// Where the helper is looked for.

TEST(InstallLayout, HelperBesideTheProgramElseInLibexec) {
    EXPECT_EQ(platform::HelperCandidates("/usr/bin/skewmon", "skewmon-tod"),
              (std::vector<std::string>{"/usr/bin/skewmon-tod", "/usr/libexec/skewmon/skewmon-tod"}));
    EXPECT_EQ(platform::HelperCandidates("/opt/sk/bin/skewmon", "skewmon-tod"),
              (std::vector<std::string>{"/opt/sk/bin/skewmon-tod", "/opt/sk/libexec/skewmon/skewmon-tod"}));
}

TEST_F(Scratch, TheFirstExecutableCandidateWinsAndAMissingOneIsNamedWhereItBelongs) {
    const fs::perms executable = fs::perms::owner_all;
    const fs::perms plain = fs::perms::owner_read | fs::perms::owner_write;

    // Installed: nothing beside, the helper in libexec.
    const std::string installed = (dir / "usr/bin/skewmon").string();
    EXPECT_EQ(platform::FindHelper(installed, "skewmon-tod"), (dir / "usr/libexec/skewmon/skewmon-tod").string());
    Touch(dir / "usr/libexec/skewmon/skewmon-tod", executable);
    EXPECT_EQ(platform::FindHelper(installed, "skewmon-tod"), (dir / "usr/libexec/skewmon/skewmon-tod").string());
    // A file of that name beside it that cannot run is passed over.
    Touch(dir / "usr/bin/skewmon-tod", plain);
    EXPECT_EQ(platform::FindHelper(installed, "skewmon-tod"), (dir / "usr/libexec/skewmon/skewmon-tod").string());
    fs::permissions(dir / "usr/bin/skewmon-tod", executable);
    EXPECT_EQ(platform::FindHelper(installed, "skewmon-tod"), (dir / "usr/bin/skewmon-tod").string());

    // A build tree: the helper beside the program, and named there when missing.
    const std::string built = (dir / "build/platform/linux/skewmon").string();
    EXPECT_EQ(platform::FindHelper(built, "skewmon-tod"), (dir / "build/platform/linux/skewmon-tod").string());
}

TEST_F(Scratch, HelperProblemsNameTheReason) {
    EXPECT_EQ(platform::HelperProblem((dir / "none").string()), "No such file or directory");
    EXPECT_EQ(platform::HelperProblem(dir.string()), "not a regular file");
    Touch(dir / "plain", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(platform::HelperProblem((dir / "plain").string()), "Permission denied");
    Touch(dir / "good", fs::perms::owner_all);
    EXPECT_EQ(platform::HelperProblem((dir / "good").string()), std::nullopt);
    EXPECT_TRUE(platform::HelperProblem(""));
}

// ---------------------------------------------------------------------------
// The program itself.

TEST(Program, VersionAndHelp) {
    const Finished version = RunProgram({SKEWMON_PROGRAM, "--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "Skewmon 5.2.b.20110601R\n");
    EXPECT_EQ(version.err, "");

    const Finished help = RunProgram({SKEWMON_PROGRAM, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"--list FILE", "--version", "--report", "NOTHREAD"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

TEST_F(Scratch, APlainlyNamedCopyReadsTheIniBesideIt) {
    Place(SKEWMON_PROGRAM, dir / "tools.d" / "skewmon");
    Place(SKEWMON_TOD, dir / "tools.d" / "skewmon-tod");
    // The local machine is counted without a query: no network needed.
    std::ofstream(dir / "tools.d" / "skewmon.ini") << "; the lab's own name\nplaincopy\n";
    const Finished run = RunProgram({(dir / "tools.d" / "skewmon").string(), "--report"}, environment());
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("\r\nfound in the skewmon.ini file.\r\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\r\nPLAINCOPY       + 00 000 00:00:00.000    \r\n"), std::string::npos) << run.out;
}

TEST_F(Scratch, AMissingHelperEndsTheReportWithOneLineNamingIt) {
    std::ofstream(dir / "hosts.txt") << "plaincopy\n";
    for (const fs::path& program : {dir / "tree" / "skewmon", dir / "usr" / "bin" / "skewmon"}) {
        Place(SKEWMON_PROGRAM, program);
        const fs::path expected = program.parent_path().filename() == "bin"
                                      ? dir / "usr/libexec/skewmon/skewmon-tod"
                                      : dir / "tree/skewmon-tod";
        const Finished run =
            RunProgram({program.string(), "--report", "--list", (dir / "hosts.txt").string()}, environment());
        EXPECT_EQ(run.exitCode, 3) << program;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "skewmon: the time query helper \"" + expected.string() +
                               "\" cannot be started: No such file or directory; no machine can be asked "
                               "for its time.\n");
    }
}

TEST_F(Scratch, AMissingBrowseHelperEndsTheReportWithOneLineNamingIt) {
    // A workgroup machine without a list file: the machines would come from
    // the browse list, which only skewmon-browse reads.
    Place(SKEWMON_PROGRAM, dir / "tools.d" / "skewmon");
    Place(SKEWMON_TOD, dir / "tools.d" / "skewmon-tod");
    const Finished run = RunProgram({(dir / "tools.d" / "skewmon").string(), "--report"}, environment());
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "skewmon: the browse list helper \"" + (dir / "tools.d" / "skewmon-browse").string() +
                           "\" cannot be started: No such file or directory; no machine can be found in the "
                           "browse list.\n");
}

TEST_F(Scratch, ANamedListFileThatIsNoRegularFileEndsTheReportAtOnce) {
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((dir / "quiet-fifo").c_str(), 0600), 0);
    const int writer = open((dir / "quiet-fifo").c_str(), O_RDWR | O_CLOEXEC);  // never writes
    ASSERT_GE(writer, 0);
    fs::create_symlink("/dev/zero", dir / "zero");
    fs::create_directory(dir / "folder");

    for (const char* name : {"missing", "fifo", "quiet-fifo", "zero", "folder"}) {
        const auto started = Clock::now();
        const Finished run =
            RunProgram({SKEWMON_PROGRAM, "--report", "--list", (dir / name).string()}, environment(), 5s);
        EXPECT_FALSE(run.timedOut) << name;
        EXPECT_LT(Clock::now() - started, 4s) << name;
        EXPECT_EQ(run.exitCode, 3) << name;
        const std::vector<std::string> lines = Lines(run.err);
        ASSERT_EQ(lines.size(), 1u) << run.err;
        EXPECT_EQ(lines[0].rfind("skewmon: the machine list file \"" + (dir / name).string() + "\" cannot be read: ",
                                 0),
                  0u)
            << lines[0];
    }
    close(writer);
}

TEST_F(Scratch, AListFileTheUserCannotReadIsAnErrorNotABrowseScan) {
    std::ofstream(dir / "hosts.txt") << "plaincopy\n";
    fs::permissions(dir / "hosts.txt", fs::perms::none);
    // A copy with its helper where any user may run them: the build tree may
    // lie in a folder only its owner can enter.
    Place(SKEWMON_PROGRAM, dir / "bin" / "skewmon");
    Place(SKEWMON_TOD, dir / "bin" / "skewmon-tod");
    std::vector<std::string> argv = {(dir / "bin" / "skewmon").string(), "--report", "--list",
                                     (dir / "hosts.txt").string()};
    if (geteuid() == 0) {
        // Root reads anything: run it as nobody.
        if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is needed to drop root";
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    const Finished run = RunProgram(argv, environment());
    EXPECT_EQ(run.exitCode, 3) << run.err;
    EXPECT_EQ(run.err, "skewmon: the machine list file \"" + (dir / "hosts.txt").string() +
                           "\" cannot be read: Permission denied.\n");
}

// Takes X11 connections on loopback and never answers, so that a program
// that connects hangs before it has any window.
class SilentDisplay {
public:
    SilentDisplay() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const std::string address = "127.0.0." + std::to_string(SKEWMON_LAB_FIRST);
        for (int display = 40; display < 60 && fd_ >= 0; ++display) {
            sockaddr_in where{};
            where.sin_family = AF_INET;
            where.sin_port = htons(static_cast<std::uint16_t>(6000 + display));
            inet_pton(AF_INET, address.c_str(), &where.sin_addr);
            if (bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 && listen(fd_, 4) == 0) {
                name_ = address + ":" + std::to_string(display);
                return;
            }
        }
    }
    ~SilentDisplay() {
        for (int fd : accepted_) close(fd);
        if (fd_ >= 0) close(fd_);
    }
    const std::string& name() const { return name_; }
    // True once a client has connected.
    bool waitForClient(std::chrono::milliseconds limit) {
        pollfd fd{fd_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(limit.count())) <= 0) return false;
        const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return false;
        accepted_.push_back(client);
        return true;
    }

private:
    int fd_ = -1;
    std::string name_;
    std::vector<int> accepted_;
};

TEST_F(Scratch, ATerminationSignalBeforeTheWindowExistsEndsTheProgram) {
    SilentDisplay display;
    ASSERT_FALSE(display.name().empty());
    std::ofstream(dir / "hosts.txt") << "plaincopy\n";
    std::map<std::string, std::string> env = environment();
    env["DISPLAY"] = display.name();
    env["QT_QPA_PLATFORM"] = "xcb";
    for (int signal : {SIGTERM, SIGINT}) {
        Child child({SKEWMON_PROGRAM, "--list", (dir / "hosts.txt").string()}, env);
        ASSERT_TRUE(display.waitForClient(10s)) << "the program never asked for its window";
        std::this_thread::sleep_for(100ms);  // well inside the connection's start
        const auto sent = Clock::now();
        kill(child.pid(), signal);
        const Finished done = child.finish(5s);
        EXPECT_FALSE(done.timedOut) << strsignal(signal);
        EXPECT_LT(Clock::now() - sent, 2s);
        EXPECT_EQ(done.signal, signal) << done.err;
    }
}

TEST_F(Scratch, ATerminationSignalEndsTheProgramEvenUnderAStartUpErrorBox) {
    // The box is modal and nobody is there to dismiss it.
    std::map<std::string, std::string> env = environment();
    env["QT_QPA_PLATFORM"] = "offscreen";
    env["XDG_RUNTIME_DIR"] = dir.string();
    Child child({SKEWMON_PROGRAM, "--list", (dir / "missing.txt").string()}, env);
    std::this_thread::sleep_for(1500ms);  // the window is up, its box with it
    const auto sent = Clock::now();
    kill(child.pid(), SIGTERM);
    const Finished done = child.finish(10s);
    EXPECT_FALSE(done.timedOut);
    EXPECT_LT(Clock::now() - sent, 4s);
    EXPECT_EQ(done.signal, SIGTERM) << done.err;
}

}  // namespace
}  // namespace skewmon::testing
