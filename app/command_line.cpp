#include "app/command_line.h"

#include <charconv>
#include <optional>
#include <string>

#include "app/console_formats.h"
#include "app/drift_console.h"
#include "text/text_util.h"

namespace skewmon {
namespace {

// "--name=value" or "--name" followed by the value as the next argument.
struct OptionWithValue {
    std::string_view name;
    std::optional<std::string> value;
};

std::optional<int> ParseParallel(std::string_view text) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [last, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || last != end) return std::nullopt;
    if (value < kMinParallel || value > kMaxParallel) return std::nullopt;
    return value;
}

std::optional<ReportFormat> ParseFormat(std::string_view text) {
    const std::string upper = AsciiUpperCase(text);
    if (upper == "TEXT") return ReportFormat::kText;
    if (upper == "JSON") return ReportFormat::kJson;
    if (upper == "CHECK") return ReportFormat::kCheck;
    if (upper == "CSV") return ReportFormat::kCsv;
    if (upper == "PROMETHEUS") return ReportFormat::kPrometheus;
    if (upper == "DRIFT") return ReportFormat::kDrift;
    return std::nullopt;
}

// The argument for an error line: never more than a screen's width, and
// control characters shown as '?'.
std::string Shown(std::string_view text) {
    std::string shown = PrintableText(text.substr(0, 60));
    if (text.size() > 60) shown += "...";
    return shown;
}

// The exit status a state's name stands for.
std::optional<int> ParseState(std::string_view text) {
    const std::string upper = AsciiUpperCase(text);
    if (upper == "OK") return 0;
    if (upper == "WARNING") return 1;
    if (upper == "CRITICAL") return 2;
    if (upper == "UNKNOWN") return 3;
    return std::nullopt;
}

}  // namespace

std::string ShownArgument(std::string_view text) { return Shown(text); }

CommandLineOptions ParseCommandLine(const std::vector<std::string>& args) {
    CommandLineOptions options;
    bool help = false, version = false, report = false;
    auto fail = [&](std::string message) {
        if (options.error.empty()) options.error = std::move(message);
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const std::string upper = AsciiUpperCase(arg);
        const std::size_t equals = upper.find('=');
        const std::string name = upper.rfind("--", 0) == 0 ? upper.substr(0, equals) : upper;

        // Options that take a value: inline after '=', else the next argument.
        auto value = [&]() -> std::optional<std::string> {
            if (equals != std::string::npos && upper.rfind("--", 0) == 0) return arg.substr(equals + 1);
            if (i + 1 < args.size()) return args[++i];
            return std::nullopt;
        };

        if (name == "--HELP" || upper == "-H") {
            help = true;
        } else if (name == "--VERSION") {
            version = true;
        } else if (name == "--REPORT") {
            report = true;
            // "--report=json" is a mistake to point out, not a plain report.
            if (equals != std::string::npos) fail("--report takes no value");
        } else if (name == "--LIST") {
            if (std::optional<std::string> file = value(); file && !file->empty())
                options.listFile = *file;
            else
                fail("--list needs a file name");
        } else if (name == "--PARALLEL") {
            const std::optional<std::string> text = value();
            if (const std::optional<int> parsed = text ? ParseParallel(*text) : std::nullopt)
                options.parallel = *parsed;
            else
                fail("--parallel needs a number from " + std::to_string(kMinParallel) + " to " +
                     std::to_string(kMaxParallel) + ", not \"" + Shown(text.value_or("")) + "\"");
        } else if (name == "--FORMAT") {
            const std::optional<std::string> text = value();
            if (const std::optional<ReportFormat> parsed = text ? ParseFormat(*text) : std::nullopt)
                options.format = *parsed;
            else
                fail("--format is text, json, csv, prometheus, check or drift, not \"" + Shown(text.value_or("")) + "\"");
        } else if (name == "--WARNING" || name == "--CRITICAL" || upper == "-W" || upper == "-C") {
            const bool warning = name == "--WARNING" || upper == "-W";
            const std::optional<std::string> text = value();
            std::optional<ThresholdRange>& range = warning ? options.check.warning : options.check.critical;
            range = text ? ParseThresholdRange(*text) : std::nullopt;
            if (!range)
                fail(std::string(warning ? "--warning" : "--critical") +
                     " needs a range in seconds (10, 10:, ~:10, 10:20 or @10:20), not \"" +
                     Shown(text.value_or("")) + "\"");
        } else if (name == "--SILENT") {
            const std::optional<std::string> text = value();
            if (const std::optional<int> state = text ? ParseState(*text) : std::nullopt)
                options.check.silentStatus = *state;
            else
                fail("--silent is ok, warning, critical or unknown, not \"" + Shown(text.value_or("")) + "\"");
        } else if (name == "--OUTPUT") {
            if (std::optional<std::string> file = value(); file && !file->empty())
                options.outputFile = *file;
            else
                fail("--output needs a file name");
        } else if (name == "--REFERENCE") {
            if (std::optional<std::string> machine = value(); machine && !machine->empty())
                options.reference = *machine;
            else
                fail("--reference needs a machine name");
        } else if (ParseDriftOption(name, value, options.drift, fail)) {
        } else if (HoldsNoThreadWord(arg)) {
            // The window's own word; any spelling that holds it (/nothread,
            // -NoThread). Only such words reach start-up, so that a list
            // file's path that holds it asks for nothing.
            options.windowWords.push_back(arg);
        } else if (!arg.empty() && arg[0] == '-') {
            fail("unknown option " + Shown(arg));
        } else {
            fail("unexpected argument \"" + Shown(arg) + "\"");
        }
    }

    if (help)
        options.request = ConsoleRequest::kHelp;
    else if (version)
        options.request = ConsoleRequest::kVersion;
    else if (report)
        options.request = ConsoleRequest::kReport;
    if (const std::string problem = DriftOptionsProblem(options); !problem.empty()) fail(problem);
    if (help || version) options.error.clear();
    return options;
}

std::string JoinedCommandLine(const std::vector<std::string>& args) {
    std::string line;
    for (const std::string& arg : args) {
        if (!line.empty()) line.push_back(' ');
        line += arg;
    }
    return line;
}

std::string WindowCommandLine(const CommandLineOptions& options) { return JoinedCommandLine(options.windowWords); }

}  // namespace skewmon
