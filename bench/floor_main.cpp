// The floor for one time query: this process, one libnetapi context set up
// before the clock starts, each address asked in turn, each on a new
// connection (every address is a server of its own). Prints
// "ANSWERED WALL_MS CPU_MS" for the loop.
//
//   skewmon_floor call|measure|fresh ADDRESS...
//     call     NetRemoteTOD alone
//     measure  the whole measurement (MeasureRemoteTime: the clock readings,
//              the call, and the negotiate refinement of whole seconds)
//     fresh    the measurement, and then a new libnetapi context, as the
//              helper does between queries
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/linux/samba/netapi_clock.h"
#include "timing/remote_time.h"

namespace {

double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace skewmon;
    if (argc < 2) return 2;
    const std::string_view mode = argv[1];
    if (mode != "call" && mode != "measure" && mode != "fresh") return 2;
    if (!platform::NetapiContext()) return 1;
    platform::NetapiClock clock;
    int answered = 0;
    const auto start = std::chrono::steady_clock::now();
    const double cpu = CpuMs();
    for (int i = 2; i < argc; ++i) {
        const std::string server = std::string("\\\\") + argv[i];
        if (mode == "call") {
            platform::TimeOfDayInfo reply;
            if (clock.remoteTimeOfDay(server, reply) == 0) ++answered;
            continue;
        }
        if (MeasureRemoteTime(clock, server).offset != kNoResponse) ++answered;
        if (mode == "fresh") {
            platform::ResetNetapi();
            platform::NetapiContext();
        }
    }
    const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d %.3f %.3f\n", answered, wall, CpuMs() - cpu);
    return 0;
}
