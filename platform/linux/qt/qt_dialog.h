// The main window on Qt Widgets: the controls of the template as real
// widgets, and the control operations of the logic carried out on them.
#pragma once

#include <QDialog>
#include <QFont>
#include <map>
#include <string>

#include "platform/call_bridge.h"
#include "platform/controls.h"
#include "platform/linux/qt/qt_dialog_template.h"
#include "platform/window.h"

class QListWidget;
class QComboBox;

namespace skewmon::platform {

class TabbedRowDelegate;

class QtFont final : public Font {
public:
    explicit QtFont(QFont font) : font(std::move(font)) {}
    const QFont font;
};

// The Qt font for a logical font of the logic: the dialog face maps to the
// desktop's UI family, a negative height is a character height in pixels.
QFont QFontFor(const FontSpec& spec);

class QtDialog final : public QDialog, public DialogControls {
public:
    explicit QtDialog(DialogEvents& events);
    ~QtDialog() override;

    // Runs the owner's initialisation on this (the GUI) thread; afterwards
    // the window is ready to be shown.
    void initialise();
    // Shows the window modally until endDialog; returns its result.
    int runModal();
    // Shows it without a modal run, for callers that run the event loop
    // themselves. endDialog then finishes the window from the event loop.
    void showModeless();

    bool hasEnded() const { return ended_; }        // endDialog was called
    bool isFinished() const { return finished_; }  // onDestroy has run
    int endResult() const { return endResult_; }

    // The widget of a control number; none for unknown numbers.
    QWidget* control(int id) const;
    const DialogUnits& units() const { return units_; }

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

    using QDialog::setFont;  // the widget's own font stays reachable

protected:
    // Esc and the window's close button are the Close command; the window
    // goes only through endDialog.
    void reject() override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    QWidget* makeControl(const ControlTemplate& control);
    void command(int id, int notification);
    void centreOnScreen();
    // Ends the window's life for its owner: onDestroy, then the bridge closes
    // so that a thread waiting in a call returns.
    void finish();
    QListWidget* list(int id) const;
    QComboBox* combo(int id) const;

    DialogEvents& events_;
    CallBridge bridge_;
    DialogUnits units_;
    std::map<int, QWidget*> byId_;
    // What each control was last given, byte for byte: read back as set.
    std::map<int, std::string> texts_;
    TabbedRowDelegate* rowDelegate_ = nullptr;
    int waitCursors_ = 0;
    bool initialised_ = false;
    bool inModalRun_ = false;
    bool ended_ = false;
    bool finished_ = false;
    int endResult_ = 0;
};

}  // namespace skewmon::platform
