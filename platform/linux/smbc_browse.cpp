#include "platform/linux/smbc_browse.h"

#include <libsmbclient.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/linux/netapi_clock.h"

namespace skewmon::platform {
namespace {

// Display types of the platform's network resource records.
constexpr std::uint32_t kDisplayGeneric = 0;
constexpr std::uint32_t kDisplayDomain = 1;
constexpr std::uint32_t kDisplayShare = 3;
constexpr std::uint32_t kDisplayFile = 4;
constexpr std::uint32_t kDisplayDirectory = 9;

constexpr std::uint32_t kStatusExtendedError = 1208;  // the walk failed
// What one record takes of the caller's buffer besides its name: the fixed
// part of the platform's record.
constexpr std::size_t kRecordBytes = 32;

// Never asks anyone: an empty name and password sign in anonymously.
void AnonymousAuth(SMBCCTX*, const char*, const char*, char*, int, char* user, int userLength,
                   char* password, int passwordLength) {
    if (userLength > 0) user[0] = '\0';
    if (passwordLength > 0) password[0] = '\0';
}

struct ContextDeleter {
    void operator()(SMBCCTX* context) const { smbc_free_context(context, 1); }
};
using Context = std::unique_ptr<SMBCCTX, ContextDeleter>;

// libsmbclient shares Samba's process-wide state with libnetapi: one call of
// either library at a time.
std::unique_lock<std::recursive_mutex> SambaLock() { return std::unique_lock(NetapiLock()); }

class SmbcEnumeration final : public NetworkEnumeration {
public:
    SmbcEnumeration(Context context, SMBCFILE* directory, std::string container)
        : context_(std::move(context)), directory_(directory), container_(std::move(container)) {}
    ~SmbcEnumeration() override {
        auto lock = SambaLock();
        smbc_getFunctionClosedir(context_.get())(context_.get(), directory_);
        context_.reset();
    }

    // Returns as many records as the caller's buffer holds; a record that no
    // longer fits waits for the next call. A failed read ends the walk after
    // the records read before it.
    std::uint32_t fetch(std::uint32_t bufferBytes, std::uint32_t requestedCount,
                        std::vector<NetResourceEntry>& entries) override {
        entries.clear();
        std::size_t used = 0;
        auto take = [&](NetResourceEntry entry) {
            used += kRecordBytes + entry.remoteName.size() + 1;
            entries.push_back(std::move(entry));
        };
        if (pending_) take(*std::exchange(pending_, std::nullopt));

        auto lock = SambaLock();
        while (!finished_ && entries.size() < requestedCount) {
            errno = 0;
            const smbc_dirent* dirent = smbc_getFunctionReaddir(context_.get())(context_.get(), directory_);
            if (!dirent) {
                finished_ = true;
                status_ = errno == 0 ? kStatusNoMoreItems : kStatusExtendedError;
                break;
            }
            NetResourceEntry entry{DisplayTypeOfSmbcType(dirent->smbc_type), remoteName(*dirent)};
            if (!entries.empty() && used + kRecordBytes + entry.remoteName.size() + 1 > bufferBytes) {
                pending_ = std::move(entry);
                break;
            }
            take(std::move(entry));
        }
        return entries.empty() ? status_ : 0;
    }

private:
    std::string remoteName(const smbc_dirent& dirent) const {
        const std::string name(dirent.name, strnlen(dirent.name, dirent.namelen ? dirent.namelen : 1024));
        switch (dirent.smbc_type) {
            case SMBC_WORKGROUP:
                return name;
            case SMBC_SERVER:
                return "\\\\" + name;
            default:
                return "\\\\" + container_ + "\\" + name;
        }
    }

    Context context_;
    SMBCFILE* directory_;
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

std::unique_ptr<NetworkEnumeration> SmbcNetworkBrowser::open(const NetResourceRequest& request) {
    // A name that would change the meaning of the address is no container.
    if (request.remoteName.empty() ||
        request.remoteName.find_first_of("/\\@:?#%", 0) != std::string::npos ||
        request.remoteName.find('\0') != std::string::npos)
        return nullptr;

    auto lock = SambaLock();
    Context context(smbc_new_context());
    if (!context) return nullptr;
    smbc_setDebug(context.get(), 0);
    smbc_setFunctionAuthDataWithContext(context.get(), AnonymousAuth);
    smbc_setOptionProtocols(context.get(), "NT1", "NT1");
    if (!smbc_init_context(context.get())) return nullptr;

    const std::string url = "smb://" + request.remoteName;
    SMBCFILE* directory = smbc_getFunctionOpendir(context.get())(context.get(), url.c_str());
    if (!directory) return nullptr;
    return std::make_unique<SmbcEnumeration>(std::move(context), directory, request.remoteName);
}

}  // namespace skewmon::platform
