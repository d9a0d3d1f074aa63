#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
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

namespace {

std::string ErrnoText(int error) { return std::system_category().message(error); }

bool WriteAll(int fd, std::string_view bytes, std::string& error) {
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            error = ErrnoText(errno);
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

struct LockedFileOpener {
    static LockedFileOpening Open(const std::string& given);
    static void Adopt(LockedFile& file, int fd, std::string path) {
        file.handle_ = fd;
        file.path_ = std::move(path);
    }
};

LockedFile::~LockedFile() {
    if (handle_ >= 0) close(static_cast<int>(handle_));  // the lock goes with it
}

LockedFile::LockedFile(LockedFile&& other) noexcept : handle_(other.handle_), path_(std::move(other.path_)) {
    other.handle_ = -1;
}

LockedFile& LockedFile::operator=(LockedFile&& other) noexcept {
    if (this != &other) {
        if (handle_ >= 0) close(static_cast<int>(handle_));
        handle_ = other.handle_;
        path_ = std::move(other.path_);
        other.handle_ = -1;
    }
    return *this;
}

bool LockedFile::isOpen() const { return handle_ >= 0; }

bool LockedFile::readAll(std::string& content, std::string& error) {
    content.clear();
    const int fd = static_cast<int>(handle_);
    if (lseek(fd, 0, SEEK_SET) < 0) {
        error = ErrnoText(errno);
        return false;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            error = ErrnoText(errno);
            return false;
        }
        if (got == 0) return true;
        content.append(buffer, static_cast<std::size_t>(got));
    }
}

bool LockedFile::append(std::string_view bytes, std::string& error) {
    const int fd = static_cast<int>(handle_);
    // Opened for appending: every write lands at the end.
    if (!WriteAll(fd, bytes, error)) return false;
    if (fdatasync(fd) != 0) {
        error = ErrnoText(errno);
        return false;
    }
    return true;
}

bool LockedFile::replaceAll(std::string_view bytes, std::string& error) {
    std::string temporary = path_ + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0) {
        error = "cannot create a file beside it: " + ErrnoText(errno);
        return false;
    }
    // Held before the rename, so that nobody slips in between.
    if (flock(fd, LOCK_EX) != 0 || !WriteAll(fd, bytes, error) || fsync(fd) != 0 ||
        rename(temporary.c_str(), path_.c_str()) != 0) {
        if (error.empty()) error = ErrnoText(errno);
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    // Appends go to the end of the new file too.
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_APPEND);
    close(static_cast<int>(handle_));
    handle_ = fd;
    // The folder's entry, so that the new file survives a crash.
    const int folder = open(FolderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return true;
}

LockedFileOpening LockedFileOpener::Open(const std::string& given) {
    LockedFileOpening opening;
    std::string path = given;
    struct stat link {};
    if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        // Someone else's link could point anywhere, at a file of ours they
        // want overwritten.
        if (link.st_uid != geteuid()) {
            opening.error = "a symbolic link that belongs to another user: not followed";
            return opening;
        }
        char resolved[PATH_MAX];
        if (!realpath(path.c_str(), resolved)) {
            // A link to a file still to be made: create it where it points.
            char target[PATH_MAX];
            const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
            if (length <= 0) {
                opening.error = ErrnoText(errno);
                return opening;
            }
            target[length] = '\0';
            path = target[0] == '/' ? std::string(target) : FolderOf(given) + "/" + target;
        } else {
            path = resolved;
        }
    }
    // Bounded: the file is replaced (rename) at most once per update of
    // another program, and each round takes the new one.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                            S_IRUSR | S_IWUSR);
        if (fd < 0) {
            opening.error = errno == ELOOP ? "a symbolic link: not followed" : ErrnoText(errno);
            return opening;
        }
        struct stat status {};
        if (fstat(fd, &status) != 0) {
            opening.error = ErrnoText(errno);
            close(fd);
            return opening;
        }
        if (!S_ISREG(status.st_mode)) {
            opening.error = std::string("not a regular file (") + KindOfFile(status.st_mode) + ")";
            close(fd);
            return opening;
        }
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        int locked;
        do locked = flock(fd, LOCK_EX);
        while (locked != 0 && errno == EINTR);
        if (locked != 0) {
            opening.error = "cannot lock it: " + ErrnoText(errno);
            close(fd);
            return opening;
        }
        // Whoever held the lock may have renamed a new file over the path:
        // then this one is gone, and the lock must be taken on the new one.
        struct stat now {};
        if (stat(path.c_str(), &now) == 0 && now.st_dev == status.st_dev && now.st_ino == status.st_ino) {
            Adopt(opening.file, fd, path);
            return opening;
        }
        close(fd);
    }
    opening.error = "it keeps being replaced";
    return opening;
}

LockedFileOpening OpenLockedFile(const std::string& path) { return LockedFileOpener::Open(path); }

}  // namespace skewmon::platform
