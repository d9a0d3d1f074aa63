// Narrow-text rules that belong to the platform's code page.
#pragma once

#include <string>

namespace skewmon::platform {

// Upper-cases `text` in place by the platform's narrow code page rules.
void UpperCaseInPlace(std::string& text);

}  // namespace skewmon::platform
