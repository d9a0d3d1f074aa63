#include "platform/linux/samba/netapi_clock.h"

#include <krb5.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <type_traits>

extern "C" {
#include <netapi.h>

// Exported by Samba's utility library: the smb.conf that libnetapi_init loads.
const char* set_dyn_CONFIGFILE(const char* newpath);
}

#include "platform/linux/samba/smb_settings.h"

namespace skewmon::platform {
namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;
constexpr std::uint32_t kGeneralFailure = 31;  // what a missing context reports

struct NetapiBufferDeleter {
    void operator()(std::uint8_t* buffer) const { NetApiBufferFree(buffer); }
};

// libkrb5's handles, each released with its own call.
struct KrbContextDeleter {
    void operator()(krb5_context context) const { krb5_free_context(context); }
};
using KrbContext = std::unique_ptr<std::remove_pointer_t<krb5_context>, KrbContextDeleter>;

class KrbCache {
public:
    KrbCache(krb5_context context, krb5_ccache cache) : context_(context), cache_(cache) {}
    ~KrbCache() { krb5_cc_close(context_, cache_); }
    KrbCache(const KrbCache&) = delete;
    KrbCache& operator=(const KrbCache&) = delete;
    krb5_ccache get() const { return cache_; }

private:
    krb5_context context_;
    krb5_ccache cache_;
};

class KrbPrincipal {
public:
    KrbPrincipal(krb5_context context, krb5_principal principal) : context_(context), principal_(principal) {}
    ~KrbPrincipal() { krb5_free_principal(context_, principal_); }
    KrbPrincipal(const KrbPrincipal&) = delete;
    KrbPrincipal& operator=(const KrbPrincipal&) = delete;
    krb5_principal get() const { return principal_; }

private:
    krb5_context context_;
    krb5_principal principal_;
};

// More entries than any real cache holds: a damaged one cannot keep the
// walk going for ever.
constexpr int kMaxCacheEntries = 10000;

// The settings file that the set-up could not load; process-wide like the
// context itself.
std::string& FailedSettingsPath() {
    static std::string problem;
    return problem;
}

// The process's context; set up at most once between resets.
struct NetapiState {
    libnetapi_ctx* context = nullptr;
    bool setUp = false;
};
NetapiState& State() {
    static NetapiState state;
    return state;
}

// The first line of what Samba said, without its debug-header lines.
std::string FirstMessageLine(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.erase(0, 1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
        if (!line.empty() && line.front() != '[') return line;  // "[2026/..., 0] file.c:12(fn)" headers
    }
    return {};
}

// An empty cache of this process's own: Samba's client finds no ticket in it.
constexpr const char* kNoTicketCache = "MEMORY:skewmon-no-tickets";

libnetapi_ctx* SetUpNetapi() {
    auto env = [](const char* key) -> const char* { return std::getenv(key); };
    // Chosen once, before anything below can change the environment: the
    // cache and the environment are the same for every context this process
    // sets up.
    static const SmbCredentials credentials = ChooseSmbCredentials(env, HasKerberosTicket());
    if (credentials != SmbCredentials::kKerberos) {
        // libnetapi_init takes whatever cache KRB5CCNAME (or the default)
        // names, whatever the credentials set below, and its client then
        // signs in with Kerberos from it: with an expired ticket-granting
        // ticket, or service tickets alone, a server asked by name refuses
        // the logon instead of taking a guest. Without a cache to find, the
        // name and password, or the guest, are what it asks with.
        setenv("KRB5CCNAME", kNoTicketCache, 1);
    }
    // All of these must hold before libnetapi_init reads the settings.
    static const std::string configPath = SmbClientConfigPath();
    set_dyn_CONFIGFILE(configPath.c_str());

    libnetapi_ctx* context = nullptr;
    if (libnetapi_init(&context) != NET_API_STATUS_SUCCESS || !context) {
        // Loading the settings is what fails here in practice.
        FailedSettingsPath() = configPath;
        return nullptr;
    }
    libnetapi_set_debuglevel(context, "0");

    switch (credentials) {
        case SmbCredentials::kKerberos:
            libnetapi_set_use_kerberos(context);
            // The ticket signs in; an empty password only keeps libnetapi
            // from asking for one where it falls back.
            libnetapi_set_password(context, "");
            break;
        case SmbCredentials::kUserAndPassword: {
            // "name%password" sets both; PASSWD, when given, wins for the password.
            const char* user = std::getenv("USER");
            if (!user || user[0] == '\0') user = std::getenv("LOGNAME");
            libnetapi_set_username(context, user ? user : "");
            if (const char* password = std::getenv("PASSWD")) libnetapi_set_password(context, password);
            break;
        }
        case SmbCredentials::kGuest:
            // An empty name and password ask anonymously; a set password is
            // what keeps libnetapi from prompting for one.
            libnetapi_set_username(context, "");
            libnetapi_set_password(context, "");
            break;
    }
    return context;
}

}  // namespace

SmbCredentials ChooseSmbCredentials(const std::function<const char*(const char*)>& getenv,
                                    bool hasKerberosTicket) {
    if (hasKerberosTicket) return SmbCredentials::kKerberos;
    if (getenv("PASSWD")) return SmbCredentials::kUserAndPassword;
    const char* user = getenv("USER");
    if (user && std::string_view(user).find('%') != std::string_view::npos)
        return SmbCredentials::kUserAndPassword;
    return SmbCredentials::kGuest;
}

