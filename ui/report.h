// The results report: everything the dialog shows after a completed scan, as
// plain text with CR LF line ends.
#pragma once

#include <string>
#include <string_view>

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

// The whole report, read from the dialog's controls and the scan's figures.
// Called on the dialog's thread.
std::string BuildReport(const Program& program, platform::DialogControls& dialog);

// Writes the report into a new temporary file and opens it in the viewer.
void SaveResults(Program& program, platform::DialogControls& dialog);

}  // namespace skewmon
