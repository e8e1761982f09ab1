// Registered clipboard formats: one number per name on the whole computer.
#include "platform/com/clipboard.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/types/hresult.h"
#include "platform/types/wstr.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ChildSide.h"
#include "tests/support/TempRoot.h"

namespace {

using plat::FindClipboardFormat;
using plat::GetClipboardFormatName;
using plat::RegisterClipboardFormat;

class ClipChild : public testsupport::ChildProcess {
  public:
    ClipChild(const std::string& scenario,
              const std::vector<std::pair<std::string, std::string>>& env)
        : testsupport::ChildProcess(
              {"ClipboardChild.DISABLED_Main", "NORVALT_CLIP_CHILD", "NORVALT_CLIP_"}, scenario,
              env) {}
};

std::u16string Numbered(int i) {
    return plat::Utf8ToWide("Format " + std::to_string(i));
}

TEST(ClipboardFormat, NumbersFromC000OneNamePerNumberIgnoringCase) {
    testsupport::TempRoot root;
    const uint16_t data = RegisterClipboardFormat(u"OPCSTMFORMATDATA");
    const uint16_t time = RegisterClipboardFormat(u"OPCSTMFORMATDATATIME");
    EXPECT_EQ(data, 0xC000);
    EXPECT_EQ(time, 0xC001);
    EXPECT_EQ(RegisterClipboardFormat(u"opcstmformatdata"), data);
    EXPECT_EQ(RegisterClipboardFormat(u"OpcStmFormatDataTime"), time);
    EXPECT_EQ(FindClipboardFormat(u"OPCSTMFORMATdata"), data);
    EXPECT_EQ(FindClipboardFormat(u"OPCSTMFORMATWRITECOMPLETE"), 0);

    std::u16string name;
    ASSERT_TRUE(GetClipboardFormatName(time, name));
    EXPECT_EQ(name, u"OPCSTMFORMATDATATIME");  // the first registration's spelling
    EXPECT_FALSE(GetClipboardFormatName(1, name));
    EXPECT_FALSE(GetClipboardFormatName(0xC002, name));

    EXPECT_EQ(RegisterClipboardFormat(u""), 0);
    EXPECT_EQ(RegisterClipboardFormat(std::u16string(256, u'x')), 0);
    EXPECT_NE(RegisterClipboardFormat(std::u16string(255, u'x')), 0);
}

TEST(ClipboardFormat, KeptInTheRegistryStore) {
    testsupport::TempRoot root;
    const uint16_t n = RegisterClipboardFormat(u"Norvalt \u0416 Stream");
    ASSERT_EQ(n, 0xC000);
    std::vector<plat::reg::ValueInfo> values;
    ASSERT_EQ(
        plat::reg::EnumValues(plat::reg::Hive::LocalMachine, "System\\Clipboard Formats", values),
        plat::ERROR_SUCCESS);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, "Norvalt \xD0\x96 Stream");
    EXPECT_EQ(values[0].value, plat::reg::Value::Dword(0xC000));

    // Written by someone else: found by name and by number without registering anew.
    ASSERT_EQ(plat::reg::WriteDword(plat::reg::Hive::LocalMachine, "System\\Clipboard Formats",
                                    "Elsewhere", 0xC001),
              plat::ERROR_SUCCESS);
    std::u16string name;
    ASSERT_TRUE(GetClipboardFormatName(0xC001, name));
    EXPECT_EQ(name, u"Elsewhere");
    EXPECT_EQ(FindClipboardFormat(u"ELSEWHERE"), 0xC001);
    EXPECT_EQ(RegisterClipboardFormat(u"Third"), 0xC002);
}

TEST(ClipboardFormat, ThreadsRegisteringAtOnceAgree) {
    testsupport::TempRoot root;
    std::vector<std::vector<uint16_t>> got(4);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) got[t].push_back(RegisterClipboardFormat(Numbered(i)));
        });
    for (auto& t : ts) t.join();
    std::set<uint16_t> distinct(got[0].begin(), got[0].end());
    EXPECT_EQ(distinct.size(), 20u);
    for (int t = 1; t < 4; ++t) EXPECT_EQ(got[t], got[0]);
}

// The child registers the names in the reverse order of the parent at the same time, then
// reports its numbers: a process of its own, with nothing remembered from the parent.
TEST(ClipboardFormat, TheSameNumberInTwoProcesses) {
    testsupport::TempRoot root;
    ClipChild child("register", {{"NORVALT_ROOT", root.Path()}});
    ASSERT_EQ(child.ReadLine(), "ready");
    child.Send("go");
    std::vector<uint16_t> mine;
    for (int i = 0; i < 30; ++i) mine.push_back(RegisterClipboardFormat(Numbered(i)));
    std::vector<std::string> lines = child.ReadAll();
    ASSERT_EQ(child.Wait(), 0);
    ASSERT_EQ(lines.size(), 31u);
    for (int i = 0; i < 30; ++i) {
        ASSERT_NE(mine[i], 0);
        EXPECT_EQ(lines[i], std::to_string(i) + "=" + std::to_string(mine[i]));
    }
    // Case differs in the child; the number does not.
    EXPECT_EQ(lines[30], "data=" + std::to_string(RegisterClipboardFormat(u"OPCSTMFORMATDATA")));
    std::set<uint16_t> distinct(mine.begin(), mine.end());
    EXPECT_EQ(distinct.size(), 30u);
}

// Runs only in the child of the test above.
TEST(ClipboardChild, DISABLED_Main) {
    const char* scenario = std::getenv("NORVALT_CLIP_CHILD");
    if (!scenario) GTEST_SKIP();
    testsupport::Report("ready");
    std::string line;
    std::getline(std::cin, line);
    std::vector<uint16_t> numbers(30);
    for (int i = 29; i >= 0; --i) numbers[i] = RegisterClipboardFormat(Numbered(i));
    for (int i = 0; i < 30; ++i)
        testsupport::Report(std::to_string(i) + "=" + std::to_string(numbers[i]));
    testsupport::Report("data=" + std::to_string(RegisterClipboardFormat(u"opcstmformatDATA")));
    testsupport::Finish(0);
}

}  // namespace
