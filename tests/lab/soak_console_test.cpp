// Many console scans, each asking 32 machines at once, from one process
// through the screenless front end against the lab: what the process and its
// helpers hold after the first scan is what they hold at the end.
//
// SKEWMON_SOAK_CONSOLE_SCANS sets the number of scans (default 50).
#include <iostream>

#include "tests/lab/lab_program.h"
#include "tests/lab/soak_figures.h"

namespace skewmon::testing {
namespace {

// The "Machines Found:" line of a text report.
std::string MachinesFound(const std::string& report) {
    const std::size_t at = report.find("Machines Found:");
    return at == std::string::npos ? std::string() : report.substr(at, report.find_first_of("\r\n", at) - at);
}

TEST_F(LabConsole, ParallelScansGiveBackWhatEachScanTakes) {
    const int scans = ScanCountFromEnvironment("SKEWMON_SOAK_CONSOLE_SCANS", 50);
    const int every = scans >= 200 ? 50 : 10;
    // Every server twice, and the address where nothing listens, which
    // refuses at once: 14 machines, all asked at the same time.
    std::string list;
    for (int round = 0; round < 2; ++round)
        for (const LabServer& server : lab->servers) list += server.address + "\n";
    list += lab->silent + "\n" + lab->silent + "\n";

    SoakLog log("console", std::cout);
    const int status = runConsole(list, 32);
    const std::string found = MachinesFound(out.str());
    ASSERT_EQ(found, "Machines Found:   " + std::to_string(2 * lab->servers.size())) << out.str() << err.str();
    log.first(SettledFigures(0, 3000, nullptr));

    for (int scan = 2; scan <= scans; ++scan) {
        ASSERT_EQ(runConsole(list, 32), status) << "scan " << scan << "\n" << err.str();
        ASSERT_EQ(MachinesFound(out.str()), found) << "scan " << scan << "\n" << out.str();
        if (scan % every == 0 || scan == scans) log.checkpoint(scan, SettledFigures(0, 3000, nullptr));
    }
    for (const std::string& grown : log.growth()) ADD_FAILURE() << grown;
}

}  // namespace
}  // namespace skewmon::testing
