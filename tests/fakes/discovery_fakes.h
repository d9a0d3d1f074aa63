// Scripted domain services and a bare dialog for the tests of the domain
// list and the domain focus.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/controls.h"
#include "platform/domain.h"

namespace skewmon::testing {

// Every call of the directory client, in order, as text.
using CallLog = std::vector<std::string>;

// A directory: its root entry and its partition entries, with any step made
// to fail. Every call is logged.
class FakeDirectory final : public platform::LdapClient {
public:
    using Entry = std::map<std::string, std::vector<std::string>>;

    Entry root{{"configurationNamingContext", {"CN=Configuration,DC=corp,DC=example"}}};
    std::vector<Entry> partitions;
    bool rootSearchFindsNothing = false;
    bool initFails = false;
    std::map<std::string, std::uint32_t> failures;  // call name -> result code
    std::uint32_t threadError = 0;                   // what lastError reports
    CallLog log;

    std::unique_ptr<platform::LdapConnection> init(std::optional<std::string_view> host, int port) override {
        log.push_back("init " + std::string(host ? *host : "<default>") + " " + std::to_string(port));
        if (initFails) return nullptr;
        return std::make_unique<Connection>(*this);
    }
    std::uint32_t lastError() override {
        log.push_back("lastError");
        return threadError;
    }

private:
    struct Result final : platform::LdapResult {
        Result(FakeDirectory& d, std::vector<Entry> e) : directory(d), entries(std::move(e)) {}
        ~Result() override { directory.log.push_back("msgfree"); }
        FakeDirectory& directory;
        std::vector<Entry> entries;
    };
    struct EntryRef {
        const Result* result;
        std::size_t index;
    };

    class Connection final : public platform::LdapConnection {
    public:
        explicit Connection(FakeDirectory& d) : d_(d) {}
        ~Connection() override { d_.log.push_back("unbind"); }

        std::uint32_t setOption(std::uint32_t option, std::uint32_t value,
                                platform::LdapValuePassing passing) override {
            std::ostringstream text;
            text << "option 0x" << std::hex << option << " 0x" << value
                 << (passing == platform::LdapValuePassing::kDirect ? " direct" : "");
            return call(text.str(), "option 0x" + Hex(option));
        }
        std::uint32_t connect() override { return call("connect", "connect"); }
        std::uint32_t bind(std::uint32_t method) override { return call("bind 0x" + Hex(method), "bind"); }
        std::uint32_t search(const std::optional<std::string>& base, platform::LdapScope scope,
                             const std::optional<std::string>& filter,
                             const std::optional<std::vector<std::string>>& attributes, bool attributesOnly,
                             std::unique_ptr<platform::LdapResult>& result) override {
            std::string text = "search [" + (base ? *base : "<root>") + "] " +
                               std::to_string(static_cast<int>(scope)) + " " + (filter ? *filter : "<any>") + " ";
            if (!attributes) text += "<all>";
            else
                for (std::size_t i = 0; i < attributes->size(); ++i) text += (i ? "," : "") + (*attributes)[i];
            text += attributesOnly ? " names" : " values";
            const bool rootSearch = !base;
            const std::uint32_t status = call(text, rootSearch ? "root search" : "search");
            const bool empty = rootSearch ? d_.rootSearchFindsNothing : false;
            std::vector<Entry> entries;
            if (!empty) entries = rootSearch ? std::vector<Entry>{d_.root} : d_.partitions;
            if (status == 0) result = std::make_unique<Result>(d_, std::move(entries));
            return status;
        }
        int countEntries(platform::LdapResult& result) override {
            d_.log.push_back("count");
            return static_cast<int>(static_cast<Result&>(result).entries.size());
        }
        platform::LdapEntry firstEntry(platform::LdapResult& result) override {
            d_.log.push_back("first");
            return entryAt(static_cast<Result&>(result), 0);
        }
        platform::LdapEntry nextEntry(platform::LdapEntry previous) override {
            d_.log.push_back("next");
            const EntryRef* ref = refOf(previous);
            return entryAt(*ref->result, ref->index + 1);
        }
        platform::LdapEntry messageAsEntry(platform::LdapResult& result) override {
            d_.log.push_back("message");
            return entryAt(static_cast<Result&>(result), 0);
        }
        std::optional<std::vector<std::string>> getValues(platform::LdapEntry entry,
                                                          std::string_view attribute) override {
            d_.log.push_back("values " + std::string(attribute));
            const EntryRef* ref = refOf(entry);
            const Entry& e = ref->result->entries[ref->index];
            auto it = e.find(std::string(attribute));
            if (it == e.end() || it->second.empty()) return std::nullopt;
            return it->second;
        }

