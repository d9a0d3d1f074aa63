// The real program on the screenless front end (tests/harness/screenless.h)
// against the lab: the Linux services, the real query path through the
// built helper, and no domain services beyond the computer name.
#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "platform/domain.h"
#include "platform/linux/process/process_query_runner.h"
#include "platform/linux/system/linux_system.h"
#include "tests/fakes/fakes.h"
#include "tests/harness/screenless.h"
#include "tests/lab/lab_support.h"

namespace skewmon::testing {

// `System` is the Linux services as they are, or recorded with a chosen
// computer name.
template <typename System = Recording<platform::LinuxSystem>>
struct LabParts {
    System system;
    platform::ProcessQueryRunner runner{TodHelperPath()};
    platform::DiscoveryServices discovery;
};

// The console mode against the lab's servers, on the computer SKEWTEST;
// skipped where there is no lab.
class LabConsole : public ::testing::Test, protected ScreenlessProgram<LabParts<>> {
protected:
    void SetUp() override {
        lab = Lab::FromEnvironment();
        if (!lab) GTEST_SKIP() << "no lab (SKEWMON_LAB_DIR): run through ctest";
        system.name = "SKEWTEST";
    }

    std::optional<Lab> lab;
};

}  // namespace skewmon::testing
