#include "platform/call_bridge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace skewmon::platform {
namespace {

// A minimal owner thread: drains whenever woken, until told to stop.
class OwnerThread {
public:
    OwnerThread()
        : bridge([this] {
              std::lock_guard lock(mutex);
              woken = true;
              cv.notify_all();
          }) {
        thread = std::thread([this] {
            bridge.bindToCurrentThread();
            bound = true;
            std::unique_lock lock(mutex);
            while (!quit) {
                cv.wait(lock, [&] { return woken || quit; });
                woken = false;
                lock.unlock();
                if (closeRequested)
                    bridge.close();
                else if (!paused)
                    bridge.drain();
                lock.lock();
            }
        });
        while (!bound) std::this_thread::yield();
    }
    ~OwnerThread() {
        {
            std::lock_guard lock(mutex);
            quit = true;
            cv.notify_all();
        }
        thread.join();
    }

    CallBridge bridge;
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;
    bool quit = false;
    std::atomic<bool> bound{false};
    std::atomic<bool> paused{false};
    std::atomic<bool> closeRequested{false};
    std::thread thread;
};

TEST(CallBridge, CallsRunOnTheOwnerInTheOrderMadeAndTheCallerWaits) {
    OwnerThread owner;
    std::vector<int> order;
    std::thread::id ranOn;
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(owner.bridge.call([&, i] {
            order.push_back(i);
            ranOn = std::this_thread::get_id();
        }));
        ASSERT_EQ(order.size(), static_cast<std::size_t>(i + 1));  // done before call returned
    }
    EXPECT_EQ(ranOn, owner.thread.get_id());
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(CallBridge, NestedCallsOnTheOwnerRunAtOnce) {
    OwnerThread owner;
    int depth = 0;
    EXPECT_TRUE(owner.bridge.call([&] {
        ++depth;
        EXPECT_TRUE(owner.bridge.call([&] { ++depth; }));
    }));
    EXPECT_EQ(depth, 2);
}

TEST(CallBridge, ClosingReleasesWaitingCallersWithoutRunningThem) {
    OwnerThread owner;
    owner.paused = true;  // busy elsewhere, as a dialog that is going away
    std::atomic<bool> ran{false};
    std::atomic<int> result{-1};
    std::thread caller([&] { result = owner.bridge.call([&] { ran = true; }) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result, -1);  // still waiting for the owner
    {
        std::lock_guard lock(owner.mutex);
        owner.closeRequested = true;
        owner.woken = true;
        owner.cv.notify_all();
    }
    caller.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(owner.bridge.call([] {}));  // later calls are refused at once
}

}  // namespace
}  // namespace skewmon::platform
