#include "platform/win32/win32_system.h"

#include <shellapi.h>

#include <algorithm>

#include "platform/win32/win32_util.h"

namespace skewmon::platform::win32 {
namespace {

constexpr std::size_t kModulePathCapacity = 256;
constexpr std::size_t kSuffixLength = sizeof kZoneStreamSuffix / sizeof kZoneStreamSuffix[0] - 1;

bool RemoveZoneStream(const std::wstring& stream, DWORD& error) {
    // An attribute-only open: it needs no rights to the data, and shows
    // whether the stream exists at all.
    UniqueHandle handle(CreateFileW(stream.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING,
                                    FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, nullptr));
    if (!handle) {
        error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) error = 0;  // nothing to remove
        return false;
    }
    handle.reset();
    if (!DeleteFileW(stream.c_str())) {
        error = GetLastError();
        return false;
    }
    error = 0;
    return true;
}

// The empty, singly linked plain file that GetTempFileNameA leaves, not a
// link, a directory or a second name of some other file.
bool IsFreshPlainFile(const BY_HANDLE_FILE_INFORMATION& info) {
    constexpr DWORD kNotPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    return (info.dwFileAttributes & kNotPlain) == 0 && info.nNumberOfLinks == 1 && info.nFileSizeHigh == 0 &&
           info.nFileSizeLow == 0;
}

// Writes go through the handle of the creating open.
class Win32NewFile final : public NewFile {
public:
    Win32NewFile(std::string path, UniqueHandle file) : path_(std::move(path)), file_(std::move(file)) {}

    const std::string& path() const override { return path_; }

    bool write(std::string_view data) override {
        while (file_ && !data.empty()) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 20));
            DWORD written = 0;
            if (!WriteFile(file_.get(), data.data(), chunk, &written, nullptr) || written == 0) return false;
            data.remove_prefix(written);
        }
        return static_cast<bool>(file_);
    }

    bool close() override {
        if (!file_) return false;
        return CloseHandle(file_.release()) != 0;
    }

private:
    std::string path_;
    UniqueHandle file_;
};

}  // namespace

long Win32Registry::queryValue(std::string_view keyPath, std::string_view name,
                               std::span<unsigned char> buffer, std::uint32_t& size) {
    // Two leading backslashes mark a path written from the root.
    if (keyPath.substr(0, 2) == "\\\\") keyPath.remove_prefix(2);
    HKEY opened = nullptr;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, Terminated(keyPath).c_str(), 0, KEY_READ, &opened);
    if (status != ERROR_SUCCESS) {
        size = 0;
        return status;
    }
    const UniqueRegKey key(opened);
    DWORD bytes = static_cast<DWORD>(buffer.size());
    status = RegQueryValueExA(key.get(), Terminated(name).c_str(), nullptr, nullptr, buffer.data(), &bytes);
    size = bytes;
    return status;
}

ZoneStreamPath ZoneStreamPathFor(std::wstring_view filePath) {
    if (filePath.size() > kZonePathCapacity) return {{}, ERROR_INSUFFICIENT_BUFFER};
    if (filePath.size() + kSuffixLength > kZonePathCapacity) return {{}, ERROR_INSUFFICIENT_BUFFER};
    std::wstring path(filePath);
    path.append(kZoneStreamSuffix);
    return {std::move(path), 0};
}

Win32System::Win32System(std::function<HWND()> ownerWindow) : ownerWindow_(std::move(ownerWindow)) {}

std::optional<std::string> Win32System::executablePath() {
    char path[kModulePathCapacity];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0) return std::nullopt;
    return std::string(path, std::min<std::size_t>(length, sizeof path - 1));
}

bool Win32System::removeZoneIdentifier(std::optional<std::string_view> path, std::uint32_t& lastError) {
    std::wstring file;
    if (path && !path->empty()) {
        file = AnsiToWide(*path, kZonePathCapacity + 2);  // one more than fits tells "too long"
    } else {
        wchar_t own[kZonePathCapacity];
        SetLastError(0);
        const DWORD length = GetModuleFileNameW(nullptr, own, kZonePathCapacity);
        const DWORD error = GetLastError();
        if (length == 0 || error != 0) {
            lastError = error != 0 ? error : ERROR_INVALID_FUNCTION;
            SetLastError(lastError);
            return false;
        }
        file.assign(own, length);
    }

    const ZoneStreamPath stream = ZoneStreamPathFor(file);
    DWORD error = stream.error;
    const bool removed = error == 0 && RemoveZoneStream(stream.path, error);
    lastError = error;
    SetLastError(error);
    return removed;
}

std::string Win32System::computerName(std::size_t capacity) {
    std::string name(capacity, '\0');
    DWORD size = static_cast<DWORD>(capacity);
    if (capacity == 0 || !GetComputerNameA(name.data(), &size)) return {};
    name.resize(std::min<std::size_t>(size, capacity - 1));
    return name;
}

std::optional<std::string> Win32System::tempPath(std::size_t capacity) {
    std::string path(capacity + 1, '\0');
    const DWORD length = GetTempPathA(static_cast<DWORD>(capacity), path.data());
    if (length == 0 || length >= capacity) return std::nullopt;  // none, or it does not fit
    path.resize(length);
    return path;
}

std::unique_ptr<NewFile> Win32System::createUniqueTempFile(const std::string& directory, std::string_view prefix) {
    char path[MAX_PATH] = {};
    // Unique number 0: the system picks a name and creates the file, never
    // reusing one that exists.
    if (GetTempFileNameA(directory.c_str(), Terminated(prefix).c_str(), 0, path) == 0) return nullptr;
    // The file is made and closed again by the call above; it is opened once
    // more, without following what may have been put in its place, shared
    // with no one, and only when it is still the plain empty file made.
    UniqueHandle file(CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!file || !GetFileInformationByHandle(file.get(), &info) || !IsFreshPlainFile(info)) {
        // Whatever has the name now goes; a link goes itself, never its target.
        file.reset();
        DeleteFileA(path);
        return nullptr;
    }
    return std::make_unique<Win32NewFile>(path, std::move(file));
}

std::unique_ptr<NewFile> Win32System::createNewFile(const std::string& path) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return nullptr;
    return std::make_unique<Win32NewFile>(path, std::move(file));
}

std::uint32_t Win32System::startTextViewer(const std::string& path, bool elevated) {
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = 0;
    info.hwnd = owner();
    info.lpVerb = elevated ? "runas" : "open";
    info.lpFile = "notepad.exe";
    info.lpParameters = path.c_str();  // as it is: the viewer takes the rest of its command line
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOW;
    if (ShellExecuteExA(&info)) return 0;
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;  // a failure never reads as success
}

void Win32System::openUrl(const std::string& url) {
    ShellExecuteA(owner(), "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace skewmon::platform::win32
