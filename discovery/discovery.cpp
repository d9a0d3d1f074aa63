#include "discovery/discovery.h"

#include "text/text_util.h"

namespace skewmon {
namespace {

constexpr std::uint32_t kServerInfoLevel = 100;
// Backup browser, master browser and domain master browser.
constexpr std::uint32_t kBrowseServerTypes = 0x20000 | 0x40000 | 0x80000;
// Only what reading a state needs, which every signed-in user is granted on a
// remote machine; wider rights (generic execute takes the database lock, all
// access takes control of the service) are an administrator's alone, and a
// refusal would read as a Browser service that does not run.
constexpr std::uint32_t kManagerAccess = 0x0001;  // connect
constexpr std::uint32_t kServiceAccess = 0x0004;  // query status
constexpr std::size_t kServerNameCapacity = 512;
constexpr char kBrowserService[] = "Browser";
constexpr char kErrorTitle[] = "Skewmon Error";

void SetFocusServer(DiscoveryState& state, std::string_view name) {
    state.focusServer = CutCStringToCapacity(name, kFocusServerCapacity);
}

// Asks the three sources in their order; FocusServer holds the answer.
void FindFocusServer(DiscoveryContext& context, std::string_view domain) {
    platform::DomainLookups& lookups = context.services.domainLookups();
    platform::ServiceControl& services = context.services.serviceControl();
    DiscoveryState& state = context.state;

    // The primary domain controller counts at once, whatever its Browser
    // service does.
    std::string controller;
    if (lookups.getDcName(domain, controller) == 0 && !controller.empty())
        SetFocusServer(state, CutCStringToCapacity(controller, kServerNameCapacity));
    if (!state.focusServer.empty()) return;

    // Browse servers of the local machine's own domain: the first with a
    // running Browser service stops the walk, else the last one listed stands.
    std::vector<platform::ServerInfo100> servers;
    if (lookups.serverEnum(kServerInfoLevel, kBrowseServerTypes, std::nullopt, servers) == 0) {
        for (const platform::ServerInfo100& server : servers) {
            const std::string name = CutCStringToCapacity("\\\\" + server.name, kServerNameCapacity);
            SetFocusServer(state, name);
            if (GetServiceState(services, name, kBrowserService) == kServiceRunning) break;
        }
    }
    if (!state.focusServer.empty()) return;

    // Any controller, but only one whose Browser service runs.
    if (const std::optional<std::string> any = lookups.getAnyDcName(domain)) {
        const std::string name = CutCStringToCapacity(*any, kServerNameCapacity);
        SetFocusServer(state, name);
        if (GetServiceState(services, name, kBrowserService) != kServiceRunning) state.focusServer.clear();
    }
}

}  // namespace

std::uint32_t GetServiceState(platform::ServiceControl& control, std::string_view machine,
                              std::string_view service) {
    std::unique_ptr<platform::ServiceHandle> manager = control.openManager(machine, kManagerAccess);
    if (!manager) return kServiceStateUnknown;
    std::unique_ptr<platform::ServiceHandle> handle = control.openService(*manager, service, kServiceAccess);
    if (!handle) return kServiceStateUnknown;
    const std::optional<std::uint32_t> state = control.queryState(*handle);
    // The service closes before its manager.
    handle.reset();
    manager.reset();
    return state.value_or(kServiceStateUnknown);
}

void FillDomainList(DiscoveryContext& context, platform::DialogControls& dialog,
                    std::string_view preferredDomain) {
    DiscoveryState& state = context.state;
    dialog.comboReset(ctl::kDomainSelector);
    state.selectedDomain.clear();

    std::string primaryName;
    if (const std::optional<platform::PrimaryDomainInfo> primary =
            context.services.securityAuthority().queryPrimaryDomain()) {
        state.joinedToDomain = primary->hasDomainSid ? 1 : 0;
        primaryName = CutCStringToCapacity(primary->name, kDomainNameCapacity);
    }
    state.defaultDomainName = primaryName.empty()
                                  ? CutCStringToCapacity(context.localComputerName, kDomainNameCapacity)
                                  : primaryName;

    if (state.joinedToDomain == 1) {
        PartitionEnumerator partitions(context.services.directory());
        if (partitions.open() == 0) {
            do {
                const int index = dialog.comboAdd(ctl::kDomainSelector, partitions.commonName());
                if (index >= 0 && (index == 0 || SameNameIgnoringCase(partitions.commonName(), preferredDomain)))
                    dialog.comboSelect(ctl::kDomainSelector, index);
                partitions.clearFields();
            } while (partitions.next());
        }
        partitions.close();
    }

    if (dialog.comboCount(ctl::kDomainSelector) == 0) {
        dialog.comboAdd(ctl::kDomainSelector, state.defaultDomainName);
        dialog.comboSelect(ctl::kDomainSelector, 0);
    }
    FocusDomain(context, dialog);
}

void FocusDomain(DiscoveryContext& context, platform::DialogControls& dialog) {
    DiscoveryState& state = context.state;
    dialog.pushWaitCursor();
    state.focusServer.clear();

    // A single entry leaves nothing to choose; nothing enables it again.
    if (dialog.comboCount(ctl::kDomainSelector) == 1) dialog.enable(ctl::kDomainSelector, false);

    const int selected = dialog.comboSelected(ctl::kDomainSelector);
    if (selected >= 0) {
        state.selectedDomain = dialog.comboText(ctl::kDomainSelector, selected, kDomainNameCapacity);
        if (!SameNameIgnoringCase(state.selectedDomain, context.localComputerName)) {
            FindFocusServer(context, state.selectedDomain);
            if (state.focusServer.empty()) {
                const std::string message = "Could not set focus to domain " + state.selectedDomain + ".";
                dialog.messageBox(message, kErrorTitle, platform::MessageIcon::kWarning,
                                  context.scan.dialog != nullptr);
                dialog.comboSelect(ctl::kDomainSelector, 0);
                state.selectedDomain = dialog.comboText(ctl::kDomainSelector, 0, kDomainNameCapacity);
            }
        }
    }
    dialog.popWaitCursor();
}

}  // namespace skewmon
