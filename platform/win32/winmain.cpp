// The program on Windows: a windowed program without a console, whose
// platform services are the Win32 ones.
#include <windows.h>

#include <memory>
#include <string>

#include "app/startup.h"
#include "platform/win32/browse_win32.h"
#include "platform/win32/discovery_win32.h"
#include "platform/win32/time_query_win32.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    using namespace skewmon;
    namespace win32 = platform::win32;

    win32::Win32WindowSystem windows(instance);
    win32::Win32System system([&windows] { return windows.mainWindow(); });
    win32::ThreadQueryRunner timeQueries(std::make_shared<win32::NetRemoteTodClock>());
    win32::WNetBrowser browser;
    win32::Win32DiscoveryServices discovery;

    Program program(Platform{system, windows, timeQueries, browser, discovery});
    return RunApplication(program, commandLine ? commandLine : "");
}
