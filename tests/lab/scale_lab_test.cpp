// The program as users run it on a large list (`skewmon --report`, the
// connection check and forked helpers included) against the lab's servers:
// a burst of helpers loses no answer, many at once list and grade what one
// after another does, dropped machines never take a helper, and SIGTERM
// leaves nothing behind.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/linux/process/child_process.h"
#include "tests/lab/lab_support.h"

extern char** environ;

namespace skewmon::testing {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using nlohmann::json;
namespace fs = std::filesystem;

// Samba's whole seconds, refined or not, between two scans.
constexpr std::int64_t kToleranceMs = 1100;

std::string HelperPath() { return fs::canonical(SKEWMON_TOD).string(); }

// Set in the environment of the programs this test starts, and so of their
// helpers: other runs of the same build (a bench, say) are not counted.
const std::string& RunMark() {
    static const std::string mark = "SKEWMON_SCALE_TEST_RUN=" + std::to_string(getpid());
    return mark;
}

bool CarriesRunMark(const fs::path& process) {
    std::ifstream environment(process / "environ", std::ios::binary);
    for (std::string variable; std::getline(environment, variable, '\0');)
        if (variable == RunMark()) return true;
    return false;
}

// The processes of this test's runs of the built helper (the zygote among
// them), and how many of them are zombies.
struct Helpers {
    int alive = 0;
    int zombies = 0;
};
Helpers CountHelpers() {
    static const std::string helper = HelperPath();
    Helpers found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        const auto close = text.rfind(')');
        const bool zombie = close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
        std::error_code error;
        const fs::path exe = fs::read_symlink(entry.path() / "exe", error);
        // A zombie has no environment left to read: any zombie helper counts.
        if (zombie && text.find("(skewmon-tod)") != std::string::npos) ++found.zombies;
        if (!error && exe == helper && CarriesRunMark(entry.path())) ++found.alive;
    }
    return found;
}

// One run of `skewmon --report` on a list; bounded.
struct ProgramRun {
    int status = -1;
    std::string out;
    std::chrono::milliseconds took{0};
    int peakHelpers = 0;
};

class ScaleLab : public ::testing::Test {
protected:
    void SetUp() override {
        lab = Lab::FromEnvironment();
        if (!lab) GTEST_SKIP() << "no lab (SKEWMON_LAB_DIR): run through ctest";
        std::string pattern = (fs::temp_directory_path() / "skewmon-scale-XXXXXX").string();
        ASSERT_TRUE(mkdtemp(pattern.data()));
        directory = pattern;
        // The SMB1-only server, when the lab has one: the connection check
        // must let it through to its query.
        std::ifstream description(fs::path(std::getenv("SKEWMON_LAB_DIR")) / "lab.txt");
        for (std::string line; std::getline(description, line);) {
            std::istringstream fields(line);
            std::string kind, name, address;
            if (fields >> kind >> name >> address && kind == "smb1") smb1 = address;
        }
    }
    void TearDown() override {
        std::error_code ignored;
        if (!directory.empty()) fs::remove_all(directory, ignored);
    }

