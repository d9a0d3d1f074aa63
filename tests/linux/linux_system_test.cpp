#include "platform/linux/system/linux_system.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "platform/linux/samba/smb_settings.h"
#include "tests/harness/screenless.h"
#include "ui/notepad.h"

namespace skewmon::platform {
namespace {

namespace fs = std::filesystem;
constexpr char kZone[] = "user.DosStream.Zone.Identifier:$DATA";

// A scratch directory, and environment variables put back afterwards.
class Scratch : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/skewmon-system-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        fs::remove_all(dir_);
    }
    void setEnv(const std::string& name, const std::string& value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        setenv(name.c_str(), value.c_str(), 1);
    }
    std::string file(const std::string& name, const std::string& content = "") {
        const fs::path path = dir_ / name;
        std::ofstream(path) << content;
        return path.string();
    }

    fs::path dir_;
    std::map<std::string, std::optional<std::string>> saved_;
    LinuxSystem system_;
};

class ZoneStream : public Scratch {};

TEST_F(ZoneStream, RemovesTheStreamSambaKeepsAndReportsAbsenceAsNoError) {
    const std::string path = file("downloaded.bin", "x");
    if (setxattr(path.c_str(), kZone, "[ZoneTransfer]\r\nZoneId=3\r\n", 24, 0) != 0)
        GTEST_SKIP() << "no user attributes on this file system";
    std::uint32_t error = 99;
    EXPECT_TRUE(system_.removeZoneIdentifier(path, error));
    EXPECT_EQ(error, 0u);
    EXPECT_LT(getxattr(path.c_str(), kZone, nullptr, 0), 0);

    error = 99;
    EXPECT_FALSE(system_.removeZoneIdentifier(path, error));  // nothing left to remove
    EXPECT_EQ(error, 0u);
}

TEST_F(ZoneStream, PathsTooLongForTheStreamNameAreNotAttempted) {
    std::uint32_t error = 0;
    EXPECT_FALSE(system_.removeZoneIdentifier(std::string(263, 'a'), error));
    EXPECT_EQ(error, 122u);
    error = 0;
    EXPECT_FALSE(system_.removeZoneIdentifier("/" + std::string(246, 'a'), error));  // 247 characters
    EXPECT_EQ(error, 122u);
    error = 0;
    EXPECT_FALSE(system_.removeZoneIdentifier("/" + std::string(245, 'a'), error));  // 246: attempted
    EXPECT_NE(error, 122u);
}

class TempFiles : public Scratch {};

TEST_F(TempFiles, TempDirectoryIsTmpdirWhenUsable) {
    setEnv("TMPDIR", dir_.string());
    EXPECT_EQ(system_.tempPath(255), dir_.string() + "/");
    setEnv("TMPDIR", (dir_ / "absent").string());
    EXPECT_EQ(system_.tempPath(255), "/tmp/");
    setEnv("TMPDIR", "relative/dir");
    EXPECT_EQ(system_.tempPath(255), "/tmp/");
    setEnv("TMPDIR", file("plain-file"));
    EXPECT_EQ(system_.tempPath(255), "/tmp/");
}

