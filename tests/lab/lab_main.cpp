// The lab tests' main: client settings of the tests' own for every query of
// the program, in a HOME made before any thread starts.
#include <gtest/gtest.h>

#include "tests/lab/lab_support.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    skewmon::testing::ScopedClientHome home("SKEWTEST");
    return RUN_ALL_TESTS();
}
