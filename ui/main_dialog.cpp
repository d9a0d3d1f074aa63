#include "ui/main_dialog.h"

#include <mutex>

#include "discovery/discovery.h"
#include "text/text_util.h"
#include "ui/report.h"

namespace skewmon {

const char kMakerWebAddress[] = "www.quillmar.example";
const char kHelpBaseAddress[] = "https://help.quillmar.example/skewmon/";

const char kMoreInfoText[] =
    "This program uses the native LAN Manager NetRemoteTOD\r\n"
    "function to check the time on all Windows machines\r\n"
    "visible on the local network. Variances from this machine\r\n"
    "are calculated and displayed, taking into account network\r\n"
    "latency.\r\n"
    "\r\n"
    "The NetRemoteTOD function has a best-case accuracy of\r\n"
    "+-10 milliseconds, but in practice often achieves only\r\n"
    "+-250 milliseconds, so it is not useful for synchronizing\r\n"
    "the time. The main advantage of NetRemoteTOD is that it\r\n"
    "comes built-in on all Windows machines, so you can get a rough    \r\n"
    "estimate of your overall system time variance before\r\n"
    "installing or configuring a time synchronization product.\r\n"
    "\r\n"
    "It is normal to see slightly different results each time\r\n"
    "you scan, since NetRemoteTOD does not account for its own\r\n"
    "latency in responding to a remote query. For example, a heavily\r\n"
    "loaded server, or a machine with a screen saver running, may\r\n"
    "report a large variance the first time you check, and a smaller\r\n"
    "one thereafter.\r\n"
    "\r\n"
    "Skewmon is a free tool from Quillmar. Quillmar also makes\r\n"
    "Tidewell, a time synchronization product that keeps every\r\n"
    "machine of a network within a target variance that you set,\r\n"
    "and reports when a machine drifts out of it.\r\n"
    "\r\n"
    "To learn more about Tidewell, visit www.quillmar.example.\r\n";

namespace {

constexpr std::size_t kHelpAddressCapacity = 256;

// The dialog that RequestQuit reaches; set while one is shown.
std::mutex g_shownMutex;
platform::DialogControls* g_shown = nullptr;
bool g_quitRequested = false;  // asked before any dialog was shown
bool g_dialogEnded = false;    // a dialog was shown and has gone
constexpr char kErrorTitle[] = "Skewmon Error";
const int kResultTabStops[] = {74, 82, 160};

}  // namespace

std::string OnlineHelpAddress() {
    std::string address = std::string(kHelpBaseAddress) + "?product=skewmon&subject=home&version=" + kAppVersion;
    return CutToCapacity(address, kHelpAddressCapacity);
}

MainDialog::MainDialog(Program& program) : program_(program), scans_(program) {}

MainDialog::~MainDialog() { waitForScans(); }

void MainDialog::setStatusTexts(platform::DialogControls& dialog, std::string_view figures,
                                std::string_view recommendation, std::string_view explanation) {
    dialog.setText(ctl::kWorst, figures);
    dialog.setText(ctl::kAverage, figures);
    dialog.setText(ctl::kSummary, figures);
    dialog.setText(ctl::kRecommendation, recommendation);
    dialog.setText(ctl::kExplanation, explanation);
    dialog.enable(ctl::kSaveResults, false);
}

MainDialog::QuitRequest MainDialog::RequestQuit() {
    std::lock_guard lock(g_shownMutex);
    if (!g_shown) {
        g_quitRequested = true;
        return g_dialogEnded ? QuitRequest::kDialogEnded : QuitRequest::kNoDialogYet;
    }
    // The first Close cancels a running scan, the second ends the dialog; with
    // no scan the second one finds the dialog gone and is dropped.
    g_shown->postCommand(ctl::kClose, 0);
    g_shown->postCommand(ctl::kClose, 0);
    return QuitRequest::kPosted;
}

void MainDialog::onInitDialog(platform::DialogControls& dialog) {
    {
        std::lock_guard lock(g_shownMutex);
        g_shown = &dialog;
        g_dialogEnded = false;
        if (g_quitRequested) dialog.postCommand(ctl::kClose, 0);
        g_quitRequested = false;
    }
    dialog.setText(ctl::kMaker, "Quillmar");
    dialog.setCaption(std::string("SKEWMON ") + kAppVersion);
    dialog.setText(ctl::kHeading, "Click the Scan button to check your network variances.");
    dialog.listSetTabStops(ctl::kResultsList, kResultTabStops);
    setStatusTexts(dialog, "N/A", "N/A -- Click Scan to start",
                   "This program will examine your network and calculate the time variance between "
                   "this machine and each other machine found. Results are displayed in years, days, "
                   "hours, minutes, seconds, and milliseconds. If your network is synchronized, you "
                   "should not see a variance of over one second.");

    program_.localComputerName = program_.platform.system.computerName(kComputerNameCapacity);

    // What start-up could not do, before the machine source is set up.
    for (const StartUpProblem& problem : program_.app.problems)
        dialog.messageBox(problem.text, kErrorTitle, platform::MessageIcon::kWarning, false);

    if (program_.app.machineListFile) {
        dialog.enable(ctl::kDomainSelector, false);
        dialog.comboReset(ctl::kDomainSelector);
        dialog.comboAdd(ctl::kDomainSelector, "Using File");
        dialog.comboSelect(ctl::kDomainSelector, 0);
    } else {
        DiscoveryContext discovery{program_.platform.discovery, program_.discovery,
                                   program_.localComputerName, program_.scan};
        FillDomainList(discovery, dialog, "");
    }

    dialog.bringToForeground();
}

void MainDialog::onCommand(platform::DialogControls& dialog, int id, int notification) {
    if (id == ctl::kDomainSelector && notification == kSelectionChange) {
        DiscoveryContext discovery{program_.platform.discovery, program_.discovery,
                                   program_.localComputerName, program_.scan};
        FocusDomain(discovery, dialog);
        dialog.postCommand(ctl::kScan, 0);
        return;
    }
    switch (id) {
        case ctl::kScan:
            startScan(dialog);
            break;
        case ctl::kClose:
            if (scans_.running())
                cancelScan(dialog);
            else
                dialog.endDialog(0);
            break;
        case ctl::kMoreInfo:
            showMoreInfo(dialog);
            break;
        case ctl::kSaveResults:
            SaveResults(program_, dialog);
            break;
        case ctl::kWebLink:
            program_.platform.system.openUrl(OnlineHelpAddress());
            break;
        default:
            break;
    }
}

bool MainDialog::startScan(platform::DialogControls& dialog) {
    // A rescan posted by a domain change can arrive while a scan runs; the
    // newer request wins, so that only one scan ever writes to the window.
    scans_.cancel();

    dialog.listReset(ctl::kResultsList);
    setStatusTexts(dialog, "Testing...", "Testing...",
                   "Scanning. Please wait. If you have any machines that show up in the browse list, "
                   "but have recently gone offline, it may take up to 3 seconds for them to time out.");
    dialog.enable(ctl::kScan, false);
    dialog.setText(ctl::kClose, "&Cancel");
    if (program_.app.thinFont) dialog.setFont(ctl::kSummary, program_.app.thinFont.get());
    // Without a thread the window keeps its scanning look, and Close ends it.
    return scans_.start(dialog);
}

void MainDialog::cancelScan(platform::DialogControls& dialog) {
    scans_.cancel();
    dialog.setText(ctl::kResultsGroup, "Results");
    dialog.setText(ctl::kWorst, "Cancelled");
    dialog.setText(ctl::kAverage, "Cancelled");
    dialog.setText(ctl::kSummary, "Cancelled");
    dialog.setText(ctl::kRecommendation, "Test cancelled.");
    dialog.setText(ctl::kExplanation, "");
    dialog.setText(ctl::kClose, "&Close");
    dialog.enable(ctl::kScan, true);
}

void MainDialog::showMoreInfo(platform::DialogControls& dialog) {
    dialog.messageBox(kMoreInfoText, std::string("Skewmon ") + kAppVersion,
                      platform::MessageIcon::kInformation, true);
}

void MainDialog::onDestroy(platform::DialogControls&) {
    {
        std::lock_guard lock(g_shownMutex);
        g_shown = nullptr;
        g_dialogEnded = true;
    }
    scans_.cancel();
}

}  // namespace skewmon
