#include "scan/scan_view.h"

namespace skewmon {

ScanDialog::ScanDialog(platform::DialogControls& dialog, std::shared_ptr<ScanSession> session)
    : dialog_(dialog), session_(std::move(session)) {}

bool ScanDialog::runOnDialogThread(const std::function<void()>& fn) {
    bool ran = false;
    dialog_.runOnDialogThread([&] {
        if (session_->live) {
            fn();
            ran = true;
        }
    });
    return ran;
}

template <typename Result, typename Op>
Result ScanDialog::call(Result fallback, Op op) {
    Result result = fallback;
    runOnDialogThread([&] { result = op(); });
    return result;
}

void ScanDialog::setText(int id, std::string_view text) {
    runOnDialogThread([&] { dialog_.setText(id, text); });
}
void ScanDialog::enable(int id, bool enabled) {
    runOnDialogThread([&] { dialog_.enable(id, enabled); });
}
void ScanDialog::setFont(int id, const platform::Font* font) {
    runOnDialogThread([&] { dialog_.setFont(id, font); });
}
int ScanDialog::listAdd(int id, std::string_view row) {
    return call(-1, [&] { return dialog_.listAdd(id, row); });
}
void ScanDialog::listSelect(int id, int index) {
    runOnDialogThread([&] { dialog_.listSelect(id, index); });
}
void ScanDialog::listSetTop(int id, int index) {
    runOnDialogThread([&] { dialog_.listSetTop(id, index); });
}
void ScanDialog::repaintNow(int id) {
    runOnDialogThread([&] { dialog_.repaintNow(id); });
}
int ScanDialog::comboSelected(int id) {
    return call(-1, [&] { return dialog_.comboSelected(id); });
}
std::string ScanDialog::comboText(int id, int index, std::size_t capacity) {
    return call(std::string(), [&] { return dialog_.comboText(id, index, capacity); });
}
void ScanDialog::messageBox(std::string_view text, std::string_view title, platform::MessageIcon icon,
                            bool owned) {
    runOnDialogThread([&] { dialog_.messageBox(text, title, icon, owned); });
}

// The cursor is balanced even when the scan is cancelled between the two
// calls: whatever this scan raised, it lowers again.
void ScanDialog::pushWaitCursor() {
    if (call(false, [&] {
            dialog_.pushWaitCursor();
            return true;
        }))
        ++waitCursorDepth_;
}
void ScanDialog::popWaitCursor() {
    if (waitCursorDepth_ == 0) return;
    --waitCursorDepth_;
    dialog_.runOnDialogThread([&] { dialog_.popWaitCursor(); });
}

void ScanDialog::beep(int hertz, int milliseconds) {
    if (!session_->stopRequested) dialog_.beep(hertz, milliseconds);
}

}  // namespace skewmon
