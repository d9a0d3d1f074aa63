// The Prometheus text exposition format 0.0.4, in base units: one family of
// samples per figure, each with its help and type lines.
#include <cstdio>
#include <set>
#include <vector>

#include "app/console_formats.h"
#include "text/text_util.h"

namespace skewmon {
namespace {

// A label value: valid UTF-8, with backslash, quote and line feed escaped.
std::string LabelValue(std::string_view text) {
    std::string value;
    for (char c : ValidUtf8(text)) {
        if (c == '\\')
            value += "\\\\";
        else if (c == '"')
            value += "\\\"";
        else if (c == '\n')
            value += "\\n";
        else
            value += c;
    }
    return value;
}

std::string_view GradeName(Grade grade) {
    switch (grade) {
        case Grade::kOutstanding: return "outstanding";
        case Grade::kExcellent: return "excellent";
        case Grade::kAcceptable: return "acceptable";
        case Grade::kFair: return "fair";
        case Grade::kPoor: return "poor";
        case Grade::kUnacceptable: return "unacceptable";
        case Grade::kNotSynchronized: return "not_synchronized";
        case Grade::kNone: break;
    }
    return "none";
}

// ms/day as a plain decimal ratio (seconds per second), never in exponent form.
std::string Ratio(double msPerDay) {
    char text[64];
    std::snprintf(text, sizeof text, "%.12f", msPerDay / 86400000.0);
    return text;
}

class Exposition {
public:
    // Starts a family; its samples follow.
    void family(std::string_view name, std::string_view help) {
        name_ = std::string(name);
        seen_.clear();
        out_ += "# HELP " + name_ + " " + std::string(help) + "\n# TYPE " + name_ + " gauge\n";
    }
    // A series given twice is one a scrape refuses whole: a machine listed
    // twice (or two names alike once made valid UTF-8) keeps its first.
    void sample(const std::vector<std::pair<std::string_view, std::string>>& labels, std::string_view value) {
        std::string series = name_;
        if (!labels.empty()) {
            series += "{";
            for (std::size_t i = 0; i < labels.size(); ++i) {
                if (i > 0) series += ",";
                series += std::string(labels[i].first) + "=\"" + LabelValue(labels[i].second) + "\"";
            }
            series += "}";
        }
        if (!seen_.insert(series).second) return;
        out_ += series + " " + std::string(value) + "\n";
    }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
    std::string name_;
    std::set<std::string> seen_;
};

// The labels that name a machine: its name, and how it was measured.
std::vector<std::pair<std::string_view, std::string>> MachineLabels(const MachineReading& machine) {
    std::vector<std::pair<std::string_view, std::string>> labels{{"machine", machine.name}};
    if (machine.method) labels.emplace_back("method", std::string(MethodName(*machine.method)));
    return labels;
}

}  // namespace

std::string PrometheusReport(const ScanResult& scan) {
    Exposition out;
    out.family("skewmon_machine_answered", "Whether the machine gave a usable answer (1) or not (0).");
    for (const MachineReading& machine : scan.machines)
        out.sample({{"machine", machine.name}}, machine.answered ? "1" : "0");
    out.family("skewmon_machine_offset_seconds",
               "The machine's clock minus the reference clock, corrected for half the round trip.");
    for (const MachineReading& machine : scan.machines)
        if (machine.answered) out.sample(MachineLabels(machine), MillisecondsAsSeconds(machine.offsetMs));
    out.family("skewmon_machine_round_trip_seconds", "The round trip of the answer the offset comes from.");
    for (const MachineReading& machine : scan.machines)
        if (machine.answered && !machine.local)
            out.sample(MachineLabels(machine), MillisecondsAsSeconds(machine.roundTripMs));
    out.family("skewmon_machine_error_bound_seconds",
               "How far the offset can be off: half the round trip plus the answer's resolution.");
    for (const MachineReading& machine : scan.machines)
        if (machine.answered) out.sample(MachineLabels(machine), MillisecondsAsSeconds(machine.errorBoundMs));

    // From the history (--history): the rate as seconds gained per second.
    auto drifting = [&](auto&& value) {
        for (const MachineReading& machine : scan.machines)
            if (machine.drift && machine.drift->status == "rate")
                out.sample({{"machine", machine.name}}, value(*machine.drift));
    };
    auto rated = [&] {
        for (const MachineReading& machine : scan.machines)
            if (machine.drift && machine.drift->status == "rate") return true;
        return false;
    };
    if (rated()) {
        out.family("skewmon_machine_drift_ratio",
                   "How fast the machine's clock runs away from the reference, in seconds per second.");
        drifting([](const DriftFigures& d) { return Ratio(d.rateMsPerDay); });
        out.family("skewmon_machine_drift_uncertainty_ratio", "The standard uncertainty of the drift.");
        drifting([](const DriftFigures& d) { return Ratio(d.uncertaintyMsPerDay); });
    }
    bool histories = false;
    for (const MachineReading& machine : scan.machines) histories = histories || machine.drift.has_value();
    if (histories) {
        out.family("skewmon_machine_drift_readings", "The readings of the history the drift rests on.");
        for (const MachineReading& machine : scan.machines)
            if (machine.drift) out.sample({{"machine", machine.name}}, std::to_string(machine.drift->readings));
        out.family("skewmon_machine_drift_last_step_timestamp_seconds",
                   "When the machine's clock was last set, in seconds since 1970-01-01 UTC.");
        for (const MachineReading& machine : scan.machines)
            if (machine.drift && machine.drift->lastStepMs)
                out.sample({{"machine", machine.name}}, MillisecondsAsSeconds(*machine.drift->lastStepMs));
    }

    if (scan.machinesFound > 0) {
        out.family("skewmon_worst_offset_seconds", "The largest absolute offset of the scan.");
        out.sample({}, MillisecondsAsSeconds(scan.worstMs));
        out.family("skewmon_average_offset_seconds",
                   "The absolute value of the sum of the offsets divided by the machines counted.");
        out.sample({}, MillisecondsAsSeconds(scan.averageMs));
    }
    out.family("skewmon_machines_answered", "Machines counted: those that answered, this machine included.");
    out.sample({}, std::to_string(scan.machinesFound));
    out.family("skewmon_machines_silent", "Machines asked that gave no usable answer.");
    out.sample({}, std::to_string(scan.machinesSilent));
    out.family("skewmon_grade_info", "The scan's grade, with the summary the report shows.");
    out.sample({{"grade", std::string(GradeName(scan.grade.level))}, {"summary", scan.grade.grade}}, "1");
    out.family("skewmon_reference_info", "The machine whose clock the offsets are measured from.");
    out.sample({{"machine", scan.reference}, {"local", scan.referenceIsLocal ? "true" : "false"}}, "1");
    out.family("skewmon_scan_duration_seconds", "How long the scan took.");
    out.sample({}, MillisecondsAsSeconds(scan.duration.count()));
    out.family("skewmon_scan_end_timestamp_seconds", "When the scan ended, in seconds since 1970-01-01 UTC.");
    const auto end = std::chrono::duration_cast<std::chrono::milliseconds>(
        (scan.started + scan.duration).time_since_epoch());
    out.sample({}, MillisecondsAsSeconds(end.count()));
    return out.take();
}

}  // namespace skewmon
