// Runs each remote time query in a helper process (skewmon-tod), so that a
// query that hangs inside libnetapi can be abandoned at once: the helper is
// killed and reaped, and nothing of it reaches a later query.
#pragma once

#include <memory>
#include <string>

#include "platform/time_query.h"

namespace skewmon::platform {

class ProcessQueryRunner final : public TimeQueryRunner {
public:
    // helperPath: the skewmon-tod executable.
    explicit ProcessQueryRunner(std::string helperPath = DefaultHelperPath());

    // Starts the helper for serverName. Inline mode changes nothing here: the
    // query still runs in a helper, so that a cancel can end it; the caller
    // simply waits without a limit. None when the helper cannot be started.
    std::unique_ptr<PendingQuery> start(const std::string& serverName, bool inlineMode) override;

    // skewmon-tod in the directory of the running executable.
    static std::string DefaultHelperPath();

    const std::string& helperPath() const { return helperPath_; }

private:
    std::string helperPath_;
};

// The helper's output as an Offset: exactly one decimal line, else
// kNoResponse.
Offset ParseHelperOutput(std::string_view output);

}  // namespace skewmon::platform
