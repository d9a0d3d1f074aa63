// The command line: any arguments (the input split at NUL bytes), read as
// the program reads them. Whatever is given, the options hold values a run
// can use, and an error is one short line of plain text.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console_formats.h"
#include "app/console_report.h"
#include "app/startup.h"
#include "tests/fuzz/fuzz_check.h"

using namespace skewmon;

namespace {

// What each option leaves behind must be usable as it stands. A new option
// adds its line here and its words to command_line.dict.
const std::function<void(const CommandLineOptions&)> kOptionChecks[] = {
    [](const CommandLineOptions& o) { FUZZ_CHECK(o.parallel >= kMinParallel && o.parallel <= kMaxParallel); },
    [](const CommandLineOptions& o) {
        FUZZ_CHECK(o.format == ReportFormat::kText || o.format == ReportFormat::kJson ||
                   o.format == ReportFormat::kCheck || o.format == ReportFormat::kCsv ||
                   o.format == ReportFormat::kPrometheus);
    },
    [](const CommandLineOptions& o) { FUZZ_CHECK(!o.listFile || !o.listFile->empty()); },
    [](const CommandLineOptions& o) { FUZZ_CHECK(!o.outputFile || !o.outputFile->empty()); },
    [](const CommandLineOptions& o) { FUZZ_CHECK(!o.reference || !o.reference->empty()); },
    [](const CommandLineOptions& o) { FUZZ_CHECK(o.check.silentStatus >= 0 && o.check.silentStatus <= 3); },
    // A range kept is one the parser reads back the same, with its ends in order.
    [](const CommandLineOptions& o) {
        for (const auto& range : {o.check.warning, o.check.critical}) {
            if (!range) continue;
            const auto again = ParseThresholdRange(range->text);
            FUZZ_CHECK(again && again->low == range->low && again->high == range->high);
            FUZZ_CHECK(range->lowUnbounded || range->highUnbounded || range->low <= range->high);
        }
    },
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (std::size_t start = 0; start <= text.size() && args.size() < 64;) {
        const std::size_t end = std::min(text.find('\0', start), text.size());
        args.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }

    const CommandLineOptions options = ParseCommandLine(args);
    for (const auto& check : kOptionChecks) check(options);
    if (options.request == ConsoleRequest::kHelp || options.request == ConsoleRequest::kVersion) {
        FUZZ_CHECK(options.error.empty());
    }
    // The error names the argument, cut to a screen's width.
    FUZZ_CHECK(options.error.size() < 200 && !fuzzing::HasControlCharacter(options.error));
    if (!options.error.empty()) {
        const std::string line = UsageErrorLine(options.error);
        FUZZ_CHECK(line.find('\n') == line.size() - 1);
    }

    // The window's reading of the same arguments.
    std::string joined = WindowCommandLine(options);
    DetectInlineMode(joined);
    if (options.listFile) {
        FUZZ_CHECK(!fuzzing::HasControlCharacter(ShownPath(*options.listFile)));
    }
    return 0;
}
