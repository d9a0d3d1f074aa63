// What every helper process does before its work, and how it writes to the
// program.
#pragma once

#include <string_view>

namespace skewmon::platform {

// Ties the helper to the program that started it and cuts it off from any
// terminal. False when that program has already gone: nobody is left to
// answer.
bool StartHelperProcess();

// Writes all of `text` to `fd`; false when it cannot.
bool WriteAll(int fd, std::string_view text);

}  // namespace skewmon::platform
