// The helper-process runner with stand-in helpers (small shell scripts that
// speak the request lines on descriptor 3), the request and answer lines,
// and the pure pieces of the libnetapi client: credentials, names and its
// clocks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "platform/linux/process/process_query_runner.h"
#include "platform/linux/process/tod_protocol.h"
#include "platform/linux/samba/netapi_clock.h"
#include "tests/lab/lab_support.h"

namespace skewmon::testing {
namespace {

using namespace std::chrono_literals;
using platform::ProcessQueryRunner;
using platform::QueryWait;
using Steady = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::atomic<bool> kNeverStop{false};

// The start of every stand-in: it is ready, and reads requests as "SEQ HEX".
const std::string kReady = "echo '0 ready' >&3\n";
// Answers every request with OFFSET; NAME holds the request's hex name.
std::string AnswerEach(const std::string& offset, const std::string& before = "") {
    return kReady + "while read -r seq name <&3; do " + before + " echo \"$seq " + offset + " tod\" >&3; done";
}

std::string Hex(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : text) hex += {digits[c >> 4], digits[c & 15]};
    return hex;
}

bool ProcessExists(pid_t pid) { return fs::exists("/proc/" + std::to_string(pid)); }

// A directory of stand-in helpers for one test.
class Helpers : public ::testing::Test {
protected:
    Helpers() {
        std::string pattern = (fs::temp_directory_path() / "skewmon-helpers-XXXXXX").string();
        if (mkdtemp(pattern.data())) directory_ = pattern;
    }
    ~Helpers() override {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }

    // A helper running `body` as a shell script; its path.
    std::string helper(const std::string& name, const std::string& body) {
        const std::string path = directory_ + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        chmod(path.c_str(), 0755);
        return path;
    }
    std::string file(const std::string& name) const { return directory_ + "/" + name; }
    static std::vector<std::string> lines(const std::string& path) {
        std::ifstream in(path);
        std::vector<std::string> all;
        for (std::string line; std::getline(in, line);) all.push_back(line);
        return all;
    }

