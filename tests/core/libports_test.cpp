// Ports run by libraries: the slave library (a stand-in built with the tests) bound by name
// and unloaded with its last port, and the field-bus library as built.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/object.h"
#include "platform/registry/registry.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/EmulatorTable.h"
#include "service/core/ports/LibraryPorts.h"
#include "service/core/ports/ModbusLibrary.h"
#include "service/core/ports/NativePort.h"
#include "service/core/ports/PortManager.h"
#include "service/core/ports/SystemItems.h"
#include "tests/support/Eventually.h"
#include "tests/support/ProtocolLines.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempRoot.h"

using namespace drv;

namespace {

using testsupport::ProtocolLines;

// Whether the dynamic loader still has the file mapped, without loading it.
bool Mapped(const char* path) {
    void* h = ::dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (h == nullptr) return false;
    ::dlclose(h);
    return true;
}

// Reads the stand-in's own record while it is loaded.
template <class Fn>
Fn FakeEntry(const char* name) {
    void* h = ::dlopen(NORVALT_TEST_SLAVE_LIB, RTLD_NOW | RTLD_NOLOAD);
    if (h == nullptr) return nullptr;
    auto fn = reinterpret_cast<Fn>(::dlsym(h, name));
    ::dlclose(h);  // the service's own reference keeps it loaded
    return fn;
}

std::u16string LastWord() {
    auto fn = FakeEntry<const char16_t* (*)()>("FakeSlaveLastWord");
    return fn != nullptr ? std::u16string(fn()) : u"<not loaded>";
}

class LibraryPorts : public ::testing::Test {
  protected:
    void SetUp() override {
        ProtocolLines::Clear();
        InitProtocol(kDrvKey, "Parameters");
        SetProtocolHook(&ProtocolLines::Record);
        InstallLibraryPorts();
        SetSlaveLibraryPath(NORVALT_TEST_SLAVE_LIB);
    }
    void TearDown() override {
        StopPorts();
        SetPortFactory(PortKind::Native, nullptr);
        SetSlaveLibraryPath("");
        SetProtocolHook(nullptr);
        DoneProtocol();
    }
    void Configure(const std::string& params) {
        ASSERT_EQ(
            plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters", params),
            plat::ERROR_SUCCESS);
    }

