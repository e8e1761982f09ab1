// The service loading the field-bus library the way it runs: the real shared library through
// dlopen, from InitDriverItems.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/time/clock.h"
#include "platform/types/datetime.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/ModbusLibrary.h"
#include "service/core/ports/PortManager.h"
#include "service/core/ports/SystemItems.h"
#include "tests/support/ProtocolLines.h"
#include "tests/support/TempRoot.h"

using namespace drv;

namespace {

using testsupport::ProtocolLines;

class ModbusLibraryLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        ProtocolLines::Clear();
        ResetModbusLibraryForTests();
    }
    void TearDown() override {
        ResetModbusLibraryForTests();
        SetModbusLibraryPath("");
        SetProtocolHook(nullptr);
        SetParametersChangedHook(nullptr);
        SetLoadAddrSpaceHook(nullptr);
        DoneNameSpace();
        DoneProtocol();
    }
    void Start(const std::string& params) {
        ASSERT_EQ(
            plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters", params),
            plat::ERROR_SUCCESS);
        InitProtocol(kDrvKey, "Parameters");
        InitNameSpace();
        SetProtocolHook(&ProtocolLines::Record);  // the item tree installs its own
        InitDriverItems();
    }

    testsupport::TempRoot root_;
};

TEST_F(ModbusLibraryLoad, DefaultPathIsBesideTheExecutable) {
    const std::string path = ModbusLibraryPath();
    ASSERT_GE(path.size(), std::string("/libnorvalt_modbus.so").size());
    EXPECT_EQ(path.substr(path.rfind('/')), "/libnorvalt_modbus.so");
    SetModbusLibraryPath("/opt/x/libnorvalt_modbus.so");
    EXPECT_EQ(ModbusLibraryPath(), "/opt/x/libnorvalt_modbus.so");
}

TEST_F(ModbusLibraryLoad, DefaultPathFindsTheLibraryOfTheBuildTreeWithoutTheEnvironment) {
    // This test program sits one folder below the build folder, as the service does (bin/):
    // the private library folder relative to it is the one the library is built into.
    ::unsetenv(kModbusLibraryEnv);
    char want[PATH_MAX], got[PATH_MAX];
    ASSERT_NE(::realpath(NORVALT_TEST_MODBUS_LIB, want), nullptr);
    ASSERT_NE(::realpath(ModbusLibraryPath().c_str(), got), nullptr) << ModbusLibraryPath();
    EXPECT_STREQ(got, want);
}

TEST_F(ModbusLibraryLoad, RealLibrarySharesTheServicesRootAndClock) {
    // A fake clock and a root set in this process only: a library with a platform of its own
    // would see neither.
    plat::ScopedFakeClock clock;
    SetModbusLibraryPath(NORVALT_TEST_MODBUS_LIB);
    Start("PROTOCOL=3 PROTOCOLPATH=C:\\MB");
    const ModbusExports* lib = ModbusLibrary();
    ASSERT_NE(lib, nullptr);
    EXPECT_EQ(ProtocolLines::Count("MBInitialize 1"), 1);

    const std::string log = testsupport::ReadFile(root_.Path() + "/c/mb/ModbusDevice.lg1");
    EXPECT_NE(log.find("{4AE1006B-D3CB-43c6-BB11-EF6C2FCE342E}"), std::string::npos);
    plat::SYSTEMTIME st;
    ASSERT_TRUE(plat::DateToSystemTime(plat::NowLocal(), st));
    // The header writes the date as the locale does ("%x").
    std::tm tm{};
    tm.tm_year = st.wYear - 1900;
    tm.tm_mon = st.wMonth - 1;
    tm.tm_mday = st.wDay;
    tm.tm_wday = st.wDayOfWeek;
    char date[64];
    ASSERT_GT(std::strftime(date, sizeof date, "%x", &tm), 0u);
    EXPECT_EQ(log.rfind(date, 0), 0u) << "the header's date comes from the host's clock";

    int32_t status = 5, info = 0;
    EXPECT_EQ(lib->create_thread(3, "XN9600", 0, &status, &info, nullptr), nullptr);
    EXPECT_EQ(status, -1);
    lib->destroy_thread(nullptr);

    InitDriverItems();  // a restart of the items does not initialise the library again
    EXPECT_EQ(ProtocolLines::Count("MBInitialize"), 1);
    EXPECT_EQ(ModbusLibrary(), lib);
}

TEST_F(ModbusLibraryLoad, MissingLibraryIsLoggedOnce) {
    SetModbusLibraryPath(root_.Path() + "/nowhere/libnorvalt_modbus.so");
    Start("PORT=CUST COM1=MN9600");
    EXPECT_EQ(ModbusLibrary(), nullptr);
    DoneNameSpace();
    InitNameSpace();
    SetProtocolHook(&ProtocolLines::Record);
    InitDriverItems();
    EXPECT_EQ(ModbusLibrary(), nullptr);
    EXPECT_EQ(ProtocolLines::Count("Modbus library not loaded"), 1);
}

}  // namespace