    // One query to its end (bounded): how the wait ended and the result.
    static std::pair<QueryWait, Offset> ask(ProcessQueryRunner& runner, const std::string& server = "\\\\X",
                                            std::chrono::milliseconds limit = 5000ms) {
        auto query = runner.start(server, false);
        if (!query) return {QueryWait::kStopped, kNoResponse};
        const QueryWait how = query->wait(limit, kNeverStop);
        return {how, how == QueryWait::kFinished ? query->result() : kNoResponse};
    }

private:
    std::string directory_;
};

TEST_F(Helpers, AnswersCarryOffsetAndMethod) {
    ProcessQueryRunner runner(helper("h", kReady +
                                              "while read -r seq name <&3; do case $name in"
                                              "  41) echo \"$seq 2500 tod\" ;;"
                                              "  42) echo \"$seq -3000 negotiate\" ;;"
                                              "  *) echo \"$seq 1122334455667788 tod\" ;;"
                                              " esac >&3; done"));
    auto ahead = runner.start("A", false);
    ASSERT_NE(ahead, nullptr);
    ASSERT_EQ(ahead->wait(5000ms, kNeverStop), QueryWait::kFinished);
    EXPECT_EQ(ahead->result(), 2500);
    EXPECT_EQ(ahead->method(), MeasurementMethod::kTimeOfDay);
    ahead.reset();
    auto behind = runner.start("B", false);
    ASSERT_NE(behind, nullptr);
    ASSERT_EQ(behind->wait(5000ms, kNeverStop), QueryWait::kFinished);
    EXPECT_EQ(behind->result(), -3000);
    EXPECT_EQ(behind->method(), MeasurementMethod::kNegotiate);
    behind.reset();
    EXPECT_EQ(ask(runner, "C"), std::make_pair(QueryWait::kFinished, kNoResponse));
}

TEST_F(Helpers, OneHelperServesTheQueriesOneAfterAnother) {
    const std::string log = file("log");
    ProcessQueryRunner runner(helper("h", AnswerEach("7", "echo \"$$ $seq $name\" >> '" + log + "';")));
    const std::string hostile = "\\\\%s%n\n$(reboot) `id`;*\t\"'\xff";
    EXPECT_EQ(ask(runner, "\\\\ALPHA").second, 7);
    EXPECT_EQ(ask(runner, hostile).second, 7);
    EXPECT_EQ(ask(runner, "\\\\BETA").second, 7);
    // One process, the requests numbered in turn, every name whole on one line.
    const std::vector<std::string> asked = lines(log);
    ASSERT_EQ(asked.size(), 3u);
    const std::string pid = asked[0].substr(0, asked[0].find(' '));
    EXPECT_EQ(asked[0], pid + " 1 " + Hex("\\\\ALPHA"));
    EXPECT_EQ(asked[1], pid + " 2 " + Hex(hostile));
    EXPECT_EQ(asked[2], pid + " 3 " + Hex("\\\\BETA"));
    EXPECT_EQ(ChildProcesses().size(), 1u);  // waiting for the next query
    EXPECT_EQ(runner.waitingHelpers(), 1u);
    runner.endScan();
    EXPECT_TRUE(ChildProcesses().empty());
}

TEST_F(Helpers, GarbageAndStaleLinesAreNeverTheAnswer) {
    // Before each answer: a garbage line, the answer to an earlier request,
    // and one to a later one. Only the current request's answer counts, and
    // a helper that said such things serves no other query.
    const std::string log = file("pids");
    ProcessQueryRunner runner(helper(
        "h", kReady + "while read -r seq name <&3; do echo $$ >> '" + log +
                 "'; { echo 'garbage 12'; echo \"$((seq - 1)) 111 tod\"; echo \"$((seq + 1)) 222 tod\";"
                 " echo \"$seq 333 tod\"; } >&3; done"));
    EXPECT_EQ(ask(runner), std::make_pair(QueryWait::kFinished, Offset{333}));
    EXPECT_EQ(ask(runner), std::make_pair(QueryWait::kFinished, Offset{333}));
    const std::vector<std::string> pids = lines(log);
    ASSERT_EQ(pids.size(), 2u);
    EXPECT_NE(pids[0], pids[1]);
    EXPECT_FALSE(ProcessExists(std::stoi(pids[0])));
}

TEST_F(Helpers, HelpersThatFailGiveNoResponseAndTheNextQueryWorks) {
    const std::map<std::string, std::string> failures = {
        {"exits", kReady + "read -r seq name <&3; exit 0"},
        {"killed mid-query", kReady + "read -r seq name <&3; printf \"$seq 4\" >&3; kill -9 $$"},
        {"endless garbage", kReady + "read -r seq name <&3; exec yes 7 >&3"},
        {"one endless line", kReady + "read -r seq name <&3; tr -d '\\n' < /dev/zero >&3"},
        {"never ready", "exit 0"},
    };
    for (const auto& [name, body] : failures) {
        // The helper fails on its first query only; the query after it gets
        // a fresh helper, which answers.
        const std::string marker = file("marker");
        fs::remove(marker);
        ProcessQueryRunner runner(helper("h", "if [ ! -e '" + marker + "' ]; then touch '" + marker + "'; " +
                                                  body + "; fi\n" + AnswerEach("9")));
        const auto start = Steady::now();
        EXPECT_EQ(ask(runner), std::make_pair(QueryWait::kFinished, kNoResponse)) << name;
        EXPECT_LT(Steady::now() - start, 2s) << name;
        EXPECT_TRUE(ChildProcesses().empty()) << name;  // killed and reaped, no zombie
        EXPECT_EQ(ask(runner), std::make_pair(QueryWait::kFinished, Offset{9})) << name;
    }
    EXPECT_TRUE(ChildProcesses().size() <= 1u);
}

TEST_F(Helpers, HungQueryThenFastOne) {
    const std::string pids = file("pids");
    ProcessQueryRunner runner(helper("h", kReady + "echo $$ >> '" + pids +
                                              "'; while read -r seq name <&3; do"
                                              "  [ $name = 48554e47 ] && sleep 600;"  // HUNG
                                              "  echo \"$seq 5 tod\" >&3; done"));
    EXPECT_EQ(ask(runner, "FAST").second, 5);
    auto hung = runner.start("HUNG", false);
    ASSERT_NE(hung, nullptr);
    const auto start = Steady::now();
    EXPECT_EQ(hung->wait(300ms, kNeverStop), QueryWait::kTimedOut);
    EXPECT_GE(Steady::now() - start, 300ms);
    EXPECT_LT(Steady::now() - start, 400ms);
    hung.reset();
    // Killed and reaped at once, and a fresh helper already on its way for
    // the next query.
    const std::string first = lines(pids).at(0);
    EXPECT_FALSE(ProcessExists(std::stoi(first)));
    const std::vector<pid_t> children = ChildProcesses();
    ASSERT_EQ(children.size(), 1u);
    EXPECT_NE(children[0], std::stoi(first));
    // The next query gets its own answer from a fresh helper.
    EXPECT_EQ(ask(runner, "FAST"), std::make_pair(QueryWait::kFinished, Offset{5}));
    ASSERT_EQ(lines(pids).size(), 2u);
    EXPECT_NE(lines(pids)[1], first);
}

TEST_F(Helpers, StopEndsTheWaitWithinASliceAndKillsTheHelper) {
    ProcessQueryRunner runner(helper("hang", kReady + "read -r seq name <&3; exec sleep 600"));
    auto query = runner.start("\\\\HUNG", true);
    ASSERT_NE(query, nullptr);
    std::atomic<bool> stop{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(100ms);
        stop = true;
    });
    const auto start = Steady::now();
    EXPECT_EQ(query->wait(std::nullopt, stop), QueryWait::kStopped);
    EXPECT_LT(Steady::now() - start, 150ms);
    canceller.join();
    query.reset();
    EXPECT_TRUE(ChildProcesses().empty());
    EXPECT_EQ(runner.waitingHelpers(), 0u);
}

