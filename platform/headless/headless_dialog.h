// A dialog without a screen: the same controls and commands as the window,
// run by a thread of its own, for tests and for runs without a display.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/call_bridge.h"
#include "platform/controls.h"
#include "platform/window.h"

namespace skewmon::platform {

class HeadlessFont final : public Font {
public:
    explicit HeadlessFont(FontSpec spec) : spec(std::move(spec)) {}
    const FontSpec spec;
};

struct HeadlessControl {
    std::string text;
    bool enabled = true;
    const Font* font = nullptr;
    std::vector<std::string> rows;  // list box rows or combo box entries
    int selected = -1;
    int top = 0;
    std::vector<int> tabStops;
};

struct HeadlessMessage {
    std::string text;
    std::string title;
    MessageIcon icon;
    bool owned;
};

// What the screenless dialog shows at one moment.
struct HeadlessSnapshot {
    bool running = false;  // the dialog exists and has not ended
    bool initialised = false;  // its initialisation has run
    int result = 0;        // the dialog's result once it has ended
    std::string caption;
    std::map<int, HeadlessControl> controls;
    std::vector<HeadlessMessage> messages;
    std::vector<std::chrono::steady_clock::time_point> beeps;
    int waitCursorDepth = 0;
    int commandsHandled = 0;

    const HeadlessControl& control(int id) const;
    const std::string& text(int id) const { return control(id).text; }
    const std::vector<std::string>& rows(int id) const { return control(id).rows; }
};

class HeadlessDialog final : public BackgroundDialog {
public:
    HeadlessDialog();
    ~HeadlessDialog() override;

    // Starts the dialog's thread, which creates the controls and calls
    // events.onInitDialog before it handles anything else.
    void start(DialogEvents& events) override;
    // Waits until the dialog has ended and its thread is gone; its result.
    int waitForEnd() override;

    // Sends a command as a click or a selection would, and waits until the
    // dialog's thread has handled it.
    void command(int id, int notification = 0) override;
    // Waits (bounded) until `done` holds for the shown state; false on time-out.
    bool waitUntil(const std::function<bool(const HeadlessSnapshot&)>& done,
                   std::chrono::milliseconds limit);
    HeadlessSnapshot snapshot() const;
    // Called on the dialog's thread with every row added to the results list.
    // Set before start().
    void setRowObserver(std::function<void(const std::string&)> observer) {
        rowObserver_ = std::move(observer);
    }

    // DialogControls
    bool runOnDialogThread(const std::function<void()>& fn) override;
    void setText(int id, std::string_view text) override;
    std::string getText(int id, std::size_t capacity) override;
    void setCaption(std::string_view text) override;
    void enable(int id, bool enabled) override;
    void setFont(int id, const Font* font) override;
    void listReset(int id) override;
    int listAdd(int id, std::string_view row) override;
    void listSelect(int id, int index) override;
    void listSetTop(int id, int index) override;
    int listCount(int id) override;
    std::string listText(int id, int index, std::size_t capacity) override;
    void listSetTabStops(int id, std::span<const int> stops) override;
    void repaintNow(int id) override;
    void comboReset(int id) override;
    int comboAdd(int id, std::string_view entry) override;
    void comboSelect(int id, int index) override;
    int comboCount(int id) override;
    int comboSelected(int id) override;
    std::string comboText(int id, int index, std::size_t capacity) override;
    void postCommand(int id, int notification) override;
    void messageBox(std::string_view text, std::string_view title, MessageIcon icon,
                    bool owned) override;
    void pushWaitCursor() override;
    void popWaitCursor() override;
    void beep(int hertz, int milliseconds) override;
    void endDialog(int result) override;
    void bringToForeground() override;

private:
    void run(DialogEvents& events);
    void post(std::function<void()> task);
    void changed();  // mutex_ held
    HeadlessControl& control(int id);  // state_ locked by the caller

    CallBridge bridge_;
    DialogEvents* events_ = nullptr;
    std::function<void(const std::string&)> rowObserver_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;     // the dialog's thread
    std::condition_variable changed_;  // observers
    std::deque<std::function<void()>> tasks_;
    bool bridgeCalls_ = false;
    bool ending_ = false;
    HeadlessSnapshot state_;
    std::thread thread_;
};

// The screenless window system: fonts that only remember what they are, and
// a main dialog run on its own thread while the caller waits for its end.
class HeadlessWindowSystem final : public WindowSystem {
public:
    void initControlLibrary() override {}
    int screenDpiY() override { return 96; }
    std::unique_ptr<Font> createFont(const FontSpec& spec) override;
    int runMainDialog(DialogEvents& events) override;

    // The dialog being shown, none before and after; for driving it from
    // another thread.
    HeadlessDialog* shown() const { return shown_.load(); }

private:
    // Every dialog shown lives as long as the window system: a cancelled scan
    // may still call its dialog after the dialog has ended, until the program
    // has waited for its scans. An ended dialog refuses such calls.
    std::mutex mutex_;
    std::vector<std::unique_ptr<HeadlessDialog>> dialogs_;
    std::atomic<HeadlessDialog*> shown_{nullptr};
};

}  // namespace skewmon::platform
