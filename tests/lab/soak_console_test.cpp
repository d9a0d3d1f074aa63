// Many console scans, each asking 32 machines at once, from one process
// through the screenless front end against the lab: what the process and its
// helpers hold after the first scan is what they hold at the end.
//
// SKEWMON_SOAK_CONSOLE_SCANS sets the number of scans (default 50).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <iostream>
#include <thread>

#include "tests/lab/lab_program.h"
#include "tests/lab/soak_figures.h"

namespace skewmon::testing {
namespace {

// The "Machines Found:" line of a text report.
std::string MachinesFound(const std::string& report) {
    const std::size_t at = report.find("Machines Found:");
    return at == std::string::npos ? std::string() : report.substr(at, report.find_first_of("\r\n", at) - at);
}

// The measure itself: a helper's own child counts as below this process, a
// descriptor left open counts, and both show as growth.
TEST(SoakFigures, CountWhatIsLeftOpenAndWhatIsLeftRunning) {
    const ProcessTreeFigures before = MeasureProcessTree();
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A grandchild that holds the pipe open as long as it lives.
        if (fork() == 0) {
            close(pipeEnds[1]);
            char byte;
            while (read(pipeEnds[0], &byte, 1) < 0 && errno == EINTR) {
            }
            _exit(0);
        }
        pause();
        _exit(0);
    }
    close(pipeEnds[0]);
    std::vector<pid_t> below;
    for (int look = 0; look < 200 && below.size() < 2; ++look) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        below = ProcessesBelow(getpid());
    }
    const ProcessTreeFigures during = MeasureProcessTree();
    EXPECT_EQ(below.size(), 2u);
    EXPECT_EQ(during.processesBelow, before.processesBelow + 2);
    EXPECT_EQ(during.descriptors, before.descriptors + 1);  // the write end
    EXPECT_GT(during.pssKiB, before.pssKiB);
    const std::vector<std::string> growth = GrowthBeyond(before, during, SoakAllowance{});
    ASSERT_EQ(growth.size(), 1u);
    EXPECT_EQ(growth[0], "processes below " + std::to_string(before.processesBelow + 2) + " > " +
                             std::to_string(before.processesBelow) + " + 0");

    close(pipeEnds[1]);  // the grandchild ends
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const ProcessTreeFigures after = SettledFigures(before.processesBelow, 3000, nullptr);
    EXPECT_EQ(after.processesBelow, before.processesBelow);
    EXPECT_EQ(after.descriptors, before.descriptors);
}

class ConsoleSoak : public LabConsole {};

TEST_F(ConsoleSoak, ParallelScansGiveBackWhatEachScanTakes) {
    const int scans = ScanCountFromEnvironment("SKEWMON_SOAK_CONSOLE_SCANS", 50);
    const int every = scans >= 200 ? 50 : 10;
    // Every server twice, and the address where nothing listens, which
    // refuses at once: 14 machines, all asked at the same time.
    std::string list;
    for (int round = 0; round < 2; ++round)
        for (const LabServer& server : lab->servers) list += server.address + "\n";
    list += lab->silent + "\n" + lab->silent + "\n";

    SoakLog log("console", std::cout);
    const std::string everyone = "Machines Found:   " + std::to_string(2 * lab->servers.size());
    ASSERT_NE(runConsole(list, 32), 3) << err.str();
    ASSERT_EQ(MachinesFound(out.str()), everyone) << out.str() << err.str();
    log.first(SettledFigures(0, 3000, nullptr));

    // A server of a loaded machine may miss its time limit now and then:
    // such a scan still reports, and only its figures are checked.
    int answeredInFull = 1;
    for (int scan = 2; scan <= scans; ++scan) {
        ASSERT_NE(runConsole(list, 32), 3) << "scan " << scan << "\n" << err.str();
        ASSERT_FALSE(MachinesFound(out.str()).empty()) << "scan " << scan << "\n" << out.str();
        if (MachinesFound(out.str()) == everyone) ++answeredInFull;
        if (scan % every == 0 || scan == scans) log.checkpoint(scan, SettledFigures(0, 3000, nullptr));
    }
    std::cout << "console: " << scans << " scans, " << answeredInFull << " with every server answering" << std::endl;
    for (const std::string& grown : log.growth()) ADD_FAILURE() << grown;
}

}  // namespace
}  // namespace skewmon::testing
