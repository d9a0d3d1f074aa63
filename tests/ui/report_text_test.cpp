#include "ui/report.h"

#include <gtest/gtest.h>

namespace skewmon {
namespace {

TEST(MachineLine, ColumnsLineUpUnderTheTitles) {
    EXPECT_EQ(MachineLine("ALPHA\t+\t00 000 00:00:00.047"), "ALPHA           + 00 000 00:00:00.047    ");
    EXPECT_EQ(MachineLine("BRAVO\t-\t00 000 00:00:02.310\t>2 secs"),
              "BRAVO           - 00 000 00:00:02.310    >2 secs");
    EXPECT_EQ(MachineLine("CHARLIE\tNo response or excessive latency"),
              "CHARLIE         No response or excessive latency     ");
}

TEST(MachineLine, SixteenCharacterNamesTouchTheSign) {
    EXPECT_EQ(MachineLine("WORKSTATION-0042\t+\t00 000 00:00:00.000"),
              "WORKSTATION-0042+ 00 000 00:00:00.000    ");
    EXPECT_EQ(MachineLine("WORKSTATION-042\t+\t0"), "WORKSTATION-042 + 0    ");
    EXPECT_EQ(MachineLine("A-VERY-LONG-MACHINE-NAME\t+\t0"), "A-VERY-LONG-MACHINE-NAME+ 0    ");
}

TEST(MachineLine, TabsBeyondTheThirdStayInTheRemark) {
    EXPECT_EQ(MachineLine("N\t+\tV\tR1\tR2"), "N               + V    R1\tR2");
    EXPECT_EQ(MachineLine(""), "                 " "    ");
}

TEST(WrapText, ExampleFromThePoorRowWrapsIntoFourLines) {
    const std::string text =
        "All machines within a few seconds. Check for hardware or network failures if only one or "
        "two machines are off by this much, otherwise consider using a different time sync product, "
        "or adjusting the parameters of your current product.";
    EXPECT_EQ(WrapText(text),
              "All machines within a few seconds. Check for hardware or network failures\r\n"
              "if only one or two machines are off by this much, otherwise consider using\r\n"
              "a different time sync product, or adjusting the parameters of your current\r\n"
              "product.\r\n");
}

TEST(WrapText, ASpaceAtIndex70CutsAtExactly70) {
    const std::string text = std::string(70, 'x') + " tail";
    EXPECT_EQ(WrapText(text), std::string(70, 'x') + "\r\ntail\r\n");
}

TEST(WrapText, NoSpaceAfterIndex70KeepsOneLongLine) {
    const std::string text = "word " + std::string(90, 'y');
    EXPECT_EQ(WrapText(text), text + "\r\n");
}

TEST(WrapText, ShortAndEmptyTexts) {
    EXPECT_EQ(WrapText(""), "\r\n");
    EXPECT_EQ(WrapText(std::string(70, 'z')), std::string(70, 'z') + "\r\n");
}

TEST(WrapText, ContinuationLinesAreTrimmedTheFirstIsNot) {
    const std::string text = "  " + std::string(69, 'a') + " \t  middle" + std::string(70, 'b') + "  \t ";
    EXPECT_EQ(WrapText(text), "  " + std::string(69, 'a') + "\r\nmiddle" + std::string(70, 'b') + "\r\n");
}

}  // namespace
}  // namespace skewmon