    private:
        static std::string Hex(std::uint32_t v) {
            std::ostringstream text;
            text << std::hex << v;
            return text.str();
        }
        std::uint32_t call(const std::string& text, const std::string& name) {
            d_.log.push_back(text);
            auto it = d_.failures.find(name);
            return it == d_.failures.end() ? 0 : it->second;
        }
        platform::LdapEntry entryAt(const Result& result, std::size_t index) {
            if (index >= result.entries.size()) return nullptr;
            refs_.push_back(std::make_unique<EntryRef>(EntryRef{&result, index}));
            return reinterpret_cast<platform::LdapEntry>(refs_.back().get());
        }
        static const EntryRef* refOf(platform::LdapEntry entry) {
            return reinterpret_cast<const EntryRef*>(entry);
        }

        FakeDirectory& d_;
        std::vector<std::unique_ptr<EntryRef>> refs_;
    };
};

class FakeAuthority final : public platform::SecurityAuthority {
public:
    std::optional<platform::PrimaryDomainInfo> answer;  // none: the query fails
    std::optional<platform::PrimaryDomainInfo> queryPrimaryDomain() override { return answer; }
};

// Controllers and browse servers per domain; every question is logged.
class FakeLookups final : public platform::DomainLookups {
public:
    std::map<std::string, std::string> controllers;     // domain -> "\\NAME"
    std::optional<std::string> anyDomainController;      // for domains not listed
    std::map<std::string, std::string> anyControllers;  // domain -> "\\NAME"
    std::vector<platform::ServerInfo100> browseServers;
    std::uint32_t enumStatus = 0;
    CallLog log;

    std::uint32_t getDcName(std::string_view domain, std::string& name) override {
        log.push_back("pdc " + std::string(domain));
        auto it = controllers.find(std::string(domain));
        if (it != controllers.end()) name = it->second;
        else if (anyDomainController) name = *anyDomainController;
        else return 2453;  // no domain controller
        return 0;
    }
    std::uint32_t serverEnum(std::uint32_t level, std::uint32_t types, std::optional<std::string_view> domain,
                             std::vector<platform::ServerInfo100>& entries) override {
        std::ostringstream text;
        text << "enum " << level << " 0x" << std::hex << types << " " << (domain ? *domain : "<own>");
        log.push_back(text.str());
        entries = enumStatus == 0 ? browseServers : std::vector<platform::ServerInfo100>{};
        return enumStatus;
    }
    std::optional<std::string> getAnyDcName(std::string_view domain) override {
        log.push_back("any " + std::string(domain));
        auto it = anyControllers.find(std::string(domain));
        if (it == anyControllers.end()) return std::nullopt;
        return it->second;
    }
};

// Service states per machine; a machine not listed has no reachable
// manager, a state of none cannot be read.
class FakeServices final : public platform::ServiceControl {
public:
    std::map<std::string, std::optional<std::uint32_t>> browserStates;  // "\\NAME" -> state
    CallLog log;
    // The rights the caller holds on every machine; asking for more is
    // refused, as a service manager refuses it.
    std::uint32_t managerRights = 0xFFFFFFFF;
    std::uint32_t serviceRights = 0xFFFFFFFF;

