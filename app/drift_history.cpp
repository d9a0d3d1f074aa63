#include "app/drift_history.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "platform/files.h"

namespace skewmon {
namespace {

using nlohmann::json;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and
// back (the civil calendar algorithms of H. Hinnant).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct CivilDate {
    std::int64_t year;
    unsigned month, day;
};

CivilDate CivilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

std::string TwoDigits(unsigned value) {
    return std::string(1, static_cast<char>('0' + value / 10 % 10)) + static_cast<char>('0' + value % 10);
}

// The digits of text[at, at + count) as a number; none if any is no digit.
std::optional<unsigned> Digits(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
}

std::optional<HistoryMachine> MachineFromJson(const json& entry) {
    if (!entry.is_object()) return std::nullopt;
    const auto name = entry.find("name");
    const auto answered = entry.find("answered");
    if (name == entry.end() || !name->is_string() || answered == entry.end() || !answered->is_boolean())
        return std::nullopt;
    HistoryMachine machine;
    machine.name = name->get<std::string>();
    machine.answered = answered->get<bool>();
    if (!machine.answered) return machine;
    const auto offset = entry.find("offsetMs");
    const auto bound = entry.find("errorBoundMs");
    const auto method = entry.find("method");
    if (offset == entry.end() || !offset->is_number_integer() || bound == entry.end() || !bound->is_number() ||
        method == entry.end() || !method->is_string())
        return std::nullopt;
    machine.offsetMs = offset->get<std::int64_t>();
    machine.errorBoundMs = bound->get<double>();
    if (!std::isfinite(machine.errorBoundMs) || machine.errorBoundMs < 0) return std::nullopt;
    machine.method = method->get<std::string>();
    const auto after = entry.find("answeredAfterMs");
    if (after != entry.end() && !after->is_null()) {
        if (!after->is_number_integer()) return std::nullopt;
        machine.answeredAfterMs = after->get<std::int64_t>();
    }
    return machine;
}

// Each line of `text` with its end, the last one possibly without.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            visit(text.substr(start), false);
            return;
        }
        visit(text.substr(start, end - start), true);
        start = end + 1;
    }
}

bool IsBlankLine(std::string_view line) {
    for (char c : line)
        if (c != ' ' && c != '\t' && c != '\r') return false;
    return true;
}

}  // namespace

std::string IsoUtc(std::int64_t timeMs) {
    std::int64_t days = timeMs / kMsPerDay;
    std::int64_t rest = timeMs % kMsPerDay;
    if (rest < 0) {
        rest += kMsPerDay;
        --days;
    }
    const CivilDate date = CivilFromDays(days);
    const unsigned seconds = static_cast<unsigned>(rest / 1000);
    const unsigned ms = static_cast<unsigned>(rest % 1000);
    std::string year = std::to_string(date.year);
    if (year.size() < 4) year.insert(0, 4 - year.size(), '0');
    std::string millis = std::to_string(ms);
    millis.insert(0, 3 - millis.size(), '0');
    return year + "-" + TwoDigits(date.month) + "-" + TwoDigits(date.day) + "T" + TwoDigits(seconds / 3600) + ":" +
           TwoDigits(seconds / 60 % 60) + ":" + TwoDigits(seconds % 60) + "." + millis + "Z";
}

std::optional<std::int64_t> ParseIsoUtc(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS[.mmm]Z
    if (text.size() != 20 && text.size() != 24) return std::nullopt;
    const auto year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
    const auto hour = Digits(text, 11, 2), minute = Digits(text, 14, 2), second = Digits(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':') return std::nullopt;
    unsigned ms = 0;
    if (text.size() == 24) {
        const auto fraction = Digits(text, 20, 3);
        if (text[19] != '.' || !fraction) return std::nullopt;
        ms = *fraction;
    }
    if (text.back() != 'Z') return std::nullopt;
    if (*month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 || *second > 60)
        return std::nullopt;
    const std::int64_t days = DaysFromCivil(*year, *month, *day);
    if (CivilFromDays(days).day != *day) return std::nullopt;  // 2026-02-30
    return days * kMsPerDay + (*hour * 3600 + *minute * 60 + *second) * 1000LL + ms;
}

