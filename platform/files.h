// The platform's rules for the machine list file, file deletion without a
// System object, and a file kept under an exclusive lock for an update.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace skewmon::platform {

// The machine list file used when the executable's path holds no ".": a file
// at the root of the file system (of the current drive, where drives exist).
const char* RootListFilePath();

// Where the list file's name comes from. Windows programs always end in
// ".exe", so the last "." of the whole path is theirs; a Linux program
// usually has no extension, and a "." in a folder name is not its.
enum class ListFileNaming { kLastDotOfPath, kLastDotOfFileName };
ListFileNaming ListFileNamingRule();

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using TextFile = std::unique_ptr<std::FILE, FileCloser>;

// The outcome of opening a machine list file for reading.
struct ListFileOpening {
    enum class Outcome { kOpened, kMissing, kUnusable };
    Outcome outcome = Outcome::kMissing;
    TextFile file;       // kOpened only
    std::string reason;  // why it is missing or unusable, for the user
};

// Opens `path` as a machine list file: only a regular file will do, and the
// open never waits (a FIFO without a writer, a device). Missing means there
// is no such file; anything else that fails is unusable.
ListFileOpening OpenListFile(const std::string& path);

// Deletes a file; failures are ignored. A free function because the report
// files are deleted at process exit, when no System object may be left.
void DeleteFileQuietly(const std::string& path);

// Gives the file `path` the content `content` all at once: writes it into a
// new file in the same folder and renames that over `path` only when it is
// complete, so that a reader sees the old content or the new, never a part.
// On any failure `path` keeps what it held and the reason comes back; empty
// on success.
std::string ReplaceFileContent(const std::string& path, std::string_view content);

// A file opened for reading and writing and held under an exclusive lock
// until the object ends, so that two programs updating it at the same time
// take turns. Each failing operation says why in `error`.
class LockedFile {
public:
    LockedFile() = default;
    ~LockedFile();
    LockedFile(LockedFile&& other) noexcept;
    LockedFile& operator=(LockedFile&& other) noexcept;
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    bool isOpen() const;
    // The whole content.
    bool readAll(std::string& content, std::string& error);
    // `bytes` added at the end.
    bool append(std::string_view bytes, std::string& error);
    // The whole content becomes `bytes` at once: written into a new file in
    // the same folder, which is then renamed over the file (on Windows,
    // which renames nothing over an open file, the file is rewritten in
    // place after a copy beside it). The object goes on holding the file,
    // still locked.
    bool replaceAll(std::string_view bytes, std::string& error);

private:
    friend struct LockedFileOpener;
    std::intptr_t handle_ = -1;
    std::string path_;  // the file's real path, links resolved
};

struct LockedFileOpening {
    LockedFile file;     // open when `error` is empty
    std::string error;   // why the file could not be opened, for the user
};

// Opens `path` for an update, creating it (mode 0600) when missing, and
// waits for its exclusive lock. A symbolic link is followed only when it
// belongs to the user who runs the program; anything but a regular file is
// refused, and the open never waits on a FIFO.
LockedFileOpening OpenLockedFile(const std::string& path);

}  // namespace skewmon::platform
