#include "scan/scan_runner.h"

#include <system_error>

#include "scan/scan_driver.h"

namespace skewmon {

ScanRunner::ScanRunner(Program& program) : program_(program) {}

ScanRunner::~ScanRunner() { stopAndWait(); }

bool ScanRunner::start(platform::DialogControls& dialog) {
    cancel();  // the newer request wins
    program_.scan.dialog = &dialog;

    auto session = std::make_shared<ScanSession>();
    {
        std::lock_guard lock(lastMutex_);
        session->previous = last_;
    }
    // Published before the thread exists: its closing step, which clears it,
    // runs on this thread and so can only come later.
    running_ = session;
    try {
        session->thread = std::thread([this, &dialog, session] {
            if (session->previous) {
                // Already cut off from the window; wait until it has let go
                // of the list file and the figures.
                if (session->previous->thread.joinable()) session->previous->thread.join();
                session->previous.reset();
            }
            ScanDialog view(dialog, session);
            ScanJob job{program_.app,
                        program_.scan,
                        program_.localComputerName,
                        view,
                        program_.platform.timeQueries,
                        program_.platform.browser,
                        session->stopRequested,
                        [this, session] {
                            if (running_ == session) running_.reset();
                            session->completed = true;
                        }};
            ScanThread(job);
        });
    } catch (const std::system_error&) {
        running_.reset();
        return false;
    }
    std::lock_guard lock(lastMutex_);
    last_ = std::move(session);
    return true;
}

void ScanRunner::cancel() {
    if (!running_) return;
    running_->live = false;  // from here on nothing of it reaches the window
    running_->stopRequested = true;
    running_.reset();
}

bool ScanRunner::wait() {
    std::shared_ptr<ScanSession> last;
    {
        std::lock_guard lock(lastMutex_);
        last = last_;
    }
    if (!last) return false;
    if (last->thread.joinable() && last->thread.get_id() != std::this_thread::get_id()) last->thread.join();
    // Written on the dialog's thread before the scan's thread ended.
    return last->completed;
}

void ScanRunner::stopAndWait() {
    std::shared_ptr<ScanSession> last;
    {
        std::lock_guard lock(lastMutex_);
        last = std::move(last_);
    }
    if (!last) return;
    last->stopRequested = true;
    if (last->thread.joinable()) last->thread.join();
}

}  // namespace skewmon
