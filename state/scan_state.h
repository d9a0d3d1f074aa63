// The scan-wide figures and the record of the last scan.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/controls.h"
#include "platform/time_query.h"

namespace skewmon {

// One machine of a scan as its row was made.
struct MachineResult {
    std::string name;
    bool local = false;           // counted without being asked
    Offset offset = kNoResponse;  // 0 for the local machine
    MeasurementMethod method = MeasurementMethod::kTimeOfDay;
    std::string row;              // the results row as listed
    // The round trip of the answer used and the resolution of its clock
    // reading; 0 without an answer and for the local machine.
    std::uint32_t roundTripMs = 0;
    std::uint32_t resolutionMs = 0;
};

struct ScanState {
    std::int64_t worst = 0;
    std::int64_t sum = 0;
    std::int32_t count = 0;
    std::int64_t average = 0;
    // The main dialog; none before the first scan.
    platform::DialogControls* dialog = nullptr;

    // Machines asked at the same time. The window asks one after another;
    // the console mode may ask more. Set before a scan starts.
    int parallelQueries = 1;
    // Every machine of the last scan in the order of its source; written by
    // the scan thread, read once it has ended.
    std::vector<MachineResult> machines;
    // Told of each machine on the scan thread as soon as its answer is in
    // (when several are asked at once, in the order they finish). Set before
    // a scan starts.
    std::function<void(const MachineResult&)> onMachine;
    // The domain whose browse list the last scan walked; empty with a list
    // file. Written by the scan thread before its first machine.
    std::string domain;
    // What kept every query of the last scan from working (client settings
    // that cannot be loaded), as the runner said it; empty when nothing did.
    // Written by the scan thread before its first query.
    std::string queryProblem;
};

}  // namespace skewmon
