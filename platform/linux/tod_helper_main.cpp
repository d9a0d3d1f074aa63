// skewmon-tod: measures machines' clocks over libnetapi in a process of its
// own, so that a query stuck inside libnetapi can be killed outright.
//
//   skewmon-tod --serve       answers requests on descriptor 3 (a socket the
//                             program holds the other end of) until its end
//   skewmon-tod SERVERNAME    measures one machine, prints its Offset as one line
//
// The request and answer lines are described in platform/linux/process/tod_protocol.h.
// The requests never come on standard input: Samba reads a password from
// there when it thinks it needs one.
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/linux/process/helper_start.h"
#include "platform/linux/process/tod_protocol.h"
#include "platform/linux/samba/netapi_clock.h"
#include "timing/remote_time.h"

namespace {

using namespace skewmon;

constexpr int kChannel = 3;

int Serve() {
    // Output goes to the program alone; a program that has gone away ends
    // this one through the failed write instead of a signal.
    std::signal(SIGPIPE, SIG_IGN);
    // Set up before the first clock reading, so that loading the client
    // settings does not count as round trip.
    const platform::NetapiStart started = platform::StartNetapi();
    if (!platform::WriteAll(kChannel, platform::HelloLine(started.problem))) return 1;

    platform::NetapiClock clock;
    platform::LineReader input(kChannel);
    std::string line;
    while (input.next(line, platform::kMaxRequestLine)) {
        const std::optional<platform::TodRequest> request = platform::ParseRequestLine(line);
        if (!request) return 2;  // whatever sent this is not the program
        const Measurement measured = MeasureRemoteTime(clock, request->serverName);
        if (!platform::WriteAll(kChannel, platform::AnswerLine(request->sequence, measured))) return 1;
        // A fresh client state for the next machine, so that nothing of this
        // one (its connection, a failure) reaches it; set up while the
        // program takes the answer, and before the next clock reading.
        platform::ResetNetapi();
        platform::NetapiContext();
    }
    return 0;
}

int MeasureOnce(const char* serverName) {
    platform::StartNetapi();
    platform::NetapiClock clock;
    const Offset offset = RemoteTimeWorker(clock, serverName);
    std::printf("%lld\n", static_cast<long long>(offset));
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: skewmon-tod --serve | SERVERNAME\n", stderr);
        return 2;
    }
    // Gone with the program that started it; no terminal for libnetapi to
    // ask a password on.
    if (!platform::StartHelperProcess()) return 1;
    return std::string_view(argv[1]) == "--serve" ? Serve() : MeasureOnce(argv[1]);
}
