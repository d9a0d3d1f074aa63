// The history records the drift tests build their readings from.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "app/drift_history.h"

namespace skewmon::testing {

inline constexpr std::int64_t kHistoryStart = 1796688000000;  // 2026-12-08 00:00 UTC

// One machine of a record.
inline HistoryMachine Machine(std::string name, bool answered, std::int64_t offset, double bound,
                              std::string method) {
    HistoryMachine machine;
    machine.name = std::move(name);
    machine.answered = answered;
    machine.offsetMs = offset;
    machine.errorBoundMs = bound;
    machine.method = std::move(method);
    return machine;
}

}  // namespace skewmon::testing
