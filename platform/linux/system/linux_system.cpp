#include "platform/linux/system/linux_system.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>

#include "platform/linux/samba/smb_settings.h"
#include "text/text_util.h"

extern char** environ;

namespace skewmon::platform {
namespace {

constexpr std::size_t kZonePathLimit = 262;  // characters, with room for the stream suffix
constexpr std::size_t kZoneSuffixLength = 16;  // ":Zone.Identifier"
// Where Samba keeps a file's Zone.Identifier stream (vfs_streams_xattr), so a
// download saved from a Windows browser onto a Samba share carries it here.
constexpr char kZoneAttribute[] = "user.DosStream.Zone.Identifier:$DATA";
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr auto kViewerStartWait = std::chrono::seconds(3);

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    return "/";
}

std::string WithSeparator(std::string directory) {
    if (directory.empty() || directory.back() != '/') directory.push_back('/');
    return directory;
}

bool UsableDirectory(const std::string& path) {
    struct stat info {};
    return !path.empty() && path[0] == '/' && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           access(path.c_str(), W_OK | X_OK) == 0;
}

std::uint32_t RandomNumber() {
    std::uint32_t number = 0;
    if (getrandom(&number, sizeof number, 0) != sizeof number)
        number = static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return number;
}

// A new file only: never an existing one, never through a link, readable by
// its owner alone. The descriptor, or -1 (errno set).
int CreateExclusively(const std::string& path) {
    int fd;
    do {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Writes go through the descriptor of the creating open, never by name again:
// a name swapped for a link meanwhile leads nowhere.
class LinuxNewFile final : public NewFile {
public:
    LinuxNewFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    ~LinuxNewFile() override { close(); }
    LinuxNewFile(const LinuxNewFile&) = delete;
    LinuxNewFile& operator=(const LinuxNewFile&) = delete;

    const std::string& path() const override { return path_; }

    bool write(std::string_view data) override {
        while (fd_ >= 0 && !data.empty()) {
            const ssize_t written = ::write(fd_, data.data(), data.size());
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            data.remove_prefix(static_cast<std::size_t>(written));
        }
        return fd_ >= 0;
    }

    bool close() override {
        if (fd_ < 0) return false;
        // A failing close can be the first news of a write that did not land
        // (NFS, quotas); the descriptor is gone either way.
        const bool closed = ::close(fd_) == 0;
        fd_ = -1;
        return closed;
    }

private:
    std::string path_;
    int fd_;
};

// Starts `program`; the child's pid or -1 (errno set).
pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return pid;
}

}  // namespace

int SpawnDetached(const std::string& program, const std::vector<std::string>& arguments) {
    const pid_t pid = Spawn(program, arguments);
    if (pid < 0) return errno;
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();  // reaped, never a zombie
    return 0;
}

std::optional<std::string> LinuxSystem::executablePath() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return std::nullopt;
    return std::string(path, static_cast<std::size_t>(length));
}

bool LinuxSystem::removeZoneIdentifier(std::optional<std::string_view> path, std::uint32_t& lastError) {
    std::string target;
    if (path && !path->empty()) {
        if (path->size() > kZonePathLimit) {
            lastError = kErrorInsufficientBuffer;
            return false;
        }
        target = *path;
    } else if (std::optional<std::string> exe = executablePath()) {
        target = exe->substr(0, kZonePathLimit);
    } else {
        lastError = static_cast<std::uint32_t>(errno);
        return false;
    }
    if (target.size() + kZoneSuffixLength > kZonePathLimit) {
        lastError = kErrorInsufficientBuffer;
        return false;
    }
    if (removexattr(target.c_str(), kZoneAttribute) == 0) {
        lastError = 0;
        return true;
    }
    // No such stream, or a file system without user attributes: nothing to do.
    lastError = (errno == ENODATA || errno == ENOTSUP) ? 0 : static_cast<std::uint32_t>(errno);
    return false;
}

std::string LinuxSystem::computerName(std::size_t capacity) {
    return CutToCapacity(NetbiosName(), capacity);
}

std::optional<std::string> LinuxSystem::tempPath(std::size_t capacity) {
    std::string directory = "/tmp/";
    if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir && UsableDirectory(tmpdir))
        directory = WithSeparator(tmpdir);
    if (directory.size() > capacity) return std::nullopt;
    return directory;
}

std::unique_ptr<NewFile> LinuxSystem::createUniqueTempFile(const std::string& directory, std::string_view prefix) {
    const std::string base = WithSeparator(directory) + std::string(prefix.substr(0, 3));
    std::uint32_t number = RandomNumber();
    for (int attempt = 0; attempt < 0x10000; ++attempt, ++number) {
        const std::uint32_t unique = (number & 0xFFFF) == 0 ? 1 : (number & 0xFFFF);
        char hex[8];
        std::snprintf(hex, sizeof hex, "%X", unique);
        const std::string path = base + hex + ".tmp";
        const int fd = CreateExclusively(path);
        if (fd >= 0) return std::make_unique<LinuxNewFile>(path, fd);
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

std::unique_ptr<NewFile> LinuxSystem::createNewFile(const std::string& path) {
    const int fd = CreateExclusively(path);
    if (fd < 0) return nullptr;
    return std::make_unique<LinuxNewFile>(path, fd);
}

std::string LinuxSystem::fallbackTempDirectory() { return WithSeparator(HomeDirectory()); }

std::string LinuxSystem::fallbackReportPath() { return WithSeparator(HomeDirectory()) + "skewmon.txt"; }

std::uint32_t LinuxSystem::startTextViewer(const std::string& path, bool /*elevated*/) {
    // No user account control here: the viewer always opens with the user's rights.
    const pid_t pid = Spawn("xdg-open", {path});
    if (pid < 0) return static_cast<std::uint32_t>(errno);
    // xdg-open hands the file to the desktop's viewer and exits; its status
    // says whether that worked. One that is still busy counts as started.
    auto status = std::make_shared<std::promise<int>>();
    std::future<int> exited = status->get_future();
    std::thread([pid, status] {
        int raw = 0;
        waitpid(pid, &raw, 0);
        status->set_value(WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw));
    }).detach();
    if (exited.wait_for(kViewerStartWait) != std::future_status::ready) return 0;
    const int code = exited.get();
    return code == 0 ? 0 : static_cast<std::uint32_t>(code);
}

void LinuxSystem::openUrl(const std::string& url) { SpawnDetached("xdg-open", {url}); }

}  // namespace skewmon::platform
