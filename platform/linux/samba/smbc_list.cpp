// The helper's side of the browse list: libsmbclient itself, in a process
// that does nothing else.
#include <libsmbclient.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/linux/process/helper_start.h"
#include "platform/linux/samba/smbc_browse.h"

namespace skewmon::platform {
namespace {

constexpr std::size_t kNameLimit = 1024;

// Never asks anyone: an empty name and password sign in anonymously.
void AnonymousAuth(SMBCCTX*, const char*, const char*, char*, int, char* user, int userLength, char* password,
                   int passwordLength) {
    if (userLength > 0) user[0] = '\0';
    if (passwordLength > 0) password[0] = '\0';
}

struct ContextDeleter {
    void operator()(SMBCCTX* context) const { smbc_free_context(context, 1); }
};
using Context = std::unique_ptr<SMBCCTX, ContextDeleter>;

// The open listing, closed before its context goes.
class Listing {
public:
    Listing(SMBCCTX* context, SMBCFILE* directory) : context_(context), directory_(directory) {}
    ~Listing() { smbc_getFunctionClosedir(context_)(context_, directory_); }
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;
    const smbc_dirent* next() { return smbc_getFunctionReaddir(context_)(context_, directory_); }

private:
    SMBCCTX* context_;
    SMBCFILE* directory_;
};

}  // namespace

int ListBrowseContainer(const std::string& container, int output) {
    Context context(smbc_new_context());
    if (!context) return 2;
    smbc_setDebug(context.get(), 0);
    smbc_setFunctionAuthDataWithContext(context.get(), AnonymousAuth);
    smbc_setOptionProtocols(context.get(), "NT1", "NT1");
    if (!smbc_init_context(context.get())) return 2;

    const std::string url = "smb://" + container;
    SMBCFILE* directory = smbc_getFunctionOpendir(context.get())(context.get(), url.c_str());
    if (!directory) return 2;
    Listing listing(context.get(), directory);
    if (!WriteAll(output, "open\n")) return 2;
    for (;;) {
        errno = 0;
        const smbc_dirent* dirent = listing.next();
        if (!dirent) {
            WriteAll(output, errno == 0 ? "end 0\n" : "end 1\n");
            return 0;
        }
        const std::string_view name(dirent->name, strnlen(dirent->name, dirent->namelen ? dirent->namelen : kNameLimit));
        if (!WriteAll(output, BrowseHelperEntryLine(dirent->smbc_type, name.substr(0, kNameLimit)))) return 0;
    }
}

}  // namespace skewmon::platform
