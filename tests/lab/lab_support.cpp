#include "tests/lab/lab_support.h"

#include <dirent.h>
#include <krb5.h>
#include <unistd.h>

#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

namespace skewmon::testing {
namespace {

namespace fs = std::filesystem;

int CountEntries(const char* directory) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(directory)) ++count;
    return count;
}

}  // namespace

std::optional<Lab> Lab::Load(const std::string& directory) {
    std::ifstream file(directory + "/lab.txt");
    if (!file) return std::nullopt;
    Lab lab;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "server") {
            LabServer server;
            words >> server.name >> server.address >> server.shiftMs;
            if (words) lab.servers.push_back(server);
        } else if (kind == "silent") {
            words >> lab.silent;
        } else if (kind == "hung") {
            words >> lab.hung;
        } else if (kind == "home") {
            words >> lab.home;
        }
    }
    if (lab.servers.empty() || lab.silent.empty() || lab.hung.empty()) return std::nullopt;
    return lab;
}

std::optional<Lab> Lab::FromEnvironment() {
    const char* directory = std::getenv("SKEWMON_LAB_DIR");
    if (!directory || directory[0] == '\0') return std::nullopt;
    return Load(directory);
}

const LabServer* Lab::withShift(std::int64_t shiftMs) const {
    for (const LabServer& server : servers)
        if (server.shiftMs == shiftMs) return &server;
    return nullptr;
}

std::optional<DomainLab> DomainLab::FromEnvironment() {
    const char* dir = std::getenv("SKEWMON_DOMAIN_LAB_DIR");
    if (!dir) return std::nullopt;
    std::ifstream file(std::string(dir) + "/lab.txt");
    if (!file) return std::nullopt;
    DomainLab lab;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "dc") words >> lab.dcName >> lab.dcAddress >> lab.domain >> lab.realm >> lab.dcHost;
        else if (kind == "partition") lab.partitions.emplace_back(line.substr(10));
        else if (kind == "workgroup") words >> lab.workgroup >> lab.master;
        else if (kind == "server") {
            std::string name, address;
            std::int64_t shift = 0;
            words >> name >> address >> shift;
            lab.shifts[name] = shift;
        } else if (kind == "member-home") words >> lab.memberHome;
        else if (kind == "workgroup-home") words >> lab.workgroupHome;
        else if (kind == "krb5-config") words >> lab.krb5Config;
        else if (kind == "ticket") words >> lab.ticket;
    }
    return lab;
}

std::string TodHelperPath() { return SKEWMON_TOD_PATH; }

ScopedClientHome::ScopedClientHome(const std::string& netbiosName) {
    std::string pattern = (fs::temp_directory_path() / "skewmon-home-XXXXXX").string();
    if (mkdtemp(pattern.data())) home_ = pattern;
    const fs::path smb = fs::path(home_) / ".smb";
    for (const char* sub : {"state", "cache", "lock", "private", "ncalrpc"}) fs::create_directories(smb / sub);
    std::ofstream config(smb / "smb.conf");
    config << "[global]\n"
           << "  netbios name = " << netbiosName << "\n"
           << "  workgroup = LABGROUP\n"
           << "  name resolve order = lmhosts\n"
           << "  interfaces = 127.0.0.1/8\n"
           << "  bind interfaces only = yes\n"
           << "  disable netbios = yes\n"
           << "  smb ports = 445\n"
           << "  log level = 0\n";
    for (const char* sub : {"state", "cache", "lock", "private", "ncalrpc"}) {
        const std::string key = std::string(sub) == "private" ? "private dir"
                                : std::string(sub) == "ncalrpc" ? "ncalrpc dir"
                                : std::string(sub) + " directory";
        config << "  " << key << " = " << (smb / sub).string() << "\n";
    }
    if (const char* home = std::getenv("HOME")) previous_ = home;
    setenv("HOME", home_.c_str(), 1);
}

ScopedClientHome::~ScopedClientHome() {
    if (previous_)
        setenv("HOME", previous_->c_str(), 1);
    else
        unsetenv("HOME");
    std::error_code ignored;
    if (!home_.empty()) fs::remove_all(home_, ignored);
}

