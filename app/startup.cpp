#include "app/startup.h"

#include <cstdio>

#include "platform/text.h"
#include "ui/main_dialog.h"

namespace skewmon {
namespace {

constexpr char kProviderKey[] = "System\\CurrentControlSet\\Services\\LanmanWorkstation\\NetworkProvider";
constexpr std::size_t kProviderValueBytes = 126;

}  // namespace

std::string ListFilePathFor(std::string_view executablePath) {
    const std::string_view path = executablePath.substr(0, kExecutablePathCapacity - 1);
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos) return platform::RootListFilePath();
    return std::string(path.substr(0, dot)) + ".ini";
}

bool DetectInlineMode(std::string& commandLine) {
    platform::UpperCaseInPlace(commandLine);
    return commandLine.find("NOTHREAD") != std::string::npos;
}

bool ReadNetworkProviderName(platform::Registry& registry, std::string& providerName) {
    providerName = std::string(kDefaultNetworkProvider).substr(0, kNetworkProviderCapacity - 1);
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

    if (std::optional<std::string> exe = system.executablePath())
        app.machineListFile.reset(std::fopen(ListFilePathFor(*exe).c_str(), "r"));

    app.inlineMode = DetectInlineMode(commandLine);
}

void ShutDown(Program& program) {
    AppState& app = program.app;
    app.boldFont.reset();
    app.thinFont.reset();
    app.linkFont.reset();
    app.machineListFile.reset();
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
