// The history file: its lines, what a damaged file still gives, the locked
// append from several writers at once, pruning by atomic rewrite, and the
// file's safety (mode, links, special files).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app/drift_history.h"
#include "platform/files.h"
#include "tests/app/history_machines.h"

namespace skewmon {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kStart = testing::kHistoryStart;
using testing::Machine;


HistoryRecord Record(std::int64_t timeMs, std::int64_t offset = 1234) {
    return {timeMs, "", {Machine("SRV1", true, offset, 2.5, "negotiate"), Machine("SRV2", false, 0, 0, "")}};
}

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class HistoryFile : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("skewmon-history-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                              "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
        path = (folder / "history.jsonl").string();
    }
    void TearDown() override { fs::remove_all(folder); }

    fs::path folder;
    std::string path;
};

TEST(HistoryLines, ARecordRoundTripsOnOneLine) {
    HistoryRecord record = Record(kStart + 1234);
    record.reference = "PDC";
    record.machines.push_back({"a \"quoted\"\nname\\", true, -99, 1000, "time of day", 2500});
    const std::string line = HistoryLine(record);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_EQ(line.rfind("{\"time\":\"2026-12-08T00:00:01.234Z\",\"reference\":\"PDC\",\"machines\":[{\"name\":\"SRV1\","
                         "\"answered\":true,\"offsetMs\":1234,\"errorBoundMs\":2.5,\"method\":\"negotiate\"},{\"name\":"
                         "\"SRV2\",\"answered\":false,\"offsetMs\":null,\"errorBoundMs\":null,\"method\":null}",
                         0),
              0u)
        << line;
    const std::optional<HistoryRecord> back = ParseHistoryLine(line);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->timeMs, kStart + 1234);
    EXPECT_EQ(back->reference, "PDC");
    ASSERT_EQ(back->machines.size(), 3u);
    EXPECT_EQ(back->machines[2].name, "a \"quoted\"\nname\\");
    EXPECT_EQ(back->machines[2].offsetMs, -99);
    EXPECT_EQ(ReadingTimeMs(*back, back->machines[2]), kStart + 1234 + 2500);
    EXPECT_EQ(ReadingTimeMs(*back, back->machines[0]), kStart + 1234);
    EXPECT_FALSE(back->machines[1].answered);
}

TEST(HistoryLines, NamesThatAreNotUtf8ComeBackWithReplacementCharacters) {
    HistoryRecord record = Record(kStart);
    record.machines[0].name = "caf\xe9";
    const std::optional<HistoryRecord> back = ParseHistoryLine(HistoryLine(record));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->machines[0].name, "caf\xef\xbf\xbd");
}

TEST(HistoryLines, AnythingButARecordIsUnreadable) {
    const std::string good = HistoryLine(Record(kStart));
    for (const std::string& bad :
         {std::string("garbage"), good.substr(0, good.size() / 2), std::string("{\"time\":\"yesterday\",\"machines\":[]}"),
          std::string("[1,2,3]"), std::string("{\"time\":\"2026-12-08T00:00:00Z\",\"machines\":[{\"name\":5}]}"),
          std::string("{\"time\":\"2026-12-08T00:00:00Z\",\"machines\":[{\"name\":\"x\",\"answered\":true,"
                      "\"offsetMs\":1.5,\"errorBoundMs\":1,\"method\":\"negotiate\"}]}"),
          std::string("{\"time\":\"2026-12-08T00:00:00Z\",\"machines\":[{\"name\":\"x\",\"answered\":true,"
                      "\"offsetMs\":1,\"errorBoundMs\":-1,\"method\":\"negotiate\"}]}")})
        EXPECT_FALSE(ParseHistoryLine(bad)) << bad;
    EXPECT_TRUE(ParseHistoryLine("{\"time\":\"2026-12-08T00:00:00Z\",\"machines\":[]}"));
}

TEST(HistoryLines, AFileWithGarbageGivesEveryRecordAndCountsTheRest) {
    const std::string good = HistoryLine(Record(kStart));
    const HistoryContent content =
        ParseHistory(good + "not json\n\n" + good + "{\"other\":\"program\"}\r\n" + good + good.substr(0, 30));
    EXPECT_EQ(content.records.size(), 3u);
    EXPECT_EQ(content.unreadableLines, 3);
    EXPECT_FALSE(content.endsInLineEnd);
}

TEST(HistoryTimes, IsoTimesRoundTripAndBadOnesAreRefused) {
    for (std::int64_t t : {std::int64_t{0}, kStart + 999, std::int64_t{951782400000} /* 2000-02-29 */, std::int64_t{-1}})
        EXPECT_EQ(ParseIsoUtc(IsoUtc(t)), t) << IsoUtc(t);
    EXPECT_EQ(IsoUtc(kStart + 3723004), "2026-12-08T01:02:03.004Z");
    EXPECT_EQ(ParseIsoUtc("2026-12-08T01:02:03Z"), kStart + 3723000);
    for (const char* bad : {"2026-02-30T00:00:00Z", "2026-12-08 01:02:03Z", "2026-12-08T01:02:03", "2026-13-01T00:00:00Z",
                            "2026-12-08T24:00:00Z", "2026-12-08T01:02:03.4Z", "+026-12-08T01:02:03Z"})
        EXPECT_FALSE(ParseIsoUtc(bad)) << bad;
}

TEST_F(HistoryFile, TheFirstScanCreatesTheFileAndEachScanAddsOneLine) {
    for (int i = 0; i < 3; ++i) {
        const HistoryUpdate update = UpdateHistoryFile(path, Record(kStart + i * 60000), 30);
        ASSERT_EQ(update.error, "");
        EXPECT_EQ(update.content.records.size(), static_cast<std::size_t>(i + 1));
        EXPECT_EQ(update.content.records.back().timeMs, kStart + i * 60000);
    }
    const HistoryContent content = ParseHistory(ReadFile(path));
    EXPECT_EQ(content.records.size(), 3u);
    EXPECT_EQ(content.unreadableLines, 0);
#ifndef _WIN32
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
#endif
}