std::string HistoryLine(const HistoryRecord& record) {
    // Fields in the order a person reading the file expects them.
    using ordered = nlohmann::ordered_json;
    ordered machines = ordered::array();
    for (const HistoryMachine& machine : record.machines) {
        ordered entry;
        entry["name"] = machine.name;
        entry["answered"] = machine.answered;
        entry["offsetMs"] = machine.answered ? ordered(machine.offsetMs) : ordered(nullptr);
        entry["errorBoundMs"] = machine.answered ? ordered(machine.errorBoundMs) : ordered(nullptr);
        entry["method"] = machine.answered && !machine.method.empty() ? ordered(machine.method) : ordered(nullptr);
        if (machine.answered && machine.answeredAfterMs) entry["answeredAfterMs"] = *machine.answeredAfterMs;
        machines.push_back(std::move(entry));
    }
    ordered line;
    line["time"] = IsoUtc(record.timeMs);
    line["reference"] = record.reference.empty() ? ordered(nullptr) : ordered(record.reference);
    line["machines"] = std::move(machines);
    // One line: dump() without indent escapes every control character.
    return line.dump(-1, ' ', false, ordered::error_handler_t::replace) + "\n";
}

std::optional<HistoryRecord> ParseHistoryLine(std::string_view line) {
    const json document = json::parse(line, nullptr, false);
    if (document.is_discarded() || !document.is_object()) return std::nullopt;
    const auto time = document.find("time");
    const auto reference = document.find("reference");
    const auto machines = document.find("machines");
    if (time == document.end() || !time->is_string() || machines == document.end() || !machines->is_array())
        return std::nullopt;
    HistoryRecord record;
    const std::optional<std::int64_t> timeMs = ParseIsoUtc(time->get<std::string>());
    if (!timeMs) return std::nullopt;
    record.timeMs = *timeMs;
    if (reference != document.end() && !reference->is_null()) {
        if (!reference->is_string()) return std::nullopt;
        record.reference = reference->get<std::string>();
    }
    for (const json& entry : *machines) {
        std::optional<HistoryMachine> machine = MachineFromJson(entry);
        if (!machine) return std::nullopt;
        record.machines.push_back(std::move(*machine));
    }
    return record;
}

HistoryContent ParseHistory(std::string_view text) {
    HistoryContent content;
    ForEachLine(text, [&](std::string_view line, bool ended) {
        content.endsInLineEnd = ended;
        if (IsBlankLine(line)) return;
        if (std::optional<HistoryRecord> record = ParseHistoryLine(line))
            content.records.push_back(std::move(*record));
        else
            ++content.unreadableLines;
    });
    return content;
}

HistoryUpdate UpdateHistoryFile(const std::string& path, const HistoryRecord& record, int keepDays) {
    HistoryUpdate update;
    platform::LockedFileOpening opening = platform::OpenLockedFile(path);
    if (!opening.error.empty()) {
        update.error = std::move(opening.error);
        return update;
    }
    platform::LockedFile& file = opening.file;
    std::string text;
    if (!file.readAll(text, update.error)) return update;

    const std::string line = HistoryLine(record);
    const std::int64_t cutoff = record.timeMs - static_cast<std::int64_t>(keepDays) * kMsPerDay;
    std::string kept;
    ForEachLine(text, [&](std::string_view each, bool) {
        const std::optional<HistoryRecord> old = IsBlankLine(each) ? std::nullopt : ParseHistoryLine(each);
        if (old && old->timeMs < cutoff) {
            ++update.dropped;
            return;
        }
        // Unreadable lines stay: they may be another program's, and only old
        // records were asked to go.
        kept.append(each);
        kept.push_back('\n');
    });

    if (update.dropped > 0) {
        if (!file.replaceAll(kept + line, update.error)) return update;
        update.content = ParseHistory(kept);
    } else {
        update.content = ParseHistory(text);
        // A line cut short (a writer that died) must not swallow the new one.
        const std::string separator = !text.empty() && text.back() != '\n' ? "\n" : "";
        if (!file.append(separator + line, update.error)) return update;
    }
    // The new record as a later scan will read it back (names made UTF-8).
    if (std::optional<HistoryRecord> written = ParseHistoryLine(line))
        update.content.records.push_back(std::move(*written));
    update.content.endsInLineEnd = true;
    return update;
}

}  // namespace skewmon