    // Runs the program over `entries`; `stopWhen` (optional), given how
    // many helpers are alive, sends SIGTERM once it returns true, looked at
    // every 10 ms.
    ProgramRun run(const std::vector<std::string>& entries, std::optional<int> parallel,
            const std::function<bool(int helpersAlive)>& stopWhen = nullptr) {
        const std::string list = directory + "/machines.txt";
        {
            std::ofstream out(list);
            for (const std::string& entry : entries) out << entry << "\n";
        }
        std::vector<std::string> argv = {SKEWMON_PROGRAM, "--report", "--list", list, "--format", "json"};
        if (parallel) argv.insert(argv.end(), {"--parallel", std::to_string(*parallel)});
        std::vector<char*> pointers;
        for (std::string& argument : argv) pointers.push_back(argument.data());
        pointers.push_back(nullptr);

        int output[2];
        EXPECT_EQ(pipe2(output, O_CLOEXEC), 0);
        platform::UniqueFd readEnd(output[0]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const std::string homeVariable = "HOME=" + lab->home;
        std::vector<char*> environment;
        for (char** variable = environ; *variable; ++variable)
            if (std::string_view(*variable).rfind("HOME=", 0) != 0) environment.push_back(*variable);
        environment.push_back(const_cast<char*>(homeVariable.c_str()));
        environment.push_back(const_cast<char*>(RunMark().c_str()));
        environment.push_back(nullptr);
        pid_t pid = -1;
        const Steady::time_point began = Steady::now();
        const int spawned = posix_spawn(&pid, SKEWMON_PROGRAM, &actions, nullptr, pointers.data(), environment.data());
        posix_spawn_file_actions_destroy(&actions);
        close(output[1]);
        ProgramRun result;
        if (spawned != 0) {
            ADD_FAILURE() << "cannot start " << SKEWMON_PROGRAM;
            return result;
        }
        platform::Child program(pid);  // killed and reaped on any way out
        bool stopped = false;
        char chunk[4096];
        for (;;) {
            pollfd watched{readEnd.get(), POLLIN, 0};
            if (poll(&watched, 1, 10) > 0) {
                const ssize_t got = read(readEnd.get(), chunk, sizeof chunk);
                if (got > 0) result.out.append(chunk, static_cast<std::size_t>(got));
                if (got == 0) break;  // the program has ended (or closed its output)
            }
            // One count serves both: the helpers that made it stop are in the peak.
            const int alive = CountHelpers().alive;
            result.peakHelpers = std::max(result.peakHelpers, alive);
            if (stopWhen && !stopped && stopWhen(alive)) {
                kill(pid, SIGTERM);
                stopped = true;
            }
            if (Steady::now() - began > 60s) {
                ADD_FAILURE() << "the program took over a minute";
                break;
            }
        }
        int status = 0;
        waitpid(pid, &status, 0);
        program = platform::Child();  // reaped already
        result.took = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - began);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return result;
    }

    static json Parse(const ProgramRun& run) {
        json document;
        EXPECT_NO_THROW(document = json::parse(run.out)) << run.out;
        return document;
    }

    std::optional<Lab> lab;
    std::string directory;
    std::optional<std::string> smb1;
};

TEST_F(ScaleLab, ABurstOfSixtyFourHelpersLosesNoAnswer) {
    // Every helper starts at the same moment, each of them before its
    // request can go out; the servers are warm and answer at once.
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < 64; ++i) entries.push_back(lab->servers[i % lab->servers.size()].address);
    const ProgramRun burst = run(entries, 64);
    const json document = Parse(burst);
    ASSERT_EQ(document["machines"].size(), 64u);
    for (std::size_t i = 0; i < 64; ++i) {
        EXPECT_TRUE(document["machines"][i]["answered"].get<bool>()) << i << " " << entries[i];
        if (!document["machines"][i]["answered"].get<bool>()) continue;
        EXPECT_NEAR(document["machines"][i]["offsetMs"].get<std::int64_t>(),
                    lab->servers[i % lab->servers.size()].shiftMs, kToleranceMs);
    }
    EXPECT_GE(burst.peakHelpers, 2);  // the zygote and its helpers
}

