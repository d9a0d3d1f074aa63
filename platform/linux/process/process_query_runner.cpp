#include "platform/linux/process/process_query_runner.h"

#include "platform/linux/process/install_layout.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/process/child_process.h"
#include "platform/linux/process/helper_zygote.h"
#include "platform/linux/process/tod_protocol.h"

namespace skewmon::platform {
namespace {

using Clock = std::chrono::steady_clock;

// How long one wait slice may last: the stop flag is looked at between slices.
constexpr std::chrono::milliseconds kSlice{20};
// The descriptor on which a serving helper finds its end of the channel.
constexpr int kHelperChannel = 3;
// Lines that are no answer to the current request before the helper counts
// as broken: a few stale ones are possible, an endless stream is not.
constexpr int kMaxIgnoredLines = 16;
// How long a scan's first helper may take to say it is ready.
constexpr std::chrono::milliseconds kReadyLimit{5000};

}  // namespace

// One skewmon-tod serving requests. Destroying it kills and reaps it.
class Helper {
public:
    enum class Event { kLine, kNone, kGone };

    // The two ends of a helper's channel: ours, which never blocks, and the
    // helper's; both invalid when they cannot be made.
    static std::pair<UniqueFd, UniqueFd> Channel() {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return {UniqueFd(), UniqueFd()};
        UniqueFd ours(ends[0]);
        UniqueFd theirs(ends[1]);
        const int flags = fcntl(ours.get(), F_GETFL);
        if (flags < 0 || fcntl(ours.get(), F_SETFL, flags | O_NONBLOCK) != 0) return {UniqueFd(), UniqueFd()};
        return {std::move(ours), std::move(theirs)};
    }

    static std::unique_ptr<Helper> Spawn(const std::string& path) {
        auto [ours, theirs] = Channel();
        if (ours.get() < 0) return nullptr;

        // libnetapi's complaints would only clutter the program's own
        // output: standard output and error lead nowhere.
        const std::string argv[] = {path, "--serve"};
        const FdMapping channel[] = {{theirs.get(), kHelperChannel}};
        Child child = SpawnChild(path, argv, channel);
        if (!child) return nullptr;
        theirs.reset();  // the helper holds the only other end: its exit is our end of file
        // Without pidfd_open the channel's end of file tells that it ended.
        UniqueFd pidfd = OpenPidFd(child.pid());
        try {
            return std::unique_ptr<Helper>(new Helper(std::move(ours), std::move(pidfd), std::move(child)));
        } catch (const std::bad_alloc&) {
            return nullptr;  // `child` is killed and reaped on the way out
        }
    }

