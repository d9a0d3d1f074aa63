// Filling the domain selector, and making sure a selected domain has a
// server that serves it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/controls.h"
#include "platform/domain.h"
#include "scan/scan_state.h"

namespace skewmon {

inline constexpr std::size_t kDomainNameCapacity = 128;

struct DiscoveryState {
    std::string defaultDomainName;  // DefaultDomainName
    std::int32_t joinedToDomain = 0;
    std::string selectedDomain;  // SelectedDomain
    std::u16string focusServer;  // FocusServer; empty: none found
};

struct DiscoveryContext {
    platform::DiscoveryServices& services;
    DiscoveryState& state;
    const std::string& localComputerName;
    const ScanState& scan;  // its dialog owns the failure message
};

// Fills the domain selector and ends with FocusDomain.
void FillDomainList(DiscoveryContext& context, platform::DialogControls& dialog,
                    std::string_view preferredDomain);
void FocusDomain(DiscoveryContext& context, platform::DialogControls& dialog);

}  // namespace skewmon
