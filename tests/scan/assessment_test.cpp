#include "scan/assessment.h"

#include <gtest/gtest.h>

namespace skewmon {
namespace {

std::string GradeOf(std::int64_t worst, std::int64_t average) { return GradeScan(worst, average).grade; }

TEST(GradeScan, WorstAloneDecidesTheTopRow) {
    EXPECT_EQ(GradeOf(0, 0), "Outstanding!");
    EXPECT_EQ(GradeOf(100, 100), "Outstanding!");
    EXPECT_EQ(GradeOf(101, 100), "Excellent!");
}

TEST(GradeScan, WorstBoundsAreExclusiveAverageBoundsInclusive) {
    EXPECT_EQ(GradeOf(499, 100), "Excellent!");
    EXPECT_EQ(GradeOf(500, 100), "Acceptable");
    EXPECT_EQ(GradeOf(999, 250), "Acceptable");
    EXPECT_EQ(GradeOf(999, 251), "Fair");
    EXPECT_EQ(GradeOf(1999, 1000), "Fair");
    EXPECT_EQ(GradeOf(2000, 1000), "Poor");
    EXPECT_EQ(GradeOf(4999, 2000), "Poor");
    EXPECT_EQ(GradeOf(5000, 2000), "Unacceptable");
}

TEST(GradeScan, OnlyTheAverageSeparatesTheLastTwoRows) {
    EXPECT_EQ(GradeOf(70000, 60000), "Unacceptable");
    EXPECT_EQ(GradeOf(70000, 60001), "Not synchronized");
    EXPECT_EQ(GradeOf(1000000000, 2001), "Unacceptable");
}

TEST(GradeScan, RecommendationsDifferInTheirCapitals) {
    EXPECT_EQ(GradeScan(0, 0).recommendation, "No change");
    EXPECT_EQ(GradeScan(300, 100).recommendation, "No change");
    EXPECT_EQ(GradeScan(600, 200).recommendation, "Check settings");
    EXPECT_EQ(GradeScan(1500, 300).recommendation, "Check Settings");
    EXPECT_EQ(GradeScan(3000, 1500).recommendation, "Needs Improvement");
    EXPECT_EQ(GradeScan(9000, 9000).recommendation, "Install Tidewell");
    EXPECT_EQ(GradeScan(90000, 90000).recommendation, "Install Tidewell");
}

TEST(GradeScan, TopRowExplanationCarriesBothFigures) {
    EXPECT_EQ(GradeScan(85, 31).explanation,
              "Congratulations!  The worst variance is 85 ms, and the overall average is 31 ms. "
              "Your network is very well synchronized, and needs no improvement.");
    EXPECT_NE(GradeScan(0, 0).explanation.find("is 0 ms, and the overall average is 0 ms."), std::string::npos);
}

}  // namespace
}  // namespace skewmon
