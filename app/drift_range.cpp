#include "app/drift_range.h"

#include "app/console_formats.h"

namespace skewmon {

std::optional<DriftRange> DriftRange::Parse(std::string_view text) {
    const std::optional<ThresholdRange> range = ParseThresholdRange(text);
    if (!range) return std::nullopt;
    return DriftRange{*range, range->text};
}

bool DriftRange::alerts(double value) const { return RangeAlerts(range, value); }

}  // namespace skewmon
