#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "scan/scan_driver.h"

namespace skewmon {
namespace {

TEST(ListLine, BlanksAndBackslashesAreStrippedAndNamesUpperCased) {
    EXPECT_EQ(NormaliseListLine("  server1  \r\n"), "SERVER1");
    EXPECT_EQ(NormaliseListLine("\\\\server2\n"), "SERVER2");
    EXPECT_EQ(NormaliseListLine("\t my pc \t\n"), "MY PC");
    EXPECT_EQ(NormaliseListLine("\\\\\\\\\\10.0.0.1"), "10.0.0.1");
}

TEST(ListLine, CommentsHeadingsAndEmptyLinesAreIgnored) {
    for (const char* line : {"; comment\n", "# comment\n", "[Section]\n", "\n", "   \r\n", "\\\\\n",
                             "-dash\n", "%s%n\n"}) {
        EXPECT_EQ(NormaliseListLine(line), "") << line;
    }
}

TEST(ListLine, OnlyAsciiLettersChangeCaseAndOtherBytesPassThrough) {
    EXPECT_EQ(NormaliseListLine("caf\xc3\xa9-01\n"), "CAF\xc3\xa9-01");
    EXPECT_EQ(NormaliseListLine("a%s%n%x\n"), "A%S%N%X");
}

class ListFile : public ::testing::Test {
protected:
    void SetUp() override { file_ = std::tmpfile(); ASSERT_NE(file_, nullptr); }
    void TearDown() override { if (file_) std::fclose(file_); }

    void write(const std::string& content) {
        std::fwrite(content.data(), 1, content.size(), file_);
        std::fflush(file_);
    }
    std::vector<std::string> read() {
        std::vector<std::string> names;
        std::atomic<bool> stop{false};
        ReadListMachines(file_, stop, [&](const std::string& name) { names.push_back(name); });
        return names;
    }

    std::FILE* file_ = nullptr;
};

TEST_F(ListFile, EveryReadStartsAgainFromTheTop) {
    write("  server1  \r\nhost-b\n");
    EXPECT_EQ(read(), (std::vector<std::string>{"SERVER1", "HOST-B"}));
    EXPECT_EQ(read(), (std::vector<std::string>{"SERVER1", "HOST-B"}));
}

TEST_F(ListFile, LongLinesAreReadInPiecesOf254) {
    write(std::string(300, 'a') + "\nlast");
    const std::vector<std::string> names = read();
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], std::string(254, 'A'));
    EXPECT_EQ(names[1], std::string(46, 'A'));
    EXPECT_EQ(names[2], "LAST");  // a last line without a line end still counts
}

TEST_F(ListFile, EmptyAndCommentOnlyFilesGiveNoMachines) {
    EXPECT_TRUE(read().empty());
    write("; only\n# comments\n[here]\n\n");
    EXPECT_TRUE(read().empty());
}

TEST_F(ListFile, StopEndsTheWalk) {
    write("one\ntwo\nthree\n");
    std::vector<std::string> names;
    std::atomic<bool> stop{false};
    ReadListMachines(file_, stop, [&](const std::string& name) {
        names.push_back(name);
        stop = true;
    });
    EXPECT_EQ(names, (std::vector<std::string>{"ONE"}));
}

}  // namespace
}  // namespace skewmon
