// The results report: everything the dialog shows after a completed scan, as
// plain text with CR LF line ends.
#pragma once

#include <string>
#include <string_view>
#include <vector>
#include <cstdint>

#include "platform/controls.h"
#include "state/program.h"

namespace skewmon {

inline constexpr std::size_t kReportLineCapacity = 640;
inline constexpr std::size_t kReportRowCapacity = 256;
inline constexpr std::size_t kReportFieldCapacity = 255;
inline constexpr std::size_t kReportExplanationCapacity = 640;
inline constexpr std::size_t kTempPathCapacity = 255;

// One results row as a report line (without its line end): the name padded to
// 16 characters, the sign, the variance and the remark in their columns.
std::string MachineLine(std::string_view row);

// The explanation cut at spaces into lines of at least 70 characters, each
// ending in CR LF.
std::string WrapText(std::string_view text);

// Everything the report shows, as plain values: the window reads them back
// from its controls, the console takes them from the scan's result.
struct ReportRecord {
    std::string localMachine;
    std::string sourcePhrase;  // "current browse list", "skewmon.ini file", "hosts.txt file"
    // Who the variances are measured from, when not this machine.
    std::string reference;
    std::vector<std::string> rows;  // the results rows, tab-separated, in list order
    std::int64_t worst = 0;
    std::int64_t average = 0;
    std::int32_t count = 0;
    std::string summary;
    std::string recommendation;
    std::string explanation;
};

// The report of a record, as Save Results writes it.
std::string RenderReport(const ReportRecord& record);

// What line 8 says the machines came from.
std::string SourcePhrase(bool fromListFile, std::string_view listFileName);

// The record as the dialog shows it after a completed scan: the rows and the
// summary texts read back from its controls, the figures from the scan's.
// Called on the dialog's thread.
ReportRecord ReadReportRecord(const Program& program, platform::DialogControls& dialog);

// The whole report, read from the dialog's controls and the scan's figures.
// Called on the dialog's thread.
std::string BuildReport(const Program& program, platform::DialogControls& dialog);

// Writes the report into a new temporary file and opens it in the viewer.
void SaveResults(Program& program, platform::DialogControls& dialog);

}  // namespace skewmon
