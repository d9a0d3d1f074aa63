// The console's writers for programs, fed a scan result whose names, local
// machine name, source, reference and problem hold any bytes. Each output
// is read back here as its reader would read it: the JSON document must
// parse and keep every machine; the CSV must parse as RFC 4180 into one
// record per machine with the name as written; the Prometheus exposition
// must keep to the text format's grammar with no series given twice; the
// check line must stay one line with well-formed performance data. A new
// writer adds its row to kWriters.
#include <fuzzer/FuzzedDataProvider.h>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/console_formats.h"
#include "scan/assessment.h"
#include "scan/scan_driver.h"
#include "scan/scan_result.h"
#include "tests/fuzz/fuzz_check.h"
#include "text/text_util.h"

using namespace skewmon;

namespace {

ScanResult ScanFrom(FuzzedDataProvider& input) {
    const std::string localMachine = input.ConsumeRandomLengthString(100);
    std::vector<MachineResult> machines;
    const int count = input.ConsumeIntegralInRange(0, 24);
    for (int i = 0; i < count; ++i) {
        // Now and then a name given twice, as a list file may.
        const std::string name = !machines.empty() && input.ConsumeIntegralInRange(0, 7) == 0
                                     ? machines.back().name
                                     : input.ConsumeRandomLengthString(300);
        const bool local = input.ConsumeBool();
        Measurement measured;
        if (input.ConsumeBool()) measured.offset = input.ConsumeIntegralInRange(-kLargestOffset, kLargestOffset);
        if (input.ConsumeBool()) measured.method = MeasurementMethod::kNegotiate;
        measured.roundTripMs = input.ConsumeIntegralInRange<std::uint32_t>(0, 1500);
        measured.resolutionMs = input.PickValueInArray({1u, 10u, 1000u});
        machines.push_back(MakeMachineResult(name, local, measured));
    }
    ScanResult scan = ResultOfScan(machines, localMachine);
    scan.fromListFile = input.ConsumeBool();
    scan.source = input.ConsumeRandomLengthString(300);
    if (input.ConsumeBool()) scan.problem = input.ConsumeRandomLengthString(300);
    scan.started = std::chrono::system_clock::time_point(
        std::chrono::seconds(input.ConsumeIntegralInRange<std::int64_t>(0, 4102444800)));
    scan.duration = std::chrono::milliseconds(input.ConsumeIntegralInRange<std::int64_t>(0, 86400000));
    if (input.ConsumeBool() && !scan.machines.empty()) {
        const std::string reference = scan.machines[input.ConsumeIntegralInRange<std::size_t>(
                                                        0, scan.machines.size() - 1)]
                                          .name;
        (void)MeasureFromReference(scan, reference);
    }
    return scan;
}

CheckOptions CheckFrom(FuzzedDataProvider& input) {
    CheckOptions check;
    if (input.ConsumeBool()) check.warning = ParseThresholdRange(input.ConsumeRandomLengthString(20));
    if (input.ConsumeBool()) check.critical = ParseThresholdRange(input.ConsumeRandomLengthString(20));
    check.silentStatus = input.ConsumeIntegralInRange(0, 3);
    return check;
}

void CheckJson(const std::string& out, const ScanResult& scan, const CheckOptions&) {
    FUZZ_CHECK(!out.empty() && out.back() == '\n');
    const nlohmann::json document = nlohmann::json::parse(out, nullptr, false);
    FUZZ_CHECK(!document.is_discarded());
    FUZZ_CHECK(document["machines"].is_array() && document["machines"].size() == scan.machines.size());
    for (std::size_t i = 0; i < scan.machines.size(); ++i) {
        const nlohmann::json& machine = document["machines"][i];
        FUZZ_CHECK(machine["name"] == ValidUtf8(scan.machines[i].name));
        FUZZ_CHECK(machine["answered"] == scan.machines[i].answered);
    }
    FUZZ_CHECK(document["localMachine"] == ValidUtf8(scan.localMachine));
    FUZZ_CHECK(document["machinesFound"] == scan.machinesFound);
}

// RFC 4180 read back: records of fields, quoted fields with doubled quotes.
std::vector<std::vector<std::string>> ParseCsv(std::string_view text) {
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::string field;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '"') {
            ++i;
            for (;;) {
                FUZZ_CHECK(i < text.size());  // an unclosed quote
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += text[i++];
            }
            FUZZ_CHECK(i < text.size() && (text[i] == ',' || text[i] == '\r'));
        }
        if (text[i] == ',') {
            record.push_back(std::move(field));
            field.clear();
            ++i;
        } else if (text[i] == '\r') {
            FUZZ_CHECK(i + 1 < text.size() && text[i + 1] == '\n');
            record.push_back(std::move(field));
            field.clear();
            records.push_back(std::move(record));
            record.clear();
            i += 2;
        } else {
            // Unquoted: nothing that would need quoting.
            FUZZ_CHECK(text[i] != '"' && text[i] != '\n');
            field += text[i++];
        }
    }
    FUZZ_CHECK(record.empty() && field.empty());  // the last line ends in CR LF
    return records;
}

