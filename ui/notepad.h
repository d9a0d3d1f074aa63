// Starts the text viewer on report files and deletes every file it opened
// when the process exits, so that reports never outlive the program.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/system.h"

namespace skewmon {

class CNotepad {
public:
    CNotepad() = default;
    CNotepad(const CNotepad&) = delete;
    CNotepad& operator=(const CNotepad&) = delete;
    virtual ~CNotepad();

    // Starts the viewer on `path` (with raised rights where user account
    // control is on) and remembers the file when it started. Returns 0, or
    // the platform's error code.
    std::uint32_t openInEditor(platform::System& system, const std::string& path);

    // Deletes the remembered files now; what exit would do.
    void deleteAll();
    std::vector<std::string> remembered() const;

private:
    mutable std::mutex mutex_;  // exit may come from a signal's thread
    std::vector<std::string> files_;
};

// The one instance, destroyed at process exit.
CNotepad& Notepad();

}  // namespace skewmon
