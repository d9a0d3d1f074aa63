// The picture of --plot: each machine's offset over the time of the history,
// one line per machine, the fastest drifters named, and Kerberos' 5-minute
// limit marked when it is in view. Plain SVG, written here: a handful of
// lines, dots and labels need no plotting library.
#pragma once

#include <string>
#include <vector>

#include "app/drift_analysis.h"
#include "app/drift_history.h"

namespace skewmon {

// How many machines get their name beside their line: the fastest drifters,
// then those still without a rate.
inline constexpr std::size_t kPlotLabelled = 6;

// The SVG document for `records` (those with the newest record's reference)
// and the drift worked out from them.
std::string DriftPlotSvg(const std::vector<HistoryRecord>& records, const std::vector<MachineDrift>& drifts);

}  // namespace skewmon
