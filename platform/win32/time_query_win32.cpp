#include "platform/win32/time_query_win32.h"

#include <windows.h>
#include <lm.h>
#include <process.h>

#include <algorithm>
#include <atomic>

#include "platform/win32/fault_guard.h"
#include "platform/win32/win32_util.h"
#include "timing/remote_time.h"

namespace skewmon::platform::win32 {
namespace {

// How often a waiting scan looks at its stop flag.
constexpr std::chrono::milliseconds kWaitSlice{20};

struct QuerySlot {
    std::shared_ptr<RemoteClock> clock;
    std::string serverName;
    // Written by the worker before it ends; read only once it has.
    Measurement measured;
};

unsigned __stdcall QueryWorker(void* argument) {
    const std::unique_ptr<std::shared_ptr<QuerySlot>> handOver(
        static_cast<std::shared_ptr<QuerySlot>*>(argument));
    const std::shared_ptr<QuerySlot> slot = std::move(*handOver);
    slot->measured = MeasureGuarded(*slot->clock, slot->serverName);
    return 0;
}

class WorkerQuery final : public PendingQuery {
public:
    WorkerQuery(std::shared_ptr<QuerySlot> slot, UniqueHandle thread)
        : slot_(std::move(slot)), thread_(std::move(thread)) {}

    QueryWait wait(std::optional<std::chrono::milliseconds> limit,
                   const std::atomic<bool>& stop) override {
        const auto started = std::chrono::steady_clock::now();
        for (;;) {
            std::chrono::milliseconds slice = kWaitSlice;
            if (limit) {
                const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - started);
                if (elapsed >= *limit) return QueryWait::kTimedOut;
                slice = std::min(slice, *limit - elapsed);
            }
            const DWORD waited = WaitForSingleObject(thread_.get(), static_cast<DWORD>(slice.count()));
            if (waited == WAIT_OBJECT_0) {
                finished_ = true;
                return QueryWait::kFinished;
            }
            if (waited == WAIT_FAILED) return QueryWait::kFinished;  // no answer to wait for
            if (stop) return QueryWait::kStopped;
        }
    }

    Offset result() override { return measurement().offset; }
    MeasurementMethod method() override { return measurement().method; }
    Measurement measurement() override { return finished_ ? slot_->measured : Measurement{}; }

private:
    std::shared_ptr<QuerySlot> slot_;
    UniqueHandle thread_;  // closing it leaves an unfinished worker running on its own
    bool finished_ = false;
};

}  // namespace

std::uint32_t NetRemoteTodClock::tickCount() { return GetTickCount(); }

std::int64_t NetRemoteTodClock::systemTimeAsFileTime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                                     now.dwLowDateTime);
}

std::uint32_t NetRemoteTodClock::remoteTimeOfDay(std::string_view serverName, TimeOfDayInfo& reply) {
    // No heap memory here: this runs guarded, and a fault skips destructors.
    wchar_t server[kServerNameCapacity];
    const std::string_view cut = serverName.substr(0, kServerNameCapacity - 1);
    const int length = cut.empty() ? 0
                                   : MultiByteToWideChar(CP_ACP, 0, cut.data(), static_cast<int>(cut.size()),
                                                         server, static_cast<int>(kServerNameCapacity - 1));
    server[length > 0 ? length : 0] = L'\0';

    LPBYTE buffer = nullptr;
    const NET_API_STATUS status = NetRemoteTOD(server, &buffer);
    if (status != NERR_Success) {
        if (buffer) NetApiBufferFree(buffer);
        return status;
    }
    if (!buffer) return ERROR_INVALID_DATA;
    const auto* info = reinterpret_cast<const TIME_OF_DAY_INFO*>(buffer);
    reply.elapsedt = info->tod_elapsedt;
    reply.msecs = info->tod_msecs;
    reply.hours = info->tod_hours;
    reply.mins = info->tod_mins;
    reply.secs = info->tod_secs;
    reply.hunds = info->tod_hunds;
    reply.timezone = info->tod_timezone;
    reply.tinterval = info->tod_tinterval;
    reply.day = info->tod_day;
    reply.month = info->tod_month;
    reply.year = info->tod_year;
    reply.weekday = info->tod_weekday;
    NetApiBufferFree(buffer);
    return 0;
}

Measurement MeasureGuarded(RemoteClock& clock, std::string_view serverName) {
    Measurement measured;
    if (!RunGuarded([&] { measured = MeasureRemoteTime(clock, serverName); })) return {};
    return measured;
}

ThreadQueryRunner::ThreadQueryRunner(std::shared_ptr<RemoteClock> clock) : clock_(std::move(clock)) {}

std::unique_ptr<PendingQuery> ThreadQueryRunner::start(const std::string& serverName, bool /*inlineMode*/) {
    // Inline mode too runs the call on a worker: NetRemoteTOD itself cannot be
    // stopped, but waiting for it can, so a cancel or the window's close never
    // waits for the network. The caller simply waits without a limit.
    auto slot = std::make_shared<QuerySlot>();
    slot->clock = clock_;
    slot->serverName = serverName;
    auto handOver = std::make_unique<std::shared_ptr<QuerySlot>>(slot);
    const std::uintptr_t thread = _beginthreadex(nullptr, 0, &QueryWorker, handOver.get(), 0, nullptr);
    if (thread == 0) return nullptr;  // the hand-over stays ours and is freed here
    handOver.release();               // the worker owns it now
    return std::make_unique<WorkerQuery>(std::move(slot), UniqueHandle(reinterpret_cast<HANDLE>(thread)));
}

}  // namespace skewmon::platform::win32
