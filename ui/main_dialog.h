// The main window's behaviour: initialisation and the command handlers,
// written against the control operations so that every window system shares
// them.
#pragma once

#include <string>

#include "platform/window.h"
#include "scan/scan_runner.h"
#include "state/program.h"

namespace skewmon {

extern const char kMoreInfoText[];
extern const char kMakerWebAddress[];
extern const char kHelpBaseAddress[];

// The address of the online help page.
std::string OnlineHelpAddress();

class MainDialog final : public platform::DialogEvents {
public:
    explicit MainDialog(Program& program);
    ~MainDialog() override;

    void onInitDialog(platform::DialogControls& dialog) override;
    void onCommand(platform::DialogControls& dialog, int id, int notification) override;
    void onDestroy(platform::DialogControls& dialog) override;

    // What Scan does: readies the window and starts a scan that writes to it.
    // Dialog thread only. False when the scan could not start.
    bool startScan(platform::DialogControls& dialog);
    // The window's scans, for waiting on them from another thread.
    ScanRunner& scans() { return scans_; }

    // Waits until no scan thread is left. Call once the dialog has ended.
    void waitForScans() { scans_.stopAndWait(); }

    enum class QuitRequest {
        kPosted,      // a dialog is shown: it closes the way Close does
        kNoDialogYet, // none has been shown: nothing to close, no report made
        kDialogEnded, // the dialog has ended: the program is on its way out
    };
    // Ends the program the way its Close button does (a running scan is
    // cancelled first). Safe on any thread, such as one that waits for
    // termination signals. Without a dialog shown it only says so; a dialog
    // that comes up after a request then closes at once.
    static QuitRequest RequestQuit();

private:
    void cancelScan(platform::DialogControls& dialog);
    void showMoreInfo(platform::DialogControls& dialog);
    void setStatusTexts(platform::DialogControls& dialog, std::string_view figures,
                        std::string_view recommendation, std::string_view explanation);

    Program& program_;
    ScanRunner scans_;
};

}  // namespace skewmon
