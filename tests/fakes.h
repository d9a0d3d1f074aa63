// Stand-ins for the network where a test is about the logic, not a server.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/browse.h"
#include "platform/domain.h"
#include "platform/linux/system/linux_system.h"
#include "platform/time_query.h"

namespace skewmon::testing {

// A query that answers `offset` after `delay`, or never when `hangs`.
class ScriptedQuery final : public platform::PendingQuery {
public:
    ScriptedQuery(Offset offset, std::chrono::milliseconds delay, bool hangs,
                  std::shared_ptr<std::atomic<int>> alive)
        : offset_(offset), ready_(std::chrono::steady_clock::now() + delay), hangs_(hangs),
          alive_(std::move(alive)) {
        ++*alive_;
    }
    ~ScriptedQuery() override { --*alive_; }

    platform::QueryWait wait(std::optional<std::chrono::milliseconds> limit,
                             const std::atomic<bool>& stop) override {
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            if (stop) return platform::QueryWait::kStopped;
            const auto now = std::chrono::steady_clock::now();
            if (!hangs_ && now >= ready_) return platform::QueryWait::kFinished;
            if (limit && now - start >= *limit) return platform::QueryWait::kTimedOut;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    Offset result() override { return offset_; }

private:
    Offset offset_;
    std::chrono::steady_clock::time_point ready_;
    bool hangs_;
    std::shared_ptr<std::atomic<int>> alive_;
};

// Answers per machine: the offset, how long it takes, or a hang.
class ScriptedRunner final : public platform::TimeQueryRunner {
public:
    struct Answer {
        Offset offset = 0;
        std::chrono::milliseconds delay{0};
        bool hangs = false;
    };

    void set(const std::string& machine, Answer answer) { answers_["\\\\" + machine] = answer; }

    std::unique_ptr<platform::PendingQuery> start(const std::string& serverName, bool inlineMode) override {
        {
            std::lock_guard lock(mutex_);
            asked_.push_back(serverName);
            inlineFlags_.push_back(inlineMode);
        }
        auto it = answers_.find(serverName);
        const Answer answer = it == answers_.end() ? Answer{kNoResponse} : it->second;
        return std::make_unique<ScriptedQuery>(answer.offset, answer.delay, answer.hangs, alive_);
    }

    std::vector<std::string> asked() const {
        std::lock_guard lock(mutex_);
        return asked_;
    }
    std::vector<bool> inlineFlags() const {
        std::lock_guard lock(mutex_);
        return inlineFlags_;
    }
    int queriesAlive() const { return *alive_; }

private:
    std::map<std::string, Answer> answers_;
    mutable std::mutex mutex_;
    std::vector<std::string> asked_;
    std::vector<bool> inlineFlags_;
    std::shared_ptr<std::atomic<int>> alive_ = std::make_shared<std::atomic<int>>(0);
};

// Browse lists per domain, given as batches; after the last batch the
// enumeration answers `endStatus`. Domains without a list cannot be opened.
class ScriptedBrowser final : public platform::NetworkBrowser {
public:
    using Batches = std::vector<std::vector<platform::NetResourceEntry>>;
    std::map<std::string, Batches> domains;
    std::uint32_t endStatus = platform::kStatusNoMoreItems;

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

// The real Linux services, but with a chosen computer name, recorded
// openings of addresses and viewers, and a viewer that can be made to fail.
class RecordingSystem final : public platform::LinuxSystem {
public:
    std::string name = "WORKSTATION";
    std::uint32_t viewerError = 0;
    std::vector<std::string> openedUrls;
    std::vector<std::string> viewedFiles;

    std::string executable;  // empty: the real one

    std::string computerName(std::size_t capacity) override { return name.substr(0, capacity - 1); }
    std::optional<std::string> executablePath() override {
        if (executable.empty()) return LinuxSystem::executablePath();
        return executable;
    }
    std::uint32_t startTextViewer(const std::string& path, bool) override {
        if (viewerError != 0) return viewerError;
        viewedFiles.push_back(path);
        return 0;
    }
    void openUrl(const std::string& url) override { openedUrls.push_back(url); }
};

}  // namespace skewmon::testing