TEST_F(HistoryFile, ALineCutShortNeitherSwallowsTheNextRecordNorIsLost) {
    const std::string good = HistoryLine(Record(kStart));
    WriteFile(path, "garbage line\n" + good + good.substr(0, 25));
    const HistoryUpdate update = UpdateHistoryFile(path, Record(kStart + 60000), 30);
    ASSERT_EQ(update.error, "");
    EXPECT_EQ(update.content.records.size(), 2u);
    EXPECT_EQ(update.content.unreadableLines, 2);
    const std::string text = ReadFile(path);
    EXPECT_EQ(text, "garbage line\n" + good + good.substr(0, 25) + "\n" + HistoryLine(Record(kStart + 60000)));
}

TEST_F(HistoryFile, OldRecordsGoByAnAtomicRewriteThatKeepsEverythingElse) {
    std::string text;
    for (int day = 0; day < 10; ++day) text += HistoryLine(Record(kStart + day * kMsPerDay));
    text += "someone else's line\n";
    WriteFile(path, text);
    const HistoryUpdate update = UpdateHistoryFile(path, Record(kStart + 10 * kMsPerDay), 3);
    ASSERT_EQ(update.error, "");
    EXPECT_EQ(update.dropped, 7);
    // Days 7, 8, 9 and the new one.
    ASSERT_EQ(update.content.records.size(), 4u);
    EXPECT_EQ(update.content.records.front().timeMs, kStart + 7 * kMsPerDay);
    const HistoryContent written = ParseHistory(ReadFile(path));
    EXPECT_EQ(written.records.size(), 4u);
    EXPECT_EQ(written.unreadableLines, 1);
    // Nothing left beside it.
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++files;
    EXPECT_EQ(files, 1);
}

TEST_F(HistoryFile, WritersAtTheSameTimeTakeTurnsAndLoseNothing) {
    // Each writer prunes now and then too (a record far in the future makes
    // the others old), which replaces the file under the other writers.
    constexpr int kWriters = 3, kEach = 20;
    std::vector<std::thread> writers;
    std::vector<std::string> errors(kWriters);
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < kEach; ++i) {
                const HistoryUpdate update = UpdateHistoryFile(path, Record(kStart + (w * kEach + i) * 1000, w), 30);
                if (!update.error.empty()) errors[w] = update.error;
            }
        });
    for (std::thread& writer : writers) writer.join();
    for (const std::string& error : errors) EXPECT_EQ(error, "");
    const HistoryContent content = ParseHistory(ReadFile(path));
    EXPECT_EQ(content.records.size(), static_cast<std::size_t>(kWriters * kEach));
    EXPECT_EQ(content.unreadableLines, 0);
}

TEST_F(HistoryFile, ARewriteUnderAWaitingWriterLosesNothing) {
    std::string text;
    for (int day = 0; day < 5; ++day) text += HistoryLine(Record(kStart + day * kMsPerDay));
    WriteFile(path, text);
    // One writer prunes (renaming a new file over the path) while another
    // waits for the lock on the old one.
    platform::LockedFileOpening held = platform::OpenLockedFile(path);
    ASSERT_EQ(held.error, "");
    std::thread waiting([&] { EXPECT_EQ(UpdateHistoryFile(path, Record(kStart + 5 * kMsPerDay), 30).error, ""); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::string error;
    ASSERT_TRUE(held.file.replaceAll(HistoryLine(Record(kStart + 4 * kMsPerDay)), error)) << error;
    held.file = platform::LockedFile();
    waiting.join();
    const HistoryContent content = ParseHistory(ReadFile(path));
    ASSERT_EQ(content.records.size(), 2u);
    EXPECT_EQ(content.records.back().timeMs, kStart + 5 * kMsPerDay);
}

#ifndef _WIN32
TEST_F(HistoryFile, IsNeverFollowedThroughSomeoneElsesLink) {
    const fs::path target = folder / "precious";
    WriteFile(target, "keep me\n");
    fs::create_symlink(target, path);
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the link to another user";
    ASSERT_EQ(lchown(path.c_str(), 65534, 65534), 0);
    const HistoryUpdate update = UpdateHistoryFile(path, Record(kStart), 30);
    EXPECT_EQ(update.error, "a symbolic link that belongs to another user: not followed");
    EXPECT_EQ(ReadFile(target), "keep me\n");
}

TEST_F(HistoryFile, OnesOwnLinkLeadsToTheFileAndStaysALinkThroughARewrite) {
    const fs::path target = folder / "real.jsonl";
    WriteFile(target, HistoryLine(Record(kStart)));
    fs::create_symlink(target, path);
    ASSERT_EQ(UpdateHistoryFile(path, Record(kStart + 40 * kMsPerDay), 30).error, "");
    EXPECT_TRUE(fs::is_symlink(path));
    const HistoryContent content = ParseHistory(ReadFile(target));
    ASSERT_EQ(content.records.size(), 1u);
    EXPECT_EQ(content.records[0].timeMs, kStart + 40 * kMsPerDay);
}

TEST_F(HistoryFile, SpecialFilesAreRefusedWithoutWaiting) {
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(UpdateHistoryFile(path, Record(kStart), 30).error, "not a regular file (a FIFO)");
    EXPECT_EQ(UpdateHistoryFile(folder.string(), Record(kStart), 30).error, "Is a directory");
}
#endif

}  // namespace
}  // namespace skewmon
