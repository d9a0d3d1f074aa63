// Operating-system services that the logic needs besides the window and the
// network: the executable's path, its zone stream, the registry, the computer
// name, temporary files, the text viewer and the browser.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace skewmon::platform {

// Registry root HKEY_LOCAL_MACHINE is the only one the program reads.
class Registry {
public:
    virtual ~Registry() = default;
    // Reads value `name` of key `keyPath` below HKEY_LOCAL_MACHINE into
    // `buffer`; `size` receives the size of the data in bytes. Returns the
    // platform status, 0 on success (2: no such key or value).
    virtual long queryValue(std::string_view keyPath, std::string_view name,
                            std::span<unsigned char> buffer, std::uint32_t& size) = 0;
};

// A file this program has just created, open for writing through the handle
// of that creation: what is written can only reach this file, whatever
// happens to its name meanwhile. Destroying it closes it.
class NewFile {
public:
    virtual ~NewFile() = default;
    virtual const std::string& path() const = 0;
    // Writes all of `data`; false when any of it could not be written.
    virtual bool write(std::string_view data) = 0;
    // Closes the file; false when the data may not have reached it whole.
    virtual bool close() = 0;
};

class System {
public:
    virtual ~System() = default;

    virtual Registry& registry() = 0;

    // The program's own executable as narrow text; none when it cannot be read.
    virtual std::optional<std::string> executablePath() = 0;
    // Removes the stream that marks the executable (or `path`) as downloaded.
    // Returns true when it was removed; `lastError` receives 0 when there was
    // nothing to remove or it was removed, else the platform's error code.
    virtual bool removeZoneIdentifier(std::optional<std::string_view> path,
                                      std::uint32_t& lastError) = 0;

    // The local computer's name (at most capacity - 1 characters), empty when
    // it cannot be read.
    virtual std::string computerName(std::size_t capacity) = 0;

    // The temporary directory, ending in a separator; none when there is none.
    virtual std::optional<std::string> tempPath(std::size_t capacity) = 0;
    // Creates a new empty file named from `prefix` and a hexadecimal number in
    // `directory`, never reusing or following an existing one, and keeps it
    // open for writing; none when no such file can be made.
    virtual std::unique_ptr<NewFile> createUniqueTempFile(const std::string& directory,
                                                          std::string_view prefix) = 0;
    // Creates the file `path` the same way: none when anything (a file, a
    // link) already has that name or it cannot be made.
    virtual std::unique_ptr<NewFile> createNewFile(const std::string& path) = 0;
    // The fallbacks when the above give nothing.
    virtual std::string fallbackTempDirectory() = 0;
    virtual std::string fallbackReportPath() = 0;

    // Starts the text viewer on `path`, with raised rights when `elevated`.
    // Returns 0 when it started, else the platform's error code.
    virtual std::uint32_t startTextViewer(const std::string& path, bool elevated) = 0;
    // Opens an address in the default browser; failures are ignored.
    virtual void openUrl(const std::string& url) = 0;
};

}  // namespace skewmon::platform
