// Small narrow-text helpers that every layer uses, platform code included:
// cutting text to what a fixed C buffer holds, the blank characters, and
// ASCII letter case. They follow no code page; platform/text.h has the rules
// that do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace skewmon {

// `text` as a buffer of `capacity` bytes holds it with its terminator: at most
// capacity - 1 bytes; nothing when capacity is 0.
std::string CutToCapacity(std::string_view text, std::size_t capacity);
// The same for text that may hold a NUL: it ends there, as in a C string.
std::string CutCStringToCapacity(std::string_view text, std::size_t capacity);
// The same for UTF-8 text: never ends inside a multi-byte character.
std::string CutUtf8ToCapacity(std::string_view text, std::size_t capacity);

// Space, tab, carriage return or line feed.
bool IsBlank(char c);
bool IsAsciiAlnum(char c);
char AsciiLower(char c);
char AsciiUpper(char c);
// `text` with its ASCII letters in upper or lower case; other bytes stay.
std::string AsciiUpperCase(std::string_view text);
std::string AsciiLowerCase(std::string_view text);
// Equal but for the letter case of ASCII letters.
bool SameNameIgnoringCase(std::string_view a, std::string_view b);

// Whether `text` holds the word NOTHREAD in any ASCII letter case: the one
// rule by which the command line asks for queries without a time limit.
bool HoldsNoThreadWord(std::string_view text);

// `text` for one line of a message: control characters (and DEL), and any
// byte of `alsoReplaced`, become `replacement`; other bytes stay.
std::string PrintableText(std::string_view text, char replacement = '?', std::string_view alsoReplaced = {});

// Milliseconds as decimal seconds with three decimals ("-1.005"), never in
// exponent form.
std::string MillisecondsAsSeconds(std::int64_t ms);

// `text` as valid UTF-8: each byte that is not part of a well-formed UTF-8
// sequence becomes U+FFFD; valid text stays as it is.
std::string ValidUtf8(std::string_view text);

}  // namespace skewmon
