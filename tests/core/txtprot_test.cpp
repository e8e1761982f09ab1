#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <latch>
#include <mutex>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/time/clock.h"
#include "service/core/base/Errors.h"
#include "service/core/logs/ProtocolLog.h"
#include "tests/support/TempRoot.h"

using namespace drv;
namespace fs = std::filesystem;

namespace {

const char* kKey = "\\Software\\Norvalt\\Drv";

std::vector<std::string> Lines(const std::string& path) {
    std::string all = testsupport::ReadFile(path);
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < all.size()) {
        size_t e = all.find("\r\n", pos);
        if (e == std::string::npos) {
            out.push_back(all.substr(pos) + "<no CRLF>");
            break;
        }
        out.push_back(all.substr(pos, e - pos));
        pos = e + 2;
    }
    return out;
}

std::mutex g_hook_mutex;
std::vector<std::pair<std::string, int>> g_hooked;
void RecordHook(const std::string& text, int level) {
    std::lock_guard<std::mutex> lk(g_hook_mutex);
    g_hooked.emplace_back(text, level);
}

class ProtocolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lk(g_hook_mutex);
        g_hooked.clear();
    }
    void TearDown() override {
        DoneProtocol();
        SetProtocolHook(nullptr);
    }
    void Start(const std::string& parameters) {
        ASSERT_EQ(
            plat::reg::WriteString(plat::reg::Hive::LocalMachine, kKey, "Parameters", parameters),
            plat::ERROR_SUCCESS);
        InitProtocol(kKey, "Parameters");
    }
    std::string GlobalFile() const { return root_.Path() + "/c/NorvaltDrvCOM.LG1"; }

    testsupport::TempRoot root_;
};

}  // namespace

TEST_F(ProtocolTest, LevelsPrefixesAndThreadIdsInTheGlobalLog) {
    SetProtocolHook(RecordHook);
    Start("PROTOCOL=2 PROTOCOLPATH=D:\\LOGS");
    EXPECT_EQ(ProtocolThreshold(), 2);
    WriteProtocolLine("detail", PL_DETAIL);
    WriteProtocolLine("info", PL_INFO);
    WriteProtocolLine("external", PL_EXTERNAL);
    WriteProtocolLine("critical", PL_CRITICAL);
    DoneProtocol();

    auto lines = Lines(root_.Path() + "/d/logs/NorvaltDrvCOM.LG1");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d 2 \d+)")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(ext \d\d:\d\d:\d\d \d+:external)")))
        << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(cri \d\d:\d\d:\d\d \d+:critical)")))
        << lines[2];

    // The hook sees every line, whatever the threshold, with the thread id in front.
    std::lock_guard<std::mutex> lk(g_hook_mutex);
    ASSERT_EQ(g_hooked.size(), 4u);
    EXPECT_TRUE(std::regex_match(g_hooked[0].first, std::regex(R"(\d+:detail)")));
    EXPECT_EQ(g_hooked[2].second, PL_EXTERNAL);
}

TEST_F(ProtocolTest, SettingsThatAreNotALevelTurnLoggingOff) {
    for (const char* params : {"PROTOCOL=14", "PROTOCOL=x", "PROTOCOL=", "NOTHING=1"}) {
        Start(params);
        EXPECT_EQ(ProtocolThreshold(), 4) << params;
        WriteProtocolLine("dropped", PL_CRITICAL);
        DoneProtocol();
        EXPECT_FALSE(fs::exists(GlobalFile())) << params;
    }
    // A missing key leaves logging off too.
    InitProtocol("\\Software\\Nowhere", "Parameters");
    EXPECT_EQ(ProtocolThreshold(), 4);
}

TEST_F(ProtocolTest, KeysAreCaseInsensitiveAndPosixPathsKeepTheirCase) {
    std::string dir = root_.Path() + "/Mixed/Case-Logs.Folder";
    Start("protocol=4 ProtocolPath=" + dir);
    EXPECT_EQ(ProtocolFolder(), dir + "/");
    WriteProtocolLine("x", PL_DETAIL);
    DoneProtocol();
    EXPECT_EQ(Lines(dir + "/NorvaltDrvCOM.LG1").size(), 2u);
}