void CheckCsv(const std::string& out, const ScanResult& scan, const CheckOptions&) {
    const auto records = ParseCsv(out);
    FUZZ_CHECK(records.size() == scan.machines.size() + 1);
    const std::size_t columns = records[0].size();
    for (std::size_t i = 1; i < records.size(); ++i) {
        FUZZ_CHECK(records[i].size() == columns);
        std::string name = ValidUtf8(scan.machines[i - 1].name);
        // What a spreadsheet would take for a formula starts with an apostrophe.
        if (!name.empty() && std::string_view("=+-@\t\r").find(name.front()) != std::string_view::npos)
            name.insert(0, "'");
        FUZZ_CHECK(records[i][0] == name);
    }
}

bool IsMetricName(std::string_view name) {
    if (name.empty()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
        if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
    }
    return true;
}

// A sample's value as the exposition writes it: a plain decimal.
bool IsPlainNumber(std::string_view value) {
    if (!value.empty() && value.front() == '-') value.remove_prefix(1);
    const std::size_t dot = value.find('.');
    const std::string_view whole = value.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? std::string_view() : value.substr(dot + 1);
    if (whole.empty() || (dot != std::string_view::npos && fraction.empty())) return false;
    for (const char c : whole) if (c < '0' || c > '9') return false;
    for (const char c : fraction) if (c < '0' || c > '9') return false;
    return true;
}

void CheckPrometheus(const std::string& out, const ScanResult&, const CheckOptions&) {
    FUZZ_CHECK(ValidUtf8(out) == out);
    FUZZ_CHECK(!out.empty() && out.back() == '\n');
    std::set<std::string> series;
    std::string_view rest(out);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end + 1);
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
            const std::string_view after = line.substr(7);
            FUZZ_CHECK(IsMetricName(after.substr(0, after.find(' '))));
            continue;
        }
        const std::size_t nameEnd = line.find_first_of("{ ");
        FUZZ_CHECK(nameEnd != std::string_view::npos && IsMetricName(line.substr(0, nameEnd)));
        std::size_t i = nameEnd;
        if (line[i] == '{') {
            ++i;
            while (line.at(i) != '}') {
                const std::size_t equals = line.find('=', i);
                FUZZ_CHECK(equals != std::string_view::npos && IsMetricName(line.substr(i, equals - i)));
                i = equals + 1;
                FUZZ_CHECK(line.at(i) == '"');
                for (++i; line.at(i) != '"'; ++i) {
                    if (line[i] != '\\') continue;
                    ++i;
                    FUZZ_CHECK(line.at(i) == '\\' || line[i] == '"' || line[i] == 'n');
                }
                ++i;
                if (line.at(i) == ',') ++i;
            }
            ++i;
        }
        // The same name and labels twice is a sample a scrape refuses.
        FUZZ_CHECK(series.insert(std::string(line.substr(0, i))).second);
        FUZZ_CHECK(line.at(i) == ' ' && IsPlainNumber(line.substr(i + 1)));
    }
}