ScopedEnvironment::ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    setenv(name, value.c_str(), 1);
}

ScopedEnvironment::~ScopedEnvironment() {
    if (previous_)
        setenv(name_, previous_->c_str(), 1);
    else
        unsetenv(name_);
}

void WriteKerberosCache(const std::string& cacheName, const std::string& server, long endSeconds) {
    krb5_context context = nullptr;
    if (krb5_init_context(&context) != 0) return;
    krb5_ccache cache = nullptr;
    krb5_principal client = nullptr;
    krb5_creds creds{};
    if (krb5_cc_resolve(context, cacheName.c_str(), &cache) == 0 &&
        krb5_parse_name(context, "ann@LAB.TEST", &client) == 0 && krb5_cc_initialize(context, cache, client) == 0 &&
        krb5_parse_name(context, server.c_str(), &creds.server) == 0) {
        creds.client = client;
        const auto now = static_cast<krb5_timestamp>(std::time(nullptr));
        creds.times.authtime = creds.times.starttime = now - 7200;
        creds.times.endtime = static_cast<krb5_timestamp>(now + endSeconds);
        char ticket[] = "not a real ticket";
        creds.ticket.data = ticket;
        creds.ticket.length = sizeof ticket - 1;
        krb5_cc_store_cred(context, cache, &creds);
    }
    if (creds.server) krb5_free_principal(context, creds.server);
    if (client) krb5_free_principal(context, client);
    if (cache) krb5_cc_close(context, cache);
    krb5_free_context(context);
}

bool CopyKerberosCache(const std::string& from, const std::string& to, GrantingTicket granting) {
    krb5_context context = nullptr;
    if (krb5_init_context(&context) != 0) return false;
    krb5_ccache source = nullptr, target = nullptr;
    krb5_principal client = nullptr;
    krb5_cc_cursor cursor = nullptr;
    bool copied = krb5_cc_resolve(context, from.c_str(), &source) == 0 &&
                  krb5_cc_get_principal(context, source, &client) == 0 &&
                  krb5_cc_resolve(context, to.c_str(), &target) == 0 &&
                  krb5_cc_initialize(context, target, client) == 0 &&
                  krb5_cc_start_seq_get(context, source, &cursor) == 0;
    if (copied) {
        const auto now = static_cast<krb5_timestamp>(std::time(nullptr));
        krb5_creds creds;
        for (int entries = 0; entries < 1000 && krb5_cc_next_cred(context, source, &cursor, &creds) == 0;
             ++entries) {
            const krb5_data* service = krb5_princ_component(context, creds.server, 0);
            const bool isGranting = creds.server->length == 2 && service &&
                                    std::string_view(service->data, service->length) == KRB5_TGS_NAME;
            if (isGranting && granting == GrantingTicket::kExpire) creds.times.endtime = now - 60;
            // Configuration entries ride along; they carry no ticket.
            if (!isGranting || granting == GrantingTicket::kExpire)
                copied = krb5_cc_store_cred(context, target, &creds) == 0 && copied;
            krb5_free_cred_contents(context, &creds);
        }
        krb5_cc_end_seq_get(context, source, &cursor);
    }
    if (client) krb5_free_principal(context, client);
    if (target) krb5_cc_close(context, target);
    if (source) krb5_cc_close(context, source);
    krb5_free_context(context);
    return copied;
}

std::vector<pid_t> ChildProcesses() {
    std::vector<pid_t> children;
    const std::string self = std::to_string(getpid());
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream status(entry.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("PPid:", 0) != 0) continue;
            std::istringstream value(line.substr(5));
            std::string parent;
            value >> parent;
            if (parent == self) children.push_back(static_cast<pid_t>(std::stol(name)));
            break;
        }
    }
    return children;
}

int ThreadCount() { return CountEntries("/proc/self/task"); }

int OpenDescriptorCount() { return CountEntries("/proc/self/fd"); }

}  // namespace skewmon::testing
