// The operating-system services on Linux.
#pragma once

#include <string>
#include <vector>

#include "platform/system.h"

namespace skewmon::platform {

// There is no registry on Linux: every value reads as missing, so the
// defaults stay in force.
class LinuxRegistry final : public Registry {
public:
    long queryValue(std::string_view, std::string_view, std::span<unsigned char>,
                    std::uint32_t& size) override {
        size = 0;
        return 2;
    }
};

class LinuxSystem : public System {
public:
    Registry& registry() override { return registry_; }
    std::optional<std::string> executablePath() override;
    bool removeZoneIdentifier(std::optional<std::string_view> path, std::uint32_t& lastError) override;
    std::string computerName(std::size_t capacity) override;
    std::optional<std::string> tempPath(std::size_t capacity) override;
    std::unique_ptr<NewFile> createUniqueTempFile(const std::string& directory,
                                                  std::string_view prefix) override;
    std::unique_ptr<NewFile> createNewFile(const std::string& path) override;
    std::string fallbackTempDirectory() override;
    std::string fallbackReportPath() override;
    std::uint32_t startTextViewer(const std::string& path, bool elevated) override;
    void openUrl(const std::string& url) override;

private:
    LinuxRegistry registry_;
};

// Starts `program` with `arguments` (no shell, nothing interpreted), its
// standard input from /dev/null, and does not wait for it. 0 on success, else
// an errno value.
int SpawnDetached(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace skewmon::platform
