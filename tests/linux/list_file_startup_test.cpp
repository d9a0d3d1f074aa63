// The machine list file as start-up finds it on Linux: beside the program or
// named with --list, and everything that is not a regular file refused at
// once and said, in the console mode and in the window.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/console_report.h"
#include "app/startup.h"
#include "platform/files.h"
#include "platform/linux/process/install_layout.h"
#include "platform/linux/process/process_query_runner.h"
#include "platform/linux/system/linux_system.h"
#include "tests/harness/screenless.h"

namespace skewmon::testing {
namespace {

namespace fs = std::filesystem;
using Outcome = platform::ListFileOpening::Outcome;

// Things that are not a regular file but open (or seem to) by name.
enum class Hostile { kFifo, kFifoWithSilentWriter, kDevZeroLink, kDirectory, kSocket };

std::string Describe(Hostile kind) {
    switch (kind) {
        case Hostile::kFifo: return "FIFO without writer";
        case Hostile::kFifoWithSilentWriter: return "FIFO with a silent writer";
        case Hostile::kDevZeroLink: return "link to /dev/zero";
        case Hostile::kDirectory: return "directory";
        case Hostile::kSocket: return "socket";
    }
    return "?";
}

constexpr Hostile kEveryHostile[] = {Hostile::kFifo, Hostile::kFifoWithSilentWriter, Hostile::kDevZeroLink,
                                     Hostile::kDirectory, Hostile::kSocket};

// The Linux services behind the program, whose list files are real.
class ListFileFolder : public DialogHarness<ScriptedParts<platform::LinuxSystem>> {
protected:
    void SetUp() override {
        dir = folder();
        system.executable = (dir / "skewmon").string();
    }
    void TearDown() override {
        for (int fd : held_) close(fd);
    }

    std::string beside() const { return (dir / "skewmon.ini").string(); }

    void write(const fs::path& path, const std::string& content) { std::ofstream(path) << content; }

    // Puts a `kind` at `path`; what it needs (a writer, a bound socket) stays
    // open until the test ends.
    void make(Hostile kind, const fs::path& path) {
        switch (kind) {
            case Hostile::kFifo:
                ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
                break;
            case Hostile::kFifoWithSilentWriter: {
                ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
                // Read and write: opens at once, and holds a writer that never writes.
                const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
                ASSERT_GE(fd, 0);
                held_.push_back(fd);
                break;
            }
            case Hostile::kDevZeroLink:
                fs::create_symlink("/dev/zero", path);
                break;
            case Hostile::kDirectory:
                fs::create_directory(path);
                break;
            case Hostile::kSocket: {
                const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                ASSERT_GE(fd, 0);
                held_.push_back(fd);
                sockaddr_un address{};
                address.sun_family = AF_UNIX;
                ASSERT_LT(path.string().size(), sizeof address.sun_path);
                std::strcpy(address.sun_path, path.c_str());
                ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
                ASSERT_EQ(listen(fd, 1), 0);
                break;
            }
        }
    }

    int report(const std::vector<std::string>& args) {
        program.options = ParseCommandLine(args);
        return runReport(WindowCommandLine(program.options));
    }
    std::vector<std::string> errLines() const {
        std::vector<std::string> lines;
        std::istringstream in(err.str());
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    fs::path dir;

private:
    std::vector<int> held_;
};

TEST_F(ListFileFolder, OnlyARegularFileOpensAndNothingElseEverWaits) {
    write(beside(), "alpha\n");
    platform::ListFileOpening good = platform::OpenListFile(beside());
    ASSERT_EQ(good.outcome, Outcome::kOpened);
    const int fd = fileno(good.file.get());
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);  // reads wait as for any file
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);  // no helper inherits it
    char line[16] = {};
    ASSERT_NE(std::fgets(line, sizeof line, good.file.get()), nullptr);
    EXPECT_STREQ(line, "alpha\n");