TEST_F(Helpers, FiftyHungQueriesLeaveNothingBehind) {
    ProcessQueryRunner runner(helper("hang", kReady + "read -r seq name <&3; exec sleep 600"));
    const int threads = ThreadCount();
    const int descriptors = OpenDescriptorCount();
    for (int i = 0; i < 50; ++i) EXPECT_EQ(ask(runner, "\\\\HUNG" + std::to_string(i), 10ms).first, QueryWait::kTimedOut);
    EXPECT_EQ(ChildProcesses().size(), 1u);  // the next query's helper
    runner.endScan();
    EXPECT_TRUE(ChildProcesses().empty());
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

TEST_F(Helpers, QueriesPendingTogetherHaveAHelperEach) {
    const std::string log = file("log");
    ProcessQueryRunner runner(helper("h", AnswerEach("$$", "echo $$ >> '" + log + "'; sleep 0.3;")));
    const auto start = Steady::now();
    std::vector<std::unique_ptr<platform::PendingQuery>> queries;
    for (const char* name : {"A", "B", "C", "D"}) queries.push_back(runner.start(name, false));
    std::set<Offset> answers;
    for (auto& query : queries) {
        ASSERT_NE(query, nullptr);
        ASSERT_EQ(query->wait(5000ms, kNeverStop), QueryWait::kFinished);
        answers.insert(query->result());
    }
    EXPECT_LT(Steady::now() - start, 1000ms);  // side by side, not one after another
    EXPECT_EQ(answers.size(), 4u);             // each from a helper of its own
    queries.clear();
    EXPECT_EQ(runner.waitingHelpers(), 4u);
    // The next round reuses them.
    for (int i = 0; i < 4; ++i) queries.push_back(runner.start("E", false));
    for (auto& query : queries) ASSERT_EQ(query->wait(5000ms, kNeverStop), QueryWait::kFinished);
    queries.clear();
    const std::vector<std::string> pids = lines(log);
    EXPECT_EQ(pids.size(), 8u);
    EXPECT_EQ(std::set<std::string>(pids.begin(), pids.end()).size(), 4u);
    runner.endScan();
    EXPECT_TRUE(ChildProcesses().empty());
}

TEST_F(Helpers, BeginScanReportsWhatTheHelperSays) {
    {
        ProcessQueryRunner runner(helper("ok", AnswerEach("1")));
        EXPECT_EQ(runner.beginScan(kNeverStop), "");
        EXPECT_EQ(runner.waitingHelpers(), 1u);  // kept for the first query
        EXPECT_EQ(ask(runner).second, 1);
    }
    EXPECT_TRUE(ChildProcesses().empty());  // the runner's end ends its helpers
    ProcessQueryRunner runner(helper("bad", "echo '0 problem Samba cannot load the settings.' >&3\n" +
                                                std::string("while read -r seq name <&3; do echo \"$seq 1122334455667788 tod\" >&3; done")));
    EXPECT_EQ(runner.beginScan(kNeverStop), "Samba cannot load the settings.");
    EXPECT_EQ(ask(runner).second, kNoResponse);
    runner.endScan();
    // Once per scan: the next scan's helper says it again.
    EXPECT_EQ(runner.beginScan(kNeverStop), "Samba cannot load the settings.");
    runner.endScan();
    // A helper that never says it is ready holds up a cancelled scan no longer.
    ProcessQueryRunner silent(helper("silent", "exec sleep 600"));
    std::atomic<bool> stop{true};
    const auto start = Steady::now();
    EXPECT_EQ(silent.beginScan(stop), "");
    EXPECT_LT(Steady::now() - start, 100ms);
    silent.endScan();
    EXPECT_TRUE(ChildProcesses().empty());
}

TEST_F(Helpers, MissingHelperCannotStart) {
    ProcessQueryRunner runner(file("no-such-helper"));
    EXPECT_EQ(runner.start("\\\\X", false), nullptr);
    EXPECT_EQ(runner.beginScan(kNeverStop), "");
    EXPECT_TRUE(ChildProcesses().empty());
}

TEST_F(Helpers, HelperRunsDetachedWithOnlyItsChannel) {
    // A descriptor this process leaves open must not reach the helper.
    const std::string marker = file("marker");
    std::ofstream(marker) << "x";
    const int opened = open(marker.c_str(), O_RDONLY);
    ASSERT_GE(opened, 0);
    const int leaked = fcntl(opened, F_DUPFD, 50);  // clear of the channel and the shell's own
    close(opened);
    ASSERT_GE(leaked, 50);
    const std::string report = file("report");
    ProcessQueryRunner runner(helper("inspect",
        "{ echo \"args=$#:$1\"; readlink /proc/$$/fd/0;"
        "  echo \"sid=$(ps -o sid= -p $$ | tr -d ' ') pid=$$\";"
        "  readlink /proc/$$/fd/3 | cut -c1-7;"
        "  [ -e /proc/$$/fd/" + std::to_string(leaked) + " ] && echo leaked || echo closed;"
        "} > '" + report + "'\n" + AnswerEach("1")));
    EXPECT_EQ(ask(runner).second, 1);
    close(leaked);
    const std::vector<std::string> said = lines(report);
    ASSERT_EQ(said.size(), 5u);
    EXPECT_EQ(said[0], "args=1:--serve");
    EXPECT_EQ(said[1], "/dev/null");
    const auto pid = said[2].substr(said[2].find("pid=") + 4);
    EXPECT_EQ(said[2].substr(0, said[2].find(' ')), "sid=" + pid);  // a session of its own
    EXPECT_EQ(said[3], "socket:");
    EXPECT_EQ(said[4], "closed");
}

TEST_F(Helpers, NamesThatCannotTravelAreNoQuery) {
    ProcessQueryRunner runner(helper("ok", AnswerEach("1")));
    EXPECT_EQ(runner.start(std::string("\\\\AB\0CD", 7), false), nullptr);
    EXPECT_EQ(runner.start("", false), nullptr);
    EXPECT_EQ(runner.start(std::string(256, 'A'), false), nullptr);
    EXPECT_NE(runner.start(std::string(255, 'A'), false), nullptr);
}

TEST(TodProtocol, RequestsCarryAnyNameWhole) {
    for (const std::string& name : {std::string("\\\\ALPHA"), std::string("a\nb\r\x01\xff %s"), std::string(255, 'z'),
                                    std::string(" whole")})
        for (const bool refine : {true, false}) {
            const std::optional<std::string> line = platform::RequestLine(42, name, refine);
            ASSERT_TRUE(line);
            EXPECT_EQ(line->back(), '\n');
            EXPECT_EQ(line->find('\n'), line->size() - 1);
            EXPECT_LE(line->size() - 1, platform::kMaxRequestLine);
            const auto parsed = platform::ParseRequestLine(std::string_view(*line).substr(0, line->size() - 1));
            ASSERT_TRUE(parsed);
            EXPECT_EQ(parsed->sequence, 42u);
            EXPECT_EQ(parsed->serverName, name);
            EXPECT_EQ(parsed->refine, refine);
        }
    EXPECT_FALSE(platform::RequestLine(0, "A"));
    EXPECT_FALSE(platform::RequestLine(1, std::string("A\0B", 3)));
    for (const char* bad : {"", "1", "1 ", "0 41", "x 41", "1 4", "1 4G", "1 0041", "-1 41", "1 41 ", " 1 41", "+1 41",
                            "1 whole", "1 41 whole ", "1 41  whole", "1 41 WHOLE", "1 41 whole whole"})
        EXPECT_FALSE(platform::ParseRequestLine(bad)) << '"' << bad << '"';
}

TEST(TodProtocol, OnlyWellFormedAnswersCount) {
    const auto answer = platform::ParseAnswerLine("7 -3000 negotiate");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->sequence, 7u);
    EXPECT_EQ(answer->measured.offset, -3000);
    EXPECT_EQ(answer->measured.method, MeasurementMethod::kNegotiate);
    const Measurement none;
    EXPECT_EQ(platform::ParseAnswerLine(platform::AnswerLine(9, none).substr(0, platform::AnswerLine(9, none).size() - 1))
                  ->measured.offset,
              kNoResponse);
    EXPECT_EQ(platform::ParseAnswerLine("1 922337203685477 tod")->measured.offset, kLargestOffset);
    EXPECT_EQ(platform::ParseAnswerLine("1 -922337203685477 tod")->measured.offset, -kLargestOffset);
    // The round trip and the resolution travel to the program.
    const Measurement timed{-1234, MeasurementMethod::kNegotiate, 17, 1};
    const std::string line = platform::AnswerLine(3, timed);
    const auto back = platform::ParseAnswerLine(std::string_view(line).substr(0, line.size() - 1));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->measured.offset, -1234);
    EXPECT_EQ(back->measured.method, MeasurementMethod::kNegotiate);
    EXPECT_EQ(back->measured.roundTripMs, 17u);
    EXPECT_EQ(back->measured.resolutionMs, 1u);
    // Offsets no measurement gives: the most negative one once made the row's
    // magnitude overflow (found by the tod_helper_lines fuzz target).
    for (const char* bad : {"", "7", "7 12", "7 12 ", "0 12 tod", "7 12 TOD", "7 +12 tod", "7 1.5 tod", "7 0x10 tod",
                            "-7 12 tod", "7 12 tod extra", "7 9223372036854775808 tod", "7  12 tod", "garbage 12",
                            "1 9223372036854775807 tod", "1 -9223372036854775808 tod", "1 922337203685478 tod",
                            "1 -922337203685478 negotiate",
                            "7 12 tod 5", "7 12 tod 5 ", "7 12 tod 5 1 1", "7 12 tod -5 1", "7 12 tod 5 x",
                            "7 12 tod 4294967296 1"})
        EXPECT_FALSE(platform::ParseAnswerLine(bad)) << '"' << bad << '"';
}

