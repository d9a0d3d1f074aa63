// The LAN Manager domain look-ups and the remote service state on Linux.
//
// The controller look-ups first ask the local machine's netlogon service
// through libnetapi, which answers on a member whose Samba runs it. Where it
// does not, the NetBIOS name service stands in, as Samba's own locator asks
// it: the holder of DOMAIN<1B> that is also one of the DOMAIN<1C> controllers
// is the primary controller, and any holder of DOMAIN<1C> is a controller.
// The browse servers of a domain are the holders of its master browser names
// (<1B> domain master, <1D> local master) that run a browser.
//
// No client library reads a remote service manager. A machine's "Browser"
// service counts as running when the machine's name table shows it taking
// part in browsing: it holds the browser election name <1E>, a local master
// browser name <1D> or __MSBROWSE__. It counts as stopped when the machine
// answers without them, and as undetermined when it does not answer.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/domain.h"
#include "platform/linux/netbios/netbios_name_client.h"

namespace skewmon::platform {

struct NetbiosView {
    nbns::NameService names;
    std::string workgroup;  // the local machine's own domain or workgroup
};
using NetbiosViewSource = std::function<std::optional<NetbiosView>()>;

// The view of Samba's client settings (LoadedClientSettings()).
NetbiosViewSource ClientSettingsView();

// A controller of `domain` as the name service knows it: the primary one
// when there is one, else any. Its address and its server name.
struct LocatedController {
    in_addr address{};
    std::string name;
};
std::optional<LocatedController> LocateDomainController(const nbns::NameService& names,
                                                        std::string_view domain);

class NetbiosDomainLookups final : public DomainLookups {
public:
    // askNetlogon: try libnetapi's look-ups first.
    explicit NetbiosDomainLookups(NetbiosViewSource view = ClientSettingsView(), bool askNetlogon = true)
        : view_(std::move(view)), askNetlogon_(askNetlogon) {}

    std::uint32_t getDcName(std::string_view domain, std::string& name) override;
    std::uint32_t serverEnum(std::uint32_t level, std::uint32_t serverTypes,
                             std::optional<std::string_view> domain,
                             std::vector<ServerInfo100>& entries) override;
    std::optional<std::string> getAnyDcName(std::string_view domain) override;

private:
    NetbiosViewSource view_;
    bool askNetlogon_;
};

class NetbiosServiceControl final : public ServiceControl {
public:
    explicit NetbiosServiceControl(NetbiosViewSource view = ClientSettingsView()) : view_(std::move(view)) {}

    std::unique_ptr<ServiceHandle> openManager(std::string_view machine, std::uint32_t access) override;
    std::unique_ptr<ServiceHandle> openService(ServiceHandle& manager, std::string_view service,
                                               std::uint32_t access) override;
    std::optional<std::uint32_t> queryState(ServiceHandle& service) override;

private:
    NetbiosViewSource view_;
};

}  // namespace skewmon::platform
