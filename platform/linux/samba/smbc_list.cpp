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

std::string ListedEntryLine(const smbc_dirent& entry) {
    const std::size_t limit = entry.namelen != 0 && entry.namelen < kNameLimit ? entry.namelen : kNameLimit;
    return BrowseHelperEntryLine(entry.smbc_type, std::string_view(entry.name, strnlen(entry.name, limit)));
}

int ListBrowseContainer(const std::string& container, int output) {
    Context context(smbc_new_context());
    if (!context) return 2;
    smbc_setDebug(context.get(), 0);
    smbc_setFunctionAuthDataWithContext(context.get(), AnonymousAuth);
    smbc_setOptionProtocols(context.get(), "NT1", "NT1");
    if (!smbc_init_context(context.get())) return 2;

    const std::optional<std::string> url = BrowseUrlFor(container);
    if (!url) return 2;
    SMBCFILE* directory = smbc_getFunctionOpendir(context.get())(context.get(), url->c_str());
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
        if (!WriteAll(output, ListedEntryLine(*dirent))) return 0;
    }
}

}  // namespace skewmon::platform
