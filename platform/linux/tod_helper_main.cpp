// skewmon-tod: measures one machine's clock and prints the Offset as one
// decimal line. The program runs each query in a process of its own so that
// a query stuck inside libnetapi can be killed outright.
//
//   skewmon-tod SERVERNAME      (SERVERNAME: two backslashes and the name)
#include <sys/prctl.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "platform/linux/netapi_clock.h"
#include "timing/remote_time.h"

int main(int argc, char** argv) {
    // Gone with the thread that started it, even when that one was killed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 2) {
        std::fputs("usage: skewmon-tod SERVERNAME\n", stderr);
        return 2;
    }
    // Set up before the first clock reading, so that loading the client
    // settings does not count as round trip.
    skewmon::platform::NetapiContext();
    skewmon::platform::NetapiClock clock;
    const skewmon::Offset offset = skewmon::RemoteTimeWorker(clock, argv[1]);
    std::printf("%lld\n", static_cast<long long>(offset));
    return std::fflush(stdout) == 0 ? 0 : 1;
}