    testsupport::TempRoot root_;
};

TEST_F(LibraryPorts, SlaveLibraryLoadsOnceAndLeavesWithItsLastPort) {
    ASSERT_FALSE(Mapped(NORVALT_TEST_SLAVE_LIB));
    Configure("PORT=CUST COM1=SME COM3=SME9600");
    StartPorts();
    EXPECT_TRUE(PortRunning(0));
    EXPECT_TRUE(PortRunning(2));
    EXPECT_EQ(SlaveLibraryUseCount(), 2);
    EXPECT_TRUE(Mapped(NORVALT_TEST_SLAVE_LIB));
    EXPECT_EQ(PortStatus(0), 0) << "the library writes the port's own status record";
    EXPECT_EQ(PortStatus(2), 0);
    EXPECT_EQ(LastWord(), u"SME9600") << "the protocol word arrives as UTF-16";
    auto live = FakeEntry<int32_t (*)()>("FakeSlaveLive");
    ASSERT_NE(live, nullptr);
    EXPECT_EQ(live(), 2);
    EXPECT_EQ(ProtocolLines::Count("Modbus slave thread create 1 SME"), 1);
    EXPECT_EQ(ProtocolLines::Count("Modbus slave thread create 3 SME9600"), 1);

    EXPECT_EQ(UsePort(1, false), plat::S_OK);
    EXPECT_EQ(SlaveLibraryUseCount(), 1);
    EXPECT_TRUE(Mapped(NORVALT_TEST_SLAVE_LIB)) << "one port still uses it";
    EXPECT_EQ(live(), 1);

    EXPECT_EQ(UsePort(3, false), plat::S_OK);
    EXPECT_EQ(SlaveLibraryUseCount(), 0);
    EXPECT_FALSE(SlaveLibraryLoaded());
    EXPECT_FALSE(Mapped(NORVALT_TEST_SLAVE_LIB));

    // The next port binds it again.
    EXPECT_EQ(UsePort(1, true), plat::S_OK);
    EXPECT_TRUE(PortRunning(0));
    EXPECT_TRUE(Mapped(NORVALT_TEST_SLAVE_LIB));
    StopPorts();
    EXPECT_FALSE(Mapped(NORVALT_TEST_SLAVE_LIB));
}

TEST_F(LibraryPorts, MissingOrIncompleteSlaveLibraryStopsOnlyItsPorts) {
    std::vector<int> native;
    SetPortFactory(PortKind::Native, [&native](const PortStartInfo& info) {
        native.push_back(info.index);
        SetPortStatusCell(info.index, 3);
        return std::unique_ptr<TPortObject>();
    });
    SetSlaveLibraryPath(root_.Path() + "/nowhere/libvelsarn.so");
    Configure("PORT=CUST COM1=SME COM2=ZRN COM4=SME");
    StartPorts();
    EXPECT_EQ(PortStatus(0), kPortNoSlaveLibrary);
    EXPECT_EQ(PortStatus(3), kPortNoSlaveLibrary);
    EXPECT_FALSE(PortRunning(0));
    EXPECT_EQ(native, std::vector<int>{1});
    EXPECT_EQ(PortStatus(1), 3) << "the native port is not affected";
    EXPECT_EQ(SlaveLibraryUseCount(), 0);
    EXPECT_GE(ProtocolLines::Count("Slave library not loaded"), 1);

    // A library without the two entry points is let go of again.
    SetSlaveLibraryPath(NORVALT_TEST_MODBUS_LIB);
    EXPECT_FALSE(LoadSlaveLibrary());
    EXPECT_FALSE(SlaveLibraryLoaded());
    EXPECT_EQ(UsePort(1, false), plat::S_FALSE);
    EXPECT_EQ(UsePort(1, true), plat::S_OK);
    EXPECT_EQ(PortStatus(0), kPortNoSlaveLibrary);
    EXPECT_GE(ProtocolLines::Count("lacks InitThread or DeleteThread"), 1);
}

TEST_F(LibraryPorts, ThreadTheLibraryRefusesLeavesNothingCounted) {
    Configure("PORT=CUST COM2=SMEX");
    StartPorts();
    EXPECT_FALSE(PortRunning(1));
    EXPECT_EQ(PortStatus(1), kPortNotOpen) << "the library wrote nothing";
    EXPECT_EQ(SlaveLibraryUseCount(), 0);
    EXPECT_FALSE(Mapped(NORVALT_TEST_SLAVE_LIB)) << "no port uses it";

    // A refused port in between does not keep it loaded after the last real one.
    {
        TVelsarnThread good(4, "SME");
        TVelsarnThread refused(5, "SMEX");
        EXPECT_TRUE(good.Registered());
        EXPECT_FALSE(refused.Registered());
        EXPECT_EQ(SlaveLibraryUseCount(), 1);
    }
    EXPECT_EQ(SlaveLibraryUseCount(), 0);
    EXPECT_FALSE(Mapped(NORVALT_TEST_SLAVE_LIB));
}

TEST_F(LibraryPorts, PortsStartingAndStoppingAtOnceKeepTheCountRight) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 25; ++i) {
                TVelsarnThread a(t * 2, "SME");
                TVelsarnThread b(t * 2 + 1, (i % 3 == 0) ? "SMEX" : "SME");
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(SlaveLibraryUseCount(), 0);
    EXPECT_FALSE(SlaveLibraryLoaded());
    EXPECT_FALSE(Mapped(NORVALT_TEST_SLAVE_LIB));
}

class FieldBusPorts : public LibraryPorts {
  protected:
    void SetUp() override {
        LibraryPorts::SetUp();
        ResetModbusLibraryForTests();
    }
    void TearDown() override {
        StopPorts();
        ResetModbusLibraryForTests();
        SetModbusLibraryPath("");
        SetParametersChangedHook(nullptr);
        SetLoadAddrSpaceHook(nullptr);
        DoneNameSpace();
        LibraryPorts::TearDown();
    }
    void StartService(const std::string& params) {
        Configure(params);
        InitNameSpace();
        SetProtocolHook(&ProtocolLines::Record);
        InitDriverItems();
    }
};