    const platform::ListFileOpening missing = platform::OpenListFile((dir / "none.ini").string());
    EXPECT_EQ(missing.outcome, Outcome::kMissing);
    EXPECT_EQ(platform::OpenListFile((dir / "skewmon.ini" / "below").string()).outcome, Outcome::kMissing);

    for (Hostile kind : kEveryHostile) {
        const fs::path path = dir / ("hostile-" + std::to_string(static_cast<int>(kind)));
        make(kind, path);
        const auto started = std::chrono::steady_clock::now();
        const platform::ListFileOpening opening = platform::OpenListFile(path.string());
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s) << Describe(kind);
        EXPECT_EQ(opening.outcome, Outcome::kUnusable) << Describe(kind);
        EXPECT_FALSE(opening.file) << Describe(kind);
        EXPECT_FALSE(opening.reason.empty()) << Describe(kind);
    }
}

TEST_F(ListFileFolder, AFileWithoutReadPermissionIsUnusableNotMissing) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads any file; the program test covers it as another user";
    write(beside(), "alpha\n");
    ASSERT_EQ(chmod(beside().c_str(), 0), 0);
    const platform::ListFileOpening opening = platform::OpenListFile(beside());
    EXPECT_EQ(opening.outcome, Outcome::kUnusable);
    EXPECT_EQ(opening.reason, "Permission denied");
}

TEST_F(ListFileFolder, ThePlainlyNamedProgramReadsTheIniBesideIt) {
    write(beside(), "alpha\n");
    OpenMachineListFile(program);
    EXPECT_TRUE(program.app.machineListFile);
    EXPECT_EQ(program.app.machineListName, "");
    EXPECT_TRUE(program.app.problems.empty());
}

TEST_F(ListFileFolder, NoFileBesideIsTheUsualCaseAndNoProblem) {
    OpenMachineListFile(program);
    EXPECT_FALSE(program.app.machineListFile);
    EXPECT_TRUE(program.app.problems.empty());
}

TEST_F(ListFileFolder, AnUnusableFileBesideIsSaidAndTheBrowseListTakesOver) {
    for (Hostile kind : kEveryHostile) {
        fs::remove_all(beside());
        make(kind, beside());
        program.app.problems.clear();
        OpenMachineListFile(program);
        EXPECT_FALSE(program.app.machineListFile) << Describe(kind);
        ASSERT_EQ(program.app.problems.size(), 1u) << Describe(kind);
        const StartUpProblem& problem = program.app.problems[0];
        EXPECT_FALSE(problem.stopsReport);
        EXPECT_NE(problem.text.find("\"" + beside() + "\""), std::string::npos) << problem.text;
        EXPECT_NE(problem.text.find("not a regular file"), std::string::npos) << problem.text;
        EXPECT_NE(problem.text.find("browse list"), std::string::npos) << problem.text;
    }
}

TEST_F(ListFileFolder, ANamedFileThatCannotBeReadIsAnErrorEvenWithOneBeside) {
    write(beside(), "alpha\n");  // never a quiet switch to another source
    make(Hostile::kFifo, dir / "fifo.txt");
    fs::create_directory(dir / "folder");
    for (const fs::path& named : {dir / "missing.txt", dir / "fifo.txt", dir / "folder"}) {
        program.app.problems.clear();
        program.options = ParseCommandLine({"--list", named.string()});
        OpenMachineListFile(program);
        EXPECT_FALSE(program.app.machineListFile) << named;
        ASSERT_EQ(program.app.problems.size(), 1u) << named;
        EXPECT_TRUE(program.app.problems[0].stopsReport);
        EXPECT_NE(program.app.problems[0].text.find("\"" + named.string() + "\""), std::string::npos);
    }
}

