// The library's log files: settings, place, rotation, levels and line format, checked on disk.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "tests/fieldbus/FieldbusKit.h"

using namespace fbtest;
using mb::CLogFile;

namespace {

namespace fs = std::filesystem;

class LogTest : public ::testing::Test {
  protected:
    std::string Root() const { return root_.Path(); }
    // Writes one line of every kind.
    static void WriteAll(CLogFile& log) {
        log.Info("info %d", 1);
        log.Warning("warn %s", "two");
        log.Trace("trace %X", 0xAB);
        log.Error("error %u", 4u);
        log.Always("always");
    }
    static std::vector<std::string> Texts(const std::string& file) {
        std::vector<std::string> out;
        auto lines = Lines(ReadText(file));
        for (size_t i = 1; i < lines.size(); ++i) out.push_back(lines[i].substr(13));
        return out;
    }
    testsupport::TempRoot root_;
};

TEST_F(LogTest, Level3WritesInfoWarningAndErrorButNoTrace) {
    SetParameters("PROTOCOL=3 PROTOCOLPATH=D:\\LOGS");
    {
        CLogFile log("ModbusDevice.lg");
        EXPECT_TRUE(log.IsEnabled());
        EXPECT_EQ(log.Level(), 3);
        WriteAll(log);
    }
    const std::string file = Root() + "/d/logs/ModbusDevice.lg1";
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(Texts(file),
              (std::vector<std::string>{"info 1", "WARNING:warn two", "ERROR:error 4", "always"}));
}

TEST_F(LogTest, LevelIsReadAtTheFirstOccurrenceOnly) {
    // PROTOCOLPATH first: the level is read behind its name, which gives 0, so only the
    // header and always-lines are written; the folder is still taken.
    SetParameters("PROTOCOLPATH=D:\\LOGS PROTOCOL=3");
    {
        CLogFile log("ModbusDevice.lg");
        EXPECT_TRUE(log.IsEnabled());
        EXPECT_EQ(log.Level(), 0);
        EXPECT_EQ(log.Path(), Root() + "/d/logs/ModbusDevice.lg");
        WriteAll(log);
    }
    EXPECT_EQ(Texts(Root() + "/d/logs/ModbusDevice.lg1"), std::vector<std::string>{"always"});
    EXPECT_EQ(mb::ParseLogSettings("PROTOCOL=2 PROTOCOLPATH=D:\\LOGS PROTOCOL=4").level, 2);
    EXPECT_EQ(mb::ParseLogSettings("COM1=ZRN PROTOCOL=4").level, 4);
    EXPECT_EQ(mb::ParseLogSettings("PROTOCOL=").level, 0);
}

TEST_F(LogTest, LevelsOutsideOneToFourCountAsZero) {
    for (const char* value : {"PROTOCOL=0", "PROTOCOL=7", "protocol=x", "PROTOCOLPATH=C:\\"}) {
        SetParameters(value);
        {
            CLogFile log("NorvaltDrv3.lg");
            EXPECT_TRUE(log.IsEnabled()) << value;
            EXPECT_EQ(log.Level(), 0) << value;
            WriteAll(log);
        }
        // No PROTOCOLPATH: the root of drive C.
        const std::string file = Root() + "/c/NorvaltDrv3.lg1";
        auto lines = Lines(ReadText(file));
        ASSERT_EQ(lines.size(), 2u) << value;  // header and the always-line
        EXPECT_EQ(lines[1].substr(13), "always");
    }
}

TEST_F(LogTest, NoSettingsNoLog) {
    CLogFile none("ModbusDevice.lg");
    EXPECT_FALSE(none.IsEnabled());
    EXPECT_FALSE(none.Always("dropped"));
    SetParameters("FLATPOSTS=1");
    CLogFile off("ModbusDevice.lg");
    EXPECT_FALSE(off.IsEnabled());
    EXPECT_FALSE(off.Error("dropped"));
    EXPECT_FALSE(fs::exists(Root() + "/c"));
}

TEST_F(LogTest, PosixPathKeepsItsCase) {
    SetParameters("PROTOCOL=1 PROTOCOLPATH=" + Root() + "/Logs/Bus");
    CLogFile log("ModbusDevice.lg");
    EXPECT_TRUE(log.Error("x"));
    EXPECT_FALSE(log.Warning("not at level 1"));
    EXPECT_TRUE(fs::exists(Root() + "/Logs/Bus/ModbusDevice.lg1"));
}

TEST_F(LogTest, FiveGenerationsAreKept) {
    SetParameters("PROTOCOL=1 PROTOCOLPATH=" + Root());
    for (int run = 1; run <= 6; ++run) {
        CLogFile log("ModbusDevice.lg");
        log.Always("run %d", run);
    }
    for (int n = 1; n <= 5; ++n) {
        const std::string file = Root() + "/ModbusDevice.lg" + std::to_string(n);
        ASSERT_TRUE(fs::exists(file)) << n;
        EXPECT_EQ(Texts(file), std::vector<std::string>{"run " + std::to_string(7 - n)}) << n;
    }
    EXPECT_FALSE(fs::exists(Root() + "/ModbusDevice.lg6"));
}

TEST_F(LogTest, HeaderAndLineFormat) {
    SetParameters("PROTOCOL=4 PROTOCOLPATH=" + Root());
    {
        CLogFile log("ModbusDevice.lg");
        WriteAll(log);
    }
    const std::string text = ReadText(Root() + "/ModbusDevice.lg1");
    auto lines = Lines(text);
    ASSERT_EQ(lines.size(), 6u);
    // The locale's date and time ("%x  %X"); the tests run in the C locale.
    EXPECT_TRUE(MatchesPattern(lines[0], "99/99/99  99:99:99")) << lines[0];
    for (size_t i = 1; i < lines.size(); ++i) EXPECT_TRUE(IsLogLine(lines[i])) << lines[i];
    EXPECT_EQ(lines[3].substr(13), "trace AB");
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

TEST_F(LogTest, LongMessagesAreCutAtACharacterBoundary) {
    SetParameters("PROTOCOL=4 PROTOCOLPATH=" + Root());
    {
        CLogFile log("ModbusDevice.lg");
        std::string text = "a";
        for (int i = 0; i < 700; ++i) text += "Ж";  // two bytes each: byte 1024 splits one
        log.Info("%s", text.c_str());
    }
    auto texts = Texts(Root() + "/ModbusDevice.lg1");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].size(), 1023u);
    EXPECT_EQ(texts[0].back(), static_cast<char>(0x96));  // the last "Ж" is whole
}

