// The library's application object and its four exports, through the static companion; the
// shared library's symbol table through nm.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "fieldbus/core/App.h"
#include "fieldbus/core/LogFile.h"
#include "platform/registry/registry.h"
#include "tests/support/TempRoot.h"

using namespace mb;

namespace {

std::string Shell(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
    ::pclose(p);
    return out;
}

// Names of the dynamic symbols nm lists with the given options.
std::set<std::string> DynamicSymbols(const std::string& options) {
    std::set<std::string> names;
    std::istringstream lines(Shell("nm -D " + options + " '" NORVALT_TEST_MODBUS_LIB "'"));
    for (std::string line; std::getline(lines, line);) {
        const size_t last = line.rfind(' ');
        if (last != std::string::npos) names.insert(line.substr(last + 1));
    }
    return names;
}

TEST(ModbusLibrarySymbols, ExportsOnlyTheFourEntryPoints) {
    const std::set<std::string> defined = DynamicSymbols("--defined-only");
    EXPECT_EQ(defined, (std::set<std::string>{"MBCreateThread", "MBDestroyThread", "MBFinalize",
                                              "MBInitialize"}));
}

TEST(ModbusLibrarySymbols, PlatformComesFromTheLoadingProgram) {
    // Defined nowhere in the library: its root, registry, clock and allocator are the host's.
    const std::string undefined = Shell("nm -D -C --undefined-only '" NORVALT_TEST_MODBUS_LIB "'");
    for (const char* name : {"plat::MapWindowsPath", "plat::SysClock()", "plat::reg::ReadString("})
        EXPECT_NE(undefined.find(name), std::string::npos) << name;
    const std::string all = Shell("nm -C --defined-only '" NORVALT_TEST_MODBUS_LIB "'");
    for (const char* name : {"plat::SystemRoot()", "plat::SysClock()", "plat::CoTaskMemAlloc(",
                             "plat::CoTaskMemLiveBlocks()", "plat::reg::ReadString("})
        EXPECT_EQ(all.find(name), std::string::npos) << name << " has a copy in the library";
}

// --- the application object -----------------------------------------------------------------

int g_new_ids = 0;
int32_t NewId() {
    return ++g_new_ids;
}
int32_t NewIdThrows() {
    throw std::runtime_error("host broke");
}
void SetResultThrows(int32_t, int32_t) {
    throw 7;
}
uint8_t Cancelled(int32_t id) {
    return id == 5 ? 1 : 0;
}
uint8_t CancelledThrows(int32_t) {
    throw std::runtime_error("host broke");
}

class LibraryApp : public ::testing::Test {
  protected:
    void SetUp() override { Parameters("PROTOCOL=4 PROTOCOLPATH=C:\\MB"); }
    void TearDown() override {
        while (App().LiveBusThreads() > 0) App().BusThreadEnded();
        MBFinalize();
    }
    void Parameters(const std::string& text) {
        ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, kSettingsKey,
                                         kSettingsValue, text),
                  plat::ERROR_SUCCESS);
    }
    uint8_t Init(PCmdNewID new_id = &NewId, PCmdSetResult set_result = nullptr,
                 PCmdIsCancelled cancelled = nullptr) {
        return MBInitialize(nullptr, nullptr, nullptr, nullptr, new_id, set_result, cancelled,
                            nullptr, nullptr, &search_);
    }
    std::string LogText() { return testsupport::ReadFile(root_.Path() + "/c/mb/ModbusDevice.lg1"); }

    testsupport::TempRoot root_;
    SearchFlag search_{0};
};

TEST_F(LibraryApp, InitializeOpensTheLogUnderTheRootAndFinalizeClosesIt) {
    EXPECT_EQ(Init(), 1);
    ASSERT_NE(App().Log(), nullptr);
    EXPECT_NE(LogText().find("{4AE1006B-D3CB-43c6-BB11-EF6C2FCE342E}"), std::string::npos);
    search_ = 1;
    EXPECT_TRUE(App().SearchWanted());

    MBFinalize();
    EXPECT_EQ(App().Log(), nullptr);
    EXPECT_FALSE(App().SearchWanted());
    EXPECT_NE(LogText().find("{3E94850B-7EFF-4d0f-B18E-CBD1F6FD9112}"), std::string::npos);
}

