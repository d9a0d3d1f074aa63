#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>

#include "app/console_report.h"
#include "platform/linux/system/linux_system.h"
#include "tests/harness/screenless.h"
#include "ui/notepad.h"
#include "ui/report.h"

namespace skewmon::testing {
namespace {

namespace fs = std::filesystem;

// The machines of the report example: one ahead, one behind by more than
// two seconds, one silent, and the local machine with a 16-character name.
constexpr char kList[] = "alpha\nbravo\ncharlie\nworkstation-0042\n";

std::string ExpectedReport(const std::string& source) {
    const char* lines[] = {
        "Skewmon 5.2.b.20110601R",
        "A free network tool from Quillmar.",
        "www.quillmar.example",
        "*** Keep every clock of your network in step with Tidewell ***",
        "",
        "This report shows the time variances, per the MS-LANMan NetRemoteTOD",
        "function, between this machine (WORKSTATION-0042) and the other machines",
        nullptr,
        "",
        "Computer Name     yy-ddd-hh:mm:ss.mss    Comments",
        "--------------  ---------------------    -------------------",
        "ALPHA           + 00 000 00:00:00.047    ",
        "BRAVO           - 00 000 00:00:02.310    >2 secs",
        "CHARLIE         No response or excessive latency     ",
        "WORKSTATION-0042+ 00 000 00:00:00.000    ",
        "",
        "",
        "Worst Variance:   00 000 00:00:02.310\t>2 secs",
        "Average Variance: 00 000 00:00:00.754",
        "Machines Found:   3",
        "Summary:          Poor",
        "Recommendation:   Needs Improvement",
        "",
        "All machines within a few seconds. Check for hardware or network failures",
        "if only one or two machines are off by this much, otherwise consider using",
        "a different time sync product, or adjusting the parameters of your current",
        "product.",
    };
    std::string report;
    for (const char* line : lines) report.append(line ? line : "found in the " + source + ".").append("\r\n");
    return report;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<fs::path> ReportsIn(const fs::path& directory) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(directory))
        if (entry.path().filename().string().rfind("SKW", 0) == 0) found.push_back(entry.path());
    return found;
}

// The Linux services behind the dialog, whose report files are real.
class Report : public DialogHarness<ScriptedParts<platform::LinuxSystem>> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/skewmon-report-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        temp_ = pattern;
        const char* old = std::getenv("TMPDIR");
        oldTmpdir_ = old ? old : "";
        hadTmpdir_ = old != nullptr;
        setenv("TMPDIR", temp_.c_str(), 1);
        system.name = "WORKSTATION-0042";
        runner.set("ALPHA", {47});
        runner.set("BRAVO", {-2310});
        Notepad().deleteAll();
    }
    void TearDown() override {
        Notepad().deleteAll();
        if (hadTmpdir_)
            setenv("TMPDIR", oldTmpdir_.c_str(), 1);
        else
            unsetenv("TMPDIR");
        fs::remove_all(temp_);
    }

    fs::path temp_;
    std::string oldTmpdir_;
    bool hadTmpdir_ = false;
};

TEST_F(Report, SavedReportIsExactAndEverySavedFileGoesAtExit) {
    useListFile(kList);
    start();
    ASSERT_TRUE(scanToEnd());
    dialog.command(ctl::kSaveResults);
    dialog.command(ctl::kSaveResults);

    const std::vector<fs::path> reports = ReportsIn(temp_);
    ASSERT_EQ(reports.size(), 2u);  // every save makes a new file
    for (const fs::path& report : reports) {
        EXPECT_EQ(ReadFile(report), ExpectedReport("skewmon.ini file"));
        EXPECT_EQ((fs::status(report).permissions() & fs::perms::others_read), fs::perms::none);
    }
    EXPECT_EQ(system.viewedFiles.size(), 2u);
    EXPECT_EQ(Notepad().remembered(), system.viewedFiles);

    Notepad().deleteAll();  // what process exit does
    EXPECT_TRUE(ReportsIn(temp_).empty());
}

