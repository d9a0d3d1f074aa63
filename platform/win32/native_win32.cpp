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
