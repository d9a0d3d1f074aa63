#include "text/text_util.h"

namespace skewmon {

std::string CutToCapacity(std::string_view text, std::size_t capacity) {
    if (capacity == 0) return {};
    return std::string(text.substr(0, capacity - 1));
}

std::string CutCStringToCapacity(std::string_view text, std::size_t capacity) {
    return CutToCapacity(text.substr(0, text.find('\0')), capacity);
}

std::string CutUtf8ToCapacity(std::string_view text, std::size_t capacity) {
    if (capacity == 0) return {};
    if (text.size() < capacity) return std::string(text);
    std::size_t end = capacity - 1;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end));
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsAsciiAlnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string AsciiUpperCase(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) c = AsciiUpper(c);
    return upper;
}

std::string AsciiLowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = AsciiLower(c);
    return lower;
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

}  // namespace skewmon
