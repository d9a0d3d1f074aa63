// One measurement from a hostile time-of-day answer: every TIME_OF_DAY_INFO
// field, the tick counts around the call, the local clock, and the SMB2
// negotiate clock that may refine a whole-second answer, all from the input
// (laid out as TimeOfDayScript).
// The offset becomes a result row with its variance text and remark, as
// the scan lists it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <string>

#include "scan/scan_driver.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/time_of_day_script.h"
#include "timing/remote_time.h"
#include "timing/variance_text.h"

namespace {

using namespace skewmon;
using fuzzing::TimeOfDayScript;

class ScriptedExchange final : public platform::NegotiateExchange {
public:
    explicit ScriptedExchange(std::optional<std::int64_t> time) : time_(time) {}
    std::optional<std::int64_t> systemTime() override { return time_; }

private:
    std::optional<std::int64_t> time_;
};

// The clocks and the remote machine, each reading taken from the script in
// the order a measurement asks for it.
class ScriptedClock final : public platform::RemoteClock {
public:
    explicit ScriptedClock(const TimeOfDayScript& script) : script_(script) {}

    std::uint32_t tickCount() override { return script_.ticks[ticks_++ % std::size(script_.ticks)]; }
    // The local clock as a running system can read it: from 1601 to the end
    // of what 64-bit nanoseconds since 1970 hold.
    std::int64_t systemTimeAsFileTime() override {
        constexpr std::uint64_t kLatest = std::numeric_limits<std::int64_t>::max() / 100 + 116444736000000000LL;
        return static_cast<std::int64_t>(script_.localClock[locals_++ % std::size(script_.localClock)] % kLatest);
    }
    std::uint32_t remoteTimeOfDay(std::string_view, platform::TimeOfDayInfo& reply) override {
        reply = script_.reply;
        return script_.status;
    }
    std::unique_ptr<platform::NegotiateExchange> openNegotiate(std::string_view, std::chrono::milliseconds) override {
        if (script_.negotiate == TimeOfDayScript::kNoConnection) return nullptr;
        std::optional<std::int64_t> time;
        // As the SMB2 parser hands it on: positive, or none.
        const auto negotiateTime = static_cast<std::int64_t>(script_.negotiateTime);
        if (script_.negotiate == TimeOfDayScript::kAnswered && negotiateTime > 0) time = negotiateTime;
        return std::make_unique<ScriptedExchange>(time);
    }

private:
    const TimeOfDayScript& script_;
    std::size_t ticks_ = 0;
    std::size_t locals_ = 0;
};

// "yy ddd hh:mm:ss.mss", then a tab and ">N unit(s)" from a second on.
void CheckVarianceText(std::string_view text, std::int64_t ms) {
    const std::size_t firstBlank = text.find(' ');
    FUZZ_CHECK(firstBlank != std::string_view::npos && firstBlank >= 2);
    const std::string_view clock = text.substr(firstBlank + 1);
    FUZZ_CHECK(clock.size() >= 16);
    const std::string_view shape = "ddd dd:dd:dd.ddd";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 'd') {
            FUZZ_CHECK(clock[i] >= '0' && clock[i] <= '9');
        } else {
            FUZZ_CHECK(clock[i] == shape[i]);
        }
    }
    const std::string_view remark = clock.substr(shape.size());
    const std::uint64_t magnitude = ms < 0 ? 0 - static_cast<std::uint64_t>(ms) : static_cast<std::uint64_t>(ms);
    if (magnitude < 1000) {
        FUZZ_CHECK(remark.empty());
    } else {
        FUZZ_CHECK(remark.size() > 3 && remark.substr(0, 2) == "\t>");
        FUZZ_CHECK(remark.find('\t', 1) == std::string_view::npos && remark.find('\n') == std::string_view::npos);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // What the input does not reach stays zero.
    TimeOfDayScript script{};
    std::memcpy(&script, data, std::min(size, sizeof script));
    ScriptedClock clock(script);
    const Measurement measured = MeasureRemoteTime(clock, "\\\\HOSTILE");

    if (measured.offset != kNoResponse) {
        // What the program takes from its helper: never more than two clock
        // readings can differ.
        FUZZ_CHECK(measured.offset >= -kLargestOffset && measured.offset <= kLargestOffset);
        CheckVarianceText(VarianceText(measured.offset), measured.offset);
    }
    const MachineResult result = MakeMachineResult("HOSTILE", false, measured);
    FUZZ_CHECK(result.row.size() < kRowCapacity);
    FUZZ_CHECK(result.row.rfind("HOSTILE\t", 0) == 0);
    if (measured.offset == kNoResponse) {
        FUZZ_CHECK(result.row == std::string("HOSTILE\t") + kNoResponseText);
    } else {
        const std::string_view rest = std::string_view(result.row).substr(8);
        FUZZ_CHECK(rest.substr(0, 2) == (measured.offset < 0 ? "-\t" : "+\t"));
        CheckVarianceText(rest.substr(2), measured.offset);
    }
    return 0;
}
