// Stand-ins for the network and the operating system where a test is about
// the logic, not a server. Only the platform interfaces lie beneath them, so
// that they serve the tests of every platform, and the Qt demo's made-up
// network.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/browse.h"
#include "platform/system.h"
#include "platform/time_query.h"
#include "platform/window.h"

namespace skewmon::testing {

// The time-of-day reply of a machine whose clock reads `unixMs` (UTC): to
// the hundredth, or cut to the whole second as Samba answers.
inline platform::TimeOfDayInfo TimeOfDayReplyAt(std::int64_t unixMs, bool wholeSeconds = false) {
    using namespace std::chrono;
    const sys_time<milliseconds> moment{milliseconds(unixMs)};
    const sys_days day = floor<days>(moment);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{moment - day};
    platform::TimeOfDayInfo reply;
    reply.elapsedt = static_cast<std::uint32_t>(floor<seconds>(moment).time_since_epoch().count());
    reply.year = static_cast<std::uint32_t>(static_cast<int>(date.year()));
    reply.month = static_cast<unsigned>(date.month());
    reply.day = static_cast<unsigned>(date.day());
    reply.weekday = weekday(day).c_encoding();
    reply.hours = static_cast<std::uint32_t>(time.hours().count());
    reply.mins = static_cast<std::uint32_t>(time.minutes().count());
    reply.secs = static_cast<std::uint32_t>(time.seconds().count());
    reply.hunds = wholeSeconds ? 0 : static_cast<std::uint32_t>(time.subseconds().count() / 10);
    return reply;
}

// How a scripted machine answers: its offset after `delay`, or never when it
// `hangs`; or its query cannot even start.
struct ScriptedAnswer {
    Offset offset = 0;
    std::chrono::milliseconds delay{0};
    bool hangs = false;
    bool cannotStart = false;
};

// What the queries of one runner share with it and with the test.
struct QueryTrace {
    std::atomic<int> alive{0};
    std::mutex mutex;
    std::chrono::steady_clock::time_point lastEnded;
    // Called as each query starts to wait, with the limit it waits for.
    std::function<void(std::optional<std::chrono::milliseconds>)> onWait;
};

class ScriptedQuery final : public platform::PendingQuery {
public:
    ScriptedQuery(ScriptedAnswer answer, std::shared_ptr<QueryTrace> trace)
        : answer_(answer), ready_(std::chrono::steady_clock::now() + answer.delay), trace_(std::move(trace)) {
        ++trace_->alive;
    }
    ~ScriptedQuery() override {
        std::lock_guard lock(trace_->mutex);
        trace_->lastEnded = std::chrono::steady_clock::now();
        --trace_->alive;
    }

    platform::QueryWait wait(std::optional<std::chrono::milliseconds> limit,
                             const std::atomic<bool>& stop) override {
        if (trace_->onWait) trace_->onWait(limit);
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            if (stop) return platform::QueryWait::kStopped;
            const auto now = std::chrono::steady_clock::now();
            if (!answer_.hangs && now >= ready_) return platform::QueryWait::kFinished;
            if (limit && now - start >= *limit) return platform::QueryWait::kTimedOut;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    Offset result() override { return answer_.offset; }

private:
    ScriptedAnswer answer_;
    std::chrono::steady_clock::time_point ready_;
    std::shared_ptr<QueryTrace> trace_;
};

// Answers per machine, set at any time; a machine without one has no usable
// time, at once. Every query asked for is recorded.
class ScriptedRunner final : public platform::TimeQueryRunner {
public:
    using Answer = ScriptedAnswer;

    void set(const std::string& machine, Answer answer) {
        std::lock_guard lock(mutex_);
        answers_["\\\\" + machine] = answer;
    }
    // Set before the first query.
    void onWait(std::function<void(std::optional<std::chrono::milliseconds>)> observer) {
        trace_->onWait = std::move(observer);
    }

    std::unique_ptr<platform::PendingQuery> start(const std::string& serverName, bool inlineMode) override {
        Answer answer{kNoResponse};
        {
            std::lock_guard lock(mutex_);
            asked_.push_back(serverName);
            inlineFlags_.push_back(inlineMode);
            auto it = answers_.find(serverName);
            if (it != answers_.end()) answer = it->second;
        }
        if (answer.cannotStart) return nullptr;
        return std::make_unique<ScriptedQuery>(answer, trace_);
    }

