// Enumeration of the servers in a domain's network browse list.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace skewmon::platform {

inline constexpr std::uint32_t kResourceDisplayServer = 2;
inline constexpr std::uint32_t kStatusMoreData = 234;
inline constexpr std::uint32_t kStatusNoMoreItems = 259;

// The container to enumerate.
struct NetResourceRequest {
    std::uint32_t scope = 2;        // global network
    std::uint32_t type = 0;         // any resource type
    std::uint32_t displayType = 2;  // server
    std::uint32_t usage = 2;        // container
    std::string remoteName;         // the domain or workgroup
    std::string provider;           // network provider name
};

struct NetResourceEntry {
    std::uint32_t displayType = 0;
    std::string remoteName;  // a server's name comes with two leading backslashes
};

class NetworkEnumeration {
public:
    virtual ~NetworkEnumeration() = default;
    // Fetches the next batch into `entries` (replacing its content), offering
    // `bufferBytes` and asking for up to `requestedCount` entries. Returns 0, or
    // kStatusMoreData, when entries came back; another code ends the walk.
    virtual std::uint32_t fetch(std::uint32_t bufferBytes, std::uint32_t requestedCount,
                                std::vector<NetResourceEntry>& entries) = 0;
};

class NetworkBrowser {
public:
    virtual ~NetworkBrowser() = default;
    // Opens the enumeration (scope 2, any type, all usages) of the request's
    // container; none on failure.
    virtual std::unique_ptr<NetworkEnumeration> open(const NetResourceRequest& request) = 0;

    // A part of the program that browsing needs and that cannot be started
    // (a helper process), and why: no browse list can be read at all.
    struct MissingPart {
        std::string path;
        std::string reason;
    };
    // None when browsing can be tried.
    virtual std::optional<MissingPart> missingPart() { return std::nullopt; }
};

}  // namespace skewmon::platform
