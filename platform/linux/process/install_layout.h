// Where the program finds the helpers it is installed with: beside it in a
// build tree, in libexec/skewmon/ when installed. The search starts from the
// program's own real path, never from PATH.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skewmon::platform {

inline constexpr char kQueryHelperName[] = "skewmon-tod";

// The places helper `name` may be for a program at `executablePath`, best
// first.
std::vector<std::string> HelperCandidates(std::string_view executablePath, std::string_view name);

// The first candidate that exists; when none does, the one where the layout
// of the program's folder says it belongs (so that a message can name it).
std::string FindHelper(std::string_view executablePath, std::string_view name);

// Helper `name` of the running program; empty when its own path is unknown.
std::string DefaultHelperPath(std::string_view name);

inline std::string DefaultQueryHelperPath() { return DefaultHelperPath(kQueryHelperName); }

// Why `path` cannot be started as a helper; none when it can.
std::optional<std::string> HelperProblem(const std::string& path);

}  // namespace skewmon::platform
