// Cost per machine of this program's time query, against a floor and against
// Samba's own tool, on the same lab servers in the same run:
//   - floors (skewmon_floor): one process, one libnetapi context, a new
//     connection for each machine; NetRemoteTOD alone, the measurement as
//     the helper makes it, and that with a new context after each;
//   - `net time -S ADDRESS`, one process per machine;
//   - the program itself: `--report` scans of 20 and 200 list entries;
//   - the program's query path alone (ProcessQueryRunner in this process);
// then the cost of a refused address after the first, of a hung machine
// (time-out, beep and the helper's restart), and the memory of scans of 20
// and 1000 entries. Wall and CPU per machine, min/median/max over rounds.
// A second program and helper (an earlier build) are measured the same way
// in the same run.
//
//   skewmon_bench LABDIR ROUNDS SKEWMON TOD [BASE_SKEWMON BASE_TOD]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/process/process_query_runner.h"
#include "tests/lab/lab_support.h"
#include "timing/remote_time.h"

extern char** environ;

namespace {

using namespace skewmon;
using Steady = std::chrono::steady_clock;
namespace fs = std::filesystem;

double Ms(Steady::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double Ms(const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; }
double CpuMs(const rusage& u) { return Ms(u.ru_utime) + Ms(u.ru_stime); }

struct Run {
    bool ok = false;      // exited with status 0
    double wallMs = 0;
    double cpuMs = 0;     // the process and every descendant it collected
    long maxRssKb = 0;    // the largest of them
};

// Runs a program with standard output into `output` (or thrown away) and
// standard error thrown away.
Run RunMeasured(const std::vector<std::string>& args, const std::string& output = "/dev/null") {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Run run;
    const auto start = Steady::now();
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return run;
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.wallMs = Ms(Steady::now() - start);
    run.cpuMs = CpuMs(usage);
    run.maxRssKb = usage.ru_maxrss;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

struct Stats {
    std::vector<double> values;
    void add(double v) { values.push_back(v); }
    double median() const {
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        if (v.empty()) return 0;
        const std::size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
    double min() const { return values.empty() ? 0 : *std::min_element(values.begin(), values.end()); }
    double max() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }
};

void Print(const char* what, const Stats& wall, const Stats& cpu) {
    std::printf("%-44s wall %7.2f %7.2f %7.2f   cpu %6.2f %6.2f %6.2f\n", what, wall.min(), wall.median(),
                wall.max(), cpu.min(), cpu.median(), cpu.max());
}

// A copy of the program whose default list file (its name with ".ini") the
// bench writes, with the helper beside it.
class ProgramCopy {
public:
    ProgramCopy(const std::string& program, const std::string& tod) {
        std::string pattern = (fs::temp_directory_path() / "skewmon-bench-XXXXXX").string();
        if (mkdtemp(pattern.data())) directory_ = pattern;
        fs::copy_file(program, exe(), fs::copy_options::overwrite_existing);
        fs::create_symlink(tod, directory_ + "/skewmon-tod");
    }
    ~ProgramCopy() {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
    std::string exe() const { return directory_ + "/skewmon.bin"; }
    const std::string& directory() const { return directory_; }

    // A --report scan of `machines`; `answered` counts the rows with an offset.
    Run scan(const std::vector<std::string>& machines, int* answered = nullptr) const {
        {
            std::ofstream list(directory_ + "/skewmon.ini");
            for (const std::string& m : machines) list << m << "\n";
        }
        const std::string out = directory_ + "/report.txt";
        Run run = RunMeasured({exe(), "--report"}, out);
        if (answered) {
            std::ifstream report(out);
            std::string line;
            int rows = 0;
            while (std::getline(report, line))
                if (line.rfind("127.0.0.", 0) == 0 && line.find("No response") == std::string::npos)
                    ++rows;
            *answered = rows;
        }
        return run;
    }

private:
    std::string directory_;
};

// The program-level figures of one build of the program.
struct ProgramFigures {
    Stats s20Wall, s20Cpu, s200Wall, s200Cpu, marginWall, marginCpu, refusedWall, hungWall;
    int answered = 0, rows = 0;
    Run small, large;

    void measureRound(const ProgramCopy& program, const std::vector<std::string>& list20,
                      const std::vector<std::string>& list200, const testing::Lab& lab) {
        int got = 0;
        const Run s20 = program.scan(list20, &got);
        answered += got;
        const Run s200 = program.scan(list200, &got);
        answered += got;
        rows += static_cast<int>(list20.size() + list200.size());
        s20Wall.add(s20.wallMs / 20);
        s20Cpu.add(s20.cpuMs / 20);
        s200Wall.add(s200.wallMs / 200);
        s200Cpu.add(s200.cpuMs / 200);
        marginWall.add((s200.wallMs - s20.wallMs) / 180);
        marginCpu.add((s200.cpuMs - s20.cpuMs) / 180);

        // A refused address: what ten more add to a scan that has one.
        const std::string first = lab.servers.front().address;
        const Run once = program.scan({first, lab.silent});
        const Run more = program.scan({first, lab.silent, lab.silent, lab.silent, lab.silent, lab.silent,
                                       lab.silent, lab.silent, lab.silent, lab.silent, lab.silent, lab.silent});
        refusedWall.add((more.wallMs - once.wallMs) / 10);

        // A hung machine: what it adds to a scan, the time-out, the beep and
        // the helper's restart for the machine after it included.
        const std::string second = lab.servers[1].address;
        const Run plain = program.scan({first, second});
        const Run withHung = program.scan({first, lab.hung, second});
        hungWall.add(withHung.wallMs - plain.wallMs);
    }

    void print(const char* name, double floorMs) const {
        std::printf("%s:\n", name);
        Print("  skewmon --report, 20 entries", s20Wall, s20Cpu);
        Print("  skewmon --report, 200 entries", s200Wall, s200Cpu);
        Print("  skewmon --report, 200 minus 20, per entry", marginWall, marginCpu);
        std::printf("  answered rows %d/%d\n", answered, rows);
        std::printf("  ratio to the floor (median wall): 200 entries %.2f, 200 minus 20 %.2f\n",
                    s200Wall.median() / floorMs, marginWall.median() / floorMs);
        std::printf("  refused address after the first (ms): %.2f %.2f %.2f\n", refusedWall.min(),
                    refusedWall.median(), refusedWall.max());
        std::printf("  hung machine in a scan, restart included (ms): %.0f %.0f %.0f\n", hungWall.min(),
                    hungWall.median(), hungWall.max());
        std::printf("  max RSS, program or helper (kB): 20 entries %ld, 1000 entries %ld (%.1f s)\n",
                    small.maxRssKb, large.maxRssKb, large.wallMs / 1000);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 7) {
        std::fputs("usage: skewmon_bench LABDIR ROUNDS SKEWMON TOD [BASE_SKEWMON BASE_TOD]\n", stderr);
        return 2;
    }
    const auto lab = testing::Lab::Load(argv[1]);
    const int rounds = std::atoi(argv[2]);
    if (!lab || rounds <= 0 || lab->servers.size() < 2) {
        std::fprintf(stderr, "no lab in %s\n", argv[1]);
        return 2;
    }
    // The lab's client settings for everything, so that nothing resolves
    // names or leaves loopback.
    setenv("HOME", lab->home.c_str(), 1);
    const std::string config = lab->home + "/.smb/smb.conf";
    ProgramCopy program(argv[3], argv[4]);
    std::unique_ptr<ProgramCopy> base;
    if (argc == 7) base = std::make_unique<ProgramCopy>(argv[5], argv[6]);

    std::vector<std::string> servers;
    for (const testing::LabServer& s : lab->servers) servers.push_back(s.address);
    const auto entries = [&](std::size_t n) {
        std::vector<std::string> list;
        for (std::size_t i = 0; i < n; ++i) list.push_back(servers[i % servers.size()]);
        return list;
    };
    const std::vector<std::string> list20 = entries(20), list200 = entries(200);
    const double n = static_cast<double>(servers.size());

    auto runner = std::make_unique<platform::ProcessQueryRunner>(argv[4]);
    const std::atomic<bool> never{false};
    auto ask = [&](const std::string& address) {
        Offset offset = kNoResponse;
        if (auto query = runner->start(QueryServerName(address), false))
            if (query->wait(kQueryTimeoutMs, never) == platform::QueryWait::kFinished) offset = query->result();
        return offset;
    };

    struct Floor {
        std::string mode;
        const char* title;
        Stats wall, cpu;
        int answered = 0;
    };
    Floor floors[] = {{"call", "floor: NetRemoteTOD alone", {}, {}},
                      {"measure", "floor: the whole measurement", {}, {}},
                      {"fresh", "floor: measurement, new context after each", {}, {}}};
    Stats netWall, netCpu, runnerWall, runnerCpu, runnerRefused;
    ProgramFigures ours, theirs;
    int netAnswered = 0, runnerAnswered = 0;
    const std::string floorProgram = (fs::path(argv[0]).parent_path() / "skewmon_floor").string();
    const std::string scratch = program.directory();
    for (int round = 0; round < rounds; ++round) {
        // The floors: a process of its own per round, so that every machine
        // is asked on a new connection of one context.
        for (Floor& floor : floors) {
            std::vector<std::string> args{floorProgram, floor.mode};
            args.insert(args.end(), servers.begin(), servers.end());
            const std::string out = scratch + "/floor.txt";
            RunMeasured(args, out);
            std::ifstream result(out);
            int answered = 0;
            double wall = 0, cpu = 0;
            if (result >> answered >> wall >> cpu) {
                floor.answered += answered;
                floor.wall.add(wall / n);
                floor.cpu.add(cpu / n);
            }
        }
        double wall = 0, cpu = 0;
        for (const std::string& address : servers) {
            const Run run = RunMeasured({"net", "-s", config, "time", "-S", address});
            wall += run.wallMs;
            cpu += run.cpuMs;
            if (run.ok) ++netAnswered;
        }
        netWall.add(wall / n);
        netCpu.add(cpu / n);

        // The program's query path in this process: the helpers' CPU shows
        // once they are collected, so it is read for the process as a whole.
        rusage before{}, after{}, childBefore{}, childAfter{};
        getrusage(RUSAGE_SELF, &before);
        getrusage(RUSAGE_CHILDREN, &childBefore);
        const auto start = Steady::now();
        for (const std::string& address : servers)
            if (ask(address) != kNoResponse) ++runnerAnswered;
        runnerWall.add(Ms(Steady::now() - start) / n);
        runner = std::make_unique<platform::ProcessQueryRunner>(argv[4]);  // ends its helpers, so that their CPU counts
        getrusage(RUSAGE_SELF, &after);
        getrusage(RUSAGE_CHILDREN, &childAfter);
        runnerCpu.add((CpuMs(after) - CpuMs(before) + CpuMs(childAfter) - CpuMs(childBefore)) / n);

        // A refused address through the runner alone, after the first.
        ask(lab->silent);
        const auto refusedFrom = Steady::now();
        for (int i = 0; i < 10; ++i) ask(lab->silent);
        runnerRefused.add(Ms(Steady::now() - refusedFrom) / 10);

        ours.measureRound(program, list20, list200, *lab);
        if (base) theirs.measureRound(*base, list20, list200, *lab);
    }
    ours.small = program.scan(entries(20));
    ours.large = program.scan(entries(1000));
    if (base) {
        theirs.small = base->scan(entries(20));
        theirs.large = base->scan(entries(1000));
    }

    const int queries = rounds * static_cast<int>(n);
    std::printf("servers %zu, rounds %d; ms per machine: wall min median max, cpu min median max\n",
                servers.size(), rounds);
    for (const Floor& floor : floors) Print(floor.title, floor.wall, floor.cpu);
    Print("net time -S ADDRESS", netWall, netCpu);
    Print("ProcessQueryRunner in process", runnerWall, runnerCpu);
    std::printf("answered: floors %d %d %d of %d each, net %d/%d, runner %d/%d\n", floors[0].answered,
                floors[1].answered, floors[2].answered, queries, netAnswered, queries, runnerAnswered, queries);
    // The program measures with the refinement: its floor is the whole measurement.
    const double floorMs = floors[1].wall.median();
    std::printf("ratios to the measurement's floor (median wall): net %.2f, runner %.2f\n",
                netWall.median() / floorMs, runnerWall.median() / floorMs);
    std::printf("refused address after the first, runner in process (ms): %.2f %.2f %.2f\n", runnerRefused.min(),
                runnerRefused.median(), runnerRefused.max());
    ours.print("this build", floorMs);
    if (base) theirs.print("base build", floorMs);
    return ours.answered == ours.rows && floors[1].answered == queries ? 0 : 1;
}
