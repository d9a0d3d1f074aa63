// Where the program finds the parts it is installed with: the query helper
// lies beside it in a build tree and in libexec/skewmon/ when installed. The
// search starts from the program's own real path, never from PATH.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skewmon::platform {

inline constexpr char kQueryHelperName[] = "skewmon-tod";

// The places the helper may be for a program at `executablePath`, best first.
std::vector<std::string> QueryHelperCandidates(std::string_view executablePath);

// The first candidate that exists; when none does, the one where the layout
// of the program's folder says it belongs (so that a message can name it).
std::string FindQueryHelper(std::string_view executablePath);

// The helper of the running program; empty when its own path is unknown.
std::string DefaultQueryHelperPath();

// Why `path` cannot be started as the helper; none when it can.
std::optional<std::string> QueryHelperProblem(const std::string& path);

}  // namespace skewmon::platform
