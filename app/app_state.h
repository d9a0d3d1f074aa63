// The process-wide start-up record: filled before the dialog exists and only
// read afterwards.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "platform/controls.h"

namespace skewmon {

inline constexpr char kAppVersion[] = "5.2.b.20110601R";
inline constexpr char kDefaultNetworkProvider[] = "Microsoft Windows Network";
inline constexpr std::size_t kNetworkProviderCapacity = 128;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using TextFile = std::unique_ptr<std::FILE, FileCloser>;

struct AppState {
    TextFile machineListFile;  // none: machines come from the browse list
    bool inlineMode = false;   // NOTHREAD: query on the scan thread, no time limit
    std::string networkProviderName = kDefaultNetworkProvider;
    std::unique_ptr<platform::Font> boldFont;  // weight 700
    std::unique_ptr<platform::Font> thinFont;  // weight 100
    std::unique_ptr<platform::Font> linkFont;  // weight 400, underlined
};

}  // namespace skewmon
