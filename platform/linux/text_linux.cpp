#include <cstdio>

#include "platform/system.h"
#include "platform/text.h"

namespace skewmon::platform {

// Names here are UTF-8 or ASCII: only ASCII letters change, so no multi-byte
// character is ever broken.
void UpperCaseInPlace(std::string& text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

const char* RootListFilePath() { return "/skewmon.ini"; }

void DeleteFileQuietly(const std::string& path) { std::remove(path.c_str()); }

}  // namespace skewmon::platform
