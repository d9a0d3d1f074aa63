// The operations through which the program's logic reaches the main window's
// controls, each addressed by a control number. Every platform (the Qt window,
// the Win32 dialog, the screenless dialog of the tests) implements them.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace skewmon {

// Control numbers of the main dialog.
namespace ctl {
inline constexpr int kScan = 1;
inline constexpr int kClose = 2;
inline constexpr int kDomainSelector = 197;
inline constexpr int kResultsList = 1001;
inline constexpr int kHeading = 1002;
inline constexpr int kWorst = 1003;
inline constexpr int kAverage = 1004;
inline constexpr int kSummary = 1005;
inline constexpr int kExplanation = 1007;
inline constexpr int kMoreInfo = 1008;
inline constexpr int kSaveResults = 1009;
inline constexpr int kRecommendation = 1011;
inline constexpr int kWebLink = 1013;
inline constexpr int kMaker = 1014;
inline constexpr int kResultsGroup = 1015;
}  // namespace ctl

// Notification code of a selection change in the domain selector.
inline constexpr int kSelectionChange = 1;

namespace platform {

// A font made by the window toolkit; the logic only hands it on.
class Font {
public:
    virtual ~Font() = default;
};

struct FontSpec {
    std::string face = "MS Shell Dlg";
    int height = -12;  // negative: character height in pixels
    int weight = 400;
    bool underline = false;
};

enum class MessageIcon { kInformation, kWarning };

class DialogControls {
public:
    virtual ~DialogControls() = default;

    // Runs fn on the dialog's own thread and returns once it has run. Called on
    // that thread, it runs fn at once. Returns false, without running fn, when
    // the dialog has gone away.
    virtual bool runOnDialogThread(const std::function<void()>& fn) = 0;

    // Everything below is called on the dialog's thread (directly, or through
    // runOnDialogThread).
    virtual void setText(int id, std::string_view text) = 0;
    // At most capacity - 1 characters.
    virtual std::string getText(int id, std::size_t capacity) = 0;
    virtual void setCaption(std::string_view text) = 0;
    virtual void enable(int id, bool enabled) = 0;
    virtual void setFont(int id, const Font* font) = 0;

    // Results list.
    virtual void listReset(int id) = 0;
    virtual int listAdd(int id, std::string_view row) = 0;  // index of the new row
    virtual void listSelect(int id, int index) = 0;
    virtual void listSetTop(int id, int index) = 0;
    virtual int listCount(int id) = 0;
    virtual std::string listText(int id, int index, std::size_t capacity) = 0;
    // Tab stops in quarters of the dialog font's average character width.
    virtual void listSetTabStops(int id, std::span<const int> stops) = 0;
    virtual void repaintNow(int id) = 0;

    // Domain selector.
    virtual void comboReset(int id) = 0;
    virtual int comboAdd(int id, std::string_view entry) = 0;  // index of the new entry
    virtual void comboSelect(int id, int index) = 0;
    virtual int comboCount(int id) = 0;
    virtual int comboSelected(int id) = 0;  // -1 when nothing is selected
    virtual std::string comboText(int id, int index, std::size_t capacity) = 0;

    // Queues a command; it is handled after the current handler has returned.
    // May be called on any thread; it never waits.
    virtual void postCommand(int id, int notification = 0) = 0;
    // Returns when the user has dismissed the box. Owned by the dialog when
    // `owned`, else task-modal without owner.
    virtual void messageBox(std::string_view text, std::string_view title, MessageIcon icon,
                            bool owned) = 0;
    // The busy cursor; the calls nest.
    virtual void pushWaitCursor() = 0;
    virtual void popWaitCursor() = 0;
    // Sounds a beep and returns after it, so the caller waits for the sound.
    // Unlike the other operations it may be called on any thread, and is not
    // carried over to the dialog's thread (that would stall the window).
    virtual void beep(int hertz, int milliseconds) = 0;
    virtual void endDialog(int result) = 0;
    virtual void bringToForeground() = 0;
};

}  // namespace platform
}  // namespace skewmon
