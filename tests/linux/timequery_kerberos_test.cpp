// Whether the credentials cache holds a usable ticket, with caches written
// through libkrb5 (no KDC needed: only the cache is read), and what
// the real helper says when Samba cannot load the client settings.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/linux/process/process_query_runner.h"
#include "platform/linux/samba/netapi_clock.h"
#include "tests/lab/lab_support.h"

namespace skewmon::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class KerberosCache : public ::testing::Test {
protected:
    KerberosCache() {
        std::string pattern = (fs::temp_directory_path() / "skewmon-krb-XXXXXX").string();
        if (mkdtemp(pattern.data())) directory_ = pattern;
    }
    ~KerberosCache() override {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }

    // A file cache holding one ticket for `server`, valid until `end`
    // (seconds from now); its KRB5CCNAME.
    std::string cache(const std::string& name, const std::string& server, long end) {
        const std::string cacheName = "FILE:" + path(name);
        WriteKerberosCache(cacheName, server, end);
        return cacheName;
    }
    std::string path(const std::string& name) const { return directory_ + "/" + name; }

    std::string directory_;
};

TEST_F(KerberosCache, OnlyAnUnexpiredTicketGrantingTicketCounts) {
    {
        ScopedEnvironment env("KRB5CCNAME", cache("valid", "krbtgt/LAB.TEST@LAB.TEST", 3600));
        EXPECT_TRUE(platform::HasKerberosTicket());
    }
    const std::string garbage = path("garbage");
    std::ofstream(garbage) << "garbage\n";
    const std::string noCache[] = {
        cache("expired", "krbtgt/LAB.TEST@LAB.TEST", -60),
        cache("service only", "cifs/lab11.lab.test@LAB.TEST", 3600),
        cache("other realm", "krbtgt/OTHER.TEST@OTHER.TEST", 3600),
        "FILE:" + garbage,
        "FILE:" + path("missing"),
        garbage,  // a bare path is a file cache too
        "MEMORY:skewmon-empty",
        "KEYRING:persistent:" + std::to_string(getuid()) + ":skewmon-empty",
        "NOSUCHTYPE:x",
    };
    for (const std::string& name : noCache) {
        ScopedEnvironment env("KRB5CCNAME", name);
        EXPECT_FALSE(platform::HasKerberosTicket()) << name;
    }
}

TEST(ClientSettings, SettingsSambaCannotLoadAreSaidOncePerScan) {
    ScopedClientHome home;
    const std::string config = home.path() + "/.smb/smb.conf";
    std::ofstream(config) << "[global\n";  // a section that never ends
    platform::ProcessQueryRunner runner(TodHelperPath());
    const std::atomic<bool> never{false};
    const std::string problem = runner.beginScan(never);
    EXPECT_EQ(problem, "Samba cannot load the SMB client settings: error loading " + config +
                           ". No machine can be asked for its time.");
    auto query = runner.start("\\\\127.0.0.1", false);
    ASSERT_NE(query, nullptr);
    ASSERT_EQ(query->wait(3000ms, never), platform::QueryWait::kFinished);
    EXPECT_EQ(query->result(), kNoResponse);
    query.reset();
    runner.endScan();

    // Settings that load say nothing.
    std::ofstream(config) << "[global]\n  workgroup = LABGROUP\n  name resolve order = lmhosts\n";
    EXPECT_EQ(runner.beginScan(never), "");
    runner.endScan();
    EXPECT_TRUE(ChildProcesses().empty());
}

}  // namespace
}  // namespace skewmon::testing