TEST_F(TempFiles, EveryNameIsNewPrivateAndNamedFromThePrefix) {
    std::set<std::string> names;
    for (int i = 0; i < 200; ++i) {
        std::unique_ptr<NewFile> file = system_.createUniqueTempFile(dir_.string() + "/", "SKW");
        ASSERT_TRUE(file);
        const std::string& path = file->path();
        const std::string name = fs::path(path).filename().string();
        EXPECT_EQ(name.rfind("SKW", 0), 0u);
        EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF", 3), name.size() - 4) << name;
        EXPECT_TRUE(names.insert(path).second);
        struct stat info {};
        ASSERT_EQ(lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_size, 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
}

TEST_F(TempFiles, WritesReachTheCreatedFileWhateverItsNameBecomes) {
    std::unique_ptr<NewFile> file = system_.createUniqueTempFile(dir_.string(), "SKW");
    ASSERT_TRUE(file);
    const std::string moved = (dir_ / "moved").string();
    fs::rename(file->path(), moved);
    const std::string victim = this->file("victim", "keep");
    fs::create_symlink(victim, file->path());
    EXPECT_TRUE(file->write("report"));
    EXPECT_TRUE(file->close());
    EXPECT_FALSE(file->write("more"));  // closed
    std::ifstream in(moved);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "report");
    std::ifstream kept(victim);
    std::stringstream keptText;
    keptText << kept.rdbuf();
    EXPECT_EQ(keptText.str(), "keep");
}

TEST_F(TempFiles, ANamedNewFileIsNeverOneThatExists) {
    const std::string taken = file("taken", "mine");
    EXPECT_FALSE(system_.createNewFile(taken));
    const std::string link = (dir_ / "link").string();
    fs::create_symlink(dir_ / "nowhere", link);
    EXPECT_FALSE(system_.createNewFile(link));  // not even a dangling link
    EXPECT_FALSE(fs::exists(dir_ / "nowhere"));

    std::unique_ptr<NewFile> fresh = system_.createNewFile((dir_ / "fresh").string());
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->path(), (dir_ / "fresh").string());
    EXPECT_EQ(fs::status(dir_ / "fresh").permissions() & fs::perms::mask, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(TempFiles, NoDirectoryGivesNoName) {
    EXPECT_FALSE(system_.createUniqueTempFile((dir_ / "absent").string(), "SKW"));
}

// A fake desktop handler first in PATH that records how it was called.
class Viewer : public Scratch {
protected:
    void install(int exitCode) {
        const fs::path bin = dir_ / "bin";
        fs::create_directories(bin);
        std::ofstream script(bin / "xdg-open");
        script << "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$1\" > '" << (dir_ / "called").string() << "'\nexit "
               << exitCode << "\n";
        script.close();
        fs::permissions(bin / "xdg-open", fs::perms::owner_all);
        setEnv("PATH", bin.string() + ":" + std::getenv("PATH"));
    }
    std::string called() {
        std::ifstream in(dir_ / "called");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

TEST_F(Viewer, PathGoesAsOneArgumentWithoutAShell) {
    install(0);
    const std::string tricky = (dir_ / "a b;$(touch pwned)'x.txt").string();
    EXPECT_EQ(system_.startTextViewer(tricky, true), 0u);
    EXPECT_EQ(called(), "1\n" + tricky + "\n");
    EXPECT_FALSE(fs::exists("pwned"));
}

TEST_F(Viewer, HandlerFailureIsTheError) {
    install(3);
    EXPECT_EQ(system_.startTextViewer("/tmp/x", false), 3u);
    setEnv("PATH", (dir_ / "nowhere").string());
    EXPECT_EQ(system_.startTextViewer("/tmp/x", false), static_cast<std::uint32_t>(ENOENT));
}

TEST_F(Viewer, UrlOpensWithTheDesktopHandler) {
    install(0);
    system_.openUrl("https://help.quillmar.example/?a=1&b=2");
    for (int i = 0; i < 200 && called().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(called(), "1\nhttps://help.quillmar.example/?a=1&b=2\n");
}

class ClientSettings : public Scratch {};

TEST_F(ClientSettings, UserSettingsComeFirstAndGiveTheNetbiosName) {
    setEnv("HOME", dir_.string());
    fs::create_directories(dir_ / ".smb");
    EXPECT_EQ(SmbClientConfigPath(), "/etc/samba/smb.conf");
    std::ofstream(dir_ / ".smb" / "smb.conf") << "[global]\n  netbios name = labhost\n[share]\nnetbios name = no\n";
    EXPECT_EQ(SmbClientConfigPath(), (dir_ / ".smb" / "smb.conf").string());
    EXPECT_EQ(NetbiosName(), "LABHOST");

    std::ofstream(dir_ / ".smb" / "smb.conf") << "[global]\nworkgroup = LAB\n";
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string expected = std::string(host).substr(0, std::string(host).find('.'));
    for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(NetbiosName(), expected.substr(0, 15));
}

// A report that cannot be written whole is not kept and not opened.
// The Linux services behind the dialog, whose report files are real.
class FullDisk : public skewmon::testing::DialogHarness<skewmon::testing::ScriptedParts<LinuxSystem>> {};

TEST_F(FullDisk, ReportThatCannotBeWrittenLeavesNothing) {
    char pattern[] = "/tmp/skewmon-full-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    if (mount("tmpfs", pattern, "tmpfs", 0, "size=4k") != 0) {
        fs::remove_all(dir);
        GTEST_SKIP() << "cannot mount a small file system here";
    }
    {
        std::ofstream filler(dir / "filler");
        filler << std::string(4096, 'f');
    }
    const char* old = std::getenv("TMPDIR");
    const std::string oldValue = old ? old : "";
    setenv("TMPDIR", pattern, 1);

    useListFile(std::string(40, 'n') + "\n" + std::string(40, 'm') + "\n");
    start();
    ASSERT_TRUE(scanToEnd());
    dialog.command(ctl::kSaveResults);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename() != "filler") left.push_back(entry.path().string());
    EXPECT_TRUE(left.empty());
    EXPECT_TRUE(system.viewedFiles.empty());

    if (old) setenv("TMPDIR", oldValue.c_str(), 1); else unsetenv("TMPDIR");
    umount(pattern);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace skewmon::platform
