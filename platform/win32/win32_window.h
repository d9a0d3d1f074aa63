// The Win32 window system: the common controls under the program's manifest,
// the fonts, and the main dialog run modally from resource 100, whose
// controls the logic reaches through DialogControls.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <vector>

#include "platform/call_bridge.h"
#include "platform/controls.h"
#include "platform/window.h"
#include "platform/win32/win32_util.h"

namespace skewmon::platform::win32 {

inline constexpr int kMainDialogResource = 100;
// Wakes the dialog's thread to carry out calls of other threads.
inline constexpr UINT kBridgeMessage = WM_APP + 1;

// The activation context that binds the dialog's controls to version 6 of the
// common controls: the program module's own, else one made from its manifest
// resource 3, else the process default.
class ActivationContext {
public:
    explicit ActivationContext(HMODULE module);
    ~ActivationContext();
    ActivationContext(const ActivationContext&) = delete;
    ActivationContext& operator=(const ActivationContext&) = delete;

    // False when no context could be had at all.
    bool usable() const { return usable_; }
    HANDLE handle() const { return handle_; }

private:
    HANDLE handle_ = nullptr;  // none: the process default
    bool owned_ = false;
    bool usable_ = true;
};

// Enters a context for the scope, and leaves it keeping the last error of the
// work done inside.
class ActivationScope {
public:
    explicit ActivationScope(const ActivationContext& context);
    ~ActivationScope();
    ActivationScope(const ActivationScope&) = delete;
    ActivationScope& operator=(const ActivationScope&) = delete;
    bool entered() const { return entered_; }

private:
    ULONG_PTR cookie_ = 0;
    bool entered_ = false;
};

class Win32WindowSystem;

class Win32Font final : public Font {
public:
    Win32Font(Win32WindowSystem& owner, HFONT font) : owner_(owner), font_(font) {}
    ~Win32Font() override;
    HFONT handle() const { return font_; }

private:
    Win32WindowSystem& owner_;
    HFONT font_;
};

// The main dialog while it is shown. All members except runOnDialogThread,
// postCommand and beep are called on the dialog's thread.
class Win32Dialog final : public DialogControls {
public:
    Win32Dialog(Win32WindowSystem& windows, DialogEvents& events);
    ~Win32Dialog() override;
    Win32Dialog(const Win32Dialog&) = delete;
    Win32Dialog& operator=(const Win32Dialog&) = delete;

    // Shows the dialog modally; its result, or -1 when it cannot be created.
    INT_PTR run(HINSTANCE instance);
    HWND window() const { return window_.load(); }

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
    static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
    void paintLink();
    void colourLink(HDC dc);
    // The dialog goes away: the logic stops writing to it, other threads'
    // calls are refused from now on. Runs once.
    void finish();
    LRESULT send(int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    Win32WindowSystem& windows_;
    DialogEvents& events_;
    CallBridge bridge_;
    std::atomic<HWND> window_{nullptr};
    std::vector<HCURSOR> replacedCursors_;
    bool initialised_ = false;
    bool finished_ = false;
};

class Win32WindowSystem final : public WindowSystem {
public:
    explicit Win32WindowSystem(HINSTANCE instance);
    ~Win32WindowSystem() override;

    void initControlLibrary() override;
    int screenDpiY() override;
    std::unique_ptr<Font> createFont(const FontSpec& spec) override;
    int runMainDialog(DialogEvents& events) override;

    // The window of the dialog being shown, none when there is none.
    HWND mainWindow() const;
    // The underlined font made for the web link, none when there is none.
    HFONT linkFont() const { return linkFont_; }
    void forgetFont(HFONT font);

private:
    const ActivationContext& context();

    HINSTANCE instance_;
    std::unique_ptr<ActivationContext> context_;
    UniqueModule commonControls_;  // kept loaded: the dialog's controls come from it
    HFONT linkFont_ = nullptr;
    // Every dialog shown lives as long as the window system: a cancelled scan
    // may still call its dialog after the dialog has ended, until the program
    // has waited for its scans. An ended dialog refuses such calls.
    std::vector<std::unique_ptr<Win32Dialog>> dialogs_;
    std::atomic<Win32Dialog*> shown_{nullptr};
};

}  // namespace skewmon::platform::win32