TEST_F(LibraryApp, SecondInitializeKeepsTheFirstTable) {
    Init(&NewId);
    CLogFile* log = App().Log();
    EXPECT_EQ(Init(&NewIdThrows), 1);
    EXPECT_EQ(App().Log(), log);
    int32_t id = 0;
    EXPECT_TRUE(App().CmdNewID(id));
    EXPECT_GT(id, 0);
}

TEST_F(LibraryApp, FinalizeKeepsTheLogWhileBusThreadsRun) {
    Init();
    App().BusThreadStarted();
    MBFinalize();
    ASSERT_NE(App().Log(), nullptr) << "a running bus thread would write to a deleted log";
    EXPECT_TRUE(App().Log()->Error("still writing"));
    EXPECT_NE(LogText().find("still writing"), std::string::npos);

    App().BusThreadEnded();
    MBFinalize();
    EXPECT_EQ(App().Log(), nullptr);
}

TEST_F(LibraryApp, CallbacksAreGuardedWithTheirTags) {
    Init(&NewIdThrows, &SetResultThrows, &CancelledThrows);
    int32_t id = 99;
    EXPECT_FALSE(App().CmdNewID(id));
    EXPECT_EQ(id, 0);
    EXPECT_FALSE(App().CmdSetResult(1, 0));
    EXPECT_FALSE(App().CmdIsCancelled(5)) << "a failing host cannot cancel";
    // Missing callbacks fail without being called.
    int16_t leaf = 0;
    int32_t parent = 0, handle = 0;
    EXPECT_FALSE(App().ItemFind(u"Dev1", leaf, parent, handle));
    EXPECT_EQ(handle, -1);
    const std::string text = LogText();
    EXPECT_NE(text.find("{1EA0FAAC-3202-4e99-ACB0-CEB94AF2BC08} pCmdNewID"), std::string::npos);
    EXPECT_NE(text.find("{98550170-6C9A-41e7-B4F5-2EB09A5C7110} pCmdSetResult"), std::string::npos);

    MBFinalize();
    Init(&NewId, nullptr, &Cancelled);
    EXPECT_TRUE(App().CmdIsCancelled(5));
    EXPECT_FALSE(App().CmdIsCancelled(4));
}

// --- mode strings -----------------------------------------------------------------------------

TEST(ModeString, WellFormedModes) {
    struct Case {
        const char* mode;
        int32_t protocol, parity, baud;
        bool emulation;
    };
    for (const Case& c : {Case{"ME9600", 0, 2, 9600, false}, Case{"MN19200E", 0, 0, 19200, true},
                          Case{"TN9600", 1, 0, 9600, false}, Case{"IN9600", 2, 0, 9600, false},
                          Case{"IE256000", 2, 2, 256000, false}}) {
        PortMode m;
        ASSERT_EQ(ParseMode(c.mode, m), ModeError::kNone) << c.mode;
        EXPECT_EQ(m.protocol, c.protocol) << c.mode;
        EXPECT_EQ(m.parity, c.parity) << c.mode;
        EXPECT_EQ(m.baud, c.baud) << c.mode;
        EXPECT_EQ(m.emulation, c.emulation) << c.mode;
    }
}

TEST(ModeString, RefusedModesNameThePartThatIsWrong) {
    PortMode m;
    EXPECT_EQ(ParseMode("MN960", m), ModeError::kBaud);
    EXPECT_EQ(ParseMode("ME9", m), ModeError::kBaud) << "three characters are no emulation";
    EXPECT_EQ(ParseMode("XN9600", m), ModeError::kProtocol);
    EXPECT_EQ(ParseMode("MA9600", m), ModeError::kParity);
    EXPECT_EQ(ParseMode("M", m), ModeError::kParity);
    EXPECT_EQ(ParseMode("", m), ModeError::kProtocol);
    EXPECT_EQ(ParseMode(nullptr, m), ModeError::kProtocol);
    EXPECT_EQ(ParseMode("MN99999999999999999999999", m), ModeError::kBaud);
    EXPECT_EQ(ParseMode("MN-9600", m), ModeError::kBaud);
}

