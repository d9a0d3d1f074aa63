// The real query path (ProcessQueryRunner and skewmon-tod over libnetapi)
// against the lab's Samba servers, whose clocks are shifted by known amounts.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/headless/headless_dialog.h"
#include "platform/linux/process/process_query_runner.h"
#include "platform/linux/samba/netapi_clock.h"
#include "scan/scan_view.h"
#include "tests/fakes/fakes.h"
#include "tests/lab/lab_support.h"
#include "timing/remote_time.h"

namespace skewmon::testing {
namespace {

using namespace std::chrono_literals;
using platform::QueryWait;
using Steady = std::chrono::steady_clock;

const std::atomic<bool> kNeverStop{false};

// Samba answers in whole seconds, so a measured offset lies up to a second
// below the true shift, and a little above it for the round trip.
void ExpectNearShift(Offset measured, std::int64_t shiftMs, const std::string& what) {
    EXPECT_NE(measured, kNoResponse) << what;
    EXPECT_GE(measured, shiftMs - 1000) << what;
    EXPECT_LE(measured, shiftMs + 50) << what;
}

class LabQuery : public ::testing::Test {
protected:
    void SetUp() override {
        lab = Lab::FromEnvironment();
        if (!lab) GTEST_SKIP() << "no lab (SKEWMON_LAB_DIR): run through ctest";
    }

    // One query through the helper, to its end or `limit`.
    std::pair<QueryWait, Offset> ask(const std::string& machine, std::chrono::milliseconds limit = 3000ms) {
        auto query = runner.start(QueryServerName(machine), false);
        if (!query) return {QueryWait::kStopped, kNoResponse};
        const QueryWait how = query->wait(limit, kNeverStop);
        return {how, how == QueryWait::kFinished ? query->result() : kNoResponse};
    }

