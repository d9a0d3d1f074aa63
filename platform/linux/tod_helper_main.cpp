// skewmon-tod: measures machines' clocks over libnetapi in a process of its
// own, so that a query stuck inside libnetapi can be killed outright.
//
//   skewmon-tod --serve       answers requests on descriptor 3 (a socket the
//                             program holds the other end of) until its end
//   skewmon-tod --zygote      sets the libraries up once, then forks a helper
//                             serving as above for each channel the program
//                             hands over on descriptor 3 (helper_zygote.h)
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
#include "platform/linux/process/helper_zygote.h"
#include "platform/linux/process/tod_protocol.h"
#include "platform/linux/samba/netapi_clock.h"
#include "timing/remote_time.h"

namespace {

using namespace skewmon;

constexpr int kChannel = 3;

// Serves on kChannel with libnetapi set up already; `problem` is what the
// set-up reported.
int Serve(const std::string& problem) {
    // Output goes to the program alone; a program that has gone away ends
    // this one through the failed write instead of a signal.
    std::signal(SIGPIPE, SIG_IGN);
    if (!platform::WriteAll(kChannel, platform::HelloLine(problem))) return 1;

    platform::NetapiClock clock;
    platform::LineReader input(kChannel);
    std::string line;
    while (input.next(line, platform::kMaxRequestLine)) {
        const std::optional<platform::TodRequest> request = platform::ParseRequestLine(line);
        if (!request) return 2;  // whatever sent this is not the program
        const Measurement measured = MeasureRemoteTime(clock, request->serverName, request->refine);
        if (!platform::WriteAll(kChannel, platform::AnswerLine(request->sequence, measured))) return 1;
        // A fresh client state for the next machine, so that nothing of this
        // one (its connection, a failure) reaches it; set up while the
        // program takes the answer, and before the next clock reading.
        platform::ResetNetapi();
        platform::NetapiContext();
    }
    return 0;
}

int ServeForks() {
    std::signal(SIGPIPE, SIG_IGN);
    // The libraries are loaded and linked once, here; each helper sets up
    // its own client state after the fork: Samba's databases and messaging
    // are opened per process, and would be shared, locks and all, if they
    // were set up before it.
    return platform::ServeForkRequests(kChannel, kChannel, [] {
        if (!platform::StartHelperProcess()) return 1;
        return Serve(platform::StartNetapi().problem);
    });
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
        std::fputs("usage: skewmon-tod --serve | --zygote | SERVERNAME\n", stderr);
        return 2;
    }
    // Gone with the program that started it; no terminal for libnetapi to
    // ask a password on.
    if (!platform::StartHelperProcess()) return 1;
    const std::string_view mode = argv[1];
    if (mode == "--serve") {
        // Set up before the first clock reading, so that loading the client
        // settings does not count as round trip.
        return Serve(platform::StartNetapi().problem);
    }
    if (mode == "--zygote") return ServeForks();
    return MeasureOnce(argv[1]);
}
