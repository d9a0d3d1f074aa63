#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/files.h"
#include "platform/text.h"

namespace skewmon::platform {

// Names here are UTF-8 or ASCII: only ASCII letters change, so no multi-byte
// character is ever broken.
void UpperCaseInPlace(std::string& text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

const char* RootListFilePath() { return "/skewmon.ini"; }

ListFileNaming ListFileNamingRule() { return ListFileNaming::kLastDotOfFileName; }

namespace {

const char* KindOfFile(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "a special file";
}

ListFileOpening Unusable(std::string reason) {
    ListFileOpening opening;
    opening.outcome = ListFileOpening::Outcome::kUnusable;
    opening.reason = std::move(reason);
    return opening;
}

}  // namespace

ListFileOpening OpenListFile(const std::string& path) {
    // Non-blocking, so that a FIFO without a writer cannot hold start-up;
    // whatever was opened is looked at before a byte is read from it.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            ListFileOpening missing;
            missing.reason = std::system_category().message(error);
            return missing;
        }
        // A socket refuses the open itself; say what it is rather than
        // "No such device or address".
        struct stat status {};
        if (stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode))
            return Unusable(std::string("not a regular file (") + KindOfFile(status.st_mode) + ")");
        return Unusable(std::system_category().message(error));
    }
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        const int error = errno;
        close(fd);
        return Unusable(std::system_category().message(error));
    }
    if (!S_ISREG(status.st_mode)) {
        close(fd);
        return Unusable(std::string("not a regular file (") + KindOfFile(status.st_mode) + ")");
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int error = errno;
        close(fd);
        return Unusable(std::system_category().message(error));
    }
    std::FILE* file = fdopen(fd, "r");
    if (!file) {
        const int error = errno;
        close(fd);
        return Unusable(std::system_category().message(error));
    }
    ListFileOpening opened;
    opened.outcome = ListFileOpening::Outcome::kOpened;
    opened.file.reset(file);
    return opened;
}

void DeleteFileQuietly(const std::string& path) { std::remove(path.c_str()); }

std::string ReplaceFileContent(const std::string& path, std::string_view content) {
    auto failed = [](int error) { return std::system_category().message(error); };
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return "it names a folder, not a file";
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    // Hidden, so that a collector that reads the folder's "*.prom" files never
    // sees the file while it is written.
    std::string temporary = folder + "/." + name.substr(0, 200) + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return failed(errno);
    // The mode of the file it replaces, else what a new file usually gets.
    struct stat existing {};
    const mode_t mode = stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)
                            ? existing.st_mode & 07777
                            : 0644;
    int error = fchmod(fd, mode) == 0 ? 0 : errno;
    for (std::size_t done = 0; error == 0 && done < content.size();) {
        const ssize_t written = write(fd, content.data() + done, content.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error = written < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error == 0) return {};
    unlink(temporary.c_str());
    return failed(error);
}

}  // namespace skewmon::platform
