#include "app/startup.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/command_line.h"
#include "app/console_formats.h"
#include "app/console_report.h"
#include "platform/files.h"

namespace skewmon {
namespace {

// The Windows program's rule, kept as it was.
TEST(ListFilePath, ExtensionOfTheWholePathIsReplaced) {
    EXPECT_EQ(ListFilePathFor("C:\\Tools\\skewmon.exe"), "C:\\Tools\\skewmon.ini");
    EXPECT_EQ(ListFilePathFor("/opt/tools/skewmon.bin"), "/opt/tools/skewmon.ini");
    // The last dot may lie in a folder name: the path is cut there.
    EXPECT_EQ(ListFilePathFor("C:\\v1.2\\skewmon"), "C:\\v1.ini");
    EXPECT_EQ(ListFilePathFor("/usr/local/bin/skewmon"), platform::RootListFilePath());
}

TEST(ListFilePath, OnlyTheFirst255CharactersOfThePathCount) {
    std::string longPath = "/" + std::string(260, 'a') + ".exe";
    EXPECT_EQ(ListFilePathFor(longPath), platform::RootListFilePath());
    std::string fits = "/" + std::string(200, 'a') + ".exe";
    EXPECT_EQ(ListFilePathFor(fits), "/" + std::string(200, 'a') + ".ini");
}

TEST(ListFilePath, OnLinuxOnlyTheFileNameHasAnExtension) {
    EXPECT_EQ(ListFilePathForFileName("/opt/skewmon/skewmon.bin"), "/opt/skewmon/skewmon.ini");
    EXPECT_EQ(ListFilePathForFileName("/usr/local/bin/skewmon"), "/usr/local/bin/skewmon.ini");
    EXPECT_EQ(ListFilePathForFileName("/home/ann/tools.d/skewmon"), "/home/ann/tools.d/skewmon.ini");
    EXPECT_EQ(ListFilePathForFileName("/skewmon"), "/skewmon.ini");
    EXPECT_EQ(ListFilePathForFileName("/opt/v1.2/skewmon.x86_64"), "/opt/v1.2/skewmon.ini");
    EXPECT_EQ(ListFilePathForFileName("/opt/v1.2/skewmon.tar.gz"), "/opt/v1.2/skewmon.tar.ini");
    // A leading dot hides a file; it is no extension.
    EXPECT_EQ(ListFilePathForFileName("/opt/.skewmon"), "/opt/.skewmon.ini");
    EXPECT_EQ(ListFilePathForFileName("/opt/skewmon."), "/opt/skewmon.ini");
    EXPECT_EQ(ListFilePathForFileName("skewmon"), "skewmon.ini");
    // Linux paths are longer than the Windows buffer: never cut.
    const std::string deep = "/" + std::string(300, 'd') + ".d/skewmon";
    EXPECT_EQ(ListFilePathForFileName(deep), deep + ".ini");
}

TEST(ListFilePath, ThePlatformPicksTheRule) {
    const std::string exe = "/home/ann/tools.d/skewmon";
    EXPECT_EQ(DefaultListFilePath(exe, platform::ListFileNaming::kLastDotOfFileName), exe + ".ini");
    EXPECT_EQ(DefaultListFilePath(exe, platform::ListFileNaming::kLastDotOfPath), "/home/ann/tools.ini");
    EXPECT_EQ(DefaultListFilePath("C:\\v1.2\\skewmon", platform::ListFileNaming::kLastDotOfPath), "C:\\v1.ini");
#ifdef _WIN32
    EXPECT_EQ(platform::ListFileNamingRule(), platform::ListFileNaming::kLastDotOfPath);
#else
    EXPECT_EQ(platform::ListFileNamingRule(), platform::ListFileNaming::kLastDotOfFileName);
#endif
}

TEST(ListFilePath, ShownPathsStayOnOneLine) {
    EXPECT_EQ(ShownPath("/tmp/a\nb\x1b\x7f.txt"), "/tmp/a?b??.txt");
    EXPECT_EQ(ShownPath("/tmp/caf\xc3\xa9 list.txt"), "/tmp/caf\xc3\xa9 list.txt");
}

TEST(InlineMode, AnySubstringInAnyCaseAndTheLineIsLeftUpperCased) {
    for (const char* line : {"/nothread", "-NoThread", "xNOTHREADx", "--report nothread"}) {
        std::string commandLine = line;
        EXPECT_TRUE(DetectInlineMode(commandLine)) << line;
    }
    for (const char* line : {"", "NO THREAD", "/thread"}) {
        std::string commandLine = line;
        EXPECT_FALSE(DetectInlineMode(commandLine)) << line;
    }
    std::string commandLine = "/NoThread";
    DetectInlineMode(commandLine);
    EXPECT_EQ(commandLine, "/NOTHREAD");
}

class FakeRegistry final : public platform::Registry {
public:
    long status = 0;
    std::string data;
    std::string askedKey, askedValue;
    std::size_t offered = 0;

