// The console report's forms for programs: one JSON document, or one status
// line with performance data as monitoring systems read it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "state/scan_state.h"

namespace skewmon {

// Everything a completed scan showed, as the formats need it.
struct FinishedScan {
    std::string localMachine;
    bool fromListFile = false;
    std::string source;  // the list file's path, or the domain browsed
    std::vector<MachineResult> machines;  // in the order of the source
    std::int32_t counted = 0;             // machines found (answered or local)
    std::int64_t worst = 0;               // milliseconds
    std::int64_t average = 0;
    std::string summary;  // the grade, or "N/A"
    std::string recommendation;
    std::string explanation;
    // What kept every machine from being asked (client settings that cannot
    // be loaded); empty when nothing did.
    std::string problem;
};

// "OK", "WARNING", "CRITICAL" or "UNKNOWN" for an exit status of 0 to 3.
std::string_view CheckState(int exitStatus);

// The JSON document, ending in a line end. Bytes of names and paths that are
// not UTF-8 come out as U+FFFD, so that the document is always valid.
std::string JsonReport(const FinishedScan& scan);

// One line, ending in a line end: the state, the grade, the worst machine and
// how many answered, then performance data after "|".
std::string CheckLine(const FinishedScan& scan, int exitStatus);
// The line for a scan that did not complete, or could not run: `reason`.
std::string IncompleteCheckLine(std::string_view reason = "Scan did not complete");

}  // namespace skewmon
