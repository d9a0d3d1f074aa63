// One measurement from a hostile time-of-day answer: every TIME_OF_DAY_INFO
// field, the tick counts around the call, the local clock, and the SMB2
// negotiate clock that may refine a whole-second answer, all from the input.
// The offset becomes a result row with its variance text and remark, as
// the scan lists it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "scan/scan_driver.h"
#include "tests/fuzz/fuzz_check.h"
#include "timing/remote_time.h"
#include "timing/variance_text.h"

namespace {

using namespace skewmon;

// A field as a hostile server fills it: now and then a value at an edge of
// its range, else anything.
std::uint32_t Field(FuzzedDataProvider& input) {
    static constexpr std::uint32_t kEdges[] = {0, 1, 12, 13, 23, 24, 25, 31, 32, 59, 60, 99, 100, 255,
                                               1600, 1601, 2024, 30827, 30828, 65535, 0x7FFFFFFF,
                                               0x80000000, 0xFFFFFFFF};
    if (input.ConsumeBool()) return input.PickValueInArray(kEdges);
    return input.ConsumeIntegral<std::uint32_t>();
}

class ScriptedExchange final : public platform::NegotiateExchange {
public:
    explicit ScriptedExchange(std::optional<std::int64_t> time) : time_(time) {}
    std::optional<std::int64_t> systemTime() override { return time_; }

private:
    std::optional<std::int64_t> time_;
};

// The clocks and the remote machine, each reading taken from the input in
// the order the measurement asks for them.
class ScriptedClock final : public platform::RemoteClock {
public:
    explicit ScriptedClock(FuzzedDataProvider& input) : input_(input) {}

    std::uint32_t tickCount() override { return input_.ConsumeIntegral<std::uint32_t>(); }
    // The local clock as a running system can read it: from 1601 to the
    // end of what 64-bit nanoseconds since 1970 hold.
    std::int64_t systemTimeAsFileTime() override {
        return input_.ConsumeIntegralInRange<std::int64_t>(0, std::numeric_limits<std::int64_t>::max() / 100 +
                                                                  116444736000000000LL);
    }
    std::uint32_t remoteTimeOfDay(std::string_view, platform::TimeOfDayInfo& reply) override {
        reply.elapsedt = Field(input_);
        reply.msecs = Field(input_);
        reply.hours = Field(input_);
        reply.mins = Field(input_);
        reply.secs = Field(input_);
        reply.hunds = Field(input_);
        reply.timezone = static_cast<std::int32_t>(Field(input_));
        reply.tinterval = Field(input_);
        reply.day = Field(input_);
        reply.month = Field(input_);
        reply.year = Field(input_);
        reply.weekday = Field(input_);
        return input_.ConsumeBool() ? 0 : input_.ConsumeIntegral<std::uint32_t>();
    }
    std::unique_ptr<platform::NegotiateExchange> openNegotiate(std::string_view, std::chrono::milliseconds) override {
        if (!input_.ConsumeBool()) return nullptr;
        std::optional<std::int64_t> time;
        // As the SMB2 parser hands it on: positive, or none.
        if (input_.ConsumeBool()) time = input_.ConsumeIntegralInRange<std::int64_t>(1, std::numeric_limits<std::int64_t>::max());
        return std::make_unique<ScriptedExchange>(time);
    }

private:
    FuzzedDataProvider& input_;
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
    FuzzedDataProvider input(data, size);
    ScriptedClock clock(input);
    const Measurement measured = MeasureRemoteTime(clock, "\\\\HOSTILE");

    if (measured.offset != kNoResponse) {
        // Both clocks lie within 1601 to 30828: no offset is larger.
        FUZZ_CHECK(measured.offset > -std::numeric_limits<std::int64_t>::max() / 10000 &&
                   measured.offset < std::numeric_limits<std::int64_t>::max() / 10000);
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