    long queryValue(std::string_view key, std::string_view name, std::span<unsigned char> buffer,
                    std::uint32_t& size) override {
        askedKey = key;
        askedValue = name;
        offered = buffer.size();
        if (status != 0) return status;
        if (data.size() > buffer.size()) {
            size = static_cast<std::uint32_t>(data.size());
            return 234;  // more data
        }
        std::memcpy(buffer.data(), data.data(), data.size());
        size = static_cast<std::uint32_t>(data.size());
        return 0;
    }
};

TEST(NetworkProvider, DefaultStaysWhenTheValueIsMissingOrTooLong) {
    FakeRegistry registry;
    registry.status = 2;
    std::string provider = "stale";
    EXPECT_FALSE(ReadNetworkProviderName(registry, provider));
    EXPECT_EQ(provider, "Microsoft Windows Network");
    EXPECT_EQ(registry.askedKey, "System\\CurrentControlSet\\Services\\LanmanWorkstation\\NetworkProvider");
    EXPECT_EQ(registry.askedValue, "Name");

    registry.status = 0;
    registry.data = std::string(127, 'x');
    EXPECT_FALSE(ReadNetworkProviderName(registry, provider));
    EXPECT_EQ(provider, "Microsoft Windows Network");
}

TEST(NetworkProvider, ValueIsTakenWithOrWithoutTerminator) {
    FakeRegistry registry;
    std::string provider;
    registry.data = std::string("Other Network\0", 14);
    EXPECT_TRUE(ReadNetworkProviderName(registry, provider));
    EXPECT_EQ(provider, "Other Network");
    EXPECT_EQ(registry.offered, 126u);

    registry.data = std::string(126, 'n');  // exactly the room offered, no terminator
    EXPECT_TRUE(ReadNetworkProviderName(registry, provider));
    EXPECT_EQ(provider, std::string(126, 'n'));
}

TEST(Fonts, NinePointHeightFollowsTheScreen) {
    EXPECT_EQ(FontHeightForDpi(9, 96), -12);
    EXPECT_EQ(FontHeightForDpi(9, 120), -15);
    EXPECT_EQ(FontHeightForDpi(9, 144), -18);
    EXPECT_EQ(FontHeightForDpi(8, 96), -11);  // 10.67 rounds to 11
}

TEST(CommandLine, RequestsInAnyCaseBesideInlineMode) {
    auto request = [](std::vector<std::string> args) { return ParseCommandLine(args).request; };
    EXPECT_EQ(request({"--report"}), ConsoleRequest::kReport);
    EXPECT_EQ(request({"NOTHREAD", "--Report"}), ConsoleRequest::kReport);
    EXPECT_EQ(request({"--HELP"}), ConsoleRequest::kHelp);
    EXPECT_EQ(request({"--report", "--version"}), ConsoleRequest::kVersion);
    EXPECT_EQ(request({"--report", "--bogus", "--help"}), ConsoleRequest::kHelp);
    EXPECT_EQ(request({"nothread"}), ConsoleRequest::kNone);
    EXPECT_EQ(ParseCommandLine({"/nothread", "-NoThread", "xNOTHREADx"}).error, "");
}

TEST(CommandLine, ValuesAndTheirErrors) {
    const CommandLineOptions good =
        ParseCommandLine({"--report", "--list", "My Hosts.TXT", "--parallel=64", "--FORMAT", "Json"});
    EXPECT_EQ(good.error, "");
    EXPECT_EQ(good.listFile, "My Hosts.TXT");  // the path keeps its case
    EXPECT_EQ(good.parallel, 64);
    EXPECT_EQ(good.format, ReportFormat::kJson);
    EXPECT_EQ(ParseCommandLine({"--list=a=b"}).listFile, "a=b");
    // A list of thousands is asked many at a time unless told otherwise.
    EXPECT_EQ(ParseCommandLine({"--report"}).parallel, kDefaultReportParallel);
    EXPECT_EQ(ParseCommandLine({"--report", "--parallel", std::to_string(kMaxParallel)}).parallel, kMaxParallel);

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--report", "--parallel", "0"}, {"--parallel", std::to_string(kMaxParallel + 1)}, {"--parallel", "8x"},
          {"--parallel"}, {"--format", "xml"}, {"--list"}, {"--list="}, {"--reports"}, {"stray"},
          {"--report", "%s%n"}}) {
        EXPECT_NE(ParseCommandLine(bad).error, "") << JoinedCommandLine(bad);
    }
    const std::string line = UsageErrorLine(ParseCommandLine({"--bad\n\x01"}).error);
    EXPECT_EQ(line.find('\n'), line.size() - 1);  // one line, whatever the argument held
}

TEST(ConsoleMode, ExitStatusFollowsMonitoringConvention) {
    auto status = [](Grade grade, int found) {
        ScanResult scan;
        scan.machinesFound = found;
        scan.grade.level = grade;
        return ExitStatus(scan, {});
    };
    EXPECT_EQ(status(Grade::kOutstanding, 3), 0);
    EXPECT_EQ(status(Grade::kExcellent, 1), 0);
    EXPECT_EQ(status(Grade::kAcceptable, 2), 1);
    EXPECT_EQ(status(Grade::kFair, 2), 1);
    EXPECT_EQ(status(Grade::kPoor, 2), 2);
    EXPECT_EQ(status(Grade::kUnacceptable, 2), 2);
    EXPECT_EQ(status(Grade::kNotSynchronized, 2), 2);
    EXPECT_EQ(status(Grade::kNone, 0), 3);
    EXPECT_EQ(status(Grade::kOutstanding, 0), 3);
}

}  // namespace
}  // namespace skewmon
