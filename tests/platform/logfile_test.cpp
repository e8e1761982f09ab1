// Log file primitive: folder, generations, append-only lines, checked on disk.
#include "platform/logfile/logfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempRoot.h"

namespace {

namespace fs = std::filesystem;
using plat::LogGenerationGap;
using testsupport::ReadFile;

class LogFilePrimitiveTest : public ::testing::Test {
  protected:
    std::string Stem() const { return root_.Path() + "/Test.LG"; }
    std::string Gen(int n) const { return Stem() + std::to_string(n); }
    // Generation n holds the text "g<n>".
    void Make(std::initializer_list<int> generations) {
        for (int n : generations) std::ofstream(Gen(n), std::ios::binary) << "g" << n;
    }
    // What generations 1..6 hold afterwards ("-" for missing).
    std::vector<std::string> Contents() const {
        std::vector<std::string> out;
        for (int n = 1; n <= 6; ++n)
            out.push_back(fs::exists(Gen(n)) ? ReadFile(Gen(n)) : std::string("-"));
        return out;
    }
    void Rotate(LogGenerationGap gap) {
        plat::RotateLogGenerations(plat::LogGenerationNames(Stem(), 5), gap);
    }
    testsupport::TempRoot root_;
};

TEST_F(LogFilePrimitiveTest, GenerationNamesAreTheStemWithItsNumber) {
    EXPECT_EQ(plat::LogGenerationNames("/x/a.LG", 3),
              (std::vector<std::string>{"/x/a.LG1", "/x/a.LG2", "/x/a.LG3"}));
}

TEST_F(LogFilePrimitiveTest, FullSetMovesUpAndTheOldestIsDroppedEitherWay) {
    for (LogGenerationGap gap : {LogGenerationGap::StopShift, LogGenerationGap::SkipIt}) {
        Make({1, 2, 3, 4, 5});
        Rotate(gap);
        EXPECT_EQ(Contents(), (std::vector<std::string>{"-", "g1", "g2", "g3", "g4", "-"}));
        for (int n = 1; n <= 5; ++n) fs::remove(Gen(n));
    }
}

TEST_F(LogFilePrimitiveTest, StopShiftMovesOnlyTheRunFromTheNewest) {
    Make({1, 2, 4, 5});
    Rotate(LogGenerationGap::StopShift);
    EXPECT_EQ(Contents(), (std::vector<std::string>{"-", "g1", "g2", "g4", "g5", "-"}));

    // Without a newest generation nothing moves at all.
    fs::remove(Gen(2));
    Rotate(LogGenerationGap::StopShift);
    EXPECT_EQ(Contents(), (std::vector<std::string>{"-", "-", "g2", "g4", "g5", "-"}));
}

TEST_F(LogFilePrimitiveTest, SkipItMovesEveryGenerationPastGaps) {
    Make({1, 2, 4, 5});
    Rotate(LogGenerationGap::SkipIt);
    // The oldest is replaced by the one before it.
    EXPECT_EQ(Contents(), (std::vector<std::string>{"-", "g1", "g2", "-", "g4", "-"}));

    // The oldest stays when nothing replaces it; a missing newest does not stop the others.
    Rotate(LogGenerationGap::SkipIt);
    EXPECT_EQ(Contents(), (std::vector<std::string>{"-", "-", "g1", "g2", "g4", "-"}));
}

TEST_F(LogFilePrimitiveTest, RotatingNothingOrOneNameIsHarmless) {
    plat::RotateLogGenerations({}, LogGenerationGap::SkipIt);
    Make({1});
    std::vector<std::string> one{Gen(1)};
    plat::RotateLogGenerations(one, LogGenerationGap::StopShift);
    EXPECT_EQ(ReadFile(Gen(1)), "g1");
}

TEST_F(LogFilePrimitiveTest, OpenEmptiesTheFileAppendsAndIsNotInherited) {
    Make({1});
    int fd = plat::OpenLogFile(Gen(1));
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_APPEND);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(ReadFile(Gen(1)), "");
    EXPECT_TRUE(plat::WriteLogLine(fd, "one\r\n"));
    // Even after a seek, lines land at the end.
    ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
    EXPECT_TRUE(plat::WriteLogLine(fd, "two\r\n"));
    EXPECT_EQ(ReadFile(Gen(1)), "one\r\ntwo\r\n");
    EXPECT_EQ(fs::status(Gen(1)).permissions() & fs::perms::owner_write, fs::perms::owner_write);
    plat::CloseLogFile(fd);
    EXPECT_EQ(fd, -1);
    plat::CloseLogFile(fd);  // twice is harmless
}

TEST_F(LogFilePrimitiveTest, TwoWritersOnTheirOwnDescriptorsKeepEveryLineWhole) {
    // Each writer opens the file on its own, as two logs of the same name would: without
    // appending, each would write from its own offset over the other's lines.
    constexpr int kLines = 2000;
    int fds[2] = {plat::OpenLogFile(Gen(1)), plat::OpenLogFile(Gen(1))};
    ASSERT_GE(fds[0], 0);
    ASSERT_GE(fds[1], 0);
    const std::string texts[2] = {"short", std::string(300, 'L')};
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kLines; ++i)
                EXPECT_TRUE(
                    plat::WriteLogLine(fds[w], texts[w] + " " + std::to_string(i) + "\r\n"));
        });
    }
    for (auto& t : writers) t.join();
    for (int& fd : fds) plat::CloseLogFile(fd);

    std::map<std::string, int> seen;
    std::istringstream in(ReadFile(Gen(1)));
    std::string line;
    int count[2] = {0, 0};
    while (std::getline(in, line)) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r') << line;
        line.pop_back();
        const size_t blank = line.rfind(' ');
        ASSERT_NE(blank, std::string::npos) << line;
        const std::string text = line.substr(0, blank);
        ASSERT_TRUE(text == texts[0] || text == texts[1]) << line;
        ++count[text == texts[0] ? 0 : 1];
        EXPECT_EQ(++seen[line], 1) << "twice: " << line;
    }
    EXPECT_EQ(count[0], kLines);
    EXPECT_EQ(count[1], kLines);
}

TEST_F(LogFilePrimitiveTest, FolderIsMadeWithItsParentsUnlessSomethingIsInTheWay) {
    const std::string deep = root_.Path() + "/a/b/c";
    EXPECT_TRUE(plat::MakeLogFolder(deep));
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_TRUE(plat::MakeLogFolder(deep));  // already there

    // A file where a folder should be: no folder, and no log file in it either.
    std::ofstream(root_.Path() + "/plain") << "x";
    EXPECT_FALSE(plat::MakeLogFolder(root_.Path() + "/plain"));
    EXPECT_FALSE(plat::MakeLogFolder(root_.Path() + "/plain/logs"));
    errno = 0;
    int fd = plat::OpenLogFile(root_.Path() + "/plain/logs/x.LG1");
    EXPECT_EQ(fd, -1);
    EXPECT_NE(errno, 0);
    EXPECT_FALSE(plat::WriteLogLine(fd, "lost\r\n"));
}

TEST_F(LogFilePrimitiveTest, AFailedWriteIsReportedAsSuch) {
    int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "no /dev/full here";
    EXPECT_FALSE(plat::WriteLogLine(fd, "nowhere\r\n"));
    plat::CloseLogFile(fd);
}

}  // namespace
