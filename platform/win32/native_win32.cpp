// The narrow-text rules of the ANSI code page, and the file operations that
// the logic calls without a System object.
#include <windows.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/text.h"
#include "platform/win32/win32_util.h"

namespace skewmon::platform {

void UpperCaseInPlace(std::string& text) {
    if (!text.empty()) CharUpperBuffA(text.data(), static_cast<DWORD>(text.size()));
}

const char* RootListFilePath() { return "\\skewmon.ini"; }

ListFileNaming ListFileNamingRule() { return ListFileNaming::kLastDotOfPath; }

ListFileOpening OpenListFile(const std::string& path) {
    ListFileOpening opening;
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (!file) {
        const int error = errno;
        opening.outcome = error == ENOENT ? ListFileOpening::Outcome::kMissing
                                          : ListFileOpening::Outcome::kUnusable;
        opening.reason = std::strerror(error);
        return opening;
    }
    // A device name (CON, a pipe) opens too, and a read from it may wait for
    // ever: only a file on disk will do.
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        std::fclose(file);
        opening.outcome = ListFileOpening::Outcome::kUnusable;
        opening.reason = "not a regular file";
        return opening;
    }
    opening.outcome = ListFileOpening::Outcome::kOpened;
    opening.file.reset(file);
    return opening;
}

void DeleteFileQuietly(const std::string& path) { DeleteFileA(path.c_str()); }

namespace {

std::string SystemMessage(DWORD error) {
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                        0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}

}  // namespace

std::string ReplaceFileContent(const std::string& path, std::string_view content) {
    const std::size_t cut = path.find_last_of("/\\:");
    const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    if (name.empty() || name == "." || name == "..") return "it names a folder, not a file";
    const std::string folder = cut == std::string::npos ? "." : path.substr(0, cut + 1);
    char temporary[MAX_PATH + 1] = {};
    if (GetTempFileNameA(folder.c_str(), "SKW", 0, temporary) == 0) return SystemMessage(GetLastError());
    DWORD error = 0;
    {
        win32::UniqueHandle file(CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.get() == INVALID_HANDLE_VALUE) error = GetLastError();
        for (std::size_t done = 0; error == 0 && done < content.size();) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(content.size() - done, 1 << 20));
            DWORD written = 0;
            if (!WriteFile(file.get(), content.data() + done, chunk, &written, nullptr) || written == 0)
                error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
            done += written;
        }
        if (error == 0 && !FlushFileBuffers(file.get())) error = GetLastError();
    }
    if (error == 0 && !MoveFileExA(temporary, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = GetLastError();
    if (error == 0) return {};
    DeleteFileA(temporary);
    return SystemMessage(error);
}

namespace {

std::string LastErrorText() {
    const DWORD code = GetLastError();
    char buffer[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        buffer, sizeof buffer, nullptr);
    std::string text(buffer, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) text.pop_back();
    return text.empty() ? "error " + std::to_string(code) : text;
}

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

bool WriteAll(HANDLE file, std::string_view bytes, std::string& error) {
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(bytes.size() > 1u << 30 ? 1u << 30 : bytes.size());
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
            error = LastErrorText();
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

// Shared for deleting, so that a new file can be renamed over it while it is
// open; the lock keeps other updates out.
HANDLE OpenForUpdate(const std::string& path, DWORD creation) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, creation, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool LockWhole(HANDLE file) {
    OVERLAPPED whole = {};
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
}

}  // namespace

struct LockedFileOpener {
    static LockedFileOpening Open(const std::string& path);
    static void Adopt(LockedFile& file, HANDLE handle, const std::string& path) {
        file.handle_ = reinterpret_cast<std::intptr_t>(handle);
        file.path_ = path;
    }
};

LockedFile::~LockedFile() {
    if (handle_ != -1) CloseHandle(AsHandle(handle_));
}

LockedFile::LockedFile(LockedFile&& other) noexcept : handle_(other.handle_), path_(std::move(other.path_)) {
    other.handle_ = -1;
}

LockedFile& LockedFile::operator=(LockedFile&& other) noexcept {
    if (this != &other) {
        if (handle_ != -1) CloseHandle(AsHandle(handle_));
        handle_ = other.handle_;
        path_ = std::move(other.path_);
        other.handle_ = -1;
    }
    return *this;
}

bool LockedFile::isOpen() const { return handle_ != -1; }

bool LockedFile::readAll(std::string& content, std::string& error) {
    content.clear();
    const HANDLE file = AsHandle(handle_);
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
        error = LastErrorText();
        return false;
    }
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            error = LastErrorText();
            return false;
        }
        if (got == 0) return true;
        content.append(buffer, got);
    }
}