TEST_F(FieldBusPorts, PortsTheLibraryCannotRunStayClosed) {
    SetModbusLibraryPath(NORVALT_TEST_MODBUS_LIB);
    // COM2 and COM5 do not exist; the library has no O protocol.
    StartService("PORT=CUST COM2=MN19200 COM5=TN9600 COM6=ON19200");
    ASSERT_NE(ModbusLibrary(), nullptr);
    StartPorts();
    EXPECT_EQ(PortStatus(1), -2) << "no such port";
    EXPECT_EQ(PortStatus(4), -2) << "the board bus opens its own line";
    EXPECT_EQ(PortStatus(5), kPortNotOpen);
    for (int i : {1, 4, 5}) {
        EXPECT_EQ(PortInfo(i), 0) << i;
        EXPECT_FALSE(PortRunning(i)) << "no handle, no entry";
    }
    EXPECT_EQ(ProtocolLines::Count("Modbus thread create 2 MN19200"), 1);
    EXPECT_EQ(ProtocolLines::Count("Modbus thread create 5 TN9600"), 1);

    SetPortStatusCell(1, 7);
    SetPortInfoCell(1, 9);
    TModbusThread direct(1, 0, "MN19200");
    EXPECT_FALSE(direct.Registered());
    EXPECT_EQ(PortStatus(1), -2);
    EXPECT_EQ(PortInfo(1), 0);
}

// An emulator that records the frames it is sent and never answers.
class SilentEmulator : public plat::ComObject<tlb::IHWEmu> {
  public:
    HRESULT WriteCall(const plat::WideString& call) override {
        std::lock_guard lk(m_);
        frames_.push_back(call);
        return plat::S_OK;
    }
    HRESULT ReadAnswer(plat::WideString* answer) override {
        if (answer == nullptr) return plat::E_POINTER;
        answer->clear();
        return plat::S_OK;
    }
    HRESULT Purge() override { return plat::S_OK; }
    std::vector<plat::WideString> Frames() {
        std::lock_guard lk(m_);
        return frames_;
    }

  private:
    std::mutex m_;
    std::vector<plat::WideString> frames_;
};

bool Within(int ms, const std::function<bool()>& f) {
    return testsupport::Eventually(f, ms, std::chrono::milliseconds(10));
}

// The service hands an emulated port its slot of the emulator table: the library's bus thread
// probes through the registered emulator and reports the port absent once it is gone.
TEST_F(FieldBusPorts, EmulatedPortReachesTheRegisteredEmulator) {
    SetModbusLibraryPath(NORVALT_TEST_MODBUS_LIB);
    auto emu = plat::MakeCom<SilentEmulator>();
    ASSERT_TRUE(SetEmulator(7, plat::ComPtr<tlb::IHWEmu>(emu.Get())));
    StartService("PORT=CUST COM7=MN19200E");
    StartPorts();
    EXPECT_TRUE(PortRunning(6));
    ASSERT_TRUE(Within(10000, [&] { return !emu->Frames().empty(); }));
    const plat::WideString first = emu->Frames().front();
    ASSERT_EQ(first.size(), 4u) << "address, 0x07 and the CRC";
    EXPECT_EQ(first[1], 0x07);
    EXPECT_GE(PortStatus(6), 0);
    SetEmulator(7, nullptr);
    EXPECT_TRUE(Within(10000, [] { return PortStatus(6) == -4; })) << PortStatus(6);
    StopPorts();
}

// A field-bus port whose adapter enumerates after the service started: the library did not
// take it, and the port starts once the device is there.
TEST_F(FieldBusPorts, PortWhoseDeviceAppearsLaterStartsThen) {
    SetModbusLibraryPath(NORVALT_TEST_MODBUS_LIB);
    testsupport::PtyPair pty;
    const std::string late = root_.Path() + "/ttyLateBus";
    ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine,
                                     "HARDWARE\\DEVICEMAP\\SERIALCOMM", "COM3", late),
              plat::ERROR_SUCCESS);
    StartService("PORT=CUST COM3=MN19200");
    StartPorts();
    EXPECT_FALSE(PortRunning(2));
    EXPECT_EQ(PortStatus(2), -2) << "waiting for its device";
    ASSERT_EQ(::symlink(pty.SlavePath().c_str(), late.c_str()), 0);
    EXPECT_TRUE(Within(5000, [] { return PortRunning(2); }));
    EXPECT_NE(PortStatus(2), -2);
    EXPECT_EQ(ProtocolLines::Count("Modbus thread create 3 MN19200"), 2);
    StopPorts();
}

TEST_F(FieldBusPorts, MissingLibraryLeavesThePortClosed) {
    SetModbusLibraryPath(root_.Path() + "/nowhere/libnorvalt_modbus.so");
    StartService("PORT=CUST COM2=MN19200");
    StartPorts();
    EXPECT_EQ(PortStatus(1), kPortNotOpen);
    EXPECT_FALSE(PortRunning(1));
    EXPECT_EQ(ProtocolLines::Count("Modbus thread create 2 MN19200"), 1);
}

}  // namespace
