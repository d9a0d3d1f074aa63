// The operating-system services on Windows: the registry, the executable and
// its zone stream, the computer name, temporary files, the text viewer and
// the browser.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/system.h"

namespace skewmon::platform::win32 {

// Values below HKEY_LOCAL_MACHINE, opened for reading.
class Win32Registry final : public Registry {
public:
    long queryValue(std::string_view keyPath, std::string_view name, std::span<unsigned char> buffer,
                    std::uint32_t& size) override;
};

inline constexpr std::size_t kZonePathCapacity = 262;  // UTF-16 characters
inline constexpr wchar_t kZoneStreamSuffix[] = L":Zone.Identifier";

// The zone stream's path for a file path, or the error that forbids it (122
// when the path, or the path with the suffix, does not fit the buffer).
struct ZoneStreamPath {
    std::wstring path;
    DWORD error = 0;
};
ZoneStreamPath ZoneStreamPathFor(std::wstring_view filePath);

class Win32System : public System {
public:
    // `ownerWindow` gives the main dialog's window (or none), which owns
    // what the shell shows.
    explicit Win32System(std::function<HWND()> ownerWindow = {});

    Registry& registry() override { return registry_; }
    std::optional<std::string> executablePath() override;
    bool removeZoneIdentifier(std::optional<std::string_view> path, std::uint32_t& lastError) override;
    std::string computerName(std::size_t capacity) override;
    std::optional<std::string> tempPath(std::size_t capacity) override;
    std::unique_ptr<NewFile> createUniqueTempFile(const std::string& directory,
                                                  std::string_view prefix) override;
    std::unique_ptr<NewFile> createNewFile(const std::string& path) override;
    std::string fallbackTempDirectory() override { return "c:\\"; }
    std::string fallbackReportPath() override { return "c:\\skewmon.txt"; }
    std::uint32_t startTextViewer(const std::string& path, bool elevated) override;
    void openUrl(const std::string& url) override;

private:
    HWND owner() const { return ownerWindow_ ? ownerWindow_() : nullptr; }

    Win32Registry registry_;
    std::function<HWND()> ownerWindow_;
};

}  // namespace skewmon::platform::win32
