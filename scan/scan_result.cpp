#include "scan/scan_result.h"

#include "scan/scan_driver.h"
#include "text/text_util.h"
#include "timing/variance_text.h"

namespace skewmon {
namespace {

std::int64_t Magnitude(std::int64_t ms) { return ms < 0 ? -ms : ms; }

// The texts of an answered machine's offset, as its results row shows them.
void SetOffset(MachineReading& machine, std::int64_t offsetMs) {
    machine.offsetMs = offsetMs;
    machine.sign = offsetMs < 0 ? "-" : "+";
    const std::string_view text = VarianceText(Magnitude(offsetMs));
    const std::size_t tab = text.find('\t');
    machine.variance = std::string(text.substr(0, tab));
    machine.remark = tab == std::string_view::npos ? std::string() : std::string(text.substr(tab + 1));
}

// The figures and the grade from the machines, as the scan's closing step
// has them: every answer and the local machine counted.
void Tally(ScanResult& result) {
    std::int64_t sum = 0;
    result.worstMs = 0;
    result.machinesFound = result.machinesAsked = result.machinesAnswered = result.machinesSilent = 0;
    for (const MachineReading& machine : result.machines) {
        if (!machine.local) {
            ++result.machinesAsked;
            ++(machine.answered ? result.machinesAnswered : result.machinesSilent);
        }
        if (!machine.answered) continue;
        ++result.machinesFound;
        sum += machine.offsetMs;
        if (Magnitude(machine.offsetMs) > result.worstMs) result.worstMs = Magnitude(machine.offsetMs);
    }
    if (result.machinesFound == 0) {
        result.averageMs = 0;
        result.grade = NoGrade();
        return;
    }
    result.averageMs = Magnitude(sum) / result.machinesFound;
    result.grade = GradeScan(result.worstMs, result.averageMs);
}

}  // namespace

std::string_view MethodName(MeasurementMethod method) {
    return method == MeasurementMethod::kNegotiate ? "negotiate" : "time of day";
}

ScanResult ResultOfScan(const std::vector<MachineResult>& machines, std::string_view localMachine) {
    ScanResult result;
    result.localMachine = std::string(localMachine);
    result.reference = result.localMachine;
    result.machines.reserve(machines.size());
    for (const MachineResult& row : machines) {
        MachineReading machine;
        machine.name = row.name;
        machine.local = row.local;
        machine.reference = row.local;
        machine.answered = row.local || row.offset != kNoResponse;
        if (machine.answered) {
            SetOffset(machine, row.local ? 0 : row.offset);
            if (!row.local) {
                machine.method = row.method;
                machine.roundTripMs = row.roundTripMs;
                machine.errorBoundMs = std::int64_t{row.roundTripMs} / 2 + row.resolutionMs;
            }
        } else {
            machine.variance = kNoResponseText;
        }
        result.machines.push_back(std::move(machine));
    }
    Tally(result);
    return result;
}

std::optional<std::string> MeasureFromReference(ScanResult& result, std::string_view name) {
    MachineReading* reference = nullptr;
    for (MachineReading& machine : result.machines) {
        if (SameNameIgnoringCase(machine.name, name)) {
            reference = &machine;
            break;
        }
    }
    const std::string shown = PrintableText(name);
    if (!reference) return "the reference machine " + shown + " is not among the machines scanned";
    if (!reference->answered) return "the reference machine " + shown + " did not answer";

    const std::int64_t shift = reference->offsetMs;
    const std::int64_t bound = reference->errorBoundMs;
    for (MachineReading& machine : result.machines) {
        machine.reference = &machine == reference;
        if (!machine.answered) continue;
        SetOffset(machine, machine.offsetMs - shift);
        if (machine.reference)
            machine.errorBoundMs = 0;  // its own clock, read against itself
        else
            machine.errorBoundMs += bound;
    }
    result.reference = reference->name;
    result.referenceIsLocal = reference->local;
    Tally(result);
    return std::nullopt;
}

}  // namespace skewmon
