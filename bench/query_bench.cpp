// Milliseconds per machine for this program's query path (ProcessQueryRunner
// and skewmon-tod, as CheckMachine uses them) and for Samba's own
// `net time -S ADDRESS` with the same client settings, on the same servers.
//
//   skewmon_bench LABDIR [ROUNDS]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linux/process_query_runner.h"
#include "tests/lab_support.h"
#include "timing/remote_time.h"

extern char** environ;

namespace {

using namespace skewmon;
using Steady = std::chrono::steady_clock;

double Ms(Steady::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Runs a program with its output thrown away; true when it exits with 0.
bool RunQuietly(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: skewmon_bench LABDIR [ROUNDS]\n", stderr);
        return 2;
    }
    const auto lab = testing::Lab::Load(argv[1]);
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    if (!lab || rounds <= 0) {
        std::fprintf(stderr, "no lab in %s\n", argv[1]);
        return 2;
    }
    // The lab's client settings for both, so that neither resolves names or
    // leaves loopback.
    setenv("HOME", lab->home.c_str(), 1);
    const std::string config = lab->home + "/.smb/smb.conf";

    platform::ProcessQueryRunner runner(testing::TodHelperPath());
    const std::atomic<bool> never{false};
    int answered = 0;
    int netAnswered = 0;
    Steady::duration ours{}, theirs{};
    for (int round = 0; round < rounds; ++round) {
        for (const testing::LabServer& server : lab->servers) {
            auto start = Steady::now();
            Offset offset = kNoResponse;
            if (auto query = runner.start(QueryServerName(server.address), false))
                if (query->wait(kQueryTimeoutMs, never) == platform::QueryWait::kFinished)
                    offset = query->result();
            ours += Steady::now() - start;
            if (offset != kNoResponse) ++answered;

            start = Steady::now();
            if (RunQuietly({"net", "-s", config, "time", "-S", server.address})) ++netAnswered;
            theirs += Steady::now() - start;
        }
    }
    const int queries = rounds * static_cast<int>(lab->servers.size());
    const double oursMs = Ms(ours) / queries;
    const double theirsMs = Ms(theirs) / queries;
    std::printf("servers %zu, rounds %d, queries %d\n", lab->servers.size(), rounds, queries);
    std::printf("skewmon-tod via ProcessQueryRunner: %8.2f ms per machine (%d/%d answered)\n", oursMs, answered,
                queries);
    std::printf("net time -S ADDRESS:                %8.2f ms per machine (%d/%d answered)\n", theirsMs,
                netAnswered, queries);
    std::printf("ratio (skewmon / net time):         %8.2f\n", oursMs / theirsMs);
    return answered == queries ? 0 : 1;
}
