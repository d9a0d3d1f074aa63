#include "platform/linux/netapi_clock.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

extern "C" {
#include <netapi.h>

// Exported by Samba's utility library: the smb.conf that libnetapi_init loads.
const char* set_dyn_CONFIGFILE(const char* newpath);
}

#include "platform/linux/smb_settings.h"

namespace skewmon::platform {
namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;
constexpr std::uint32_t kGeneralFailure = 31;  // what a missing context reports

struct NetapiBufferDeleter {
    void operator()(std::uint8_t* buffer) const { NetApiBufferFree(buffer); }
};

bool FileExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// The credentials cache Kerberos would use: KRB5CCNAME, else the default file.
// Only file caches can be checked for a ticket without the Kerberos library;
// any other kind that is named explicitly is taken to hold one.
bool HasKerberosTicket(const std::function<const char*(const char*)>& getenv,
                       const std::function<bool(const std::string&)>& fileExists) {
    const char* name = getenv("KRB5CCNAME");
    if (name && name[0] != '\0') {
        std::string_view cache = name;
        if (cache.rfind("FILE:", 0) == 0) cache.remove_prefix(5);
        else if (cache.find(':') != std::string_view::npos) return true;  // KEYRING:, KCM:, DIR:...
        return !cache.empty() && fileExists(std::string(cache));
    }
    return fileExists("/tmp/krb5cc_" + std::to_string(getuid()));
}

libnetapi_ctx* SetUpNetapi() {
    // Both must hold before libnetapi_init reads the settings.
    static const std::string configPath = SmbClientConfigPath();
    set_dyn_CONFIGFILE(configPath.c_str());

    libnetapi_ctx* context = nullptr;
    if (libnetapi_init(&context) != NET_API_STATUS_SUCCESS || !context) return nullptr;
    libnetapi_set_debuglevel(context, "0");

    auto env = [](const char* key) -> const char* { return std::getenv(key); };
    switch (ChooseSmbCredentials(env, FileExists)) {
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
                                    const std::function<bool(const std::string&)>& fileExists) {
    if (HasKerberosTicket(getenv, fileExists)) return SmbCredentials::kKerberos;
    if (getenv("PASSWD")) return SmbCredentials::kUserAndPassword;
    const char* user = getenv("USER");
    if (user && std::string_view(user).find('%') != std::string_view::npos)
        return SmbCredentials::kUserAndPassword;
    return SmbCredentials::kGuest;
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
    static libnetapi_ctx* const context = SetUpNetapi();
    return context;
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
