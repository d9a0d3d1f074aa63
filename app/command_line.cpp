#include "app/command_line.h"

#include <charconv>
#include <optional>

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
    if (upper == "DRIFT") return ReportFormat::kDrift;
    return std::nullopt;
}

std::string Shown(std::string_view text) { return ShownArgument(text); }

}  // namespace

std::string ShownArgument(std::string_view text) {
    std::string shown(text.substr(0, 60));
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    if (text.size() > 60) shown += "...";
    return shown;
}

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
                fail("--parallel needs a number from 1 to 64, not \"" + Shown(text.value_or("")) + "\"");
        } else if (name == "--FORMAT") {
            const std::optional<std::string> text = value();
            if (const std::optional<ReportFormat> parsed = text ? ParseFormat(*text) : std::nullopt)
                options.format = *parsed;
            else
                fail("--format is text, json, check or drift, not \"" + Shown(text.value_or("")) + "\"");
        } else if (ParseDriftOption(name, value, options.drift, fail)) {
        } else if (upper.find("NOTHREAD") != std::string::npos) {
            // The window's own word; any spelling that holds it (/nothread, -NoThread).
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

}  // namespace skewmon
