// The scans of one window. Each runs on a thread of its own; a new scan cuts
// the running one off from the window first, so that only one scan ever
// writes to it, and waits for it to let go of the list file before reading.
#pragma once

#include <memory>
#include <mutex>

#include "platform/controls.h"
#include "scan/scan_view.h"
#include "state/program.h"

namespace skewmon {

class ScanRunner {
public:
    explicit ScanRunner(Program& program);
    ~ScanRunner();  // stops and waits for every scan
    ScanRunner(const ScanRunner&) = delete;
    ScanRunner& operator=(const ScanRunner&) = delete;

    // Starts a scan that writes to `dialog`, after cancelling a running one.
    // Dialog thread only. False when no thread could be made.
    bool start(platform::DialogControls& dialog);
    // Cuts the running scan off from the window and asks it to stop.
    // Dialog thread only.
    void cancel();
    // A scan has started and has neither closed nor been cancelled. Dialog
    // thread only.
    bool running() const { return static_cast<bool>(running_); }

    // Waits, on any thread but the dialog's, until the last scan started
    // has ended, without asking it to stop. True when it ran to its end and
    // closed in the window; false when it was cancelled or none was started.
    bool wait();
    // Asks every scan to stop and waits until none is left.
    void stopAndWait();

private:
    Program& program_;
    std::shared_ptr<ScanSession> running_;  // dialog thread only
    mutable std::mutex lastMutex_;
    // The newest scan started; it waits for the one before it, so waiting
    // for it waits for them all.
    std::shared_ptr<ScanSession> last_;
};

}  // namespace skewmon