TEST_F(ProtocolTest, SettingsAreWholeKeysAsThePortManagerReadsThem) {
    // A key that merely ends in PROTOCOL or PROTOCOLPATH is another key.
    std::string dir = root_.Path() + "/real";
    Start("XPROTOCOL=1 MYPROTOCOLPATH=" + root_.Path() + "/wrong PROTOCOL=4 PROTOCOLPATH=" + dir);
    EXPECT_EQ(ProtocolThreshold(), 0);
    EXPECT_EQ(ProtocolFolder(), dir + "/");
    DoneProtocol();
    EXPECT_TRUE(fs::exists(dir + "/NorvaltDrvCOM.LG1"));
    EXPECT_FALSE(fs::exists(root_.Path() + "/wrong"));

    // Only the suffixed key: nothing is set.
    Start("XPROTOCOL=1");
    EXPECT_EQ(ProtocolThreshold(), 4);
    DoneProtocol();

    // A path is not cut at the 20 characters of the other values.
    std::string deep = root_.Path() + "/a-folder-name-well-past-twenty/logs";
    Start("PROTOCOL=1 PROTOCOLPATH=" + deep + " COM1=ZRN");
    EXPECT_EQ(ProtocolFolder(), deep + "/");
}

TEST_F(ProtocolTest, LongTextIsCutTo255BytesAtACharacterBoundary) {
    Start("PROTOCOL=4");
    WriteProtocolLine(std::string(300, 'a'), PL_CRITICAL);
    // Two-byte characters: the cut must not split one.
    std::string cyr;
    for (int i = 0; i < 200; ++i) cyr += "\xD0\x96";
    WriteProtocolLine(cyr, PL_INFO);
    DoneProtocol();
    std::string all = testsupport::ReadFile(GlobalFile());
    auto lines = Lines(GlobalFile());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].size() + 2, 255u);
    EXPECT_LE(lines[2].size() + 2, 255u);
    EXPECT_GE(lines[2].size() + 2, 254u);
    // Every multi-byte sequence in the cut line is complete.
    const std::string& l = lines[2];
    size_t colon = l.find(':', 9);
    ASSERT_NE(colon, std::string::npos);
    EXPECT_EQ((l.size() - colon - 1) % 2, 0u);
}

TEST_F(ProtocolTest, SixStartsKeepExactlyFiveGenerations) {
    for (int run = 1; run <= 6; ++run) {
        Start("PROTOCOL=4");
        WriteProtocolLine("run " + std::to_string(run), PL_INFO);
        DoneProtocol();
    }
    std::string base = root_.Path() + "/c/NorvaltDrvCOM.LG";
    for (int g = 1; g <= 5; ++g) {
        auto lines = Lines(base + std::to_string(g));
        ASSERT_EQ(lines.size(), 2u) << g;
        EXPECT_NE(lines[1].find(":run " + std::to_string(7 - g)), std::string::npos) << lines[1];
    }
    EXPECT_FALSE(fs::exists(base + "6"));
}

TEST_F(ProtocolTest, AFullFileMovesOnAndTheGenerationsStayFive) {
    SetProtocolFileLimit(4096);
    Start("PROTOCOL=4");
    for (int i = 0; i < 1000; ++i) WriteProtocolLine("line " + std::to_string(i), PL_INFO);
    DoneProtocol();
    SetProtocolFileLimit(kProtocolFileLimit);
    const std::string base = root_.Path() + "/c/NorvaltDrvCOM.LG";
    for (int g = 1; g <= 5; ++g) {
        ASSERT_TRUE(fs::exists(base + std::to_string(g))) << g;
        EXPECT_LE(fs::file_size(base + std::to_string(g)), 4096u) << g;
        auto lines = Lines(base + std::to_string(g));
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[0].find("line "), std::string::npos)
            << "each generation starts with a header";
        EXPECT_NE(lines[1].find(":line "), std::string::npos) << lines[1];
    }
    EXPECT_FALSE(fs::exists(base + "6"));
    auto newest = Lines(base + "1");
    EXPECT_NE(newest.back().find(":line 999"), std::string::npos) << newest.back();
}

