// The report and the console mode after real scans of the lab.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "app/console_report.h"
#include "tests/lab/lab_program.h"
#include "tests/lab/lab_support.h"

namespace skewmon::testing {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start) + "<no CR LF>");
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

class ConsoleLab : public LabConsole {};

TEST_F(ConsoleLab, ReportOfARealScanLinesUpAndGradesTheNetwork) {
    const LabServer* ahead = lab->withShift(2000);
    const LabServer* behind = lab->withShift(-3000);
    ASSERT_TRUE(ahead && behind);
    const int status = runConsoleBeside(ahead->address + "\n" + behind->address + "\nskewtest\n" + lab->silent + "\n");

    const std::vector<std::string> lines = Lines(out.str());
    ASSERT_EQ(lines.size(), 27u) << out.str();
    EXPECT_EQ(lines[0], "Skewmon 5.2.b.20110601R");
    EXPECT_EQ(lines[6], "function, between this machine (SKEWTEST) and the other machines");
    EXPECT_EQ(lines[7], "found in the skewmon.ini file.");
    // Samba answers in whole seconds, which the negotiate clock refines to
    // the millisecond: -3 s may read just under 3 s. Without it an offset
    // lies up to a second below the true shift.
    const std::regex aheadLine(std::regex_replace(ahead->address, std::regex("\\."), "\\.") +
                               " +\\+ 00 000 00:00:0[12]\\.\\d{3}    >[12] secs?");
    const std::regex behindLine(std::regex_replace(behind->address, std::regex("\\."), "\\.") +
                                " +- 00 000 00:00:0[234]\\.\\d{3}    >[234] secs");
    EXPECT_TRUE(std::regex_match(lines[11], aheadLine)) << lines[11];
    EXPECT_TRUE(std::regex_match(lines[12], behindLine)) << lines[12];
    EXPECT_EQ(lines[11].substr(0, 16).find_last_not_of(' ') + 1, ahead->address.size());
    EXPECT_EQ(lines[13], "SKEWTEST        + 00 000 00:00:00.000    ");
    EXPECT_EQ(lines[14], (lab->silent + std::string(16, ' ')).substr(0, 16) +
                             "No response or excessive latency     ");
    EXPECT_EQ(lines[15], "");
    EXPECT_EQ(lines[16], "");
    EXPECT_EQ(lines[19], "Machines Found:   3");
    ASSERT_EQ(lines[20].rfind("Summary:          ", 0), 0u);
    const std::string grade = lines[20].substr(18);
    EXPECT_EQ(status, grade == "Acceptable" || grade == "Fair" ? 1 : 2) << grade;
    EXPECT_NE(status, 0);  // seconds apart: no network to be proud of
    EXPECT_NE(err.str().find("Scan complete: 3 machine(s) counted"), std::string::npos);
}

TEST_F(ConsoleLab, NoMachineAnsweringIsUnknown) {
    EXPECT_EQ(runConsoleBeside(lab->silent + "\n"), 3);
    EXPECT_NE(out.str().find("Machines Found:   0\r\nSummary:          N/A\r\n"), std::string::npos);
}

}  // namespace
}  // namespace skewmon::testing