TEST_F(Report, BrowseListScanNamesItsSource) {
    system.name = "WORKSTATION";
    start();
    ASSERT_TRUE(scanToEnd());
    dialog.command(ctl::kSaveResults);
    const std::vector<fs::path> reports = ReportsIn(temp_);
    ASSERT_EQ(reports.size(), 1u);
    const std::string text = ReadFile(reports[0]);
    EXPECT_NE(text.find("\r\nfound in the current browse list.\r\n"), std::string::npos);
    // No rows: the header runs straight into the two empty lines.
    EXPECT_NE(text.find("-------------------\r\n\r\n\r\nWorst Variance:   00 000 00:00:00.000\r\n"), std::string::npos);
    EXPECT_NE(text.find("Machines Found:   0\r\nSummary:          N/A\r\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 23), "No machines responded\r\n");
}

TEST_F(Report, ViewerThatFailsLeavesTheFileUnremembered) {
    useListFile(kList);
    system.viewerError = 2;
    start();
    ASSERT_TRUE(scanToEnd());
    dialog.command(ctl::kSaveResults);
    ASSERT_EQ(ReportsIn(temp_).size(), 1u);
    EXPECT_TRUE(Notepad().remembered().empty());
    Notepad().deleteAll();
    EXPECT_EQ(ReportsIn(temp_).size(), 1u);  // stays on disk
}

TEST_F(Report, UnusableTempDirectoryFallsBackToTmp) {
    setenv("TMPDIR", (temp_ / "missing").c_str(), 1);
    useListFile(kList);
    start();
    ASSERT_TRUE(scanToEnd());
    dialog.command(ctl::kSaveResults);
    ASSERT_EQ(system.viewedFiles.size(), 1u);
    EXPECT_EQ(fs::path(system.viewedFiles[0]).parent_path(), fs::path("/tmp"));
    Notepad().deleteAll();
    EXPECT_FALSE(fs::exists(system.viewedFiles[0]));
}

// The report's files where others may meddle: a shared temporary directory in
// which the new file's name is swapped for a link, a fallback name that is
// already taken, a disk that refuses the data.
class HostileSystem final : public platform::LinuxSystem {
public:
    bool uniqueFileFails = false;
    // Runs as soon as the unique file exists, as a racing user would.
    std::function<void(const std::string&)> afterCreate;
    std::vector<std::string> viewed;

    std::unique_ptr<platform::NewFile> createUniqueTempFile(const std::string& directory,
                                                          std::string_view prefix) override {
        if (uniqueFileFails) return nullptr;
        std::unique_ptr<platform::NewFile> file = LinuxSystem::createUniqueTempFile(directory, prefix);
        if (file && afterCreate) afterCreate(file->path());
        return file;
    }
    std::uint32_t startTextViewer(const std::string& path, bool) override {
        viewed.push_back(path);
        return 0;
    }
};

struct HostileParts {
    HostileSystem system;
    ScriptedRunner runner;
    FakeDiscoveryServices discovery;
};

class HostileFiles : public ::testing::Test, protected ScreenlessProgram<HostileParts> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/skewmon-hostile-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::permissions(dir_, fs::perms::all);  // world-writable, no sticky bit
        for (const char* name : {"TMPDIR", "HOME"}) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        }
        setenv("TMPDIR", dir_.c_str(), 1);
        setenv("HOME", dir_.c_str(), 1);
        program.localComputerName = "WORKSTATION";
        dialog.listAdd(ctl::kResultsList, "ALPHA\t+\t00 000 00:00:00.047");
        Notepad().deleteAll();
    }
    void TearDown() override {
        Notepad().deleteAll();
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        fs::remove_all(dir_);
    }
    fs::path victim(const std::string& content) {
        const fs::path path = dir_ / "victim";
        std::ofstream(path) << content;
        return path;
    }

    platform::HeadlessDialog dialog;  // not started: its controls are read directly
    fs::path dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(HostileFiles, ANewFileSwappedForALinkNeverLeadsTheReportElsewhere) {
    const fs::path target = victim("precious\n");
    std::string made;
    system.afterCreate = [&](const std::string& path) {
        made = path;
        fs::remove(path);
        fs::create_symlink(target, path);
    };
    SaveResults(program, dialog);
    ASSERT_FALSE(made.empty());
    EXPECT_EQ(ReadFile(target), "precious\n");

    // Swapped for a hard link to the victim instead: still untouched.
    system.afterCreate = [&](const std::string& path) {
        fs::remove(path);
        fs::create_hard_link(target, path);
    };
    SaveResults(program, dialog);
    EXPECT_EQ(ReadFile(target), "precious\n");
}