bool HasKerberosTicket() {
    krb5_context raw = nullptr;
    if (krb5_init_context(&raw) != 0) return false;
    const KrbContext context(raw);
    krb5_ccache rawCache = nullptr;
    if (krb5_cc_default(raw, &rawCache) != 0) return false;
    const KrbCache cache(raw, rawCache);
    krb5_principal rawClient = nullptr;
    if (krb5_cc_get_principal(raw, rawCache, &rawClient) != 0) return false;
    const KrbPrincipal client(raw, rawClient);
    const krb5_data* realm = krb5_princ_realm(raw, rawClient);
    krb5_principal rawTgt = nullptr;
    if (krb5_build_principal_ext(raw, &rawTgt, realm->length, realm->data, KRB5_TGS_NAME_SIZE, KRB5_TGS_NAME,
                                 realm->length, realm->data, 0) != 0)
        return false;
    const KrbPrincipal tgt(raw, rawTgt);

    krb5_cc_cursor cursor = nullptr;
    if (krb5_cc_start_seq_get(raw, rawCache, &cursor) != 0) return false;
    const krb5_timestamp now = static_cast<krb5_timestamp>(time(nullptr));
    bool found = false;
    krb5_creds creds;
    for (int entries = 0; !found && entries < kMaxCacheEntries; ++entries) {
        if (krb5_cc_next_cred(raw, rawCache, &cursor, &creds) != 0) break;
        // krb5_timestamp is 32 bits and wraps in 2038: compared as unsigned,
        // as libkrb5 itself does.
        found = krb5_principal_compare(raw, creds.server, tgt.get()) &&
                static_cast<std::uint32_t>(creds.times.endtime) > static_cast<std::uint32_t>(now) &&
                !(creds.ticket_flags & TKT_FLG_INVALID);
        krb5_free_cred_contents(raw, &creds);
    }
    krb5_cc_end_seq_get(raw, rawCache, &cursor);
    return found;
}

std::optional<std::string> NetapiServerName(std::string_view serverName) {
    while (!serverName.empty() && serverName.front() == '\\') serverName.remove_prefix(1);
    if (serverName.empty() || serverName.find('\0') != std::string_view::npos) return std::nullopt;
    return std::string(serverName);
}

std::recursive_mutex& NetapiLock() {
    static std::recursive_mutex lock;
    return lock;
}

libnetapi_ctx* NetapiContext() {
    std::lock_guard guard(NetapiLock());
    NetapiState& state = State();
    if (!state.setUp) {
        state.setUp = true;
        state.context = SetUpNetapi();
    }
    return state.context;
}

NetapiStart StartNetapi() {
    std::lock_guard guard(NetapiLock());
    // Samba says why it fails on standard error; for the time of the set-up
    // that goes to a file in memory, to be read back.
    const int saved = dup(STDERR_FILENO);
    const int caught = memfd_create("samba-messages", MFD_CLOEXEC);
    const bool catching = saved >= 0 && caught >= 0 && dup2(caught, STDERR_FILENO) >= 0;
    NetapiStart start{NetapiContext(), {}};
    std::string said;
    if (catching) {
        std::fflush(stderr);
        dup2(saved, STDERR_FILENO);
        char chunk[1024];
        const ssize_t got = pread(caught, chunk, sizeof chunk, 0);
        if (got > 0) said.assign(chunk, static_cast<std::size_t>(got));
    }
    if (saved >= 0) close(saved);
    if (caught >= 0) close(caught);
    if (!start.context) {
        // Samba's own words name the file; without them, the file is named here.
        const std::string reason = FirstMessageLine(said);
        start.problem = "Samba cannot load the SMB client settings" +
                        (reason.empty() ? " in " + FailedSettingsPath() : ": " + reason) +
                        ". No machine can be asked for its time.";
    }
    return start;
}

void ResetNetapi() {
    std::lock_guard guard(NetapiLock());
    NetapiState& state = State();
    if (state.context) libnetapi_free(state.context);
    state = {};
}

std::uint32_t NetapiClock::tickCount() {
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = std::uint64_t(now.tv_sec) * 1000 + std::uint64_t(now.tv_nsec) / 1000000;
    return static_cast<std::uint32_t>(ms);
}

std::int64_t NetapiClock::systemTimeAsFileTime() {
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return kUnixEpochAsFileTime + std::int64_t(now.tv_sec) * 10000000 + now.tv_nsec / 100;
}

std::uint32_t NetapiClock::remoteTimeOfDay(std::string_view serverName, TimeOfDayInfo& reply) {
    const std::optional<std::string> server = NetapiServerName(serverName);
    if (!server) return kGeneralFailure;
    std::lock_guard guard(NetapiLock());
    if (!NetapiContext()) return kGeneralFailure;

    std::uint8_t* raw = nullptr;
    const NET_API_STATUS status = NetRemoteTOD(server->c_str(), &raw);
    std::unique_ptr<std::uint8_t, NetapiBufferDeleter> buffer(raw);
    if (status != NET_API_STATUS_SUCCESS) return static_cast<std::uint32_t>(status);
    if (!buffer) return kGeneralFailure;

    const auto* tod = reinterpret_cast<const TIME_OF_DAY_INFO*>(buffer.get());
    reply.elapsedt = tod->tod_elapsedt;
    reply.msecs = tod->tod_msecs;
    reply.hours = tod->tod_hours;
    reply.mins = tod->tod_mins;
    reply.secs = tod->tod_secs;
    reply.hunds = tod->tod_hunds;
    reply.timezone = tod->tod_timezone;
    reply.tinterval = tod->tod_tinterval;
    reply.day = tod->tod_day;
    reply.month = tod->tod_month;
    reply.year = tod->tod_year;
    reply.weekday = tod->tod_weekday;
    return 0;
}

}  // namespace skewmon::platform
