// The window as one scan uses it: the few control operations a scan needs,
// and ScanDialog, which carries them over to the dialog's thread only while
// the scan is still live there, so that a cancelled scan can no longer change
// the window.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "platform/controls.h"
#include "timing/remote_time.h"

namespace skewmon {

class ScanView : public QueryView {
public:
    // Runs fn on the dialog's thread, in one turn, while the scan is live
    // there; false, without running it, otherwise.
    virtual bool runOnDialogThread(const std::function<void()>& fn) = 0;
    virtual void enable(int id, bool enabled) = 0;
    virtual void setFont(int id, const platform::Font* font) = 0;
    virtual int listAdd(int id, std::string_view row) = 0;  // -1 when not added
    virtual void listSelect(int id, int index) = 0;
    virtual void listSetTop(int id, int index) = 0;
    virtual void repaintNow(int id) = 0;
    virtual int comboSelected(int id) = 0;
    virtual std::string comboText(int id, int index, std::size_t capacity) = 0;
    virtual void messageBox(std::string_view text, std::string_view title, platform::MessageIcon icon,
                            bool owned) = 0;
};

// One scan's thread and its cancellation. `live` is read and written on the
// dialog's thread only: once a cancel has cleared it there, nothing of the
// scan reaches the window any more.
struct ScanSession {
    std::atomic<bool> stopRequested{false};
    bool live = true;
    // Set on the dialog's thread in the turn that closes a scan that ran to
    // its end.
    bool completed = false;
    std::thread thread;
    // The scan before this one; the new thread waits for it to be gone before
    // it touches the list file or the figures.
    std::shared_ptr<ScanSession> previous;
};

class ScanDialog final : public ScanView {
public:
    ScanDialog(platform::DialogControls& dialog, std::shared_ptr<ScanSession> session);

    bool runOnDialogThread(const std::function<void()>& fn) override;
    void setText(int id, std::string_view text) override;
    void enable(int id, bool enabled) override;
    void setFont(int id, const platform::Font* font) override;
    int listAdd(int id, std::string_view row) override;
    void listSelect(int id, int index) override;
    void listSetTop(int id, int index) override;
    void repaintNow(int id) override;
    int comboSelected(int id) override;
    std::string comboText(int id, int index, std::size_t capacity) override;
    void messageBox(std::string_view text, std::string_view title, platform::MessageIcon icon,
                    bool owned) override;
    void pushWaitCursor() override;
    void popWaitCursor() override;
    // Not carried over: a beep on the dialog's thread would stall the window.
    void beep(int hertz, int milliseconds) override;

private:
    template <typename Result, typename Op>
    Result call(Result fallback, Op op);

    platform::DialogControls& dialog_;
    std::shared_ptr<ScanSession> session_;
    int waitCursorDepth_ = 0;  // scan thread only
};

}  // namespace skewmon
