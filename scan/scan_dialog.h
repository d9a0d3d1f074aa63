// The dialog as one scan sees it: every operation is carried out by the
// dialog's thread while the scan waits, and only while the scan is live, so a
// cancelled scan can no longer change the window.
#pragma once

#include <memory>

#include "platform/controls.h"
#include "state/scan_state.h"

namespace skewmon {

class ScanDialog final : public platform::DialogControls {
public:
    ScanDialog(platform::DialogControls& dialog, std::shared_ptr<ScanSession> session);

    // Runs fn on the dialog's thread if the scan is still live there.
    bool runOnDialogThread(const std::function<void()>& fn) override;

    void setText(int id, std::string_view text) override;
    std::string getText(int id, std::size_t capacity) override;
    void setCaption(std::string_view text) override;
    void enable(int id, bool enabled) override;
    void setFont(int id, const platform::Font* font) override;
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
    void messageBox(std::string_view text, std::string_view title, platform::MessageIcon icon,
                    bool owned) override;
    void pushWaitCursor() override;
    void popWaitCursor() override;
    void beep(int hertz, int milliseconds) override;
    void endDialog(int result) override;
    void bringToForeground() override;

private:
    template <typename Result, typename Op>
    Result call(Result fallback, Op op);
    template <typename Op>
    void call(Op op);

    platform::DialogControls& dialog_;
    std::shared_ptr<ScanSession> session_;
    int waitCursorDepth_ = 0;  // scan thread only
};

}  // namespace skewmon