TEST_F(ProtocolTest, ConcurrentWritersNeverInterleaveLines) {
    Start("PROTOCOL=4");
    constexpr int kThreads = 8, kLines = 300;
    std::latch go(kThreads);
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([&, t] {
            go.arrive_and_wait();
            std::string body(100, static_cast<char>('A' + t));
            for (int i = 0; i < kLines; ++i) WriteProtocolLine(body, PL_INFO);
        });
    for (auto& t : ts) t.join();
    DoneProtocol();
    auto lines = Lines(GlobalFile());
    ASSERT_EQ(lines.size(), 1u + kThreads * kLines);
    std::regex whole(R"(\d\d:\d\d:\d\d \d+:([A-H])\1{99})");
    for (size_t i = 1; i < lines.size(); ++i)
        ASSERT_TRUE(std::regex_match(lines[i], whole)) << "line " << i << ": " << lines[i];
}

TEST_F(ProtocolTest, LoggingBeforeInitAndAfterDoneIsHarmless) {
    SetProtocolHook(RecordHook);
    WriteProtocolLine("too early", PL_CRITICAL);
    Start("PROTOCOL=4");
    DoneProtocol();
    WriteProtocolLine("too late", PL_CRITICAL);
    ProtocolException(Exception("boom"), "tag");
    DoneProtocol();  // twice is harmless too
    auto lines = Lines(GlobalFile());
    EXPECT_EQ(lines.size(), 1u);  // header only
    std::lock_guard<std::mutex> lk(g_hook_mutex);
    EXPECT_TRUE(g_hooked.empty());
}

TEST_F(ProtocolTest, PortLogWritesWithoutThreadIdAndHooksThroughLog) {
    SetProtocolHook(RecordHook);
    Start("PROTOCOL=3");
    {
        TTxtProt port("NorvaltDrv3");
        port.Log("<5> answer", PL_EXTERNAL);
        port.Write("detail is below the threshold", PL_DETAIL);
    }
    auto lines = Lines(root_.Path() + "/c/NorvaltDrv3.LG1");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(ext \d\d:\d\d:\d\d <5> answer)")))
        << lines[1];
    std::lock_guard<std::mutex> lk(g_hook_mutex);
    ASSERT_EQ(g_hooked.size(), 1u);
    EXPECT_EQ(g_hooked[0].first, "<5> answer");
}

// One client's flood of refused calls: each minute the first lines of a call site are written
// and the rest counted, the count written once the minute is over and at close; other lines and
// the hook lose nothing.
TEST_F(ProtocolTest, AFloodOfOneCallSiteIsCountedAndSummarisedOnceAMinute) {
    plat::ScopedFakeClock clock;
    SetProtocolHook(RecordHook);
    Start("PROTOCOL=3");
    auto flood = [](int n) {
        for (int i = 0; i < n; ++i) {
            WriteProtocolLine("TRKSrv SetState " + std::to_string(i) + " 1", PL_INFO,
                              "TRKSrv SetState");
            WriteProtocolLine("DF56ACCD refused " + std::to_string(i), PL_EXTERNAL, "DF56ACCD");
        }
    };
    flood(1000);
    WriteProtocolLine("other line", PL_INFO);
    clock->Advance(kRepeatWindowMs);
    WriteProtocolLine("a minute later", PL_INFO);
    flood(15);
    DoneProtocol();

    auto lines = Lines(GlobalFile());
    auto count = [&](const std::string& part) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(part) != std::string::npos;
        });
    };
    EXPECT_EQ(count("TRKSrv SetState "), 2 * kRepeatBurst + 2);
    EXPECT_EQ(count("DF56ACCD "), 2 * kRepeatBurst + 2);
    const std::regex summary(
        R"((ext )?\d\d:\d\d:\d\d (TRKSrv SetState|DF56ACCD) \.\.\. repeated (\d+) times since \d\d:\d\d:\d\d)");
    std::vector<std::string> summaries;
    for (const auto& l : lines) {
        std::smatch m;
        if (std::regex_match(l, m, summary))
            summaries.push_back((m[1].matched ? "ext " : "") + m[2].str() + " " + m[3].str());
    }
    EXPECT_EQ(summaries, (std::vector<std::string>{"TRKSrv SetState 990", "ext DF56ACCD 990",
                                                   "TRKSrv SetState 5", "ext DF56ACCD 5"}));
    // The first minute's count comes before the next minute's lines.
    const auto at = [&](const std::string& part) {
        return std::find_if(
                   lines.begin(), lines.end(),
                   [&](const std::string& l) { return l.find(part) != std::string::npos; }) -
               lines.begin();
    };
    EXPECT_LT(at("repeated 990"), at("a minute later"));
    EXPECT_LT(at("other line"), at("repeated 990"));
    std::lock_guard<std::mutex> lk(g_hook_mutex);
    EXPECT_EQ(g_hooked.size(), 2u * 1015 + 2);
}

