#include "text/text_util.h"

#include <gtest/gtest.h>

#include <string>

namespace skewmon {
namespace {

using namespace std::string_literals;

TEST(CutToCapacity, KeepsWhatABufferOfThatSizeHoldsBesideItsTerminator) {
    EXPECT_EQ(CutToCapacity("abcdef", 4), "abc");
    EXPECT_EQ(CutToCapacity("abc", 4), "abc");
    EXPECT_EQ(CutToCapacity("abc", 1), "");
    EXPECT_EQ(CutToCapacity("abc", 0), "");
    // A NUL is only a byte here; a C string would end at it.
    EXPECT_EQ(CutToCapacity("ab\0cd"s, 5), "ab\0c"s);
    EXPECT_EQ(CutCStringToCapacity("ab\0cd"s, 5), "ab");
    EXPECT_EQ(CutCStringToCapacity("abcd", 3), "ab");
    EXPECT_EQ(CutCStringToCapacity("abcd", 0), "");
}

TEST(CutToCapacity, Utf8NeverEndsInsideACharacter) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC";  // a, e-acute (2 bytes), euro (3 bytes)
    EXPECT_EQ(CutUtf8ToCapacity(text, 7), text);
    EXPECT_EQ(CutUtf8ToCapacity(text, 6), "a\xC3\xA9");
    EXPECT_EQ(CutUtf8ToCapacity(text, 4), "a\xC3\xA9");
    EXPECT_EQ(CutUtf8ToCapacity(text, 3), "a");
    EXPECT_EQ(CutUtf8ToCapacity(text, 2), "a");
    EXPECT_EQ(CutUtf8ToCapacity("\xE2\x82\xAC", 3), "");
    EXPECT_EQ(CutUtf8ToCapacity(text, 0), "");
}

TEST(AsciiCase, OnlyAsciiLettersChange) {
    EXPECT_EQ(AsciiUpperCase("NoThread-1 \xC3\xA9z"), "NOTHREAD-1 \xC3\xA9Z");
    EXPECT_EQ(AsciiLowerCase("[GLOBAL] \xC3\x89"), "[global] \xC3\x89");
    EXPECT_TRUE(SameNameIgnoringCase("Pc-01", "pC-01"));
    EXPECT_FALSE(SameNameIgnoringCase("PC-01", "PC-1"));
    EXPECT_FALSE(SameNameIgnoringCase("\xC3\xA9", "\xC3\x89"));  // e-acute in two cases
    EXPECT_FALSE(SameNameIgnoringCase("@", "`"));               // 0x40 and 0x60 are not letters
    EXPECT_TRUE(IsBlank('\t') && IsBlank('\r') && IsBlank('\n') && IsBlank(' '));
    EXPECT_FALSE(IsBlank('\v') || IsBlank('\0'));
    EXPECT_FALSE(IsAsciiAlnum('_') || IsAsciiAlnum('\xC3'));
}

TEST(NoThreadWord, AnyLetterCaseInsideAWord) {
    for (const char* text : {"NOTHREAD", "/nothread", "-NoThread", "xNOTHREADx"}) EXPECT_TRUE(HoldsNoThreadWord(text)) << text;
    for (const char* text : {"", "NO THREAD", "NOTHREA", "N0THREAD"}) EXPECT_FALSE(HoldsNoThreadWord(text)) << text;
}

TEST(PrintableText, ControlCharactersAndTheGivenOnesAreReplaced) {
    EXPECT_EQ(PrintableText("a\nb\x1b\x7f\tc"), "a?b???c");
    EXPECT_EQ(PrintableText("caf\xc3\xa9 |x|", '?', "|"), "caf\xc3\xa9 ?x?");
    EXPECT_EQ(PrintableText("a=b\n", '_', "="), "a_b_");
}

TEST(ValidUtf8, EveryByteOutsideAWellFormedSequenceBecomesOneReplacement) {
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(ValidUtf8("plain \xC3\x89t\xE2\x82\xAC \xF0\x9F\x98\x80"), "plain \xC3\x89t\xE2\x82\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(ValidUtf8("caf\xE9"), "caf" + r);
    EXPECT_EQ(ValidUtf8("\xE2\x82"), r + r);                // cut short
    EXPECT_EQ(ValidUtf8("\xC0\xAF"), r + r);                // overlong
    EXPECT_EQ(ValidUtf8("\xED\xA0\x80"), r + r + r);        // a surrogate
    EXPECT_EQ(ValidUtf8("\xF4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
    EXPECT_EQ(ValidUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(MillisecondsAsSeconds, ThreeDecimalsAndNoExponent) {
    EXPECT_EQ(MillisecondsAsSeconds(0), "0.000");
    EXPECT_EQ(MillisecondsAsSeconds(-5), "-0.005");
    EXPECT_EQ(MillisecondsAsSeconds(3724518), "3724.518");
    EXPECT_EQ(MillisecondsAsSeconds(INT64_MIN), "-9223372036854775.808");
}

}  // namespace
}  // namespace skewmon
