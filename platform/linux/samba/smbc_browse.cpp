#include "platform/linux/samba/smbc_browse.h"

#include <fcntl.h>
#include <libsmbclient.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <new>
#include <utility>
#include <vector>

#include "platform/linux/process/child_process.h"
#include "platform/linux/process/install_layout.h"

namespace skewmon::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Display types of the platform's network resource records.
constexpr std::uint32_t kDisplayGeneric = 0;
constexpr std::uint32_t kDisplayDomain = 1;
constexpr std::uint32_t kDisplayShare = 3;
constexpr std::uint32_t kDisplayFile = 4;
constexpr std::uint32_t kDisplayDirectory = 9;

constexpr char kHelperName[] = "skewmon-browse";
constexpr std::uint32_t kStatusExtendedError = 1208;  // the walk failed
// What one record takes of the caller's buffer besides its name: the fixed
// part of the platform's record.
constexpr std::size_t kRecordBytes = 32;

// Far beyond any name the helper writes (1024 bytes, twice in hexadecimal).
constexpr std::size_t kLineLimit = 4096;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The running helper: its process and the read end of its output. Killed and
// reaped when destroyed, whatever it is doing.
class Helper {
public:
    Helper(Child child, UniqueFd output, std::chrono::milliseconds silenceLimit)
        : output_(std::move(output)), silenceLimit_(silenceLimit), child_(std::move(child)) {}
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    // The next line without its end; none at the end of the output, on a
    // line too long to be the helper's, or after its limit of silence.
    std::optional<std::string> readLine() {
        const Clock::time_point deadline = Clock::now() + silenceLimit_;
        for (;;) {
            const std::size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return line;
            }
            if (output_.get() < 0 || buffer_.size() > kLineLimit) return std::nullopt;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd fd{output_.get(), POLLIN, 0};
            const int ready = poll(&fd, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno != EINTR) return std::nullopt;
            if (ready <= 0) continue;
            char chunk[4096];
            const ssize_t got = read(output_.get(), chunk, sizeof chunk);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (got <= 0) {
                output_.reset();
                continue;
            }
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }

private:
    UniqueFd output_;
    std::chrono::milliseconds silenceLimit_;
    std::string buffer_;
    Child child_;  // last, so that it is killed and reaped before its output closes
};

// Starts the helper for `container`: its process and the read end of its
// output, or none.
std::optional<std::pair<Child, UniqueFd>> StartHelper(const std::string& program, const std::string& container) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);

    // The listing comes on standard output; nothing to read a password from,
    // nowhere to clutter the program's output.
    const std::string argv[] = {program, container};
    const FdMapping output[] = {{writeEnd.get(), STDOUT_FILENO}};
    Child child = SpawnChild(program, argv, output);
    if (!child) return std::nullopt;
    // writeEnd goes on the way out: the helper holds the only write end, and
    // its exit is our end of file.
    return std::make_pair(std::move(child), std::move(readEnd));
}

class HelperEnumeration final : public NetworkEnumeration {
public:
    HelperEnumeration(std::unique_ptr<Helper> helper, std::string container)
        : helper_(std::move(helper)), container_(std::move(container)) {}

    // Returns as many records as the caller's buffer holds; a record that no
    // longer fits waits for the next call. A helper that fails or falls
    // silent ends the walk after the records read before.
    std::uint32_t fetch(std::uint32_t bufferBytes, std::uint32_t requestedCount,
                        std::vector<NetResourceEntry>& entries) override {
        entries.clear();
        std::size_t used = 0;
        auto take = [&](NetResourceEntry entry) {
            used += kRecordBytes + entry.remoteName.size() + 1;
            entries.push_back(std::move(entry));
        };
        if (pending_) take(*std::exchange(pending_, std::nullopt));

        while (!finished_ && entries.size() < requestedCount) {
            const std::optional<std::string> line = helper_->readLine();
            std::optional<BrowseHelperEntry> listed;
            if (line) listed = ParseBrowseHelperEntry(*line);
            if (!listed) {
                finished_ = true;
                status_ = line == "end 0" ? kStatusNoMoreItems : kStatusExtendedError;
                helper_.reset();
                break;
            }
            NetResourceEntry entry = BrowseRecordFor(*listed, container_);
            if (!entries.empty() && used + kRecordBytes + entry.remoteName.size() + 1 > bufferBytes) {
                pending_ = std::move(entry);
                break;
            }
            take(std::move(entry));
        }
        return entries.empty() ? status_ : 0;
    }

private:
    std::unique_ptr<Helper> helper_;
    std::string container_;
    std::optional<NetResourceEntry> pending_;
    bool finished_ = false;
    std::uint32_t status_ = kStatusNoMoreItems;
};

}  // namespace

