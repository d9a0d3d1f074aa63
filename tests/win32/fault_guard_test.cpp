#include "platform/win32/fault_guard.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

namespace skewmon::platform::win32 {
namespace {

constexpr DWORD kWineUnimplementedFunction = 0x80000100;

void WriteToUnmappedMemory() {
    // An address in the never-mapped first page; volatile, so the store stays.
    volatile std::uintptr_t address = 16;
    *reinterpret_cast<volatile int*>(address) = 1;
}

TEST(FaultGuard, ABodyThatEndsNormallyRunsToItsEnd) {
    int steps = 0;
    EXPECT_TRUE(RunGuarded([&] { steps = 2; }));
    EXPECT_EQ(steps, 2);
}

TEST(FaultGuard, FaultsEndTheBodyAndTheThreadGoesOn) {
    volatile int reached = 0;  // a fault may come before ordinary stores are made
    EXPECT_FALSE(RunGuarded([&] {
        reached = 1;
        WriteToUnmappedMemory();
        reached = 2;
    }));
    EXPECT_EQ(reached, 1);

    // Wine's trap for an unimplemented system function, raised as it raises it.
    EXPECT_FALSE(RunGuarded([] { RaiseException(kWineUnimplementedFunction, EXCEPTION_NONCONTINUABLE, 0, nullptr); }));
    EXPECT_FALSE(RunGuarded([] { RaiseException(EXCEPTION_INT_DIVIDE_BY_ZERO, 0, 0, nullptr); }));

    // The guard is taken down after a fault: the next body runs normally.
    EXPECT_TRUE(RunGuarded([] {}));
}

TEST(FaultGuard, AnInnerGuardCatchesItsOwnFaultOnly) {
    bool innerEnded = true;
    bool afterInner = false;
    EXPECT_TRUE(RunGuarded([&] {
        innerEnded = RunGuarded(WriteToUnmappedMemory);
        afterInner = true;
    }));
    EXPECT_FALSE(innerEnded);
    EXPECT_TRUE(afterInner);
}

TEST(FaultGuard, CppExceptionsAreLeftToTheirHandlers) {
    bool caughtInside = false;
    EXPECT_TRUE(RunGuarded([&] {
        try {
            throw std::runtime_error("inside");
        } catch (const std::runtime_error&) {
            caughtInside = true;
        }
    }));
    EXPECT_TRUE(caughtInside);

    // One that leaves the body leaves RunGuarded too, and takes the guard
    // down: a later fault outside any body would otherwise jump into a frame
    // that no longer exists.
    EXPECT_THROW(RunGuarded([] { throw std::logic_error("out"); }), std::logic_error);
    EXPECT_FALSE(RunGuarded(WriteToUnmappedMemory));
}

TEST(FaultGuard, ThreadsFaultingAtOnceEachGetTheirOwnOutcome) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    std::atomic<int> caught{0};
    std::atomic<int> completed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const bool fault = (round + t) % 2 == 0;
                const bool ended = RunGuarded([&] {
                    if (fault) WriteToUnmappedMemory();
                });
                if (!ended && fault) ++caught;
                if (ended && !fault) ++completed;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(caught, kThreads * kRounds / 2);
    EXPECT_EQ(completed, kThreads * kRounds / 2);
}

}  // namespace
}  // namespace skewmon::platform::win32
