// The result of one completed scan as one plain record: every machine in the
// order of its source, and the scan's own figures. Every console format is
// rendered from it; fields are only ever added.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/time_query.h"
#include "scan/assessment.h"
#include "state/scan_state.h"

namespace skewmon {

// How fast a machine's clock runs away from the reference, worked out from
// the history of console scans (--history); a scan alone does not know it.
struct DriftFigures {
    std::string status;  // "rate", "not enough history" or "no answers"
    // "rate" only: the slope of the offsets, its standard uncertainty, and
    // whether it is at least twice that.
    double rateMsPerDay = 0;
    double uncertaintyMsPerDay = 0;
    bool significant = false;
    int readings = 0;  // what the rate rests on: the newest segment's readings
    std::optional<std::int64_t> lastStepMs;         // since 1970-01-01 UTC: the clock was last set
    std::optional<std::int64_t> kerberosLimitAtMs;  // when the offset will reach 5 minutes
};

struct MachineReading {
    std::string name;
    bool answered = false;   // a usable answer, or the local machine
    bool local = false;      // this machine, counted without being asked
    bool reference = false;  // the clock every offset is measured from
    // The machine's clock minus the reference's; meaningful when answered.
    std::int64_t offsetMs = 0;
    // How the answer was read; none for the local machine and without one.
    std::optional<MeasurementMethod> method;
    std::int64_t roundTripMs = 0;
    // How far off the offset can be: half the round trip plus the answer's
    // resolution (and the reference's own bound when that is not this machine).
    std::int64_t errorBoundMs = 0;
    std::string sign;      // "+" or "-"; empty without an answer
    std::string variance;  // "yy ddd hh:mm:ss.mss", or the no-response text
    std::string remark;    // the coarsest unit reached (">3 mins"), or empty
    std::optional<DriftFigures> drift;  // with a history only
};

struct ScanResult {
    std::string localMachine;
    bool fromListFile = false;
    std::string source;        // the list file's path, or the domain browsed
    std::string listFileName;  // as the report names the list file; empty: "skewmon.ini"
    std::string reference;     // the machine whose clock the offsets are from
    bool referenceIsLocal = true;
    std::vector<MachineReading> machines;
    std::int64_t worstMs = 0;    // the largest magnitude of an offset counted
    std::int64_t averageMs = 0;  // |sum of the offsets counted| / machines counted
    std::int32_t machinesFound = 0;     // counted: answered, the local machine included
    std::int32_t machinesAsked = 0;     // every machine but the local one
    std::int32_t machinesAnswered = 0;  // asked, and answered
    std::int32_t machinesSilent = 0;    // asked, without a usable answer
    ScanGrade grade;
    // What kept every machine from being asked; empty when nothing did.
    std::string problem;
    std::chrono::system_clock::time_point started;
    std::chrono::milliseconds duration{0};
};

// "time of day" or "negotiate".
std::string_view MethodName(MeasurementMethod method);

// The record of the machines of a completed scan, with its figures and grade
// worked out as the closing step works them out; the rest is the caller's.
ScanResult ResultOfScan(const std::vector<MachineResult>& machines, std::string_view localMachine);

// Measures every offset from `name`'s clock instead of this machine's: its
// offset is subtracted from every other, the error bounds add, and the
// figures and grade follow. On failure the result stays as it was and the
// reason comes back.
std::optional<std::string> MeasureFromReference(ScanResult& result, std::string_view name);

}  // namespace skewmon
