// The helper-process runner with stand-in helpers (small shell scripts), and
// the pure pieces of the libnetapi client: credentials, names, the helper's
// output.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "platform/linux/netapi_clock.h"
#include "platform/linux/process_query_runner.h"
#include "tests/lab_support.h"

namespace skewmon::testing {
namespace {

using namespace std::chrono_literals;
using platform::ParseHelperOutput;
using platform::ProcessQueryRunner;
using platform::QueryWait;
using Steady = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::atomic<bool> kNeverStop{false};

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
    static std::string read(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Runs `helperPath` for one query to its end (bounded).
    static std::pair<QueryWait, Offset> run(const std::string& helperPath, const std::string& server = "\\\\X") {
        ProcessQueryRunner runner(helperPath);
        auto query = runner.start(server, false);
        if (!query) return {QueryWait::kStopped, kNoResponse};
        const QueryWait how = query->wait(5000ms, kNeverStop);
        return {how, how == QueryWait::kFinished ? query->result() : kNoResponse};
    }

private:
    std::string directory_;
};

TEST_F(Helpers, OffsetLinesAreTheResult) {
    EXPECT_EQ(run(helper("ahead", "echo 2500")), std::make_pair(QueryWait::kFinished, Offset{2500}));
    EXPECT_EQ(run(helper("behind", "echo -3000")), std::make_pair(QueryWait::kFinished, Offset{-3000}));
    EXPECT_EQ(run(helper("none", "echo 1122334455667788")),
              std::make_pair(QueryWait::kFinished, kNoResponse));
}

TEST_F(Helpers, HelpersThatFailGiveNoResponse) {
    const std::map<std::string, std::string> failures = {
        {"garbage", "echo 12abc"},
        {"silent", "exit 0"},
        {"unfinished line", "printf 42"},
        {"two lines", "echo 1; echo 2"},
        {"failed after printing", "echo 42; exit 3"},
        {"killed", "echo 42; kill -9 $$"},
        {"endless", "exec yes 7"},
    };
    for (const auto& [name, body] : failures) {
        const auto start = Steady::now();
        const auto [how, result] = run(helper("h", body));
        EXPECT_EQ(how, QueryWait::kFinished) << name;
        EXPECT_EQ(result, kNoResponse) << name;
        EXPECT_LT(Steady::now() - start, 2s) << name;
    }
    EXPECT_TRUE(ChildProcesses().empty());
}

TEST_F(Helpers, MissingHelperCannotStart) {
    ProcessQueryRunner runner(file("no-such-helper"));
    EXPECT_EQ(runner.start("\\\\X", false), nullptr);
    EXPECT_TRUE(ChildProcesses().empty());
}

TEST_F(Helpers, HelperRunsDetachedWithTheNameAsOneArgument) {
    // A descriptor this process leaves open must not reach the helper.
    const std::string marker = file("marker");
    std::ofstream(marker) << "x";
    const int leaked = open(marker.c_str(), O_RDONLY);
    ASSERT_GE(leaked, 3);
    const std::string report = file("report");
    const std::string path = helper("inspect",
        "{ echo \"args=$#\"; printf '%s|\\n' \"$1\"; readlink /proc/$$/fd/0;"
        "  echo \"sid=$(ps -o sid= -p $$ | tr -d ' ') pid=$$\";"
        "  readlink /proc/$$/fd/" + std::to_string(leaked) + " || echo closed;"
        "} > '" + report + "'; echo 1");
    const std::string hostile = "\\\\%s%n $(reboot) `id`;*\t\"'";
    EXPECT_EQ(run(path, hostile).second, 1);
    close(leaked);
    std::ifstream in(report);
    std::string args, name, input, session, descriptor;
    std::getline(in, args);
    std::getline(in, name);
    std::getline(in, input);
    std::getline(in, session);
    std::getline(in, descriptor);
    EXPECT_EQ(args, "args=1");
    EXPECT_EQ(name, hostile + "|");
    EXPECT_EQ(input, "/dev/null");
    const auto pid = session.substr(session.find("pid=") + 4);
    EXPECT_EQ(session.substr(0, session.find(' ')), "sid=" + pid);  // a session of its own
    EXPECT_NE(descriptor, marker);
}

TEST_F(Helpers, NameWithAnEmbeddedNulIsNoQuery) {
    ProcessQueryRunner runner(helper("ok", "echo 1"));
    EXPECT_EQ(runner.start(std::string("\\\\AB\0CD", 7), false), nullptr);
}

TEST_F(Helpers, HungHelperTimesOutAndIsKilledWhenAbandoned) {
    const std::string pidFile = file("pid");
    ProcessQueryRunner runner(helper("hang", "echo $$ > '" + pidFile + "'; exec sleep 600"));
    auto query = runner.start("\\\\HUNG", false);
    ASSERT_NE(query, nullptr);
    const auto start = Steady::now();
    EXPECT_EQ(query->wait(300ms, kNeverStop), QueryWait::kTimedOut);
    const auto took = Steady::now() - start;
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 400ms);
    ASSERT_EQ(ChildProcesses().size(), 1u);
    query.reset();
    EXPECT_TRUE(ChildProcesses().empty());  // killed and reaped: no zombie
}

TEST_F(Helpers, StopEndsTheWaitWithinASlice) {
    ProcessQueryRunner runner(helper("hang", "exec sleep 600"));
    auto query = runner.start("\\\\HUNG", true);
    ASSERT_NE(query, nullptr);
    std::atomic<bool> stop{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(100ms);
        stop = true;
    });
    const auto start = Steady::now();
    EXPECT_EQ(query->wait(std::nullopt, stop), QueryWait::kStopped);
    EXPECT_LT(Steady::now() - start, 200ms);
    canceller.join();
    query.reset();
    EXPECT_TRUE(ChildProcesses().empty());
}

