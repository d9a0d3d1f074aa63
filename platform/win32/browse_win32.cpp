#include "platform/win32/browse_win32.h"

#include <windows.h>
#include <winnetwk.h>

#include <algorithm>

#include "platform/win32/win32_util.h"

namespace skewmon::platform::win32 {
namespace {

constexpr DWORD kResultBufferBytes = 65535;

struct EnumCloser {
    void operator()(HANDLE handle) const { WNetCloseEnum(handle); }
};
using UniqueEnum = std::unique_ptr<void, EnumCloser>;

class WNetEnumeration final : public NetworkEnumeration {
public:
    WNetEnumeration(UniqueEnum handle, UniqueLocal buffer)
        : handle_(std::move(handle)), buffer_(std::move(buffer)) {}

    std::uint32_t fetch(std::uint32_t bufferBytes, std::uint32_t requestedCount,
                        std::vector<NetResourceEntry>& entries) override {
        entries.clear();
        DWORD count = requestedCount;
        DWORD size = std::min<DWORD>(bufferBytes, kResultBufferBytes);
        const DWORD status = WNetEnumResourceA(handle_.get(), &count, buffer_.get(), &size);
        if (status != NO_ERROR && status != ERROR_MORE_DATA) return status;
        // The records' names point into the same buffer, which the next fetch
        // overwrites: copy them out now.
        const auto* records = static_cast<const NETRESOURCEA*>(buffer_.get());
        // Never read past the buffer, whatever count a provider reports.
        const DWORD fits = kResultBufferBytes / sizeof(NETRESOURCEA);
        for (DWORD i = 0; i < count && i < fits; ++i) {
            NetResourceEntry entry;
            entry.displayType = records[i].dwDisplayType;
            if (records[i].lpRemoteName) entry.remoteName = records[i].lpRemoteName;
            entries.push_back(std::move(entry));
        }
        return status;
    }

private:
    UniqueEnum handle_;
    UniqueLocal buffer_;
};

}  // namespace

std::unique_ptr<NetworkEnumeration> WNetBrowser::open(const NetResourceRequest& request) {
    std::string remoteName = request.remoteName;
    std::string provider = request.provider;
    NETRESOURCEA container = {};
    container.dwScope = request.scope;
    container.dwType = request.type;
    container.dwDisplayType = request.displayType;
    container.dwUsage = request.usage;
    container.lpLocalName = nullptr;
    container.lpRemoteName = remoteName.data();
    container.lpComment = nullptr;
    container.lpProvider = provider.data();

    HANDLE opened = nullptr;
    if (WNetOpenEnumA(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, 0, &container, &opened) != NO_ERROR)
        return nullptr;
    UniqueEnum handle(opened);
    UniqueLocal buffer(LocalAlloc(LPTR, kResultBufferBytes));
    if (!buffer) return nullptr;
    return std::make_unique<WNetEnumeration>(std::move(handle), std::move(buffer));
}

}  // namespace skewmon::platform::win32
