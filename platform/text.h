// Narrow-text helpers whose rules belong to the platform's code page.
#pragma once

#include <string>

namespace skewmon::platform {

// Upper-cases `text` in place by the platform's narrow code page rules.
void UpperCaseInPlace(std::string& text);

}  // namespace skewmon::platform

namespace skewmon::platform {

// The machine list file used when the executable's path holds no ".": a file
// at the root of the file system (of the current drive, where drives exist).
const char* RootListFilePath();

}  // namespace skewmon::platform
