// The console report's writers for programs, fed a finished scan whose
// names, local machine name, source and problem hold any bytes. Each
// output is read back here as its reader would read it: the JSON document
// must parse and keep every machine, the check line must stay one line with
// well-formed performance data. A new writer adds its row to kWriters.
#include <fuzzer/FuzzedDataProvider.h>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "app/console_formats.h"
#include "app/console_report.h"
#include "scan/scan_driver.h"
#include "tests/fuzz/fuzz_check.h"

using namespace skewmon;

namespace {

// Every grade the ladder gives, and what the summary reads without one.
constexpr const char* kSummaries[] = {"Outstanding!", "Excellent!", "Acceptable", "Fair", "Poor",
                                      "Unacceptable", "Not synchronized", "N/A", "Cancelled"};

FinishedScan ScanFrom(FuzzedDataProvider& input) {
    FinishedScan scan;
    scan.localMachine = input.ConsumeRandomLengthString(100);
    scan.fromListFile = input.ConsumeBool();
    scan.source = input.ConsumeRandomLengthString(300);
    const int machines = input.ConsumeIntegralInRange(0, 24);
    std::int64_t sum = 0;
    for (int i = 0; i < machines; ++i) {
        const std::string name = input.ConsumeRandomLengthString(300);
        const bool local = input.ConsumeBool();
        Measurement measured;
        if (input.ConsumeBool()) measured.offset = input.ConsumeIntegralInRange(-kLargestOffset, kLargestOffset);
        if (input.ConsumeBool()) measured.method = MeasurementMethod::kNegotiate;
        // As the scan makes and counts it.
        MachineResult result = MakeMachineResult(name, local, measured);
        if (local || result.offset != kNoResponse) {
            ++scan.counted;
            sum += result.offset;
            scan.worst = std::max(scan.worst, result.offset < 0 ? -result.offset : result.offset);
        }
        scan.machines.push_back(std::move(result));
    }
    scan.average = scan.counted > 0 ? sum / scan.counted : 0;
    scan.summary = input.ConsumeBool() ? input.PickValueInArray(kSummaries) : input.ConsumeRandomLengthString(100);
    scan.recommendation = input.ConsumeRandomLengthString(200);
    scan.explanation = input.ConsumeRandomLengthString(400);
    if (input.ConsumeBool()) scan.problem = input.ConsumeRandomLengthString(300);
    return scan;
}

bool IsUtf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

void CheckJson(const std::string& out, const FinishedScan& scan, int) {
    FUZZ_CHECK(!out.empty() && out.back() == '\n');
    const nlohmann::json document = nlohmann::json::parse(out, nullptr, false);
    FUZZ_CHECK(!document.is_discarded());
    FUZZ_CHECK(document["machines"].is_array() && document["machines"].size() == scan.machines.size());
    for (std::size_t i = 0; i < scan.machines.size(); ++i) {
        const nlohmann::json& machine = document["machines"][i];
        FUZZ_CHECK(machine["name"].is_string());
        if (IsUtf8(scan.machines[i].name)) {
            FUZZ_CHECK(machine["name"].get<std::string>() == scan.machines[i].name);
        }
    }
    if (IsUtf8(scan.localMachine)) {
        FUZZ_CHECK(document["localMachine"] == scan.localMachine);
    }
    FUZZ_CHECK(document["machinesFound"] == scan.counted);
}

// label=value, the value a number with an optional unit of seconds.
bool IsPerformanceFigure(std::string_view figure) {
    const std::size_t equals = figure.find('=');
    if (equals == 0 || equals == std::string_view::npos) return false;
    for (const char c : figure.substr(0, equals))
        if (c < 'a' || c > 'z') return false;
    std::string_view value = figure.substr(equals + 1);
    if (!value.empty() && value.back() == 's') value.remove_suffix(1);
    if (!value.empty() && value.front() == '-') value.remove_prefix(1);
    const std::size_t dot = value.find('.');
    const std::string_view whole = value.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? std::string_view() : value.substr(dot + 1);
    if (whole.empty() || (dot != std::string_view::npos && fraction.empty())) return false;
    for (const char c : whole) if (c < '0' || c > '9') return false;
    for (const char c : fraction) if (c < '0' || c > '9') return false;
    return true;
}

void CheckStatusLine(const std::string& out) {
    FUZZ_CHECK(!out.empty() && out.find('\n') == out.size() - 1);
    const std::string_view line(out.data(), out.size() - 1);
    FUZZ_CHECK(!fuzzing::HasControlCharacter(line));
    FUZZ_CHECK(line.rfind("SKEWMON ", 0) == 0);
    const std::size_t bar = line.find('|');
    if (bar == std::string_view::npos) return;
    FUZZ_CHECK(line.find('|', bar + 1) == std::string_view::npos);
    FUZZ_CHECK(bar + 2 < line.size() && line[bar + 1] == ' ');
    std::string_view figures = line.substr(bar + 2);
    while (!figures.empty()) {
        const std::size_t blank = figures.find(' ');
        FUZZ_CHECK(IsPerformanceFigure(figures.substr(0, blank)));
        figures.remove_prefix(blank == std::string_view::npos ? figures.size() : blank + 1);
    }
}

void CheckCheckLine(const std::string& out, const FinishedScan&, int status) {
    CheckStatusLine(out);
    FUZZ_CHECK(out.rfind("SKEWMON " + std::string(CheckState(status)) + " - ", 0) == 0);
    FUZZ_CHECK(out.find('|') != std::string::npos);
}

struct Writer {
    std::function<std::string(const FinishedScan&, int status)> write;
    std::function<void(const std::string& out, const FinishedScan&, int status)> check;
};

const Writer kWriters[] = {
    {[](const FinishedScan& scan, int) { return JsonReport(scan); }, CheckJson},
    {CheckLine, CheckCheckLine},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const FinishedScan scan = ScanFrom(input);
    const int status = scan.problem.empty() ? ExitStatusForGrade(scan.summary, scan.counted) : 3;
    for (const Writer& writer : kWriters) writer.check(writer.write(scan, status), scan, status);
    CheckStatusLine(IncompleteCheckLine(scan.problem));
    return 0;
}
