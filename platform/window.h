// The window toolkit: start-up's part (control library, fonts) and the modal
// run of the main dialog.
#pragma once

#include <memory>

#include "platform/controls.h"

namespace skewmon::platform {

// What the dialog's owner handles; called on the dialog's thread.
class DialogEvents {
public:
    virtual ~DialogEvents() = default;
    virtual void onInitDialog(DialogControls& dialog) = 0;
    virtual void onCommand(DialogControls& dialog, int id, int notification) = 0;
    // The dialog is about to go away (after endDialog): anything that still
    // writes to it must stop.
    virtual void onDestroy(DialogControls& dialog) = 0;
};

class WindowSystem {
public:
    virtual ~WindowSystem() = default;
    virtual void initControlLibrary() = 0;
    // Vertical dots per inch of the screen.
    virtual int screenDpiY() = 0;
    // None when the font cannot be made.
    virtual std::unique_ptr<Font> createFont(const FontSpec& spec) = 0;
    // Shows the main dialog modally and returns when it has ended; -1 when it
    // could not be created.
    virtual int runMainDialog(DialogEvents& events) = 0;
};

}  // namespace skewmon::platform