TEST(TodProtocol, HelloSaysReadyOrOneLineOfProblem) {
    EXPECT_EQ(platform::HelloLine(""), "0 ready\n");
    EXPECT_EQ(platform::ParseHelloLine("0 ready"), "");
    const std::string line = platform::HelloLine("bad\nfile\x01 here");
    EXPECT_EQ(line, "0 problem bad?file? here\n");
    EXPECT_EQ(platform::ParseHelloLine(line.substr(0, line.size() - 1)), "bad?file? here");
    EXPECT_EQ(platform::HelloLine(std::string(1000, 'x')).size(), 10 + platform::kMaxProblemText + 1);
    for (const char* bad : {"", "0", "0 problem ", "1 ready", "0 readyy", "0 problem \x01"})
        EXPECT_FALSE(platform::ParseHelloLine(bad)) << '"' << bad << '"';
}

TEST(SmbCredentials, TicketThenPasswordThenGuest) {
    using platform::SmbCredentials;
    auto choose = [](std::map<std::string, std::string> env, bool ticket = false) {
        return platform::ChooseSmbCredentials(
            [&env](const char* key) -> const char* {
                auto it = env.find(key);
                return it == env.end() ? nullptr : it->second.c_str();
            },
            ticket);
    };
    EXPECT_EQ(choose({{"USER", "ann"}}), SmbCredentials::kGuest);  // a name alone is no credential
    EXPECT_EQ(choose({}), SmbCredentials::kGuest);
    EXPECT_EQ(choose({{"USER", "ann%secret"}}), SmbCredentials::kUserAndPassword);
    EXPECT_EQ(choose({{"USER", "ann"}, {"PASSWD", ""}}), SmbCredentials::kUserAndPassword);
    EXPECT_EQ(choose({{"USER", "ann%secret"}}, true), SmbCredentials::kKerberos);
}