    std::vector<std::string> asked() const {
        std::lock_guard lock(mutex_);
        return asked_;
    }
    std::vector<bool> inlineFlags() const {
        std::lock_guard lock(mutex_);
        return inlineFlags_;
    }
    int queriesAlive() const { return trace_->alive; }
    // When the last query went away.
    std::chrono::steady_clock::time_point lastEnded() const {
        std::lock_guard lock(trace_->mutex);
        return trace_->lastEnded;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, Answer> answers_;
    std::vector<std::string> asked_;
    std::vector<bool> inlineFlags_;
    std::shared_ptr<QueryTrace> trace_ = std::make_shared<QueryTrace>();
};

// Browse lists per domain, given as batches; after the last batch the
// enumeration answers `endStatus`. Domains without a list cannot be opened:
// with none at all, there is no browse list anywhere.
class ScriptedBrowser final : public platform::NetworkBrowser {
public:
    using Batches = std::vector<std::vector<platform::NetResourceEntry>>;
    std::map<std::string, Batches> domains;
    std::uint32_t endStatus = platform::kStatusNoMoreItems;
    // What it says is missing; none: nothing.
    std::optional<MissingPart> missing;

    std::optional<MissingPart> missingPart() override { return missing; }

    std::unique_ptr<platform::NetworkEnumeration> open(const platform::NetResourceRequest& request) override {
        {
            std::lock_guard lock(mutex_);
            opened_.push_back(request);
        }
        auto it = domains.find(request.remoteName);
        if (it == domains.end()) return nullptr;
        return std::make_unique<Enumeration>(it->second, endStatus);
    }
    std::vector<platform::NetResourceRequest> opened() const {
        std::lock_guard lock(mutex_);
        return opened_;
    }

private:
    class Enumeration final : public platform::NetworkEnumeration {
    public:
        Enumeration(const Batches& batches, std::uint32_t endStatus) : batches_(batches), endStatus_(endStatus) {}
        std::uint32_t fetch(std::uint32_t, std::uint32_t, std::vector<platform::NetResourceEntry>& entries) override {
            entries.clear();
            if (next_ >= batches_.size()) return endStatus_;
            entries = batches_[next_++];
            return next_ < batches_.size() ? platform::kStatusMoreData : 0;
        }

    private:
        Batches batches_;
        std::uint32_t endStatus_;
        std::size_t next_ = 0;
    };

    mutable std::mutex mutex_;
    std::vector<platform::NetResourceRequest> opened_;
};

// A system with nothing behind it: no registry values, no executable, no
// temporary files; the viewer and the browser start and show nothing.
class BareSystem : public platform::System {
public:
    platform::Registry& registry() override { return registry_; }
    std::optional<std::string> executablePath() override { return std::nullopt; }
    bool removeZoneIdentifier(std::optional<std::string_view>, std::uint32_t& lastError) override {
        lastError = 0;
        return false;
    }
    std::string computerName(std::size_t) override { return {}; }
    std::optional<std::string> tempPath(std::size_t) override { return std::nullopt; }
    std::unique_ptr<platform::NewFile> createUniqueTempFile(const std::string&, std::string_view) override {
        return nullptr;
    }
    std::unique_ptr<platform::NewFile> createNewFile(const std::string&) override { return nullptr; }
    std::string fallbackTempDirectory() override { return {}; }
    std::string fallbackReportPath() override { return {}; }
    std::uint32_t startTextViewer(const std::string&, bool) override { return 0; }
    void openUrl(const std::string&) override {}

private:
    class EmptyRegistry final : public platform::Registry {
    public:
        long queryValue(std::string_view, std::string_view, std::span<unsigned char>,
                        std::uint32_t& size) override {
            size = 0;
            return 2;
        }
    };
    EmptyRegistry registry_;
};

// The services of the system `Base` (a platform's own, or the bare one), but
// with a chosen computer name and executable, the addresses and files it is
// asked to open recorded instead of opened, and a viewer that can be made to
// fail.
template <typename Base>
class Recording final : public Base {
public:
    std::string name = "WORKSTATION";
    std::optional<std::string> executable = this->Base::executablePath();  // none: cannot be read
    std::uint32_t viewerError = 0;
    std::vector<std::string> openedUrls;
    std::vector<std::string> viewedFiles;

    std::string computerName(std::size_t capacity) override { return name.substr(0, capacity - 1); }
    std::optional<std::string> executablePath() override { return executable; }
    std::uint32_t startTextViewer(const std::string& path, bool) override {
        if (viewerError != 0) return viewerError;
        viewedFiles.push_back(path);
        return 0;
    }
    void openUrl(const std::string& url) override { openedUrls.push_back(url); }
};

using RecordingSystem = Recording<BareSystem>;

// A dialog's owner that does nothing, for a screenless dialog that only the
// test writes to.
class NoEvents final : public platform::DialogEvents {
public:
    void onInitDialog(platform::DialogControls&) override {}
    void onCommand(platform::DialogControls&, int, int) override {}
    void onDestroy(platform::DialogControls&) override {}
};

}  // namespace skewmon::testing
