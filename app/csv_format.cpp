// CSV as RFC 4180 has it, for spreadsheets: the JSON document's machine
// fields, one line per machine.
#include "app/console_formats.h"
#include "app/format_common.h"
#include "text/text_util.h"

namespace skewmon {
namespace {

constexpr char kEol[] = "\r\n";

// Quoted when it holds a separator, a quote or a line end; a quote doubled.
std::string Field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string field = "\"";
    for (char c : text) {
        if (c == '"') field += '"';
        field += c;
    }
    return field + "\"";
}

// A name from a browse list could be a formula to a spreadsheet: one that
// starts like one gets a leading apostrophe, which the spreadsheet shows as
// text.
std::string NameField(std::string_view name) {
    std::string text = ValidUtf8(name);
    if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos)
        text.insert(0, "'");
    return Field(text);
}

std::string Flag(bool value) { return value ? "true" : "false"; }

// A figure with a decimal point and no exponent, as spreadsheets read it.
std::string Decimal(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string Moment(const std::optional<std::int64_t>& ms) {
    return ms ? Iso8601Utc(std::chrono::system_clock::time_point(std::chrono::milliseconds(*ms))) : "";
}

// The drift columns: empty without a history, the rate's only with one.
std::string DriftFields(const std::optional<DriftFigures>& drift) {
    if (!drift) return ",,,,,";
    const bool rate = drift->status == "rate";
    return Field(drift->status) + "," + (rate ? Decimal(drift->rateMsPerDay) : "") + "," +
           (rate ? Decimal(drift->uncertaintyMsPerDay) : "") + "," + std::to_string(drift->readings) + "," +
           Moment(drift->lastStepMs) + "," + Moment(drift->kerberosLimitAtMs);
}

}  // namespace

std::string CsvReport(const ScanResult& scan) {
    std::string out =
        "name,answered,local,offsetMs,sign,variance,remark,method,roundTripMs,errorBoundMs,reference,"
        "driftStatus,driftRateMsPerDay,driftUncertaintyMsPerDay,driftReadings,driftLastStep,driftKerberosLimitAt";
    out += kEol;
    for (const MachineReading& machine : scan.machines) {
        const bool asked = machine.answered && !machine.local;
        out += NameField(machine.name) + "," + Flag(machine.answered) + "," + Flag(machine.local) + "," +
               (machine.answered ? std::to_string(machine.offsetMs) : "") + "," + Field(machine.sign) + "," +
               Field(machine.variance) + "," + Field(machine.remark) + "," +
               (machine.method ? Field(MethodName(*machine.method)) : "") + "," +
               (asked ? std::to_string(machine.roundTripMs) : "") + "," +
               (machine.answered ? std::to_string(machine.errorBoundMs) : "") + "," + Flag(machine.reference) + "," +
               DriftFields(machine.drift) + kEol;
    }
    return out;
}

}  // namespace skewmon