TEST_F(ListFileFolder, ReportOfANamedFileNamesItByItsBaseName) {
    runner.set("ALPHA", {50});
    write(dir / "hosts.txt", "alpha\n");
    write(beside(), "bravo\n");
    EXPECT_EQ(report({"--report", "--list", (dir / "hosts.txt").string()}), 0);
    EXPECT_NE(out.str().find("\r\nfound in the hosts.txt file.\r\n"), std::string::npos) << out.str();
    EXPECT_EQ(runner.asked(), std::vector<std::string>{"\\\\ALPHA"});
    EXPECT_EQ(err.str().find("skewmon:"), std::string::npos) << err.str();
}

// The word asks for queries without a time limit only where it stands as an
// argument of its own, never inside a list file's path.
TEST_F(ListFileFolder, NothreadInAListFilesPathAsksForNothing) {
    runner.set("ALPHA", {50});
    write(dir / "nothread-hosts.txt", "alpha\n");
    EXPECT_EQ(report({"--report", "--list", (dir / "nothread-hosts.txt").string()}), 0);
    EXPECT_EQ(runner.inlineFlags(), std::vector<bool>{false});
    EXPECT_EQ(report({"--report", "--list=" + (dir / "nothread-hosts.txt").string(), "/NoThread"}), 0);
    EXPECT_EQ(runner.inlineFlags(), (std::vector<bool>{false, true}));
}

TEST_F(ListFileFolder, TheFileBesideKeepsItsFixedNameInTheReport) {
    runner.set("ALPHA", {50});
    write(beside(), "alpha\n");
    EXPECT_EQ(report({"--report"}), 0);
    EXPECT_NE(out.str().find("\r\nfound in the skewmon.ini file.\r\n"), std::string::npos) << out.str();
}

TEST_F(ListFileFolder, ANamedFileWithAControlCharacterStaysOneLineEverywhere) {
    runner.set("ALPHA", {50});
    const fs::path odd = dir / "ho\nst\x1b.txt";
    write(odd, "alpha\n");
    EXPECT_EQ(report({"--report", "--list", odd.string()}), 0);
    EXPECT_NE(out.str().find("\r\nfound in the ho?st?.txt file.\r\n"), std::string::npos) << out.str();

    fs::remove(odd);
    EXPECT_EQ(report({"--report", "--list", odd.string()}), 3);
    ASSERT_EQ(errLines().size(), 1u) << err.str();
    EXPECT_NE(errLines()[0].find("ho?st?.txt"), std::string::npos);
}

TEST_F(ListFileFolder, ReportEndsWithOneLineWhenTheNamedFileCannotBeRead) {
    write(beside(), "alpha\n");
    make(Hostile::kFifoWithSilentWriter, dir / "fifo.txt");
    fs::create_directory(dir / "folder");
    for (const fs::path& named : {dir / "missing.txt", dir / "fifo.txt", dir / "folder"}) {
        EXPECT_EQ(report({"--report", "--list", named.string()}), 3) << named;
        EXPECT_EQ(out.str(), "") << named;
        ASSERT_EQ(errLines().size(), 1u) << err.str();
        EXPECT_EQ(errLines()[0].rfind("skewmon: the machine list file \"" + named.string() + "\" cannot be read: ", 0),
                  0u)
            << errLines()[0];
    }
    EXPECT_EQ(errLines()[0].substr(errLines()[0].size() - 33), "not a regular file (a directory).");
    EXPECT_TRUE(runner.asked().empty());
}

TEST_F(ListFileFolder, ReportWarnsOnceAboutAnUnusableFileBesideAndScansTheBrowseList) {
    runner.set("ALPHA", {50});
    browser.domains["WORKSTATION"] = {{{2, "\\\\ALPHA"}}};
    make(Hostile::kFifoWithSilentWriter, beside());
    EXPECT_EQ(report({"--report"}), 0);
    const std::vector<std::string> lines = errLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "skewmon: warning: the machine list file \"" + beside() +
                            "\" cannot be read: not a regular file (a FIFO); the machines come from the "
                            "browse list instead.");
    for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i].find("skewmon:"), std::string::npos);
    EXPECT_NE(out.str().find("\r\nfound in the current browse list.\r\n"), std::string::npos) << out.str();
}