TEST_F(ScaleLab, ManyAtOnceListAndGradeAsOneAfterAnother) {
    // Servers, the SMB1-only one, the hung one, an address that refuses, a
    // name that does not resolve, and this machine itself.
    std::vector<std::string> entries = {lab->hung, lab->silent, "NOSUCHMACHINE", "skewtest"};
    for (const LabServer& server : lab->servers) entries.push_back(server.address);
    if (smb1) entries.push_back(*smb1);
    entries.push_back(lab->hung);

    const ProgramRun sequential = run(entries, 1);
    const ProgramRun together = run(entries, std::nullopt);  // the default width
    const json a = Parse(sequential);
    const json b = Parse(together);
    EXPECT_EQ(together.status, sequential.status);
    EXPECT_EQ(b["summary"], a["summary"]);
    EXPECT_EQ(b["recommendation"], a["recommendation"]);
    EXPECT_EQ(b["machinesFound"], a["machinesFound"]);
    ASSERT_EQ(a["machines"].size(), entries.size());
    ASSERT_EQ(b["machines"].size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const json& one = a["machines"][i];
        const json& many = b["machines"][i];
        EXPECT_EQ(many["name"], one["name"]) << i;
        EXPECT_EQ(many["answered"], one["answered"]) << entries[i];
        EXPECT_EQ(many["local"], one["local"]) << entries[i];
        if (one["answered"].get<bool>() && many["answered"].get<bool>()) {
            EXPECT_NEAR(many["offsetMs"].get<std::int64_t>(), one["offsetMs"].get<std::int64_t>(), kToleranceMs)
                << entries[i];
        }
    }
    for (std::size_t i = 0; i < 3; ++i) EXPECT_FALSE(b["machines"][i]["answered"].get<bool>()) << entries[i];
    if (smb1) {
        EXPECT_TRUE(b["machines"][entries.size() - 2]["answered"].get<bool>());
    }
    // One time limit for the two hung entries, not one for each.
    EXPECT_LT(together.took, 6s);
}

TEST_F(ScaleLab, DroppedMachinesAreSilentWithinTheLimitWithoutAHelper) {
    // A listener whose one-place backlog is full: further connection
    // attempts get no answer at all, as from a machine behind a firewall.
    platform::UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    platform::UniqueFd fillers[4];
    sockaddr_in where{};
    where.sin_family = AF_INET;
    inet_pton(AF_INET, "127.77.3.1", &where.sin_addr);
    platform::UniqueFd netbios(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int n = 0;
    for (const auto& [socket, port] : {std::pair{listener.get(), 445}, std::pair{netbios.get(), 139}}) {
        where.sin_port = htons(static_cast<std::uint16_t>(port));
        ASSERT_EQ(bind(socket, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
        ASSERT_EQ(listen(socket, 0), 0);
        for (int i = 0; i < 2; ++i, ++n) {
            fillers[n] = platform::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            connect(fillers[n].get(), reinterpret_cast<sockaddr*>(&where), sizeof where);
        }
    }
    std::this_thread::sleep_for(100ms);

    const std::vector<std::string> entries(40, "127.77.3.1");
    const ProgramRun dropped = run(entries, 32);
    const json document = Parse(dropped);
    ASSERT_EQ(document["machines"].size(), entries.size());
    for (const json& machine : document["machines"]) EXPECT_FALSE(machine["answered"].get<bool>());
    // Silent within 3.2 s of the check's start, with the program's own
    // start and end around it.
    EXPECT_LT(dropped.took, 4500ms);
    // The zygote and the one helper started ahead of the scan; none for a
    // dropped machine.
    EXPECT_LE(dropped.peakHelpers, 2);
}

TEST_F(ScaleLab, SigtermMidScanLeavesNoHelperOrZombie) {
    std::vector<std::string> entries;
    for (int i = 0; i < 30; ++i) {
        entries.push_back(lab->hung);
        for (const LabServer& server : lab->servers) entries.push_back(server.address);
    }
    const ProgramRun stopped = run(entries, 64, [](int alive) { return alive >= 8; });
    EXPECT_NE(stopped.status, 0);
    EXPECT_GE(stopped.peakHelpers, 8);
    // Gone with the program, and reaped.
    Helpers left = CountHelpers();
    for (int i = 0; i < 100 && (left.alive > 0 || left.zombies > 0); ++i) {
        std::this_thread::sleep_for(20ms);
        left = CountHelpers();
    }
    EXPECT_EQ(left.alive, 0);
    EXPECT_EQ(left.zombies, 0);
}

}  // namespace
}  // namespace skewmon::testing
