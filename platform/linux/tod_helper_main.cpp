// skewmon-tod: measures one machine's clock and prints the Offset as one
// decimal line. The program runs each query in a process of its own so that
// a query stuck inside libnetapi can be killed outright.
//
//   skewmon-tod SERVERNAME      (SERVERNAME: two backslashes and the name)
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

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
    // libnetapi asks for a password on the terminal when a Kerberos ticket
    // turns out unusable. Without a controlling terminal and with nothing on
    // standard input, that question finds no one and fails at once.
    setsid();
    if (const int null = open("/dev/null", O_RDONLY | O_CLOEXEC); null >= 0) {
        dup2(null, STDIN_FILENO);
        if (null != STDIN_FILENO) close(null);
    }
    // Set up before the first clock reading, so that loading the client
    // settings does not count as round trip.
    skewmon::platform::NetapiContext();
    skewmon::platform::NetapiClock clock;
    const skewmon::Offset offset = skewmon::RemoteTimeWorker(clock, argv[1]);
    std::printf("%lld\n", static_cast<long long>(offset));
    return std::fflush(stdout) == 0 ? 0 : 1;
}
