// How far the measured offsets lie from the lab servers' true shifts, with
// the negotiate refinement and without it, and what the refinement costs in
// time per machine. Both measure in this process over the same libnetapi
// client as the helper, alternating, so that both see the same servers.
//
//   skewmon_accuracy_bench LABDIR [SCANS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linux/samba/netapi_clock.h"
#include "tests/lab/lab_support.h"
#include "timing/remote_time.h"

namespace {

using namespace skewmon;
using Steady = std::chrono::steady_clock;

// The Linux clock with the negotiate exchange taken away: the measurement as
// it was before the refinement.
class WholeSecondClock final : public platform::RemoteClock {
public:
    explicit WholeSecondClock(platform::RemoteClock& inner) : inner_(inner) {}
    std::uint32_t tickCount() override { return inner_.tickCount(); }
    std::int64_t systemTimeAsFileTime() override { return inner_.systemTimeAsFileTime(); }
    std::uint32_t remoteTimeOfDay(std::string_view serverName, platform::TimeOfDayInfo& reply) override {
        return inner_.remoteTimeOfDay(serverName, reply);
    }

private:
    platform::RemoteClock& inner_;
};

struct Series {
    std::vector<double> values;
    double quantile(double q) const {
        if (values.empty()) return 0;
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        return v[static_cast<std::size_t>(q * double(v.size() - 1) + 0.5)];
    }
    double mean() const {
        double sum = 0;
        for (double v : values) sum += v;
        return values.empty() ? 0 : sum / double(values.size());
    }
};

struct Side {
    Series error;   // reported minus true shift, ms
    Series wallMs;  // one MeasureRemoteTime
    int refined = 0;
    int missing = 0;
};

void Measure(platform::RemoteClock& clock, const testing::LabServer& server, Side& side) {
    const auto start = Steady::now();
    const Measurement m = MeasureRemoteTime(clock, QueryServerName(server.address));
    side.wallMs.values.push_back(std::chrono::duration<double, std::milli>(Steady::now() - start).count());
    if (m.offset == kNoResponse) {
        ++side.missing;
        return;
    }
    side.error.values.push_back(double(m.offset - server.shiftMs));
    if (m.method == MeasurementMethod::kNegotiate) ++side.refined;
}

void Print(const char* what, const Side& side) {
    std::printf("%-22s error ms min %6.0f  median %6.0f  max %6.0f   refined %3d  no answer %d   "
                "ms per machine median %.2f mean %.2f\n",
                what, side.error.quantile(0), side.error.quantile(0.5), side.error.quantile(1), side.refined,
                side.missing, side.wallMs.quantile(0.5), side.wallMs.mean());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: skewmon_accuracy_bench LABDIR [SCANS]\n", stderr);
        return 2;
    }
    const auto lab = testing::Lab::Load(argv[1]);
    const int scans = argc > 2 ? std::atoi(argv[2]) : 15;
    if (!lab || scans <= 0) {
        std::fprintf(stderr, "no lab in %s\n", argv[1]);
        return 2;
    }
    setenv("HOME", lab->home.c_str(), 1);  // the lab's client settings: loopback only
    platform::NetapiContext();

    platform::NetapiClock refining;
    WholeSecondClock whole(refining);
    // One warm-up round: the servers' RPC services answer their first call late.
    for (const testing::LabServer& server : lab->servers) {
        Side ignored;
        Measure(whole, server, ignored);
    }

    Side with, without, worstServer;
    std::int64_t worstShift = 0;
    double worstError = 0;
    for (int scan = 0; scan < scans; ++scan) {
        for (const testing::LabServer& server : lab->servers) {
            // Both kinds one after the other, which goes first alternating.
            for (int i = 0; i < 2; ++i) {
                const bool refine = (i == 0) == (scan % 2 == 0);
                Side& side = refine ? with : without;
                Measure(refine ? static_cast<platform::RemoteClock&>(refining) : whole, server, side);
                if (refine && !side.error.values.empty()) {
                    const double e = side.error.values.back();
                    if (std::abs(e) > std::abs(worstError)) worstError = e, worstShift = server.shiftMs;
                }
            }
        }
    }
    std::printf("%zu servers, %d scans each; error = reported - true shift\n", lab->servers.size(), scans);
    Print("without refinement", without);
    Print("with refinement", with);
    std::printf("worst refined reading: %+.0f ms (server shifted %+lld ms)\n", worstError,
                static_cast<long long>(worstShift));
    std::printf("added per machine: median %.2f ms, mean %.2f ms\n",
                with.wallMs.quantile(0.5) - without.wallMs.quantile(0.5), with.wallMs.mean() - without.wallMs.mean());
    const bool ok = with.missing == 0 && std::abs(with.error.quantile(0)) <= 5 && std::abs(with.error.quantile(1)) <= 5;
    return ok ? 0 : 1;
}