TEST_F(ProtocolTest, ExceptionLinesCarryTagClassAndMessage) {
    Start("PROTOCOL=1");
    ProtocolException(Exception("it broke"), "C633B62B-F521-40A5-B3FE-80B0D1196A7B");
    ProtocolExceptionArgs(std::runtime_error("bad"), "TAG",
                          {plat::Variant::I4(7), plat::Variant::Str("x")});
    DoneProtocol();
    auto lines = Lines(GlobalFile());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[1].find(":C633B62B-F521-40A5-B3FE-80B0D1196A7B Exception it broke"),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find(":TAG 7 x runtime_error bad"), std::string::npos) << lines[2];
}

TEST(ProtocolText, ValuesFormattingAndSettingLookup) {
    using plat::Variant;
    std::vector<Variant> vs = {Variant::I4(-3), Variant::Str("txt"), Variant::R8(1.5),
                               Variant::Null()};
    EXPECT_EQ(VariantsToText(vs), "-3 txt 1.5 <unsupp variant>");
    EXPECT_EQ(FormatArgs("I", {}), "I ");
    EXPECT_EQ(SafeFormat("%d-%s-%X-%5.2f%%", {Variant::I4(12), Variant::Str("ab"),
                                              Variant::UI4(0xBEEF), Variant::R8(3.14159)}),
              "12-ab-BEEF- 3.14%");
    EXPECT_EQ(SafeFormat("%d", {Variant::Str("no")}).rfind("Fmt error:", 0), 0u);
    EXPECT_NE(SafeFormat("%d %d", {Variant::I4(1)}).find(" Str:%d %d"), std::string::npos);

    EXPECT_EQ(ReadSettingValue("PORT=CUST COM1=ZRN", "com1"), "ZRN");
    EXPECT_EQ(ReadSettingValue("A=1", "B"), "");
    EXPECT_EQ(ReadSettingValue("X=123456789012345678901234", "X"), "12345678901234567890");
    EXPECT_EQ(ReadSettingValue("X=", "X"), "");
    EXPECT_EQ(ReadSettingValue("XPROTOCOL=1 PROTOCOL=4", "PROTOCOL"), "4");
    EXPECT_EQ(ReadSettingValue("PROTOCOLX=1", "PROTOCOL"), "");
}

TEST_F(ProtocolTest, AFolderThatCannotBeMadeLeavesLoggingHarmless) {
    // A regular file stands where the folder should be.
    std::ofstream(root_.Path() + "/blocker") << "x";
    Start("PROTOCOL=4 PROTOCOLPATH=" + root_.Path() + "/blocker/logs");
    WriteProtocolLine("goes nowhere", PL_CRITICAL);
    {
        TTxtProt port("NorvaltDrv1");
        port.Log("nowhere either", PL_CRITICAL);
        EXPECT_TRUE(port.FileName().empty() || !fs::exists(port.FileName()));
    }
    DoneProtocol();
    EXPECT_FALSE(fs::exists(root_.Path() + "/blocker/logs"));
}