TEST_F(HostileFiles, ATakenFallbackNameIsNeitherWrittenNorOpenedNorDeleted) {
    system.uniqueFileFails = true;
    const fs::path fallback = dir_ / "skewmon.txt";
    std::ofstream(fallback) << "my own notes\n";
    SaveResults(program, dialog);
    EXPECT_EQ(ReadFile(fallback), "my own notes\n");
    EXPECT_TRUE(system.viewed.empty());
    EXPECT_TRUE(Notepad().remembered().empty());
    Notepad().deleteAll();
    EXPECT_TRUE(fs::exists(fallback));

    // A link of that name is not followed either.
    fs::remove(fallback);
    const fs::path target = victim("precious\n");
    fs::create_symlink(target, fallback);
    SaveResults(program, dialog);
    EXPECT_EQ(ReadFile(target), "precious\n");
    EXPECT_TRUE(fs::is_symlink(fallback));
    EXPECT_TRUE(system.viewed.empty());
}

TEST_F(HostileFiles, AFreeFallbackNameTakesTheReportAndGoesAtExit) {
    system.uniqueFileFails = true;
    const fs::path fallback = dir_ / "skewmon.txt";
    SaveResults(program, dialog);
    ASSERT_EQ(system.viewed, std::vector<std::string>{fallback.string()});
    EXPECT_EQ(ReadFile(fallback).rfind("Skewmon 5.2.b.20110601R\r\n", 0), 0u);
    EXPECT_EQ(fs::status(fallback).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
    Notepad().deleteAll();
    EXPECT_FALSE(fs::exists(fallback));
}

TEST_F(HostileFiles, AReportThatCannotBeWrittenLeavesNoFileBehind) {
    // A file size limit makes the write fail part-way, as a full disk would.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tiny = old;
    tiny.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    SaveResults(program, dialog);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(ReportsIn(dir_).empty());
    EXPECT_TRUE(system.viewed.empty());
    EXPECT_TRUE(Notepad().remembered().empty());
}

class Console : public Report {};

TEST_F(Console, PrintsTheSavedReportWithoutMakingAFile) {
    EXPECT_EQ(runConsoleBeside(kList), 2);  // "Poor"
    EXPECT_EQ(out.str(), ExpectedReport("skewmon.ini file"));
    EXPECT_TRUE(ReportsIn(temp_).empty());
    EXPECT_TRUE(system.viewedFiles.empty());
    const std::string progress = err.str();
    EXPECT_NE(progress.find("ALPHA + 00 000 00:00:00.047\n"), std::string::npos);
    EXPECT_NE(progress.find("CHARLIE No response or excessive latency\n"), std::string::npos);
    EXPECT_NE(progress.find("Scan complete: 3 machine(s) counted, summary: Poor\n"), std::string::npos);
    EXPECT_EQ(out.str().find("Scan complete"), std::string::npos);
}

TEST_F(Console, ExitStatusFollowsTheGrade) {
    runner.set("ALPHA", {50});
    EXPECT_EQ(runConsoleBeside("alpha\n"), 0);  // Outstanding!
    runner.set("ALPHA", {-600});
    EXPECT_EQ(runConsoleBeside("alpha\n"), 1);  // Fair
    runner.set("ALPHA", {3000});
    EXPECT_EQ(runConsoleBeside("alpha\n"), 2);  // Unacceptable
    runner.set("ALPHA", {kNoResponse});
    EXPECT_EQ(runConsoleBeside("alpha\n"), 3);  // no machine responded
    EXPECT_EQ(runConsoleBeside("; nothing\n"), 3);
}

TEST_F(Console, InlineModeBesideReport) {
    EXPECT_EQ(runConsoleBeside("alpha\n", "nothread --REPORT"), 0);
    EXPECT_EQ(runner.inlineFlags(), std::vector<bool>{true});
}

}  // namespace
}  // namespace skewmon::testing
