#include "platform/win32/win32_system.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "app/startup.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/win32/browse_win32.h"
#include "platform/win32/win32_util.h"
#include "scan/scan_driver.h"

namespace skewmon::platform::win32 {
namespace {

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string FileName(const std::string& path) { return path.substr(path.find_last_of('\\') + 1); }

TEST(Win32Registry, ReadsValuesBelowTheLocalMachineRoot) {
    Win32Registry registry;
    unsigned char buffer[256] = {};
    std::uint32_t size = sizeof buffer;
    const char key[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    ASSERT_EQ(registry.queryValue(key, "CurrentVersion", buffer, size), ERROR_SUCCESS);
    EXPECT_GT(size, 1u);
    EXPECT_NE(buffer[0], 0);

    // Two leading backslashes name the same key from the root.
    unsigned char again[256] = {};
    std::uint32_t againSize = sizeof again;
    EXPECT_EQ(registry.queryValue(std::string("\\\\") + key, "CurrentVersion", again, againSize), ERROR_SUCCESS);
    EXPECT_EQ(againSize, size);

    // Data longer than the buffer is refused, not cut.
    unsigned char tiny[1];
    std::uint32_t tinySize = sizeof tiny;
    EXPECT_EQ(registry.queryValue(key, "CurrentVersion", tiny, tinySize), ERROR_MORE_DATA);

    std::uint32_t missingSize = sizeof buffer;
    EXPECT_EQ(registry.queryValue(key, "NoSuchValueHere", buffer, missingSize), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(registry.queryValue("SOFTWARE\\No\\Such\\Key", "Name", buffer, missingSize), ERROR_FILE_NOT_FOUND);
}

TEST(Win32Registry, AMissingProviderValueLeavesTheDefaultName) {
    // No network provider is registered under Wine; on Windows the value is
    // there and gives a name of its own.
    Win32Registry registry;
    std::string provider;
    const bool read = ReadNetworkProviderName(registry, provider);
    EXPECT_FALSE(provider.empty());
    if (!read) {
        EXPECT_EQ(provider, "Microsoft Windows Network");
    }
}

TEST(ZoneStream, PathsMustLeaveRoomForTheStreamSuffix) {
    const ZoneStreamPath fits = ZoneStreamPathFor(std::wstring(246, L'a'));
    EXPECT_EQ(fits.error, 0u);
    EXPECT_EQ(fits.path.size(), 262u);
    EXPECT_EQ(fits.path.substr(246), L":Zone.Identifier");

    EXPECT_EQ(ZoneStreamPathFor(std::wstring(247, L'a')).error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(ZoneStreamPathFor(std::wstring(300, L'a')).error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    Win32System system;
    std::uint32_t error = 0;
    EXPECT_FALSE(system.removeZoneIdentifier(std::string(300, 'a'), error));
    EXPECT_EQ(error, static_cast<std::uint32_t>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(ZoneStream, IsRemovedWhereItExistsAndAbsenceIsNoError) {
    Win32System system;
    const std::optional<std::string> directory = system.tempPath(255);
    ASSERT_TRUE(directory);
    std::unique_ptr<NewFile> made = system.createUniqueTempFile(*directory, "SKZ");
    ASSERT_TRUE(made);
    ASSERT_TRUE(made->close());
    const std::optional<std::string> file = made->path();

    std::uint32_t error = 99;
    EXPECT_FALSE(system.removeZoneIdentifier(*file, error));
    EXPECT_EQ(error, 0u);

    // Where the file system has streams (not under Wine), make one and see it go.
    const std::wstring stream = AnsiToWide(*file, 300) + L":Zone.Identifier";
    UniqueHandle created(CreateFileW(stream.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    if (created) {
        created.reset();
        EXPECT_TRUE(system.removeZoneIdentifier(*file, error));
        EXPECT_EQ(error, 0u);
        EXPECT_EQ(GetFileAttributesW(stream.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_TRUE(FileExists(*file));  // the file itself stays
    }
    DeleteFileQuietly(*file);

    // The program's own executable: never an error when it has no stream.
    system.removeZoneIdentifier(std::nullopt, error);
    EXPECT_EQ(error, 0u);
}

TEST(Win32System, MakesUniqueEmptyReportFilesInTheTemporaryDirectory) {
    Win32System system;
    const std::optional<std::string> directory = system.tempPath(255);
    ASSERT_TRUE(directory);
    EXPECT_EQ(directory->back(), '\\');
    EXPECT_FALSE(system.tempPath(3));  // does not fit: none rather than a cut path

    std::unique_ptr<NewFile> first = system.createUniqueTempFile(*directory, "SKW");
    std::unique_ptr<NewFile> second = system.createUniqueTempFile(*directory, "SKW");
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_NE(first->path(), second->path());
    for (NewFile* file : {first.get(), second.get()}) {
        const std::string path = file->path();
        EXPECT_EQ(path.rfind(*directory, 0), 0u) << path;
        EXPECT_EQ(FileName(path).rfind("SKW", 0), 0u) << path;
        WIN32_FILE_ATTRIBUTE_DATA data;
        ASSERT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) << path;
        EXPECT_EQ(data.nFileSizeLow, 0u);
        // Open for this program alone until it is done with it.
        EXPECT_FALSE(UniqueHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, 0, nullptr)));
        EXPECT_TRUE(file->write("report\r\n"));
        EXPECT_TRUE(file->close());
        EXPECT_FALSE(file->write("more"));
        ASSERT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) << path;
        EXPECT_EQ(data.nFileSizeLow, 8u);
        DeleteFileQuietly(path);
        EXPECT_FALSE(FileExists(path));
    }
    DeleteFileQuietly(first->path());  // already gone: ignored

    EXPECT_FALSE(system.createUniqueTempFile(*directory + "no-such-folder\\", "SKW"));
    EXPECT_EQ(system.fallbackTempDirectory(), "c:\\");
    EXPECT_EQ(system.fallbackReportPath(), "c:\\skewmon.txt");
}

TEST(Win32System, ANamedNewFileIsNeverOneThatExists) {
    Win32System system;
    const std::optional<std::string> directory = system.tempPath(255);
    ASSERT_TRUE(directory);
    const std::string path = *directory + "skewmon-new-file-test.txt";
    DeleteFileA(path.c_str());
    {
        UniqueHandle mine(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(mine);
        DWORD written = 0;
        WriteFile(mine.get(), "mine", 4, &written, nullptr);
    }
    EXPECT_FALSE(system.createNewFile(path));  // a user's own file of that name is left alone
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, 4u);
    DeleteFileA(path.c_str());

    std::unique_ptr<NewFile> fresh = system.createNewFile(path);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->path(), path);
    EXPECT_TRUE(fresh->write("report"));
    EXPECT_TRUE(fresh->close());
    ASSERT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, 6u);
    DeleteFileA(path.c_str());
}

TEST(Win32System, NamesTheComputerAndTheExecutable) {
    Win32System system;
    char expected[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof expected;
    ASSERT_TRUE(GetComputerNameA(expected, &size));
    EXPECT_EQ(system.computerName(80), expected);
    EXPECT_LE(system.computerName(2).size(), 1u);

    const std::optional<std::string> exe = system.executablePath();
    ASSERT_TRUE(exe);
    EXPECT_EQ(exe->substr(exe->size() - 4), ".exe");
    EXPECT_EQ(ListFilePathFor(*exe), exe->substr(0, exe->size() - 4) + ".ini");
}

TEST(Win32Text, UpperCasesByTheCodePageAndConvertsBothWays) {
    std::string name = "server-01 \\\\lab";
    UpperCaseInPlace(name);
    EXPECT_EQ(name, "SERVER-01 \\\\LAB");
    EXPECT_STREQ(RootListFilePath(), "\\skewmon.ini");

    EXPECT_EQ(AnsiToWide("ALPHA", 256), L"ALPHA");
    EXPECT_EQ(AnsiToWide("ALPHA", 3), L"AL");
    EXPECT_EQ(WideToAnsi(L"BRAVO", 128), "BRAVO");
    EXPECT_EQ(WideToAnsi(L"BRAVO", 1), "");
}

TEST(WNetBrowser, AnUnknownDomainGivesNoMachines) {
    WNetBrowser browser;
    std::atomic<bool> stop{false};
    int machines = 0;
    BrowseMachines(browser, "NO-SUCH-DOMAIN-7F3A", "Microsoft Windows Network", stop,
                   [&](const std::string&) { ++machines; });
    EXPECT_EQ(machines, 0);
}

}  // namespace
}  // namespace skewmon::platform::win32
