// The network browse list on Linux: libsmbclient's listing of smb://NAME,
// which asks the master browser of the workgroup or domain NAME for its
// servers.
//
// The listing runs in a helper process, skewmon-browse. libsmbclient shares
// Samba's process-wide state with libnetapi: it loads Samba's settings anew
// with its first context and frees them with its last, and neither library
// may be entered by two threads at once. In one process the two would need
// one lock, and the window's domain look-ups would wait behind it for as long
// as a browse of a slow network takes. In a process of its own the listing
// shares nothing and needs no lock, and a walk that is given up ends at once.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/browse.h"
#include "platform/linux/process/child_process.h"

struct smbc_dirent;

namespace skewmon::platform {

// libsmbclient's entry types as the platform's display types.
std::uint32_t DisplayTypeOfSmbcType(unsigned int smbcType);

// What the helper writes, one line each: "open" once the listing is open,
// then "entry TYPE HEX" per entry (its libsmbclient type, its name in
// hexadecimal, so that no byte of a name can change the line), then
// "end 0" after the last entry or "end 1" when reading failed.
struct BrowseHelperEntry {
    unsigned int smbcType = 0;
    std::string name;
};
std::string BrowseHelperEntryLine(unsigned int smbcType, std::string_view name);
// An "entry" line without its line end; none when it is not a well-formed one.
std::optional<BrowseHelperEntry> ParseBrowseHelperEntry(std::string_view line);
// The platform's record for an entry listed in `container`.
NetResourceEntry BrowseRecordFor(const BrowseHelperEntry& entry, std::string_view container);

// The address libsmbclient lists for the workgroup or domain `container`:
// "smb://" and the name; none for a name that would change the address's
// meaning or, starting with "-", read as an option to the helper.
std::optional<std::string> BrowseUrlFor(std::string_view container);

// The line the helper writes for one entry of libsmbclient's listing: its
// name as far as its first NUL, at most namelen bytes (when set) and never
// more than 1024.
std::string ListedEntryLine(const smbc_dirent& entry);

// The walk over what a started helper writes to `output`: none unless its
// first line says the listing is open. The helper is ended with the walk,
// or at once when there is none.
std::unique_ptr<NetworkEnumeration> ReadBrowseListing(Child helper, UniqueFd output, std::string container,
                                                      std::chrono::milliseconds silenceLimit);

// The helper's work: lists smb://`container` into the descriptor `output`
// in the form above, signing in anonymously without ever prompting and
// speaking SMB1, the only dialect that carries browse lists. Its exit status:
// 0, or 2 when the listing cannot be opened.
int ListBrowseContainer(const std::string& container, int output);

class SmbcNetworkBrowser final : public NetworkBrowser {
public:
    // helperPath: the skewmon-browse executable. silenceLimit: how long the
    // helper may say nothing before it counts as hung and is killed;
    // libsmbclient gives up on a server after 20 s and may ask a few master
    // browsers in turn.
    explicit SmbcNetworkBrowser(std::string helperPath = DefaultHelperPath(),
                                std::chrono::milliseconds silenceLimit = std::chrono::seconds(75));
    // Starts the helper for the container and waits (bounded) until it has
    // opened the listing; none when it cannot.
    std::unique_ptr<NetworkEnumeration> open(const NetResourceRequest& request) override;
    // The helper, when it is not an executable file.
    std::optional<MissingPart> missingPart() override;

    // The running program's skewmon-browse: beside it in a build tree, in
    // libexec/skewmon/ when installed.
    static std::string DefaultHelperPath();

private:
    std::string helperPath_;
    std::chrono::milliseconds silenceLimit_;
};

}  // namespace skewmon::platform
