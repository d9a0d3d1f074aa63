// The floor for one time query: this process, one libnetapi context set up
// before the clock starts, and NetRemoteTOD for each address in turn, each
// on a new connection (every address is a server of its own). Prints
// "ANSWERED WALL_MS CPU_MS" for the loop.
//
//   skewmon_floor ADDRESS...
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/linux/netapi_clock.h"

namespace {

double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace skewmon::platform;
    if (!NetapiContext()) return 1;
    NetapiClock clock;
    int answered = 0;
    const auto start = std::chrono::steady_clock::now();
    const double cpu = CpuMs();
    for (int i = 1; i < argc; ++i) {
        TimeOfDayInfo reply;
        if (clock.remoteTimeOfDay(std::string("\\\\") + argv[i], reply) == 0) ++answered;
    }
    const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d %.3f %.3f\n", answered, wall, CpuMs() - cpu);
    return 0;
}
