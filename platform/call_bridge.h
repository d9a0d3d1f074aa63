// Carries calls from other threads over to a dialog's own thread and waits
// for them there. The window implementations share it; each supplies only a
// way to wake its thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace skewmon::platform {

class CallBridge {
public:
    // `wake` asks the owner thread, without waiting, to call drain() soon. It
    // may be called on any thread.
    explicit CallBridge(std::function<void()> wake);

    // The calling thread becomes the owner (the dialog's thread).
    void bindToCurrentThread();
    bool onOwnerThread() const;

    // Runs fn on the owner thread and returns when it has run: at once when
    // called there, else queued behind earlier calls. Returns false, without
    // running fn, once the bridge is closed.
    bool call(const std::function<void()>& fn);

    // On the owner thread: runs every queued call in order.
    void drain();
    // On the owner thread: the dialog is going away; queued and later calls
    // return false without running.
    void close();
    // Opens the bridge again (a dialog shown anew).
    void reopen();

private:
    struct Pending {
        const std::function<void()>* fn;
        bool done = false;
        bool ran = false;
    };

    std::function<void()> wake_;
    mutable std::mutex mutex_;
    std::condition_variable finished_;
    std::deque<Pending*> queue_;
    std::thread::id owner_;
    bool closed_ = false;
};

}  // namespace skewmon::platform