TEST_F(LibraryApp, CreateThreadRefusesEveryModeWithStatusAndTag) {
    Init();
    struct Case {
        const char* mode;
        const char* tag;
    };
    for (const Case& c : {Case{"MN960", "{BFEB2CBF-8318-4218-B753-F5F679A345ED}"},
                          Case{"ME9", "{BFEB2CBF-8318-4218-B753-F5F679A345ED}"},
                          Case{"XN9600", "{AD88A6C0-E17C-4a7c-AB0E-C68876DC185B}"},
                          Case{"MA9600", "{053E46E0-D1B6-4b74-931D-E4108E1E5DF2}"},
                          // A well-formed mode on a port that does not exist.
                          Case{"ME9600", "{7340A411-232A-412e-B1E5-0365FC93A739} 4 9600"}}) {
        int32_t status = 7, info = 3;
        const size_t before = LogText().size();
        EXPECT_EQ(MBCreateThread(4, c.mode, 0, &status, &info, nullptr), nullptr) << c.mode;
        EXPECT_EQ(status, std::string(c.mode) == "ME9600" ? -2 : -1) << c.mode;
        EXPECT_NE(LogText().find(c.tag, before), std::string::npos) << c.mode;
    }
    EXPECT_EQ(MBCreateThread(4, "ME9600", 0, nullptr, nullptr, nullptr), nullptr);
}

TEST_F(LibraryApp, CallsBeforeInitializeAreRefused) {
    int32_t status = 5;
    EXPECT_EQ(MBCreateThread(1, "ME9600", 0, &status, nullptr, nullptr), nullptr);
    EXPECT_EQ(status, -1);
    MBDestroyThread(nullptr);
    MBFinalize();
    EXPECT_EQ(App().Log(), nullptr);
    int32_t id = 3;
    EXPECT_FALSE(App().CmdNewID(id)) << "no host table yet";
    EXPECT_FALSE(App().SearchWanted());
}

// --- flat posts -------------------------------------------------------------------------------

TEST(FlatPosts, ReadAsThePortManagerReadsIt) {
    EXPECT_EQ(FlatPostsFromParameters(""), 1) << "absent: flat";
    EXPECT_EQ(FlatPostsFromParameters("FLATPOSTS=1 PORT=CUST"), 1);
    EXPECT_EQ(FlatPostsFromParameters("FLATPOSTS=0 PORT=CUST"), 0);
    EXPECT_EQ(FlatPostsFromParameters("PORT=CUST flatposts=0"), 0) << "last key, any case";
    EXPECT_EQ(FlatPostsFromParameters("XFLATPOSTS=0"), 1) << "not the key";
    EXPECT_EQ(FlatPostsFromParameters("FLATPOSTS=00"), 1);
    EXPECT_EQ(FlatPostsFromParameters("FLATPOSTS= FLATPOSTS=0"), 1) << "first pair wins";
    EXPECT_EQ(FlatPostsFromParameters("FLATPOSTS=0 FLATPOSTS=1"), 0);
    EXPECT_EQ(FlatPostsFromParameters("FLATPOSTS=2"), 1);
}

TEST_F(LibraryApp, FlatPostsFollowsTheRegistry) {
    Parameters("PORT=CUST FLATPOSTS=0");
    Init();
    EXPECT_EQ(App().FlatPosts(), 0);
    Parameters("PORT=CUST");
    EXPECT_EQ(App().ReadFlatPosts(), 1);
    ASSERT_EQ(plat::reg::DeleteKeyTree(plat::reg::Hive::LocalMachine, kSettingsKey),
              plat::ERROR_SUCCESS);
    EXPECT_EQ(App().ReadFlatPosts(), 1) << "no key: flat";
}

}  // namespace