TEST_F(Helpers, ManyAbandonedQueriesLeaveNothingBehind) {
    ProcessQueryRunner runner(helper("hang", "exec sleep 600"));
    const int threads = ThreadCount();
    const int descriptors = OpenDescriptorCount();
    for (int i = 0; i < 50; ++i) {
        auto query = runner.start("\\\\HUNG" + std::to_string(i), false);
        ASSERT_NE(query, nullptr);
        EXPECT_EQ(query->wait(10ms, kNeverStop), QueryWait::kTimedOut);
    }
    EXPECT_TRUE(ChildProcesses().empty());
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

TEST(HelperOutput, OnlyOneDecimalLineIsAnOffset) {
    EXPECT_EQ(ParseHelperOutput("0\n"), 0);
    EXPECT_EQ(ParseHelperOutput("-9223372036854775808\n"), INT64_MIN);
    EXPECT_EQ(ParseHelperOutput("9223372036854775807\n"), INT64_MAX);
    for (const char* bad : {"", "\n", "12", "+12\n", " 12\n", "12 \n", "1.5\n", "9223372036854775808\n",
                            "12\n\n", "0x10\n", "-\n"})
        EXPECT_EQ(ParseHelperOutput(bad), kNoResponse) << '"' << bad << '"';
}

TEST(HelperPath, DefaultsToTheDirectoryOfTheExecutable) {
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(ProcessQueryRunner::DefaultHelperPath(), self.substr(0, self.rfind('/')) + "/skewmon-tod");
}

TEST(SmbCredentials, TicketThenPasswordThenGuest) {
    using platform::SmbCredentials;
    auto choose = [](std::map<std::string, std::string> env, std::set<std::string> files = {}) {
        return platform::ChooseSmbCredentials(
            [&env](const char* key) -> const char* {
                auto it = env.find(key);
                return it == env.end() ? nullptr : it->second.c_str();
            },
            [&files](const std::string& path) { return files.count(path) > 0; });
    };
    const std::string defaultCache = "/tmp/krb5cc_" + std::to_string(getuid());
    EXPECT_EQ(choose({{"USER", "ann"}}), SmbCredentials::kGuest);  // a name alone is no credential
    EXPECT_EQ(choose({}), SmbCredentials::kGuest);
    EXPECT_EQ(choose({{"USER", "ann%secret"}}), SmbCredentials::kUserAndPassword);
    EXPECT_EQ(choose({{"USER", "ann"}, {"PASSWD", ""}}), SmbCredentials::kUserAndPassword);
    EXPECT_EQ(choose({{"USER", "ann%secret"}}, {defaultCache}), SmbCredentials::kKerberos);
    EXPECT_EQ(choose({{"KRB5CCNAME", "FILE:/tmp/cc"}}, {"/tmp/cc"}), SmbCredentials::kKerberos);
    EXPECT_EQ(choose({{"KRB5CCNAME", "/tmp/cc"}}, {"/tmp/cc"}), SmbCredentials::kKerberos);
    EXPECT_EQ(choose({{"KRB5CCNAME", "KEYRING:persistent:0"}}), SmbCredentials::kKerberos);
    // A named cache that is not there counts as no ticket, whatever the default holds.
    EXPECT_EQ(choose({{"KRB5CCNAME", "FILE:/tmp/gone"}, {"USER", "ann"}}, {defaultCache}),
              SmbCredentials::kGuest);
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
