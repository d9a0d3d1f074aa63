// The scan-wide figures and the handle of the running scan.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/controls.h"

namespace skewmon {

// One scan's thread and its cancellation. `live` is read and written on the
// dialog's thread only: once a cancel has cleared it there, nothing of the
// scan reaches the window any more.
struct ScanSession {
    std::atomic<bool> stopRequested{false};
    bool live = true;
    std::thread thread;
    // The scan before this one; the new thread waits for it to be gone before
    // it touches the list file or the figures.
    std::shared_ptr<ScanSession> previous;
};

struct ScanState {
    std::int64_t worst = 0;
    std::int64_t sum = 0;
    std::int32_t count = 0;
    std::int64_t average = 0;
    // The running scan; none when no scan runs. Dialog thread only.
    std::shared_ptr<ScanSession> scanThread;
    // The main dialog; none before the first scan.
    platform::DialogControls* dialog = nullptr;
};

}  // namespace skewmon