std::uint32_t DisplayTypeOfSmbcType(unsigned int smbcType) {
    switch (smbcType) {
        case SMBC_WORKGROUP:
            return kDisplayDomain;
        case SMBC_SERVER:
            return kResourceDisplayServer;
        case SMBC_FILE_SHARE:
        case SMBC_PRINTER_SHARE:
        case SMBC_COMMS_SHARE:
        case SMBC_IPC_SHARE:
            return kDisplayShare;
        case SMBC_DIR:
            return kDisplayDirectory;
        case SMBC_FILE:
            return kDisplayFile;
        default:
            return kDisplayGeneric;
    }
}

std::string BrowseHelperEntryLine(unsigned int smbcType, std::string_view name) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string line = "entry " + std::to_string(smbcType) + " ";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        line.push_back(kDigits[byte >> 4]);
        line.push_back(kDigits[byte & 15]);
    }
    line.push_back('\n');
    return line;
}

std::optional<BrowseHelperEntry> ParseBrowseHelperEntry(std::string_view line) {
    constexpr std::string_view kPrefix = "entry ";
    if (line.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
    line.remove_prefix(kPrefix.size());
    const std::size_t space = line.find(' ');
    if (space == 0 || space == std::string_view::npos || space > 3) return std::nullopt;
    BrowseHelperEntry entry;
    for (const char c : line.substr(0, space)) {
        if (c < '0' || c > '9') return std::nullopt;
        entry.smbcType = entry.smbcType * 10 + static_cast<unsigned int>(c - '0');
    }
    const std::string_view hex = line.substr(space + 1);
    if (hex.size() % 2 != 0) return std::nullopt;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexValue(hex[i]);
        const int low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        entry.name.push_back(static_cast<char>(high << 4 | low));
    }
    return entry;
}

std::optional<std::string> BrowseUrlFor(std::string_view container) {
    if (container.empty() || container.front() == '-' || container.find_first_of("/\\@:?#%") != std::string_view::npos ||
        container.find('\0') != std::string_view::npos)
        return std::nullopt;
    return "smb://" + std::string(container);
}

NetResourceEntry BrowseRecordFor(const BrowseHelperEntry& entry, std::string_view container) {
    // A name ends at its first NUL, as the platform's records hold it.
    const std::string name = entry.name.substr(0, entry.name.find('\0'));
    std::string remote;
    switch (entry.smbcType) {
        case SMBC_WORKGROUP:
            remote = name;
            break;
        case SMBC_SERVER:
            remote = "\\\\" + name;
            break;
        default:
            remote = "\\\\" + std::string(container) + "\\" + name;
    }
    return {DisplayTypeOfSmbcType(entry.smbcType), std::move(remote)};
}

SmbcNetworkBrowser::SmbcNetworkBrowser(std::string helperPath, std::chrono::milliseconds silenceLimit)
    : helperPath_(std::move(helperPath)), silenceLimit_(silenceLimit) {}

std::string SmbcNetworkBrowser::DefaultHelperPath() {
    // Beside the program in a build tree, in the helpers' folder when
    // installed; never looked for on PATH.
    return platform::DefaultHelperPath(kHelperName);
}

std::unique_ptr<NetworkEnumeration> SmbcNetworkBrowser::open(const NetResourceRequest& request) {
    if (!BrowseUrlFor(request.remoteName)) return nullptr;

    std::optional<std::pair<Child, UniqueFd>> started = StartHelper(helperPath_, request.remoteName);
    if (!started) return nullptr;
    return ReadBrowseListing(std::move(started->first), std::move(started->second), request.remoteName,
                             silenceLimit_);
}

std::optional<NetworkBrowser::MissingPart> SmbcNetworkBrowser::missingPart() {
    if (std::optional<std::string> problem = HelperProblem(helperPath_))
        return MissingPart{helperPath_, std::move(*problem)};
    return std::nullopt;
}

std::unique_ptr<NetworkEnumeration> ReadBrowseListing(Child helper, UniqueFd output, std::string container,
                                                      std::chrono::milliseconds silenceLimit) {
    std::unique_ptr<Helper> reader;
    try {
        reader = std::make_unique<Helper>(std::move(helper), std::move(output), silenceLimit);
    } catch (const std::bad_alloc&) {
        return nullptr;  // the helper is killed and reaped on the way out
    }
    if (reader->readLine() != "open") return nullptr;
    return std::make_unique<HelperEnumeration>(std::move(reader), std::move(container));
}

}  // namespace skewmon::platform