bool LockedFile::append(std::string_view bytes, std::string& error) {
    const HANDLE file = AsHandle(handle_);
    LARGE_INTEGER end = {};
    if (!SetFilePointerEx(file, end, nullptr, FILE_END)) {
        error = LastErrorText();
        return false;
    }
    if (!WriteAll(file, bytes, error)) return false;
    FlushFileBuffers(file);
    return true;
}

bool LockedFile::replaceAll(std::string_view bytes, std::string& error) {
    // Windows will not rename a file over one that is open. The new content
    // goes into a copy beside it first, which stays there should the
    // rewrite in place below be cut short; the lock keeps every other
    // update out meanwhile.
    const std::string copy = path_ + ".new";
    const HANDLE file = CreateFileA(copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "cannot create a file beside it: " + LastErrorText();
        return false;
    }
    const bool copied = WriteAll(file, bytes, error) && FlushFileBuffers(file);
    CloseHandle(file);
    if (!copied) {
        if (error.empty()) error = LastErrorText();
        DeleteFileA(copy.c_str());
        return false;
    }
    const HANDLE own = AsHandle(handle_);
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(own, start, nullptr, FILE_BEGIN) || !WriteAll(own, bytes, error) || !SetEndOfFile(own) ||
        !FlushFileBuffers(own)) {
        if (error.empty()) error = LastErrorText();
        return false;
    }
    DeleteFileA(copy.c_str());
    return true;
}

LockedFileOpening LockedFileOpener::Open(const std::string& path) {
    LockedFileOpening opening;
    // Whose a link is takes more than Windows says in one call: links are
    // not followed at all.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        opening.error = "a symbolic link or junction: not followed";
        return opening;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const HANDLE file = OpenForUpdate(path, OPEN_ALWAYS);
        if (file == INVALID_HANDLE_VALUE) {
            opening.error = LastErrorText();
            return opening;
        }
        BY_HANDLE_FILE_INFORMATION before = {};
        if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &before) ||
            (before.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
            CloseHandle(file);
            opening.error = "not a regular file";
            return opening;
        }
        if (!LockWhole(file)) {
            opening.error = "cannot lock it: " + LastErrorText();
            CloseHandle(file);
            return opening;
        }
        // A new file renamed over the path while this one waited: lock that.
        const HANDLE current = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        BY_HANDLE_FILE_INFORMATION now = {};
        const bool same = current != INVALID_HANDLE_VALUE && GetFileInformationByHandle(current, &now) &&
                          now.dwVolumeSerialNumber == before.dwVolumeSerialNumber &&
                          now.nFileIndexHigh == before.nFileIndexHigh && now.nFileIndexLow == before.nFileIndexLow;
        if (current != INVALID_HANDLE_VALUE) CloseHandle(current);
        if (same) {
            Adopt(opening.file, file, path);
            return opening;
        }
        CloseHandle(file);
    }
    opening.error = "it keeps being replaced";
    return opening;
}

LockedFileOpening OpenLockedFile(const std::string& path) { return LockedFileOpener::Open(path); }

namespace win32 {

std::wstring AnsiToWide(std::string_view text, std::size_t capacity) {
    if (text.empty() || capacity == 0) return {};
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), needed);
    if (wide.size() > capacity - 1) wide.resize(capacity - 1);
    return wide;
}

std::string WideToAnsi(std::wstring_view text, std::size_t capacity) {
    if (text.empty() || capacity == 0) return {};
    const int length = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string narrow(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), length, narrow.data(), needed, nullptr, nullptr);
    if (narrow.size() > capacity - 1) narrow.resize(capacity - 1);
    return narrow;
}

}  // namespace win32
}  // namespace skewmon::platform