TEST_F(ListFileFolder, ProblemsThatStopTheReportComeBeforeAnyScan) {
    // Such as the entry point's own finding that the query helper is missing.
    write(beside(), "alpha\n");
    program.app.problems.push_back({"The time query helper \"/x/skewmon-tod\" cannot be started: gone.", true});
    program.options = ParseCommandLine({"--report"});
    EXPECT_EQ(runReport("--report"), 3);
    EXPECT_EQ(err.str(), "skewmon: the time query helper \"/x/skewmon-tod\" cannot be started: gone.\n");
    EXPECT_EQ(out.str(), "");
    EXPECT_TRUE(runner.asked().empty());
}

TEST_F(ListFileFolder, TheWindowShowsEachProblemInAnErrorBoxAndStartsWithoutTheFile) {
    write(beside(), "alpha\n");
    program.options = ParseCommandLine({"--list", (dir / "missing.txt").string()});
    OpenMachineListFile(program);
    start();
    const HeadlessSnapshot shown = dialog.snapshot();
    ASSERT_EQ(shown.messages.size(), 1u);
    EXPECT_EQ(shown.messages[0].title, "Skewmon Error");
    EXPECT_EQ(shown.messages[0].text, "The machine list file \"" + (dir / "missing.txt").string() +
                                          "\" cannot be read: No such file or directory.");
    EXPECT_NE(shown.rows(ctl::kDomainSelector), std::vector<std::string>{"Using File"});
}

TEST_F(ListFileFolder, TheWindowSaysOnceThatTheFileBesideIsUnusable) {
    make(Hostile::kDevZeroLink, beside());
    OpenMachineListFile(program);
    start();
    const HeadlessSnapshot shown = dialog.snapshot();
    ASSERT_EQ(shown.messages.size(), 1u);
    EXPECT_EQ(shown.messages[0].title, "Skewmon Error");
    EXPECT_NE(shown.messages[0].text.find("not a regular file (a device)"), std::string::npos);
    EXPECT_EQ(shown.rows(ctl::kDomainSelector), std::vector<std::string>{"WORKSTATION"});
}

TEST_F(ListFileFolder, WithoutItsHelperTheWindowSaysSoAndNoMachineSeemsToAnswer) {
    const std::string helper = (dir / "skewmon-tod").string();
    ASSERT_TRUE(platform::HelperProblem(helper));
    platform::ProcessQueryRunner missing(helper);
    Program withoutHelper(Platform{system, windows, missing, browser, discovery});
    withoutHelper.app.problems.push_back({"The time query helper is missing.", true});
    std::FILE* list = std::tmpfile();
    ASSERT_NE(list, nullptr);
    std::fputs("alpha\nbravo\n", list);
    std::fflush(list);
    withoutHelper.app.machineListFile.reset(list);

    MainDialog events(withoutHelper);
    platform::HeadlessDialog window;
    window.start(events);
    ASSERT_TRUE(window.waitUntil([](const HeadlessSnapshot& s) { return s.initialised; }, 10s));
    ASSERT_EQ(window.snapshot().messages.size(), 1u);
    EXPECT_EQ(window.snapshot().messages[0].title, "Skewmon Error");
    window.command(ctl::kScan);
    EXPECT_TRUE(window.waitUntil([](const HeadlessSnapshot& s) { return s.control(ctl::kSaveResults).enabled; },
                                 20s));
    EXPECT_EQ(window.snapshot().rows(ctl::kResultsList),
              (std::vector<std::string>{"ALPHA\tNo response or excessive latency",
                                        "BRAVO\tNo response or excessive latency"}));
    window.command(ctl::kClose);
    window.waitForEnd();
    events.waitForScans();
}

}  // namespace
}  // namespace skewmon::testing
