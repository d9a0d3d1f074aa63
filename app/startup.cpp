#include "app/startup.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>

#include "platform/files.h"
#include "platform/text.h"
#include "text/text_util.h"
#include "ui/main_dialog.h"

namespace skewmon {
namespace {

constexpr char kProviderKey[] = "System\\CurrentControlSet\\Services\\LanmanWorkstation\\NetworkProvider";
constexpr std::size_t kProviderValueBytes = 126;

// The file name of a path: after the last separator of the platform.
std::string_view BaseNameOf(std::string_view path, platform::ListFileNaming rule) {
    const std::size_t cut = rule == platform::ListFileNaming::kLastDotOfFileName
                                ? path.rfind('/')
                                : path.find_last_of("/\\:");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

}  // namespace

std::string ListFilePathFor(std::string_view executablePath) {
    const std::string_view path = executablePath.substr(0, kExecutablePathCapacity - 1);
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos) return platform::RootListFilePath();
    return std::string(path.substr(0, dot)) + ".ini";
}

std::string ListFilePathForFileName(std::string_view executablePath) {
    const std::size_t slash = executablePath.rfind('/');
    const std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    const std::string_view name = executablePath.substr(nameStart);
    // A leading dot marks a hidden file, not an extension.
    const std::size_t firstOther = name.find_first_not_of('.');
    const std::size_t dot = name.rfind('.');
    if (firstOther == std::string_view::npos || dot == std::string_view::npos || dot < firstOther)
        return std::string(executablePath) + ".ini";
    return std::string(executablePath.substr(0, nameStart + dot)) + ".ini";
}

std::string DefaultListFilePath(std::string_view executablePath, platform::ListFileNaming rule) {
    return rule == platform::ListFileNaming::kLastDotOfFileName ? ListFilePathForFileName(executablePath)
                                                                : ListFilePathFor(executablePath);
}

std::string ShownPath(std::string_view path) { return PrintableText(path); }

bool DetectInlineMode(std::string& commandLine) {
    platform::UpperCaseInPlace(commandLine);
    return HoldsNoThreadWord(commandLine);
}

bool ReadNetworkProviderName(platform::Registry& registry, std::string& providerName) {
    providerName = CutToCapacity(kDefaultNetworkProvider, kNetworkProviderCapacity);
    unsigned char data[kNetworkProviderCapacity] = {};
    std::uint32_t size = kProviderValueBytes;
    const long status =
        registry.queryValue(kProviderKey, "Name", std::span(data, kProviderValueBytes), size);
    if (status != 0 || size > kProviderValueBytes) return false;
    // Terminated whether or not the stored data carried a terminator.
    std::size_t length = 0;
    while (length < size && data[length] != 0) ++length;
    providerName.assign(reinterpret_cast<const char*>(data), length);
    return true;
}

int FontHeightForDpi(int points, int dpi) {
    // MulDiv(points, dpi, 72): the product divided with rounding to nearest.
    const long long product = static_cast<long long>(points) * dpi;
    return -static_cast<int>((product + 36) / 72);
}

void OpenMachineListFile(Program& program) {
    AppState& app = program.app;
    const platform::ListFileNaming rule = platform::ListFileNamingRule();
    if (const std::optional<std::string>& named = program.options.listFile) {
        // Named on purpose: not finding it is an error, never a quiet switch
        // to the browse list.
        platform::ListFileOpening opening = platform::OpenListFile(*named);
        if (opening.outcome == platform::ListFileOpening::Outcome::kOpened) {
            app.machineListFile = std::move(opening.file);
            app.machineListName = ShownPath(BaseNameOf(*named, rule));
            return;
        }
        app.problems.push_back({"The machine list file \"" + ShownPath(*named) +
                                    "\" cannot be read: " + opening.reason + ".",
                                true});
        return;
    }
    const std::optional<std::string> exe = program.platform.system.executablePath();
    if (!exe) return;
    const std::string path = DefaultListFilePath(*exe, rule);
    platform::ListFileOpening opening = platform::OpenListFile(path);
    switch (opening.outcome) {
        case platform::ListFileOpening::Outcome::kOpened:
            app.machineListFile = std::move(opening.file);
            break;
        case platform::ListFileOpening::Outcome::kMissing:
            break;  // the usual case: the browse list it is
        case platform::ListFileOpening::Outcome::kUnusable:
            app.problems.push_back({"The machine list file \"" + ShownPath(path) + "\" cannot be read: " +
                                        opening.reason + "; the machines come from the browse list instead.",
                                    false});
            break;
    }
}

void CheckBrowser(Program& program) {
    if (const std::optional<platform::NetworkBrowser::MissingPart> missing = program.platform.browser.missingPart())
        program.app.problems.push_back({"The browse list helper \"" + ShownPath(missing->path) +
                                            "\" cannot be started: " + missing->reason +
                                            "; no machine can be found in the browse list.",
                                        true});
}

void StartUp(Program& program, std::string& commandLine) {
    platform::System& system = program.platform.system;
    platform::WindowSystem& windows = program.platform.windows;
    AppState& app = program.app;

    windows.initControlLibrary();
    ReadNetworkProviderName(system.registry(), app.networkProviderName);
    std::uint32_t zoneError = 0;
    system.removeZoneIdentifier(std::nullopt, zoneError);  // never stops start-up

    platform::FontSpec spec;
    spec.height = FontHeightForDpi(9, windows.screenDpiY());
    spec.weight = 700;
    app.boldFont = windows.createFont(spec);
    spec.weight = 100;
    app.thinFont = windows.createFont(spec);
    spec.weight = 400;
    spec.underline = true;
    app.linkFont = windows.createFont(spec);

    OpenMachineListFile(program);
    // Without a list file every scan reads the browse list: without what
    // reading it takes, each scan would only seem to find no machine. A
    // report that a problem already stops never gets to browse.
    const bool reportStopped = program.options.request == ConsoleRequest::kReport &&
                               std::any_of(app.problems.begin(), app.problems.end(),
                                           [](const StartUpProblem& problem) { return problem.stopsReport; });
    if (!app.machineListFile && !reportStopped) CheckBrowser(program);

    app.inlineMode = DetectInlineMode(commandLine);
}

void ShutDown(Program& program) {
    AppState& app = program.app;
    app.boldFont.reset();
    app.thinFont.reset();
    app.linkFont.reset();
    app.machineListFile.reset();
    app.machineListName.clear();
    app.problems.clear();
}

int RunApplication(Program& program, std::string commandLine) {
    StartUp(program, commandLine);
    {
        MainDialog dialog(program);
        program.platform.windows.runMainDialog(dialog);
        dialog.waitForScans();  // no scan may read the list file once it is closed
    }
    ShutDown(program);
    return 0;
}

}  // namespace skewmon
