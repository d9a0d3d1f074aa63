#include "platform/linux/process/install_layout.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <system_error>

#ifndef SKEWMON_HELPER_DIR_FROM_BIN
#define SKEWMON_HELPER_DIR_FROM_BIN "../libexec/skewmon"
#endif

namespace skewmon::platform {
namespace {

namespace fs = std::filesystem;

bool IsExecutableFile(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> OwnRealPath() {
    char path[PATH_MAX + 1];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return std::nullopt;
    return std::string(path, static_cast<std::size_t>(length));
}

}  // namespace

std::vector<std::string> HelperCandidates(std::string_view executablePath, std::string_view name) {
    const fs::path folder = fs::path(executablePath).parent_path();
    return {
        (folder / name).lexically_normal().string(),
        (folder / SKEWMON_HELPER_DIR_FROM_BIN / name).lexically_normal().string(),
    };
}

std::string FindHelper(std::string_view executablePath, std::string_view name) {
    const std::vector<std::string> candidates = HelperCandidates(executablePath, name);
    for (const std::string& candidate : candidates)
        if (IsExecutableFile(candidate)) return candidate;
    const bool installed = fs::path(executablePath).parent_path().filename() == "bin";
    return installed ? candidates.back() : candidates.front();
}

std::string DefaultHelperPath(std::string_view name) {
    // Without its own path the program cannot know where the helper lies:
    // none, rather than whatever a guess would run.
    const std::optional<std::string> self = OwnRealPath();
    return self ? FindHelper(*self, name) : std::string();
}

std::optional<std::string> HelperProblem(const std::string& path) {
    if (path.empty()) return std::string("the program's own path cannot be read");
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return std::system_category().message(errno);
    if (!S_ISREG(status.st_mode)) return std::string("not a regular file");
    if (access(path.c_str(), X_OK) != 0) return std::system_category().message(errno);
    return std::nullopt;
}

}  // namespace skewmon::platform
