#include "ui/notepad.h"

namespace skewmon {
namespace {

constexpr char kPolicyKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";

bool UserAccountControlOn(platform::Registry& registry) {
    unsigned char value[4] = {};
    std::uint32_t size = sizeof value;
    if (registry.queryValue(kPolicyKey, "EnableLUA", value, size) != 0) return false;
    const std::uint32_t number = value[0] | value[1] << 8 | value[2] << 16 |
                                 static_cast<std::uint32_t>(value[3]) << 24;
    return number != 0;
}

// Built during static initialisation, destroyed at exit.
CNotepad g_notepad;

}  // namespace

CNotepad& Notepad() { return g_notepad; }

CNotepad::~CNotepad() { deleteAll(); }

std::uint32_t CNotepad::openInEditor(platform::System& system, const std::string& path) {
    const bool elevated = UserAccountControlOn(system.registry());
    const std::uint32_t error = system.startTextViewer(path, elevated);
    if (error != 0) return error;
    std::lock_guard lock(mutex_);
    files_.push_back(path);
    return 0;
}

void CNotepad::deleteAll() {
    std::vector<std::string> files;
    {
        std::lock_guard lock(mutex_);
        files.swap(files_);
    }
    for (const std::string& file : files) platform::DeleteFileQuietly(file);
}

std::vector<std::string> CNotepad::remembered() const {
    std::lock_guard lock(mutex_);
    return files_;
}

}  // namespace skewmon