    std::optional<Lab> lab;
    platform::ProcessQueryRunner runner{TodHelperPath()};
};

TEST_F(LabQuery, EveryServerShowsItsShift) {
    for (int round = 0; round < 2; ++round) {
        for (const LabServer& server : lab->servers) {
            const auto start = Steady::now();
            const auto [how, offset] = ask(server.address);
            EXPECT_EQ(how, QueryWait::kFinished) << server.name;
            ExpectNearShift(offset, server.shiftMs, server.name);
            EXPECT_LT(Steady::now() - start, 1000ms) << server.name;  // a warm server answers at once
        }
    }
    EXPECT_EQ(ChildProcesses().size(), 1u);  // one helper served them all
    runner.endScan();
    EXPECT_TRUE(ChildProcesses().empty());
}

TEST_F(LabQuery, HelperKilledMidQueryGivesNoResponseAndTheNextWorks) {
    auto query = runner.start(QueryServerName(lab->hung), false);
    ASSERT_NE(query, nullptr);
    EXPECT_EQ(query->wait(300ms, kNeverStop), QueryWait::kTimedOut);  // inside the call by now
    const std::vector<pid_t> helpers = ChildProcesses();
    ASSERT_EQ(helpers.size(), 1u);
    kill(helpers[0], SIGKILL);
    const auto start = Steady::now();
    EXPECT_EQ(query->wait(3000ms, kNeverStop), QueryWait::kFinished);
    EXPECT_LT(Steady::now() - start, 200ms);
    EXPECT_EQ(query->result(), kNoResponse);
    EXPECT_TRUE(ChildProcesses().empty());  // reaped: no zombie
    query.reset();
    const LabServer& server = lab->servers.front();
    ExpectNearShift(ask(server.address).second, server.shiftMs, server.name);
}

TEST_F(LabQuery, CachesWithoutAUsableTicketFallBackToGuest) {
    // Before, each of these counted as a ticket: Kerberos alone was tried
    // and every guest-accepting server went unanswered.
    const std::string garbage = lab->home + "/garbage-cache";
    std::ofstream(garbage) << "garbage\n";
    const std::string expired = "FILE:" + lab->home + "/expired-cache";
    WriteKerberosCache(expired, "krbtgt/LAB.TEST@LAB.TEST", -60);
    const LabServer& server = lab->servers.front();
    for (const std::string& cache :
         {"KEYRING:persistent:" + std::to_string(getuid()), "FILE:" + garbage, expired}) {
        ScopedEnvironment env("KRB5CCNAME", cache);
        platform::ProcessQueryRunner fresh(TodHelperPath());  // its helpers see the cache
        auto query = fresh.start(QueryServerName(server.address), false);
        ASSERT_NE(query, nullptr);
        ASSERT_EQ(query->wait(3000ms, kNeverStop), QueryWait::kFinished) << cache;
        ExpectNearShift(query->result(), server.shiftMs, cache);
    }
}

TEST_F(LabQuery, SilentAddressGivesNoResponseQuickly) {
    const auto start = Steady::now();
    EXPECT_EQ(ask(lab->silent), std::make_pair(QueryWait::kFinished, kNoResponse));
    EXPECT_LT(Steady::now() - start, 2000ms);
}

TEST_F(LabQuery, NamesOfAnyShapeAreNoAnswerAndNoCrash) {
    // None of these can be resolved without the network, so none leaves this
    // machine; each must end as a plain "no answer" from a helper that ran
    // to its end.
    const std::string names[] = {"%s%n%x%p", std::string(253, 'A'), "\x01\x7f\xff\xfe", "LAB 11*?"};
    for (const std::string& name : names) {
        const auto [how, offset] = ask(name);
        EXPECT_EQ(how, QueryWait::kFinished) << name;
        EXPECT_EQ(offset, kNoResponse) << name;
    }
}

TEST_F(LabQuery, HelperNeverWaitsForATerminal) {
    // A name without a password, and a Kerberos cache that holds no ticket:
    // libnetapi would ask for a password on the terminal. Run under a
    // terminal (script), the helper must still answer on its own.
    const std::string notACache = lab->home + "/not-a-ticket";
    std::ofstream(notACache) << "garbage\n";
    const std::string command = "USER=nobody-here KRB5CCNAME=FILE:" + notACache +
                                " timeout 20 script -q -e -c \"" + TodHelperPath() + " '\\\\" +
                                lab->servers.front().address + "'\" /dev/null </dev/null >/dev/null 2>&1";
    const auto start = Steady::now();
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 124) << "the helper waited for a terminal";
    EXPECT_LT(Steady::now() - start, 15s);
    // And as guest, under a terminal, the query works.
    const std::string guest = "env -u PASSWD -u KRB5CCNAME USER=nobody-here timeout 20 script -q -e -c \"" +
                              TodHelperPath() + " '\\\\" + lab->servers.front().address +
                              "'\" /dev/null </dev/null | grep -E '^-?[0-9]+' | grep -qv 1122334455667788";
    EXPECT_EQ(std::system(guest.c_str()), 0);
}

TEST_F(LabQuery, FiftyHungQueriesLeaveNothingBehind) {
    const int threads = ThreadCount();
    const int descriptors = OpenDescriptorCount();
    // Long enough for each helper to be connected and waiting inside libnetapi.
    for (int i = 0; i < 50; ++i) EXPECT_EQ(ask(lab->hung, 150ms).first, QueryWait::kTimedOut);
    EXPECT_EQ(ChildProcesses().size(), 1u);  // the next query's helper
    runner.endScan();
    EXPECT_TRUE(ChildProcesses().empty());
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    // The servers are none the worse for it.
    ExpectNearShift(ask(lab->servers.front().address).second, lab->servers.front().shiftMs, "after");
}

TEST_F(LabQuery, NetapiClockWorksInProcess) {
    platform::NetapiClock clock;
    const LabServer& server = lab->servers.front();
    ExpectNearShift(RemoteTimeWorker(clock, "\\\\" + server.address), server.shiftMs, server.name);
    EXPECT_EQ(RemoteTimeWorker(clock, "\\\\" + lab->silent), kNoResponse);
    EXPECT_EQ(RemoteTimeWorker(clock, "\\\\%s%n%s%n"), kNoResponse);
}

TEST_F(LabQuery, CheckMachineGivesUpOnTheHungServerWithABeepAndKillsItsHelper) {
    NoEvents events;
    platform::HeadlessDialog headless;
    headless.start(events);
    ASSERT_TRUE(headless.waitUntil([](const platform::HeadlessSnapshot& s) { return s.initialised; }, 10s));
    ScanDialog scanView(headless, std::make_shared<ScanSession>());
    std::atomic<bool> stop{false};
    QueryContext context{scanView, runner, false, stop};

    const auto start = Steady::now();
    EXPECT_EQ(CheckMachine(context, lab->hung), kNoResponse);
    const auto took = Steady::now() - start;
    // Killed and reaped, no zombie; only the next query's helper is there.
    EXPECT_EQ(ChildProcesses().size(), 1u);

    const auto s = headless.snapshot();
    ASSERT_EQ(s.beeps.size(), 1u);
    EXPECT_GE(s.beeps[0] - start, 3000ms);
    EXPECT_LT(s.beeps[0] - start, 3200ms);
    EXPECT_LT(took, 3500ms);
    EXPECT_EQ(s.text(ctl::kResultsGroup), "Checking " + lab->hung + "...");

    // The next machine is measured as if nothing had happened.
    const LabServer& server = lab->servers.front();
    ExpectNearShift(CheckMachine(context, server.address), server.shiftMs, server.name);
    EXPECT_EQ(headless.snapshot().waitCursorDepth, 0);
    headless.runOnDialogThread([&] { headless.endDialog(0); });
    headless.waitForEnd();
}

}  // namespace
}  // namespace skewmon::testing
