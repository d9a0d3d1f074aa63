#include "ui/report.h"

#include <memory>
#include <optional>

#include "scan/scan_driver.h"
#include "text/text_util.h"
#include "timing/variance_text.h"
#include "ui/notepad.h"

namespace skewmon {
namespace {

constexpr char kEol[] = "\r\n";
constexpr std::size_t kWrapColumn = 70;
constexpr std::size_t kNameColumnWidth = 16;

void AddLine(std::string& out, std::string_view line) {
    out.append(line.substr(0, kReportLineCapacity - 1)).append(kEol);
}

}  // namespace

std::string MachineLine(std::string_view row) {
    std::string_view fields[4];
    std::string_view rest = row;
    for (int i = 0; i < 3; ++i) {
        const std::size_t tab = rest.find('\t');
        if (tab == std::string_view::npos) {
            fields[i] = rest;
            rest = {};
            break;
        }
        fields[i] = rest.substr(0, tab);
        rest = rest.substr(tab + 1);
        if (i == 2) fields[3] = rest;
    }
    std::string line(fields[0]);
    if (line.size() < kNameColumnWidth) line.resize(kNameColumnWidth, ' ');
    line.append(fields[1]).append(" ").append(fields[2]).append("    ").append(fields[3]);
    return line;
}

std::string WrapText(std::string_view text) {
    std::string out;
    while (text.size() > kWrapColumn) {
        const std::size_t space = text.find(' ', kWrapColumn);
        if (space == std::string_view::npos) break;
        out.append(text.substr(0, space)).append(kEol);
        text = text.substr(space + 1);
        while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
        while (text.size() > 1 && IsBlank(text.back())) text.remove_suffix(1);
    }
    if (!text.empty()) out.append(text);
    out.append(kEol);
    return out;
}

std::string SourcePhrase(bool fromListFile, std::string_view listFileName) {
    if (!fromListFile) return "current browse list";
    return listFileName.empty() ? "skewmon.ini file" : std::string(listFileName) + " file";
}

std::string RenderReport(const ReportRecord& record) {
    std::string out;
    AddLine(out, std::string("Skewmon ") + kAppVersion);
    AddLine(out, "A free network tool from Quillmar.");
    AddLine(out, "www.quillmar.example");
    AddLine(out, "*** Keep every clock of your network in step with Tidewell ***");
    AddLine(out, "");
    AddLine(out, "This report shows the time variances, per the MS-LANMan NetRemoteTOD");
    if (record.reference.empty())
        AddLine(out, "function, between this machine (" + record.localMachine + ") and the other machines");
    else
        AddLine(out, "function, between the reference machine (" + record.reference + ") and the other machines");
    AddLine(out, "found in the " + record.sourcePhrase + ".");
    AddLine(out, "");
    AddLine(out, "Computer Name     yy-ddd-hh:mm:ss.mss    Comments");
    AddLine(out, "--------------  ---------------------    -------------------");

    for (const std::string& row : record.rows) AddLine(out, MachineLine(row));

    AddLine(out, "");
    AddLine(out, "");
    AddLine(out, std::string("Worst Variance:   ").append(VarianceText(record.worst)));
    AddLine(out, std::string("Average Variance: ").append(VarianceText(record.average)));
    AddLine(out, "Machines Found:   " + std::to_string(record.count));
    AddLine(out, "Summary:          " + record.summary);
    AddLine(out, "Recommendation:   " + record.recommendation);
    AddLine(out, "");
    out.append(WrapText(record.explanation));
    return out;
}

ReportRecord ReadReportRecord(const Program& program, platform::DialogControls& dialog) {
    ReportRecord record;
    record.localMachine = program.localComputerName;
    record.sourcePhrase = SourcePhrase(static_cast<bool>(program.app.machineListFile), program.app.machineListName);
    const int rows = dialog.listCount(ctl::kResultsList);
    for (int i = 0; i < rows; ++i) record.rows.push_back(dialog.listText(ctl::kResultsList, i, kReportRowCapacity));
    const ScanState& scan = program.scan;
    record.worst = scan.worst;
    record.average = scan.average;
    record.count = scan.count;
    record.summary = dialog.getText(ctl::kSummary, kReportFieldCapacity);
    record.recommendation = dialog.getText(ctl::kRecommendation, kReportFieldCapacity);
    record.explanation = dialog.getText(ctl::kExplanation, kReportExplanationCapacity);
    return record;
}

std::string BuildReport(const Program& program, platform::DialogControls& dialog) {
    return RenderReport(ReadReportRecord(program, dialog));
}

namespace {

// Writes `content` through the handle that created the file. A report that
// cannot be written whole is removed again.
bool WriteReportFile(platform::NewFile& file, const std::string& content) {
    const bool written = file.write(content);
    const bool closed = file.close();
    if (written && closed) return true;
    platform::DeleteFileQuietly(file.path());
    return false;
}

}  // namespace

void SaveResults(Program& program, platform::DialogControls& dialog) {
    platform::System& system = program.platform.system;
    std::string directory = system.tempPath(kTempPathCapacity).value_or("");
    if (directory.empty()) directory = system.fallbackTempDirectory();
    std::unique_ptr<platform::NewFile> file = system.createUniqueTempFile(directory, "SKW");
    // The fallback name is only ever a new file: one that exists already,
    // whoever made it, is neither written nor opened nor deleted later.
    if (!file) file = system.createNewFile(system.fallbackReportPath());
    if (!file) return;

    if (!WriteReportFile(*file, BuildReport(program, dialog))) return;
    Notepad().openInEditor(system, file->path());
}

}  // namespace skewmon