// label=value[s][;warn[;crit]], the label plain or quoted with '' for a quote.
void CheckPerformanceItem(std::string_view& figures) {
    std::size_t i = 0;
    if (figures.at(0) == '\'') {
        for (i = 1;; ++i) {
            FUZZ_CHECK(i < figures.size());
            if (figures[i] != '\'') continue;
            if (i + 1 < figures.size() && figures[i + 1] == '\'') {
                ++i;
                continue;
            }
            break;
        }
        ++i;
        FUZZ_CHECK(i > 2);  // a label is never empty
    } else {
        while (i < figures.size() && figures[i] >= 'a' && figures[i] <= 'z') ++i;
        FUZZ_CHECK(i > 0);
    }
    FUZZ_CHECK(i < figures.size() && figures[i] == '=');
    const std::size_t end = std::min(figures.find(' ', i), figures.size());
    std::string_view value = figures.substr(i + 1, end - i - 1);
    const std::string_view number = value.substr(0, value.find(';'));
    FUZZ_CHECK(IsPlainNumber(number.back() == 's' ? number.substr(0, number.size() - 1) : number));
    for (const char c : value) FUZZ_CHECK(c != '\'' && c != '=');
    figures.remove_prefix(end == figures.size() ? end : end + 1);
}

void CheckStatusLine(const std::string& out) {
    FUZZ_CHECK(!out.empty() && out.find('\n') == out.size() - 1);
    FUZZ_CHECK(out.size() <= kMaxCheckLine);
    const std::string_view line(out.data(), out.size() - 1);
    FUZZ_CHECK(!fuzzing::HasControlCharacter(line));
    FUZZ_CHECK(line.rfind("SKEWMON ", 0) == 0);
    const std::size_t bar = line.find('|');
    if (bar == std::string_view::npos) return;
    FUZZ_CHECK(line.find('|', bar + 1) == std::string_view::npos);
    FUZZ_CHECK(bar + 2 < line.size() && line[bar + 1] == ' ');
    std::string_view figures = line.substr(bar + 2);
    while (!figures.empty()) CheckPerformanceItem(figures);
}

void CheckCheckLine(const std::string& out, const ScanResult& scan, const CheckOptions& check) {
    CheckStatusLine(out);
    FUZZ_CHECK(out.rfind("SKEWMON " + std::string(CheckState(ExitStatus(scan, check))) + " - ", 0) == 0);
    FUZZ_CHECK(out.find('|') != std::string::npos);
}

struct Writer {
    std::function<std::string(const ScanResult&, const CheckOptions&)> write;
    std::function<void(const std::string& out, const ScanResult&, const CheckOptions&)> check;
};

const Writer kWriters[] = {
    {[](const ScanResult& scan, const CheckOptions&) { return JsonReport(scan); }, CheckJson},
    {[](const ScanResult& scan, const CheckOptions&) { return CsvReport(scan); }, CheckCsv},
    {[](const ScanResult& scan, const CheckOptions&) { return PrometheusReport(scan); }, CheckPrometheus},
    {CheckLine, CheckCheckLine},
    {[](const ScanResult& scan, const CheckOptions&) { return TextReport(scan); },
     [](const std::string& out, const ScanResult&, const CheckOptions&) { FUZZ_CHECK(!out.empty()); }},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const CheckOptions check = CheckFrom(input);
    const ScanResult scan = ScanFrom(input);
    for (const Writer& writer : kWriters) writer.check(writer.write(scan, check), scan, check);
    CheckStatusLine(IncompleteCheckLine(scan.problem));
    return 0;
}
