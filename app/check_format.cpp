// The status line for monitoring systems, the thresholds it applies and the
// exit status they give.
#include <algorithm>
#include <charconv>
#include <vector>

#include "app/console_formats.h"
#include "app/format_common.h"
#include "text/text_util.h"
#include "timing/variance_text.h"

namespace skewmon {
namespace {

constexpr std::int64_t kDayMs = 24LL * 60 * 60 * 1000;

// How bad a state is, for "the worst wins": an UNKNOWN machine weighs more
// than an OK one, less than a WARNING.
int Severity(int status) {
    switch (status) {
        case 0: return 0;
        case 1: return 2;
        case 2: return 3;
        default: return 1;
    }
}

int StatusOfGrade(Grade grade) {
    switch (grade) {
        case Grade::kOutstanding:
        case Grade::kExcellent: return 0;
        case Grade::kAcceptable:
        case Grade::kFair: return 1;
        case Grade::kPoor:
        case Grade::kUnacceptable:
        case Grade::kNotSynchronized: return 2;
        case Grade::kNone: break;
    }
    return 3;
}

std::int64_t Magnitude(std::int64_t ms) { return ms < 0 ? -ms : ms; }

// The state of a scan and the machine that decided it.
struct Verdict {
    int status = 3;
    const MachineReading* machine = nullptr;  // none when no machine counted
    bool byThreshold = false;                 // an offset crossed -w or -c
    bool bySilence = false;                   // a machine without an answer
};

Verdict Judge(const ScanResult& scan, const CheckOptions& check) {
    Verdict verdict;
    if (!scan.problem.empty() || scan.machinesFound <= 0) return verdict;
    const bool thresholds = check.warning || check.critical;
    // The worst machine: the largest offset, the first of equals.
    for (const MachineReading& machine : scan.machines)
        if (machine.answered && (!verdict.machine || Magnitude(machine.offsetMs) > Magnitude(verdict.machine->offsetMs)))
            verdict.machine = &machine;
    verdict.status = thresholds ? 0 : StatusOfGrade(scan.grade.level);
    if (thresholds) {
        for (const MachineReading& machine : scan.machines) {
            if (!machine.answered) continue;
            const double seconds = static_cast<double>(Magnitude(machine.offsetMs)) / 1000.0;
            const int status = check.critical && RangeAlerts(*check.critical, seconds)  ? 2
                               : check.warning && RangeAlerts(*check.warning, seconds) ? 1
                                                                                        : 0;
            if (status != 0 && (Severity(status) > Severity(verdict.status) ||
                                (status == verdict.status &&
                                 Magnitude(machine.offsetMs) > Magnitude(verdict.machine->offsetMs)))) {
                verdict.status = status;
                verdict.machine = &machine;
                verdict.byThreshold = true;
            }
        }
    }
    for (const MachineReading& machine : scan.machines) {
        if (machine.answered || Severity(check.silentStatus) <= Severity(verdict.status)) continue;
        verdict = {check.silentStatus, &machine, false, true};
    }
    return verdict;
}

// A text in the status line: one line, and no "|" that would start the
// performance data early.
std::string LineSafe(std::string_view text) { return PrintableText(text, '?', "|"); }

// "hh:mm:ss.mss" below a day, else the whole "yy ddd hh:mm:ss.mss".
std::string ShortVariance(std::int64_t ms) {
    const std::string text = SplitVariance(VarianceText(ms)).text;
    return Magnitude(ms) < kDayMs && text.size() > 7 ? text.substr(7) : text;
}

// A performance-data label: quoted, a quote doubled, and "=", "|" and
// control characters as "_" so that no engine splits the item; an empty
// name (a browse list may hand one over) is "_", as no engine reads ''.
std::string LabelOf(std::string_view name) {
    if (name.empty()) return "'_'";
    std::string label = "'";
    for (char c : name) {
        if (c == '\'')
            label += "''";
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '=' || c == '|')
            label += '_';
        else
            label += c;
    }
    return label + "'";
}

std::string RangeText(const std::optional<ThresholdRange>& range) { return range ? range->text : std::string(); }

// Digits with an optional fraction and sign; never an exponent, "inf" or "nan".
std::optional<double> PlainNumber(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
    const std::size_t point = digits.find('.');
    const std::string_view whole = digits.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : digits.substr(point + 1);
    if (whole.empty() && fraction.empty()) return std::nullopt;
    for (std::string_view part : {whole, fraction})
        for (char c : part)
            if (c < '0' || c > '9') return std::nullopt;
    if (text.size() > 40) return std::nullopt;
    // The C locale's decimal point whatever the program's locale is.
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<ThresholdRange> ParseThresholdRange(std::string_view text) {
    ThresholdRange range;
    range.text = std::string(text);
    std::string_view rest = text;
    if (!rest.empty() && rest.front() == '@') {
        range.alertInside = true;
        rest.remove_prefix(1);
    }
    const std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos) {
        const std::optional<double> high = PlainNumber(rest);
        if (!high) return std::nullopt;
        range.high = *high;
    } else {
        const std::string_view low = rest.substr(0, colon), high = rest.substr(colon + 1);
        if (low.empty() && high.empty()) return std::nullopt;
        if (low == "~") {
            range.lowUnbounded = true;
        } else if (!low.empty()) {
            const std::optional<double> value = PlainNumber(low);
            if (!value) return std::nullopt;
            range.low = *value;
        }
        if (high.empty()) {
            range.highUnbounded = true;
        } else {
            const std::optional<double> value = PlainNumber(high);
            if (!value) return std::nullopt;
            range.high = *value;
        }
        if (range.lowUnbounded && range.highUnbounded) return std::nullopt;  // "~:" alerts never
    }
    if (!range.lowUnbounded && !range.highUnbounded && range.low > range.high) return std::nullopt;
    return range;
}

bool RangeAlerts(const ThresholdRange& range, double seconds) {
    const bool inside =
        (range.lowUnbounded || seconds >= range.low) && (range.highUnbounded || seconds <= range.high);
    return range.alertInside ? inside : !inside;
}

int ExitStatus(const ScanResult& scan, const CheckOptions& check) { return Judge(scan, check).status; }

std::string CheckLine(const ScanResult& scan, const CheckOptions& check) {
    const Verdict verdict = Judge(scan, check);
    const std::string prefix = "SKEWMON " + std::string(CheckState(verdict.status)) + " - ";
    const std::string tally = std::to_string(scan.machinesFound) + " of " + std::to_string(scan.machines.size()) +
                              " machines answered";
    const std::string counts =
        "answered=" + std::to_string(scan.machinesFound) + " silent=" + std::to_string(scan.machinesSilent);
    // Without a grade worth showing: why not, and the counts.
    if (!scan.problem.empty()) return prefix + LineSafe(scan.problem) + " | " + counts + "\n";
    if (scan.machinesFound <= 0) return prefix + "No machines responded: " + tally + " | " + counts + "\n";

    std::string text;
    if (verdict.bySilence) text = LineSafe(verdict.machine->name) + " did not answer, ";
    const MachineReading* worst = nullptr;
    for (const MachineReading& machine : scan.machines)
        if (machine.answered && (!worst || Magnitude(machine.offsetMs) > Magnitude(worst->offsetMs))) worst = &machine;
    if (verdict.byThreshold) {
        const bool critical = verdict.status == 2;
        text += LineSafe(verdict.machine->name) + " off by " + verdict.machine->sign +
                ShortVariance(verdict.machine->offsetMs) + " (" + (critical ? "critical " : "warning ") +
                LineSafe(RangeText(critical ? check.critical : check.warning)) + "), ";
    } else if (!check.warning && !check.critical) {
        text += LineSafe(scan.grade.grade) + ": ";
    }
    text += "worst " + ShortVariance(scan.worstMs) + " on " + LineSafe(worst->name) + ", " + tally;
    if (!scan.referenceIsLocal) text += ", measured from " + LineSafe(scan.reference);

    const std::string scanItems = "worst=" + MillisecondsAsSeconds(scan.worstMs) + "s average=" +
                                  MillisecondsAsSeconds(scan.averageMs) + "s " + counts;
    std::vector<std::size_t> answered;
    std::vector<std::string> items(scan.machines.size());
    for (std::size_t i = 0; i < scan.machines.size(); ++i) {
        const MachineReading& machine = scan.machines[i];
        if (!machine.answered) continue;
        answered.push_back(i);
        items[i] = PerformanceLabel(machine.name) + "=" + MillisecondsAsSeconds(machine.offsetMs) + "s;" +
                   RangeText(check.warning) + ";" + RangeText(check.critical);
    }
    // Too many for one line: the worst machines keep their items.
    std::stable_sort(answered.begin(), answered.end(), [&](std::size_t a, std::size_t b) {
        return Magnitude(scan.machines[a].offsetMs) > Magnitude(scan.machines[b].offsetMs);
    });
    auto fit = [&](std::size_t budget) {
        std::vector<bool> kept(scan.machines.size(), false);
        std::size_t count = 0;
        for (std::size_t i : answered) {
            if (items[i].size() + 1 > budget) break;
            budget -= items[i].size() + 1;
            kept[i] = true;
            ++count;
        }
        return std::pair(kept, count);
    };
    const std::size_t fixed = prefix.size() + text.size() + 3 + scanItems.size() + 1;
    auto [kept, count] = fit(kMaxCheckLine > fixed ? kMaxCheckLine - fixed : 0);
    if (count < answered.size()) {
        const std::string note = " machines left out of the performance data";
        const std::size_t longest = fixed + 2 + 20 + note.size();
        std::tie(kept, count) = fit(kMaxCheckLine > longest ? kMaxCheckLine - longest : 0);
        text += ", " + std::to_string(answered.size() - count) + note;
    }
    std::string line = prefix + text + " |";
    for (std::size_t i = 0; i < scan.machines.size(); ++i)
        if (kept[i]) line += " " + items[i];
    return line + " " + scanItems + "\n";
}

std::string IncompleteCheckLine(std::string_view reason) {
    return "SKEWMON UNKNOWN - " + LineSafe(reason) + "\n";
}

std::string PerformanceLabel(std::string_view name) { return LabelOf(name); }

}  // namespace skewmon