    // A helper forked by `zygote`; none when it forks none.
    static std::unique_ptr<Helper> Fork(HelperZygote& zygote) {
        auto [ours, theirs] = Channel();
        if (ours.get() < 0) return nullptr;
        ForkedHelper forked = zygote.fork(theirs.get(), kReadyLimit);
        if (!forked) return nullptr;
        theirs.reset();
        try {
            return std::unique_ptr<Helper>(new Helper(std::move(ours), std::move(forked)));
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }

    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    // Readable when the helper has said something or ended.
    int channel() const { return channel_.get(); }

    // Sends the next request; its sequence number, or none when the helper
    // cannot take it.
    std::optional<std::uint64_t> send(const std::string& serverName, bool refine) {
        const std::uint64_t sequence = sequence_ + 1;
        const std::optional<std::string> line = RequestLine(sequence, serverName, refine);
        if (!line || broken_) return std::nullopt;
        // A request is far smaller than an empty socket's buffer: it goes
        // whole or the helper is no use.
        ssize_t sent;
        do {
            sent = ::send(channel_.get(), line->data(), line->size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (sent < 0 && errno == EINTR);
        if (sent != static_cast<ssize_t>(line->size())) {
            broken_ = true;
            return std::nullopt;
        }
        sequence_ = sequence;
        return sequence;
    }

    // Waits at most `slice` for a complete line, which it puts in `line`.
    Event next(std::string& line, std::chrono::milliseconds slice) {
        if (takeLine(line)) return Event::kLine;
        if (gone_) return Event::kGone;
        const int pidfd = forked_ ? forked_.pidfd() : pidfd_.get();
        pollfd fds[2] = {{channel_.get(), POLLIN, 0}, {pidfd, POLLIN, 0}};
        const int ready = poll(fds, pidfd >= 0 ? 2 : 1, static_cast<int>(slice.count()));
        if (ready <= 0) return Event::kNone;  // time-out, or EINTR: the caller loops
        // The channel first: an answer written just before the end still counts.
        readAvailable();
        if (takeLine(line)) return Event::kLine;
        if (fds[1].revents != 0) gone_ = true;  // ended, and nothing more is buffered
        return gone_ ? Event::kGone : Event::kNone;
    }

    // Reads what a waiting helper has said since its last query: its ready
    // line, and nothing else. False when it has ended or said anything else.
    bool stillWaiting(std::string* problem) {
        std::string line;
        for (;;) {
            switch (next(line, std::chrono::milliseconds{0})) {
                case Event::kNone:
                    return !broken_;
                case Event::kGone:
                    return false;
                case Event::kLine:
                    if (!takeHello(line, problem)) return false;
                    break;
            }
        }
    }

    // A ready line: noted, with the problem it reports.
    bool takeHello(const std::string& line, std::string* problem) {
        const std::optional<std::string> said = ParseHelloLine(line);
        if (!said || greeted_) return false;
        greeted_ = true;
        if (problem) *problem = *said;
        return true;
    }

    bool greeted() const { return greeted_; }
    void markBroken() { broken_ = true; }
    bool broken() const { return broken_ || gone_; }

private:
    Helper(UniqueFd channel, UniqueFd pidfd, Child child)
        : channel_(std::move(channel)), pidfd_(std::move(pidfd)), child_(std::move(child)) {}
    Helper(UniqueFd channel, ForkedHelper forked) : channel_(std::move(channel)), forked_(std::move(forked)) {}

    void readAvailable() {
        char chunk[512];
        for (;;) {
            const ssize_t got = read(channel_.get(), chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            if (got <= 0) {
                gone_ = true;  // end of file: the helper has ended
                return;
            }
            buffer_.append(chunk, static_cast<std::size_t>(got));
            if (buffer_.size() > 4 * kMaxAnswerLine) {
                // More than a helper ever says at once: it is broken.
                buffer_.clear();
                broken_ = gone_ = true;
                return;
            }
        }
    }

    bool takeLine(std::string& line) {
        const auto end = buffer_.find('\n');
        if (end == std::string::npos) {
            if (buffer_.size() > kMaxAnswerLine) broken_ = gone_ = true;  // no line of ours is so long
            return false;
        }
        line.assign(buffer_, 0, end);
        buffer_.erase(0, end + 1);
        return true;
    }

    UniqueFd channel_;
    UniqueFd pidfd_;
    std::string buffer_;
    std::uint64_t sequence_ = 0;
    bool greeted_ = false;
    bool broken_ = false;  // said something it should not have, or could not be sent to
    bool gone_ = false;    // ended, or is to be treated as ended
    Child child_;          // last, so that it is killed and reaped before its descriptors close
    ForkedHelper forked_;  // or this, when the zygote started it
};

// The helpers that wait for a query. Helpers are killed outside the lock.
class ProcessQueryRunner::Pool {
public:
    Pool(std::string helperPath, HelperStart start) : helperPath_(std::move(helperPath)), start_(start) {}

    // A new helper: forked by the scan's zygote when it can, else started
    // as a program of its own.
    std::unique_ptr<Helper> spawn() {
        if (start_ == HelperStart::kFork) {
            std::lock_guard lock(zygoteMutex_);
            if (!zygote_ && !zygoteFailed_) {
                zygote_ = HelperZygote::Start(helperPath_);
                zygoteFailed_ = !zygote_;
            }
            if (zygote_) {
                if (std::unique_ptr<Helper> helper = Helper::Fork(*zygote_)) return helper;
                if (zygote_->broken()) {
                    zygote_.reset();
                    zygoteFailed_ = true;  // for the rest of the scan
                }
            }
        }
        return Helper::Spawn(helperPath_);
    }

    // Ends the zygote; the next helper starts a new one.
    void endZygote() {
        std::unique_ptr<HelperZygote> ending;
        std::lock_guard lock(zygoteMutex_);
        ending = std::move(zygote_);
        zygoteFailed_ = false;
    }

    std::unique_ptr<Helper> take() {
        std::lock_guard lock(mutex_);
        if (waiting_.empty()) return nullptr;
        std::unique_ptr<Helper> helper = std::move(waiting_.back());
        waiting_.pop_back();
        return helper;
    }

    void giveBack(std::unique_ptr<Helper> helper) {
        std::lock_guard lock(mutex_);
        if (!closed_) waiting_.push_back(std::move(helper));
        // else: it goes when `helper` does, after the lock
    }

    std::vector<std::unique_ptr<Helper>> takeAll(bool close) {
        std::lock_guard lock(mutex_);
        if (close) closed_ = true;
        return std::move(waiting_);
    }

    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return waiting_.size();
    }

private:
    const std::string helperPath_;
    const HelperStart start_;
    std::mutex zygoteMutex_;
    std::unique_ptr<HelperZygote> zygote_;
    bool zygoteFailed_ = false;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Helper>> waiting_;
    bool closed_ = false;
};

namespace {

class HelperQuery final : public PendingQuery {
public:
    // The request is written at once: a fresh helper finds it waiting in
    // its channel when it is ready, so that queries started together run
    // side by side whoever waits on them first. It counts as sent, for the
    // machine's time limit, once the helper is ready to read it.
    HelperQuery(std::shared_ptr<ProcessQueryRunner::Pool> pool, std::unique_ptr<Helper> helper,
                std::string serverName, bool refine)
        : pool_(std::move(pool)), helper_(std::move(helper)), serverName_(std::move(serverName)),
          refine_(refine), created_(Clock::now()) {
        sendRequest();
    }

    ~HelperQuery() override {
        // Only a helper that answered this query in full serves another;
        // any other is killed and reaped here.
        if (answered_ && helper_ && !helper_->broken()) {
            pool_->giveBack(std::move(helper_));
            return;
        }
        helper_.reset();
        // Given up after its time: the scan goes on, and the next query's
        // helper starts now, while the caller still sounds its beep.
        if (timedOut_)
            if (std::unique_ptr<Helper> fresh = pool_->spawn()) pool_->giveBack(std::move(fresh));
    }

    // Takes the ready line of a fresh helper when it is there already (a
    // forked one says it almost at once), so that the request goes now.
    void lookForReady() {
        std::string line;
        if (!finished_ && !helper_->greeted() && helper_->next(line, std::chrono::milliseconds{0}) == Helper::Event::kLine)
            take(line);
    }

    QueryWait wait(std::optional<std::chrono::milliseconds> limit, const std::atomic<bool>& stop) override {
        const Clock::time_point deadline = limit ? Clock::now() + *limit : Clock::time_point::max();
        std::string line;
        while (!finished_) {
            timedOut_ = false;
            if (stop) return QueryWait::kStopped;
            // A helper that never gets ready is as silent as its machine.
            if (!sent_ && Clock::now() - created_ >= kReadyLimit) {
                finish(Measurement{});
                break;
            }
            const Clock::time_point now = Clock::now();
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            // Whatever has come in is read before the time is judged: a
            // zero limit looks once.
            switch (helper_->next(line, std::clamp(left, std::chrono::milliseconds{0}, kSlice))) {
                case Helper::Event::kNone:
                    if (Clock::now() >= deadline) {
                        timedOut_ = true;
                        return QueryWait::kTimedOut;
                    }
                    break;
                case Helper::Event::kGone:
                    finish(Measurement{});  // died mid-query: no answer
                    break;
                case Helper::Event::kLine:
                    take(line);
                    break;
            }
        }
        return QueryWait::kFinished;
    }

    Offset result() override { return measured_.offset; }
    MeasurementMethod method() override { return measured_.method; }
    Measurement measurement() override { return measured_; }
    std::optional<Clock::time_point> requestSent() override { return sent_; }

    int channel() const { return helper_ && !finished_ ? helper_->channel() : -1; }

private:
    void sendRequest() {
        if (const std::optional<std::uint64_t> sequence = helper_->send(serverName_, refine_)) {
            sequence_ = *sequence;
            if (helper_->greeted()) sent_ = Clock::now();
        } else {
            finish(Measurement{});
        }
    }

    void take(const std::string& line) {
        if (!helper_->greeted() && helper_->takeHello(line, nullptr)) {
            sent_ = Clock::now();  // the request waiting in the channel goes out now
            return;
        }
        const std::optional<TodAnswer> answer = ParseAnswerLine(line);
        if (sent_ && answer && answer->sequence == sequence_) {
            answered_ = true;
            finish(answer->measured);
            return;
        }
        // Garbage, or the answer to some other request: never this query's.
        helper_->markBroken();
        if (++ignored_ > kMaxIgnoredLines) finish(Measurement{});
    }

    void finish(const Measurement& measured) {
        measured_ = measured;
        finished_ = true;
        if (!answered_) helper_.reset();  // killed and reaped at once
    }

    std::shared_ptr<ProcessQueryRunner::Pool> pool_;
    std::unique_ptr<Helper> helper_;
    std::string serverName_;
    bool refine_;
    Clock::time_point created_;
    std::optional<Clock::time_point> sent_;
    std::uint64_t sequence_ = 0;
    Measurement measured_;
    int ignored_ = 0;
    bool timedOut_ = false;  // the last wait ran out of time
    bool answered_ = false;
    bool finished_ = false;
};

}  // namespace

ProcessQueryRunner::ProcessQueryRunner(std::string helperPath, HelperStart start)
    : helperPath_(std::move(helperPath)), pool_(std::make_shared<Pool>(helperPath_, start)) {}

ProcessQueryRunner::~ProcessQueryRunner() {
    pool_->takeAll(true);
    pool_->endZygote();
}

std::string ProcessQueryRunner::DefaultHelperPath() { return DefaultQueryHelperPath(); }

std::unique_ptr<PendingQuery> ProcessQueryRunner::start(const std::string& serverName, bool /*inlineMode*/) {
    return startQuery(serverName, true);
}

std::unique_ptr<PendingQuery> ProcessQueryRunner::startUnrefined(const std::string& serverName,
                                                                 bool /*inlineMode*/) {
    return startQuery(serverName, false);
}

std::unique_ptr<PendingQuery> ProcessQueryRunner::startQuery(const std::string& serverName, bool refine) {
    // A name that cannot travel whole (an embedded NUL would cut it short
    // into another name) is no query at all.
    if (!RequestLine(1, serverName)) return nullptr;
    // A waiting helper that has ended or misbehaved is replaced; so is one
    // that turns out unable to take the request.
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::unique_ptr<Helper> helper = pool_->take();
        if (helper && !helper->stillWaiting(nullptr)) continue;
        if (!helper) helper = pool_->spawn();
        if (!helper) return nullptr;
        const bool fresh = !helper->greeted();
        std::unique_ptr<HelperQuery> query;
        try {
            query = std::make_unique<HelperQuery>(pool_, std::move(helper), serverName, refine);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        // A fresh helper reads the request once it is ready (a failure then
        // shows in the query's wait); one that was waiting takes it now or
        // is replaced.
        if (fresh) {
            query->lookForReady();
            return query;
        }
        if (query->requestSent()) return query;
    }
    return nullptr;
}

std::string ProcessQueryRunner::beginScan(const std::atomic<bool>& stop) {
    std::unique_ptr<Helper> helper = pool_->take();
    std::string problem;
    if (helper && !helper->stillWaiting(&problem)) helper.reset();
    if (!helper) helper = pool_->spawn();
    if (!helper) return {};  // the queries will say "no response"; start-up checks the helper itself
    const Clock::time_point deadline = Clock::now() + kReadyLimit;
    std::string line;
    while (!helper->greeted() && !stop && Clock::now() < deadline) {
        const Helper::Event event = helper->next(line, kSlice);
        if (event == Helper::Event::kGone) return {};
        if (event == Helper::Event::kLine && !helper->takeHello(line, &problem)) return {};
    }
    pool_->giveBack(std::move(helper));
    return problem;
}

void ProcessQueryRunner::endScan() {
    pool_->takeAll(false);
    pool_->endZygote();
}

std::vector<int> ProcessQueryRunner::WatchedDescriptors(std::span<PendingQuery* const> queries) {
    std::vector<int> descriptors;
    descriptors.reserve(queries.size());
    for (PendingQuery* query : queries)
        if (const auto* helperQuery = dynamic_cast<const HelperQuery*>(query))
            if (const int channel = helperQuery->channel(); channel >= 0) descriptors.push_back(channel);
    return descriptors;
}

std::size_t ProcessQueryRunner::waitingHelpers() const { return pool_->size(); }

}  // namespace skewmon::platform
