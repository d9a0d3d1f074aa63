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

// A main dialog that runs on a thread of its own while its owner goes on,
// such as the screenless one the console mode scans with.
class BackgroundDialog : public DialogControls {
public:
    // Starts the dialog's thread, which calls events.onInitDialog before it
    // handles anything else.
    virtual void start(DialogEvents& events) = 0;
    // Sends a command as a click would, and waits until it has been handled.
    virtual void command(int id, int notification = 0) = 0;
    // Waits until the dialog has ended and its thread is gone; its result.
    virtual int waitForEnd() = 0;
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