TEST_F(LogTest, SuspendedWritesCountAsDone) {
    SetParameters("PROTOCOL=4 PROTOCOLPATH=" + Root());
    {
        CLogFile log("ModbusDevice.lg");
        log.SetSuspended(true);
        EXPECT_TRUE(log.Info("skipped"));
        log.SetSuspended(false);
        EXPECT_TRUE(log.Info("kept"));
    }
    EXPECT_EQ(Texts(Root() + "/ModbusDevice.lg1"), std::vector<std::string>{"kept"});
}

TEST_F(LogTest, ConcurrentWritersKeepLinesWhole) {
    SetParameters("PROTOCOL=4 PROTOCOLPATH=" + Root());
    {
        CLogFile log("ModbusDevice.lg");
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&log, t] {
                for (int i = 0; i < 200; ++i)
                    log.Info("thread %d line %d %s", t, i, std::string(100, 'x').c_str());
            });
        for (auto& th : threads) th.join();
    }
    auto texts = Texts(Root() + "/ModbusDevice.lg1");
    ASSERT_EQ(texts.size(), 800u);
    const std::string tail = " " + std::string(100, 'x');
    for (const auto& t : texts) {
        int thread = -1, line = -1, end = 0;
        ASSERT_EQ(std::sscanf(t.c_str(), "thread %d line %d%n", &thread, &line, &end), 2) << t;
        ASSERT_EQ(t.substr(static_cast<size_t>(end)), tail) << t;
    }
}

TEST(LogSettings, Parse) {
    auto s = mb::ParseLogSettings("COM1=9600 protocol=2 ProtocolPath=E:\\Data\\Logs EXITTIMEOUT=3");
    EXPECT_TRUE(s.enabled);
    EXPECT_EQ(s.level, 2);
    EXPECT_EQ(s.folder, "E:\\Data\\Logs");
    s = mb::ParseLogSettings("XPROTOCOL=3");
    EXPECT_TRUE(s.enabled) << "the word occurs";
    EXPECT_EQ(s.level, 0) << "but the key does not";
    EXPECT_EQ(s.folder, "c:\\");
    EXPECT_FALSE(mb::ParseLogSettings("COM1=9600").enabled);
}

TEST(LogSettings, PathIsFoundAsTheServiceFindsIt) {
    // Whole key, any case, first of a repeat, up to the next blank and not cut at 20.
    EXPECT_EQ(mb::ParseLogSettings("MYPROTOCOLPATH=/x PROTOCOL=1").folder, "c:\\");
    EXPECT_EQ(mb::ParseLogSettings("PROTOCOL=1 PROTOCOLPATHS=/x").folder, "c:\\");
    EXPECT_EQ(mb::ParseLogSettings("XPROTOCOLPATH=/x protocolpath=/Var/Log/a-long-folder-name "
                                   "PROTOCOLPATH=/y")
                  .folder,
              "/Var/Log/a-long-folder-name");
    EXPECT_EQ(mb::ParseLogSettings("PROTOCOL=1 PROTOCOLPATH=").folder, "c:\\");
}

}  // namespace
