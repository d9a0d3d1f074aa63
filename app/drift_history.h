// The history of console scans: one line of JSON per scan in a file that
// every scan with --history appends to, so that how each clock moves over
// days can be worked out later (app/drift_analysis.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skewmon {

// One machine of one scan as the history keeps it.
struct HistoryMachine {
    std::string name;
    bool answered = false;
    std::int64_t offsetMs = 0;    // answered only
    double errorBoundMs = 0;      // answered only: half the round trip plus the answer's resolution
    std::string method;           // "time of day" or "negotiate"; empty when not answered
    // Answered only: from the scan's start to this machine's answer, when
    // known. A large scan takes minutes; each reading keeps its own time.
    std::optional<std::int64_t> answeredAfterMs;
};

// One scan.
struct HistoryRecord {
    std::int64_t timeMs = 0;  // the scan's start, milliseconds since 1970-01-01 00:00 UTC
    // The machine the offsets are measured against; empty for this machine's
    // own clock.
    std::string reference;
    std::vector<HistoryMachine> machines;
};

// When a machine's reading was taken.
inline std::int64_t ReadingTimeMs(const HistoryRecord& record, const HistoryMachine& machine) {
    return record.timeMs + machine.answeredAfterMs.value_or(0);
}

// The record as one line of JSON, with its line end. Bytes of names that are
// not UTF-8 come out as U+FFFD.
std::string HistoryLine(const HistoryRecord& record);
// A line back as a record; none for anything that is not one (garbage, a
// truncated line, a line of another program).
std::optional<HistoryRecord> ParseHistoryLine(std::string_view line);

// What a history file holds.
struct HistoryContent {
    std::vector<HistoryRecord> records;  // in the file's order
    int unreadableLines = 0;             // blank lines are not counted
    bool endsInLineEnd = true;           // false when the last line was cut short
};
HistoryContent ParseHistory(std::string_view text);

// "2026-12-08T13:40:02.123Z" and back. The parse takes that form alone.
std::string IsoUtc(std::int64_t timeMs);
std::optional<std::int64_t> ParseIsoUtc(std::string_view text);

inline constexpr int kDefaultHistoryDays = 30;
inline constexpr std::int64_t kMsPerDay = 24LL * 60 * 60 * 1000;

// The outcome of one update of a history file.
struct HistoryUpdate {
    std::string error;  // why the file could not be read or written; empty when it was
    HistoryContent content;  // what it holds afterwards, the new record last
    int dropped = 0;         // records older than the days kept
};

// Under the file's lock: reads it, appends `record` (after a line end when
// the last line was cut short) and, when records older than `keepDays`
// before `record` are there, rewrites the file without them at once.
// Unreadable lines are kept as they are.
HistoryUpdate UpdateHistoryFile(const std::string& path, const HistoryRecord& record, int keepDays);

}  // namespace skewmon