    std::unique_ptr<platform::ServiceHandle> openManager(std::string_view machine, std::uint32_t access) override {
        std::ostringstream text;
        text << "manager " << machine << " 0x" << std::hex << access;
        log.push_back(text.str());
        auto it = browserStates.find(std::string(machine));
        if (it == browserStates.end() || (access & ~managerRights) != 0) return nullptr;
        return std::make_unique<Handle>(*this, "manager " + std::string(machine), it->second);
    }
    std::unique_ptr<platform::ServiceHandle> openService(platform::ServiceHandle& manager, std::string_view service,
                                                         std::uint32_t access) override {
        std::ostringstream text;
        text << "service " << service << " 0x" << std::hex << access;
        log.push_back(text.str());
        if (service != "Browser" || (access & ~serviceRights) != 0) return nullptr;
        return std::make_unique<Handle>(*this, "service", static_cast<Handle&>(manager).state);
    }
    std::optional<std::uint32_t> queryState(platform::ServiceHandle& service) override {
        log.push_back("query");
        return static_cast<Handle&>(service).state;
    }
    // The machines whose manager was asked, in order.
    std::vector<std::string> machinesAsked() const {
        std::vector<std::string> machines;
        for (const std::string& line : log)
            if (line.rfind("manager ", 0) == 0) machines.push_back(line.substr(8, line.rfind(' ') - 8));
        return machines;
    }

private:
    struct Handle final : platform::ServiceHandle {
        Handle(FakeServices& s, std::string n, std::optional<std::uint32_t> st)
            : services(s), name(std::move(n)), state(st) {}
        ~Handle() override { services.log.push_back("close " + name); }
        FakeServices& services;
        std::string name;
        std::optional<std::uint32_t> state;
    };
};

class FakeDiscoveryServices final : public platform::DiscoveryServices {
public:
    FakeAuthority authority;
    FakeDirectory ldap;
    FakeLookups lookups;
    FakeServices services;

    platform::SecurityAuthority& securityAuthority() override { return authority; }
    platform::LdapClient& directory() override { return ldap; }
    platform::DomainLookups& domainLookups() override { return lookups; }
    platform::ServiceControl& serviceControl() override { return services; }
};

// The selector, the enabled states, the messages and the cursor; every
// other operation does nothing.
class SelectorDialog final : public platform::DialogControls {
public:
    struct Message {
        std::string text, title;
        platform::MessageIcon icon;
        bool owned;
    };
    std::vector<std::string> entries;
    int selected = -1;
    bool selectorEnabled = true;
    std::vector<Message> messages;
    int cursorDepth = 0;
    int deepestCursor = 0;
    int selectionsMade = 0;

    bool runOnDialogThread(const std::function<void()>& fn) override {
        fn();
        return true;
    }
    void setText(int, std::string_view) override {}
    std::string getText(int, std::size_t) override { return {}; }
    void setCaption(std::string_view) override {}
    void enable(int id, bool enabled) override {
        if (id == ctl::kDomainSelector) selectorEnabled = enabled;
    }
    void setFont(int, const platform::Font*) override {}
    void listReset(int) override {}
    int listAdd(int, std::string_view) override { return 0; }
    void listSelect(int, int) override {}
    void listSetTop(int, int) override {}
    int listCount(int) override { return 0; }
    std::string listText(int, int, std::size_t) override { return {}; }
    void listSetTabStops(int, std::span<const int>) override {}
    void repaintNow(int) override {}
    void comboReset(int) override {
        entries.clear();
        selected = -1;
    }
    int comboAdd(int, std::string_view entry) override {
        entries.emplace_back(entry);
        return static_cast<int>(entries.size()) - 1;
    }
    void comboSelect(int, int index) override {
        ++selectionsMade;
        selected = index >= 0 && index < static_cast<int>(entries.size()) ? index : -1;
    }
    int comboCount(int) override { return static_cast<int>(entries.size()); }
    int comboSelected(int) override { return selected; }
    std::string comboText(int, int index, std::size_t capacity) override {
        if (index < 0 || index >= static_cast<int>(entries.size())) return {};
        return entries[index].substr(0, capacity - 1);
    }
    void postCommand(int, int) override {}
    void messageBox(std::string_view text, std::string_view title, platform::MessageIcon icon,
                    bool owned) override {
        messages.push_back({std::string(text), std::string(title), icon, owned});
    }
    void pushWaitCursor() override { deepestCursor = std::max(deepestCursor, ++cursorDepth); }
    void popWaitCursor() override { --cursorDepth; }
    void beep(int, int) override {}
    void endDialog(int) override {}
    void bringToForeground() override {}
};

}  // namespace skewmon::testing