TEST(NetapiClock, ClocksReadTheSystemTime) {
    constexpr std::int64_t kTicksPerMs = 10000;
    constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;
    platform::NetapiClock clock;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t expected = kUnixEpochAsFileTime + std::int64_t(now.tv_sec) * 10000000 + now.tv_nsec / 100;
    EXPECT_LT(std::llabs(clock.systemTimeAsFileTime() - expected), 1000 * kTicksPerMs);
    const std::uint32_t before = clock.tickCount();
    std::this_thread::sleep_for(50ms);
    const std::uint32_t elapsed = clock.tickCount() - before;
    EXPECT_GE(elapsed, 50u);
    EXPECT_LT(elapsed, 1000u);
}

TEST(NetapiServerName, LeadingBackslashesGoAndNothingElseChanges) {
    EXPECT_EQ(platform::NetapiServerName("\\\\ALPHA"), "ALPHA");
    EXPECT_EQ(platform::NetapiServerName("127.0.0.11"), "127.0.0.11");
    EXPECT_EQ(platform::NetapiServerName("\\\\\\%s%n\\x"), "%s%n\\x");
    EXPECT_EQ(platform::NetapiServerName("\\\\"), std::nullopt);
    EXPECT_EQ(platform::NetapiServerName(std::string_view("\\\\A\0B", 5)), std::nullopt);
}

}  // namespace
}  // namespace skewmon::testing
