// The remote time query's clocks on Linux, with the remote time of day from
// Samba's libnetapi.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/time_query.h"

struct libnetapi_ctx;

namespace skewmon::platform {

// How libnetapi signs in to the machines it asks.
enum class SmbCredentials { kKerberos, kUserAndPassword, kGuest };

// Picks the credentials the way Samba's own tools find them: the user's
// Kerberos ticket when there is a usable one; else a name and password from
// the environment (PASSWD set, or USER of the form name%password); else
// guest. `getenv` stands in for the environment.
SmbCredentials ChooseSmbCredentials(const std::function<const char*(const char*)>& getenv,
                                    bool hasKerberosTicket);

// Whether the credentials cache that Kerberos would use (KRB5CCNAME, else
// its default) holds a ticket-granting ticket of its principal's realm that
// has not expired. Any cache type; a cache that cannot be read holds none.
bool HasKerberosTicket();

// The name libnetapi takes for a server name that may carry leading
// backslashes; none when nothing usable is left (empty, or an embedded NUL).
std::optional<std::string> NetapiServerName(std::string_view serverName);

// The process's libnetapi context, set up on first use: client settings from
// SmbClientConfigPath(), credentials from ChooseSmbCredentials, and never a
// prompt. None when libnetapi cannot be initialised. Callers must hold
// NetapiLock() around every libnetapi call. Unless the credentials are
// Kerberos, the first set-up points this process's KRB5CCNAME at an empty
// cache, for good: meant for a process that only asks for times.
libnetapi_ctx* NetapiContext();

struct NetapiStart {
    libnetapi_ctx* context = nullptr;
    // Why there is no context, in a sentence: settings Samba cannot load,
    // above all. Empty when there is a context.
    std::string problem;
};
// Sets up the process's libnetapi context, catching what Samba says on
// standard error meanwhile. Call before anything else uses the context.
NetapiStart StartNetapi();
// libnetapi is not documented as thread-safe: one call at a time per process.
std::recursive_mutex& NetapiLock();
// Ends the context and every connection it keeps; the next use sets up a
// new one with the settings read afresh: no state of one query reaches the
// next.
void ResetNetapi();

class NetapiClock final : public RemoteClock {
public:
    // Milliseconds of CLOCK_MONOTONIC, wrapping at 2^32.
    std::uint32_t tickCount() override;
    // CLOCK_REALTIME as 100-ns intervals since 1601-01-01 00:00 UTC.
    std::int64_t systemTimeAsFileTime() override;
    // NetRemoteTOD; 0 on success with the reply copied into `reply`.
    std::uint32_t remoteTimeOfDay(std::string_view serverName, TimeOfDayInfo& reply) override;
    // The server's SMB2 negotiate clock over TCP port 445 (smb2_negotiate_clock.cpp).
    std::unique_ptr<NegotiateExchange> openNegotiate(std::string_view serverName,
                                                     std::chrono::milliseconds budget) override;
};

}  // namespace skewmon::platform
