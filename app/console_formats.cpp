#include "app/console_formats.h"

#include <nlohmann/json.hpp>

#include "scan/scan_driver.h"
#include "state/app_state.h"
#include "timing/variance_text.h"

namespace skewmon {
namespace {

using nlohmann::json;

constexpr std::int64_t kDayMs = 24LL * 60 * 60 * 1000;

struct VarianceParts {
    std::string text;    // "yy ddd hh:mm:ss.mss"
    std::string remark;  // ">3 mins", or empty below a second
};

VarianceParts SplitVariance(std::string_view variance) {
    const std::size_t tab = variance.find('\t');
    if (tab == std::string_view::npos) return {std::string(variance), {}};
    return {std::string(variance.substr(0, tab)), std::string(variance.substr(tab + 1))};
}

const char* MethodName(MeasurementMethod method) {
    return method == MeasurementMethod::kNegotiate ? "negotiate" : "time of day";
}

bool Answered(const MachineResult& machine) { return machine.local || machine.offset != kNoResponse; }

json MachineEntry(const MachineResult& machine) {
    json entry;
    entry["name"] = machine.name;
    entry["answered"] = Answered(machine);
    entry["local"] = machine.local;
    // The row's own fields, as the report lays them out.
    const std::size_t first = machine.row.find('\t');
    const std::string_view rest =
        first == std::string::npos ? std::string_view() : std::string_view(machine.row).substr(first + 1);
    if (Answered(machine)) {
        const std::size_t second = rest.find('\t');
        const VarianceParts parts =
            SplitVariance(second == std::string_view::npos ? std::string_view() : rest.substr(second + 1));
        entry["offsetMs"] = machine.offset;
        entry["sign"] = std::string(rest.substr(0, second));
        entry["variance"] = parts.text;
        entry["remark"] = parts.remark;
        entry["method"] = machine.local ? json(nullptr) : json(MethodName(machine.method));
    } else {
        entry["offsetMs"] = nullptr;
        entry["sign"] = "";
        entry["variance"] = std::string(rest);
        entry["remark"] = "";
        entry["method"] = nullptr;
    }
    return entry;
}

json Figure(const FinishedScan& scan, std::int64_t ms) {
    if (scan.counted <= 0) return {{"ms", nullptr}, {"text", "N/A"}, {"remark", ""}};
    const VarianceParts parts = SplitVariance(VarianceText(ms));
    return {{"ms", ms}, {"text", parts.text}, {"remark", parts.remark}};
}

// A name or text in the status line: one line, and no "|" that would start
// the performance data early.
std::string LineSafe(std::string_view text) {
    std::string safe(text);
    for (char& c : safe)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '|') c = '?';
    return safe;
}

// "hh:mm:ss.mss" below a day, else the whole "yy ddd hh:mm:ss.mss".
std::string ShortVariance(std::int64_t ms) {
    const std::string text = SplitVariance(VarianceText(ms)).text;
    return ms < kDayMs && text.size() > 7 ? text.substr(7) : text;
}

// Milliseconds as seconds with three decimals.
std::string Seconds(std::int64_t ms) {
    const bool negative = ms < 0;
    const std::uint64_t m = negative ? 0 - static_cast<std::uint64_t>(ms) : static_cast<std::uint64_t>(ms);
    std::string fraction = std::to_string(m % 1000);
    fraction.insert(0, 3 - fraction.size(), '0');
    return (negative ? "-" : "") + std::to_string(m / 1000) + "." + fraction + "s";
}

}  // namespace

std::string_view CheckState(int exitStatus) {
    switch (exitStatus) {
        case 0: return "OK";
        case 1: return "WARNING";
        case 2: return "CRITICAL";
        default: return "UNKNOWN";
    }
}

std::string JsonReport(const FinishedScan& scan) {
    json document;
    document["program"] = "Skewmon";
    document["version"] = kAppVersion;
    document["localMachine"] = scan.localMachine;
    if (scan.fromListFile)
        document["source"] = {{"type", "list file"}, {"path", scan.source}};
    else
        document["source"] = {{"type", "browse list"}, {"domain", scan.source}};
    json machines = json::array();
    for (const MachineResult& machine : scan.machines) machines.push_back(MachineEntry(machine));
    document["machines"] = std::move(machines);
    document["worst"] = Figure(scan, scan.worst);
    document["average"] = Figure(scan, scan.average);
    document["machinesFound"] = scan.counted;
    document["summary"] = scan.summary;
    document["recommendation"] = scan.recommendation;
    document["explanation"] = scan.explanation;
    document["problem"] = scan.problem.empty() ? json(nullptr) : json(scan.problem);
    // Names come from files and from the network: whatever bytes they hold,
    // the document stays valid UTF-8.
    return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string CheckLine(const FinishedScan& scan, int exitStatus) {
    const std::size_t listed = scan.machines.size();
    const std::int64_t answered = scan.counted;
    const std::int64_t silent = static_cast<std::int64_t>(listed) - answered;
    std::string line = "SKEWMON " + std::string(CheckState(exitStatus)) + " - ";
    const std::string tally = std::to_string(answered) + " of " + std::to_string(listed) + " machines answered";
    const std::string counts = "answered=" + std::to_string(answered) + " silent=" + std::to_string(silent);
    // Without a grade worth showing: why not, and the counts.
    if (!scan.problem.empty()) return line + LineSafe(scan.problem) + " | " + counts + "\n";
    if (answered <= 0) return line + "No machines responded: " + tally + " | " + counts + "\n";
    line += LineSafe(scan.summary) + ": worst " + ShortVariance(scan.worst);
    for (const MachineResult& machine : scan.machines) {
        if (!Answered(machine)) continue;
        const std::int64_t m = machine.offset < 0 ? -machine.offset : machine.offset;
        if (m == scan.worst) {
            line += " on " + LineSafe(machine.name);
            break;
        }
    }
    line += ", " + tally + " | worst=" + Seconds(scan.worst) + " average=" + Seconds(scan.average) + " " + counts;
    return line + "\n";
}

std::string IncompleteCheckLine(std::string_view reason) {
    return "SKEWMON UNKNOWN - " + LineSafe(reason) + "\n";
}

}  // namespace skewmon
