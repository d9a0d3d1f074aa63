#include "discovery/discovery.h"

#include "scan/scan_driver.h"

namespace skewmon {

void FillDomainList(DiscoveryContext& context, platform::DialogControls& dialog,
                    std::string_view /*preferredDomain*/) {
    dialog.comboReset(ctl::kDomainSelector);
    context.state.selectedDomain.clear();
    context.state.defaultDomainName = context.localComputerName;
    if (dialog.comboCount(ctl::kDomainSelector) == 0) {
        dialog.comboAdd(ctl::kDomainSelector, context.state.defaultDomainName);
        dialog.comboSelect(ctl::kDomainSelector, 0);
    }
    FocusDomain(context, dialog);
}

void FocusDomain(DiscoveryContext& context, platform::DialogControls& dialog) {
    dialog.pushWaitCursor();
    context.state.focusServer.clear();
    if (dialog.comboCount(ctl::kDomainSelector) == 1) dialog.enable(ctl::kDomainSelector, false);
    const int selected = dialog.comboSelected(ctl::kDomainSelector);
    if (selected >= 0) {
        context.state.selectedDomain =
            dialog.comboText(ctl::kDomainSelector, selected, kDomainNameCapacity);
    }
    dialog.popWaitCursor();
}

}  // namespace skewmon
