// The platform as the logic sees it. Most of it comes through the interfaces
// bundled here, which the entry point (platform/linux/main_linux.cpp,
// platform/win32/winmain.cpp, or a test) implements and hands over at run
// time. A few free functions are bound at link time instead, from the
// library skewmon_native (platform/linux/system/native_linux.cpp or
// platform/win32/native_win32.cpp), which the logic links: the code page's
// upper-casing (platform/text.h) and the machine list file's rules and file
// deletion (platform/files.h), needed where no interface object is at hand.
#pragma once

#include "platform/browse.h"
#include "platform/domain.h"
#include "platform/system.h"
#include "platform/time_query.h"
#include "platform/window.h"

namespace skewmon {

struct Platform {
    platform::System& system;
    platform::WindowSystem& windows;
    platform::TimeQueryRunner& timeQueries;
    platform::NetworkBrowser& browser;
    platform::DiscoveryServices& discovery;
};

}  // namespace skewmon
