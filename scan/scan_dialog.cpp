#include "scan/scan_dialog.h"

#include <string>

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

template <typename Op>
void ScanDialog::call(Op op) {
    runOnDialogThread(op);
}

void ScanDialog::setText(int id, std::string_view text) {
    call([&] { dialog_.setText(id, text); });
}
std::string ScanDialog::getText(int id, std::size_t capacity) {
    return call(std::string(), [&] { return dialog_.getText(id, capacity); });
}
void ScanDialog::setCaption(std::string_view text) {
    call([&] { dialog_.setCaption(text); });
}
void ScanDialog::enable(int id, bool enabled) {
    call([&] { dialog_.enable(id, enabled); });
}
void ScanDialog::setFont(int id, const platform::Font* font) {
    call([&] { dialog_.setFont(id, font); });
}
void ScanDialog::listReset(int id) {
    call([&] { dialog_.listReset(id); });
}
int ScanDialog::listAdd(int id, std::string_view row) {
    return call(-1, [&] { return dialog_.listAdd(id, row); });
}
void ScanDialog::listSelect(int id, int index) {
    call([&] { dialog_.listSelect(id, index); });
}
void ScanDialog::listSetTop(int id, int index) {
    call([&] { dialog_.listSetTop(id, index); });
}
int ScanDialog::listCount(int id) {
    return call(0, [&] { return dialog_.listCount(id); });
}
std::string ScanDialog::listText(int id, int index, std::size_t capacity) {
    return call(std::string(), [&] { return dialog_.listText(id, index, capacity); });
}
void ScanDialog::listSetTabStops(int id, std::span<const int> stops) {
    call([&] { dialog_.listSetTabStops(id, stops); });
}
void ScanDialog::repaintNow(int id) {
    call([&] { dialog_.repaintNow(id); });
}
void ScanDialog::comboReset(int id) {
    call([&] { dialog_.comboReset(id); });
}
int ScanDialog::comboAdd(int id, std::string_view entry) {
    return call(-1, [&] { return dialog_.comboAdd(id, entry); });
}
void ScanDialog::comboSelect(int id, int index) {
    call([&] { dialog_.comboSelect(id, index); });
}
int ScanDialog::comboCount(int id) {
    return call(0, [&] { return dialog_.comboCount(id); });
}
int ScanDialog::comboSelected(int id) {
    return call(-1, [&] { return dialog_.comboSelected(id); });
}
std::string ScanDialog::comboText(int id, int index, std::size_t capacity) {
    return call(std::string(), [&] { return dialog_.comboText(id, index, capacity); });
}
void ScanDialog::postCommand(int id, int notification) {
    call([&] { dialog_.postCommand(id, notification); });
}
void ScanDialog::messageBox(std::string_view text, std::string_view title,
                            platform::MessageIcon icon, bool owned) {
    call([&] { dialog_.messageBox(text, title, icon, owned); });
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
void ScanDialog::endDialog(int result) {
    call([&] { dialog_.endDialog(result); });
}
void ScanDialog::bringToForeground() {
    call([&] { dialog_.bringToForeground(); });
}

}  // namespace skewmon
