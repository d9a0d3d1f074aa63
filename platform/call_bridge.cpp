#include "platform/call_bridge.h"

namespace skewmon::platform {

CallBridge::CallBridge(std::function<void()> wake) : wake_(std::move(wake)) {}

void CallBridge::bindToCurrentThread() {
    std::lock_guard lock(mutex_);
    owner_ = std::this_thread::get_id();
}

bool CallBridge::onOwnerThread() const {
    std::lock_guard lock(mutex_);
    return owner_ == std::this_thread::get_id();
}

bool CallBridge::call(const std::function<void()>& fn) {
    if (onOwnerThread()) {
        if (closed_) return false;  // closed_ changes on this thread only
        fn();
        return true;
    }
    Pending pending{&fn};
    std::unique_lock lock(mutex_);
    if (closed_) return false;
    queue_.push_back(&pending);
    lock.unlock();
    wake_();
    lock.lock();
    finished_.wait(lock, [&] { return pending.done; });
    return pending.ran;
}

void CallBridge::drain() {
    std::unique_lock lock(mutex_);
    while (!queue_.empty() && !closed_) {
        Pending* pending = queue_.front();
        queue_.pop_front();
        lock.unlock();
        (*pending->fn)();  // may itself make calls; on this thread they run at once
        lock.lock();
        pending->ran = true;
        pending->done = true;
        finished_.notify_all();
    }
}

void CallBridge::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (Pending* pending : queue_) pending->done = true;
    queue_.clear();
    finished_.notify_all();
}

void CallBridge::reopen() {
    std::lock_guard lock(mutex_);
    closed_ = false;
}

}  // namespace skewmon::platform
