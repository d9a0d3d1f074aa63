// The main window's behaviour: initialisation and the command handlers,
// written against the control operations so that every window system shares
// them.
#pragma once

#include <memory>
#include <string>

#include "platform/window.h"
#include "state/program.h"
#include "state/scan_state.h"

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

    // Waits until no scan thread is left. Call once the dialog has ended.
    void waitForScans();

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
    void startScan(platform::DialogControls& dialog);
    void cancelScan(platform::DialogControls& dialog);
    // Cuts a running scan off from the window and asks it to stop.
    void stopRunningScan();
    void showMoreInfo(platform::DialogControls& dialog);
    void setStatusTexts(platform::DialogControls& dialog, std::string_view figures,
                        std::string_view recommendation, std::string_view explanation);

    Program& program_;
    std::shared_ptr<ScanSession> lastScan_;  // dialog thread only
};

}  // namespace skewmon
