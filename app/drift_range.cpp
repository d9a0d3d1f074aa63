#include "app/drift_range.h"

#include <cmath>

namespace skewmon {
namespace {

// An optional sign, digits, an optional fraction: no exponent, no "inf".
std::optional<double> Number(std::string_view text) {
    std::size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    double value = 0;
    int digits = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) value = value * 10 + (text[at] - '0');
    if (at < text.size() && text[at] == '.') {
        double scale = 0.1;
        for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits, scale /= 10)
            value += (text[at] - '0') * scale;
    }
    if (digits == 0 || digits > 30 || at != text.size()) return std::nullopt;
    return negative ? -value : value;
}

}  // namespace

std::optional<DriftRange> DriftRange::Parse(std::string_view text) {
    DriftRange range;
    range.text = std::string(text);
    if (!text.empty() && text.front() == '@') {
        range.alertInside = true;
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        range.low = 0.0;
        range.high = Number(text);
        if (!range.high) return std::nullopt;
    } else {
        const std::string_view start = text.substr(0, colon), end = text.substr(colon + 1);
        if (start == "~") {
            range.low.reset();
        } else {
            range.low = start.empty() ? std::optional<double>(0.0) : Number(start);
            if (!range.low) return std::nullopt;
        }
        if (!end.empty()) {
            range.high = Number(end);
            if (!range.high) return std::nullopt;
        }
    }
    if (range.low && range.high && *range.low > *range.high) return std::nullopt;
    return range;
}

bool DriftRange::alerts(double value) const {
    const bool inside = (!low || value >= *low) && (!high || value <= *high);
    return alertInside ? inside : !inside;
}

}  // namespace skewmon
