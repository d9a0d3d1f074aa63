// Captures seed inputs for the fuzz targets from the time lab's servers
// (tests/fuzz/capture-seeds.sh starts the lab and runs this):
//
//   skewmon_fuzz_capture CORPUS_DIR TOD_HELPER ADDRESS...
//
// For each address: the SMB2 stream of one negotiate connection (the
// answers to the SMB1 upgrade and to the SMB2 NEGOTIATE), and everything one
// time-of-day measurement reads (TimeOfDayScript). Then one session of the
// time helper asking every address: the requests it was sent, and every
// line it wrote.
#include <fcntl.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/process/child_process.h"
#include "platform/linux/process/helper_start.h"
#include "platform/linux/process/tod_protocol.h"
#include "platform/linux/samba/netapi_clock.h"
#include "platform/linux/samba/smb2_negotiate.h"
#include "tests/fuzz/time_of_day_script.h"
#include "timing/remote_time.h"

namespace {

using namespace skewmon;
using namespace skewmon::platform;

void Save(const std::string& path, const void* data, std::size_t size) {
    std::ofstream(path, std::ios::binary).write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    std::printf("wrote %s (%zu bytes)\n", path.c_str(), size);
}

// Reads until `fd` has given one whole session frame, or for two seconds.
bool ReadFrame(int fd, std::vector<std::uint8_t>& stream) {
    const std::size_t start = stream.size();
    for (int waits = 0; waits < 20; ++waits) {
        const std::span<const std::uint8_t> got(stream.data() + start, stream.size() - start);
        if (const auto size = Smb2FrameSize(got); size && got.size() >= *size) return true;
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) continue;
        std::uint8_t chunk[4096];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) return false;
        stream.insert(stream.end(), chunk, chunk + n);
    }
    return false;
}

std::vector<std::uint8_t> NegotiateStream(const std::string& address) {
    std::vector<std::uint8_t> stream;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(kSmbPort);
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0) {
        const std::vector<std::uint8_t> upgrade = Smb1UpgradeRequest();
        if (write(fd, upgrade.data(), upgrade.size()) == static_cast<ssize_t>(upgrade.size()) &&
            ReadFrame(fd, stream) && IsSmb2Upgrade(stream)) {
            const std::vector<std::uint8_t> negotiate = Smb2NegotiateRequest();
            if (write(fd, negotiate.data(), negotiate.size()) == static_cast<ssize_t>(negotiate.size()))
                ReadFrame(fd, stream);
        }
    }
    close(fd);
    return stream;
}

// The real clocks and server, with every reading noted in the script.
class RecordingClock final : public RemoteClock {
public:
    fuzzing::TimeOfDayScript script{};

    std::uint32_t tickCount() override {
        const std::uint32_t tick = clock_.tickCount();
        if (ticks_ < std::size(script.ticks)) script.ticks[ticks_++] = tick;
        return tick;
    }
    std::int64_t systemTimeAsFileTime() override {
        const std::int64_t now = clock_.systemTimeAsFileTime();
        if (locals_ < std::size(script.localClock)) script.localClock[locals_++] = static_cast<std::uint64_t>(now);
        return now;
    }
    std::uint32_t remoteTimeOfDay(std::string_view serverName, TimeOfDayInfo& reply) override {
        script.status = clock_.remoteTimeOfDay(serverName, reply);
        script.reply = reply;
        return script.status;
    }
    std::unique_ptr<NegotiateExchange> openNegotiate(std::string_view serverName,
                                                     std::chrono::milliseconds budget) override {
        std::unique_ptr<NegotiateExchange> exchange = clock_.openNegotiate(serverName, budget);
        script.negotiate = exchange ? fuzzing::TimeOfDayScript::kNoAnswer : fuzzing::TimeOfDayScript::kNoConnection;
        if (!exchange) return nullptr;
        return std::make_unique<Recorded>(std::move(exchange), script);
    }

private:
    class Recorded final : public NegotiateExchange {
    public:
        Recorded(std::unique_ptr<NegotiateExchange> exchange, fuzzing::TimeOfDayScript& script)
            : exchange_(std::move(exchange)), script_(script) {}
        std::optional<std::int64_t> systemTime() override {
            const std::optional<std::int64_t> time = exchange_->systemTime();
            if (time) {
                script_.negotiate = fuzzing::TimeOfDayScript::kAnswered;
                script_.negotiateTime = static_cast<std::uint64_t>(*time);
            }
            return time;
        }

    private:
        std::unique_ptr<NegotiateExchange> exchange_;
        fuzzing::TimeOfDayScript& script_;
    };

    NetapiClock clock_;
    std::size_t ticks_ = 0;
    std::size_t locals_ = 0;
};

// One helper session: every request sent and every line read back.
void HelperSession(const std::string& corpus, const std::string& helper, const std::vector<std::string>& addresses) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    UniqueFd ours(ends[0]);
    UniqueFd theirs(ends[1]);
    const std::string argv[] = {helper, "--serve"};
    const FdMapping channel[] = {{theirs.get(), 3}};
    Child child = SpawnChild(helper, argv, channel);
    theirs.reset();
    if (!child) return;

    std::string requests, said;
    // One more line of what the helper says, waiting at most ten seconds.
    auto readLine = [&] {
        for (int waits = 0; waits < 100; ++waits) {
            pollfd ready{ours.get(), POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) continue;
            char c;
            if (read(ours.get(), &c, 1) != 1) return;
            said.push_back(c);
            if (c == '\n') return;
        }
    };
    readLine();  // the hello
    std::uint64_t sequence = 0;
    for (const std::string& address : addresses) {
        const std::optional<std::string> line = RequestLine(++sequence, QueryServerName(address));
        if (!line || !WriteAll(ours.get(), *line)) break;
        requests += *line;
        readLine();
    }
    Save(corpus + "/tod_requests/lab-session", requests.data(), requests.size());
    Save(corpus + "/tod_helper_lines/lab-session", said.data(), said.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: skewmon_fuzz_capture CORPUS_DIR TOD_HELPER ADDRESS...\n", stderr);
        return 2;
    }
    const std::string corpus = argv[1];
    const std::string helper = argv[2];
    const std::vector<std::string> addresses(argv + 3, argv + argc);

    StartNetapi();
    for (const std::string& address : addresses) {
        const std::vector<std::uint8_t> stream = NegotiateStream(address);
        if (!stream.empty()) Save(corpus + "/smb2_negotiate/lab-" + address, stream.data(), stream.size());

        RecordingClock clock;
        MeasureRemoteTime(clock, QueryServerName(address));
        if (clock.script.status == 0) Save(corpus + "/time_of_day/lab-" + address, &clock.script, sizeof clock.script);
    }
    HelperSession(corpus, helper, addresses);
    return 0;
}
