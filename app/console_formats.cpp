#include "app/console_formats.h"

#include <nlohmann/json.hpp>

#include "app/format_common.h"
#include "scan/scan_driver.h"
#include "state/app_state.h"
#include "text/text_util.h"
#include "timing/variance_text.h"

namespace skewmon {
namespace {

using nlohmann::json;

// Names come from files and from the network: whatever bytes they hold, the
// document stays valid UTF-8.
json Utf8(std::string_view text) { return ValidUtf8(text); }

json Moment(const std::optional<std::int64_t>& ms) {
    if (!ms) return nullptr;
    return Iso8601Utc(std::chrono::system_clock::time_point(std::chrono::milliseconds(*ms)));
}

json DriftEntry(const DriftFigures& drift) {
    const bool rate = drift.status == "rate";
    json entry;
    entry["status"] = drift.status;
    entry["rateMsPerDay"] = rate ? json(drift.rateMsPerDay) : json(nullptr);
    entry["rateUncertaintyMsPerDay"] = rate ? json(drift.uncertaintyMsPerDay) : json(nullptr);
    entry["ratePpm"] = rate ? json(drift.rateMsPerDay / 86.4) : json(nullptr);
    entry["significant"] = rate && drift.significant;
    entry["readings"] = drift.readings;
    entry["lastStep"] = Moment(drift.lastStepMs);
    entry["kerberosLimitAt"] = Moment(drift.kerberosLimitAtMs);
    return entry;
}

json MachineEntry(const MachineReading& machine) {
    json entry;
    entry["name"] = Utf8(machine.name);
    entry["answered"] = machine.answered;
    entry["local"] = machine.local;
    entry["offsetMs"] = machine.answered ? json(machine.offsetMs) : json(nullptr);
    entry["sign"] = machine.sign;
    entry["variance"] = machine.variance;
    entry["remark"] = machine.remark;
    entry["method"] = machine.method ? json(MethodName(*machine.method)) : json(nullptr);
    entry["roundTripMs"] = machine.answered && !machine.local ? json(machine.roundTripMs) : json(nullptr);
    entry["errorBoundMs"] = machine.answered ? json(machine.errorBoundMs) : json(nullptr);
    entry["reference"] = machine.reference;
    entry["drift"] = machine.drift ? DriftEntry(*machine.drift) : json(nullptr);
    return entry;
}

json Figure(const ScanResult& scan, std::int64_t ms) {
    if (scan.machinesFound <= 0) return {{"ms", nullptr}, {"text", "N/A"}, {"remark", ""}};
    const VarianceParts parts = SplitVariance(VarianceText(ms));
    return {{"ms", ms}, {"text", parts.text}, {"remark", parts.remark}};
}

}  // namespace

VarianceParts SplitVariance(std::string_view variance) {
    const std::size_t tab = variance.find('\t');
    if (tab == std::string_view::npos) return {std::string(variance), {}};
    return {std::string(variance.substr(0, tab)), std::string(variance.substr(tab + 1))};
}

std::string Iso8601Utc(std::chrono::system_clock::time_point moment) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(moment);
    const sys_days day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{ms - day};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

ReportRecord ReportRecordOf(const ScanResult& scan) {
    ReportRecord record;
    record.localMachine = scan.localMachine;
    record.sourcePhrase = SourcePhrase(scan.fromListFile, scan.listFileName);
    if (!scan.referenceIsLocal) record.reference = scan.reference;
    for (const MachineReading& machine : scan.machines) {
        // The row as the results list holds it, and as much of it as the
        // window's report reads back.
        std::string row = machine.name + "\t";
        if (machine.answered) {
            row += machine.sign + "\t" + machine.variance;
            if (!machine.remark.empty()) row += "\t" + machine.remark;
        } else {
            row += machine.variance;
        }
        record.rows.push_back(CutToCapacity(CutToCapacity(row, kRowCapacity), kReportRowCapacity));
    }
    record.worst = scan.worstMs;
    record.average = scan.averageMs;
    record.count = scan.machinesFound;
    record.summary = CutToCapacity(scan.grade.grade, kReportFieldCapacity);
    record.recommendation = CutToCapacity(scan.grade.recommendation, kReportFieldCapacity);
    record.explanation = CutToCapacity(scan.grade.explanation, kReportExplanationCapacity);
    return record;
}

std::string TextReport(const ScanResult& scan) { return RenderReport(ReportRecordOf(scan)); }

std::string_view CheckState(int exitStatus) {
    switch (exitStatus) {
        case 0: return "OK";
        case 1: return "WARNING";
        case 2: return "CRITICAL";
        default: return "UNKNOWN";
    }
}

std::string JsonReport(const ScanResult& scan) {
    json document;
    document["program"] = "Skewmon";
    document["version"] = kAppVersion;
    document["localMachine"] = Utf8(scan.localMachine);
    if (scan.fromListFile)
        document["source"] = {{"type", "list file"}, {"path", Utf8(scan.source)}};
    else
        document["source"] = {{"type", "browse list"}, {"domain", Utf8(scan.source)}};
    document["reference"] = {{"name", Utf8(scan.reference)}, {"local", scan.referenceIsLocal}};
    json machines = json::array();
    for (const MachineReading& machine : scan.machines) machines.push_back(MachineEntry(machine));
    document["machines"] = std::move(machines);
    document["worst"] = Figure(scan, scan.worstMs);
    document["average"] = Figure(scan, scan.averageMs);
    document["machinesFound"] = scan.machinesFound;
    document["machinesAnswered"] = scan.machinesAnswered;
    document["machinesSilent"] = scan.machinesSilent;
    document["summary"] = scan.grade.grade;
    document["recommendation"] = scan.grade.recommendation;
    document["explanation"] = scan.grade.explanation;
    document["problem"] = scan.problem.empty() ? json(nullptr) : Utf8(scan.problem);
    document["started"] = Iso8601Utc(scan.started);
    document["durationMs"] = scan.duration.count();
    return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace skewmon
