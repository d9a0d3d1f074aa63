#include "timing/variance_text.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace skewmon {
namespace {

std::string Text(std::int64_t ms) { return std::string(VarianceText(ms)); }

TEST(VarianceText, BelowOneSecondHasNoRemark) {
    EXPECT_EQ(Text(0), "00 000 00:00:00.000");
    EXPECT_EQ(Text(999), "00 000 00:00:00.999");
}

TEST(VarianceText, RemarkNamesCoarsestUnitWithPlural) {
    EXPECT_EQ(Text(1000), "00 000 00:00:01.000\t>1 sec");
    EXPECT_EQ(Text(2000), "00 000 00:00:02.000\t>2 secs");
    EXPECT_EQ(Text(61001), "00 000 00:01:01.001\t>1 min");
    EXPECT_EQ(Text(3599999), "00 000 00:59:59.999\t>59 mins");
    EXPECT_EQ(Text(7200000), "00 000 02:00:00.000\t>2 hours");
    EXPECT_EQ(Text(86399999), "00 000 23:59:59.999\t>23 hours");
    EXPECT_EQ(Text(90061001), "00 001 01:01:01.001\t>1 day");
}

TEST(VarianceText, SignIsDropped) {
    EXPECT_EQ(Text(1500), "00 000 00:00:01.500\t>1 sec");
    EXPECT_EQ(Text(-1500), "00 000 00:00:01.500\t>1 sec");
}

TEST(VarianceText, YearsAreAlways365DaysAndWiden) {
    EXPECT_EQ(Text(31535999999), "00 364 23:59:59.999\t>364 days");
    EXPECT_EQ(Text(31536000000), "01 000 00:00:00.000\t>1 year");
    EXPECT_EQ(Text(3153600000000), "100 000 00:00:00.000\t>100 years");
}

TEST(VarianceText, ExtremesFitTheBuffer) {
    const std::string longest = Text(std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(longest, "292471208 247 07:12:55.807\t>292471208 years");
    EXPECT_EQ(longest.size(), 43u);
    // The most negative value has no positive counterpart; it still renders.
    EXPECT_EQ(Text(std::numeric_limits<std::int64_t>::min()), "292471208 247 07:12:55.808\t>292471208 years");
}

}  // namespace
}  // namespace skewmon
