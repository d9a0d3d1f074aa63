#include "platform/linux/samba/smb_settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "text/text_util.h"

namespace skewmon::platform {
namespace {

constexpr std::size_t kNetbiosNameLength = 15;
constexpr char kSystemConfig[] = "/etc/samba/smb.conf";

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// "netbios name" of the [global] section; empty when not set.
std::string ConfiguredNetbiosName(const std::string& configPath) {
    std::ifstream config(configPath);
    std::string line;
    bool global = true;  // parameters before any section count as global
    for (int lines = 0; lines < 100000 && std::getline(config, line); ++lines) {
        line = Trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            global = AsciiLowerCase(line) == "[global]";
            continue;
        }
        if (!global) continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = AsciiLowerCase(Trim(line.substr(0, equals)));
        std::string compact;
        for (char c : key)
            if (c != ' ' && c != '\t') compact.push_back(c);
        if (compact == "netbiosname") return AsciiUpperCase(Trim(line.substr(equals + 1)));
    }
    return {};
}

}  // namespace

std::string SmbClientConfigPath() {
    if (const char* home = std::getenv("HOME"); home && home[0] != '\0') {
        const std::string user = std::string(home) + "/.smb/smb.conf";
        struct stat info {};
        if (stat(user.c_str(), &info) == 0) return user;
    }
    return kSystemConfig;
}

std::string NetbiosName() {
    std::string name = ConfiguredNetbiosName(SmbClientConfigPath());
    if (name.empty()) {
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) == 0) {
            name = host;
            name = AsciiUpperCase(name.substr(0, name.find('.')));
        }
    }
    return name.substr(0, kNetbiosNameLength);
}

}  // namespace skewmon::platform
