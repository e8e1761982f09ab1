// The bus thread: opening the line, reloading remembered devices, the timed re-probes and
// search passes on the fake clock, captures, and recovery when the line or a device fails.
// Most cases run on the emulated line, where time is the fake clock's alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "fieldbus/core/App.h"
#include "fieldbus/core/Convel.h"
#include "fieldbus/core/PortThread.h"
#include "platform/registry/registry.h"
#include "platform/serial/serial.h"
#include "tests/fieldbus/FakeEmulator.h"
#include "tests/support/Eventually.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempRoot.h"
#include "tools/boardsim/BoardSim.h"
#if __has_include(<modbus.h>)
#include "tests/fieldbus/LibmodbusPeer.h"
#define HAVE_LIBMODBUS_PEER 1
#endif

using namespace fbtest;
namespace reg = plat::reg;

namespace {

constexpr int kPort = 7;

// What the test devices report; one per test.
struct Recorder {
    std::mutex m;
    std::vector<int> created;
    std::atomic<int> destroyed{0}, scans{0}, bad{0};
    std::atomic<int> throw_at{-1}, capture_at{-1};
    // At that scan the device moves itself to move_to: re-detected there (marked for removal)
    // or, with move_in_place, carried on by the port as the same device.
    std::atomic<int> move_at{-1}, move_to{0};
    bool move_in_place = false;
    std::function<void()> on_move;  // the slave's own move, on the bus thread
    int Created() {
        std::lock_guard<std::mutex> lk(m);
        return static_cast<int>(created.size());
    }
};
Recorder* g_rec = nullptr;

// Polls register 0 once a scan step; a missing answer counts as an error.
class TestDevice : public mb::CDevice {
  public:
    TestDevice(uint8_t address, mb::IDevicePort* port) : CDevice(address, port) {}
    ~TestDevice() override { g_rec->destroyed.fetch_add(1); }
    int Scan() override {
        const int n = g_rec->scans.fetch_add(1) + 1;
        if (n == g_rec->throw_at.load()) throw std::runtime_error("device fault");
        if (n == g_rec->capture_at.load()) Port()->Capture(GetAddress(), true);
        if (n == g_rec->move_at.load()) {
            const auto to = static_cast<uint8_t>(g_rec->move_to.load());
            if (g_rec->on_move) g_rec->on_move();
            if (g_rec->move_in_place) {
                Port()->MoveAddress(GetAddress(), to);
                SetAddress(to);
            } else {
                SetRedetectAddress(to);
                MarkForRemoval();
                return 0;
            }
        }
        std::vector<uint16_t> regs;
        const int code = Port()->PortModbus()->ReadHoldingRegisters(GetAddress(), 0, 1, regs);
        if (code != mb::kMbOk)
            IncErrorCount();
        else
            SetErrorCount(0);
        return code;
    }
    void SetBadQuality() override { g_rec->bad.fetch_add(1); }
};

std::unique_ptr<mb::CDevice> MakeTest(mb::IDevicePort* port, const mb::DetectedDevice& found) {
    {
        std::lock_guard<std::mutex> lk(g_rec->m);
        g_rec->created.push_back(found.address);
    }
    return std::make_unique<TestDevice>(found.address, port);
}

const std::vector<mb::DeviceModel> kModels = {
    {mb::kProtocolModbus, 0x30, false, "Post%i", "FQ5", true, &MakeTest},
    {mb::kProtocolModbus, 0x85, false, "GRQ%i", "ГРК", true, &MakeTest},
};

// A bus thread's probe sweeps take a while: 20 s unless told.
template <class P>
bool WaitUntil(P pred, int ms = 20000) {
    return testsupport::Eventually(pred, ms);
}

std::string Key(int address) {
    return "SOFTWARE\\Norvalt\\Drv\\MBDev\\COM7\\" + std::to_string(address);
}
void Remember(const std::string& sub, int number, const char* name, const char* type) {
    const std::string key = "SOFTWARE\\Norvalt\\Drv\\MBDev\\COM7\\" + sub;
    reg::CreateKey(reg::Hive::LocalMachine, key);
    if (number >= 0) reg::WriteDword(reg::Hive::LocalMachine, key, "Number", number);
    if (name) reg::WriteString(reg::Hive::LocalMachine, key, "Name", name);
    if (type) reg::WriteString(reg::Hive::LocalMachine, key, "Type", type);
}
bool Remembered(const std::string& sub) {
    return reg::KeyExists(reg::Hive::LocalMachine, "SOFTWARE\\Norvalt\\Drv\\MBDev\\COM7\\" + sub);
}

class BusThread : public ::testing::Test {
  protected:
    void SetUp() override {
        g_rec = &rec_;
        MBInitialize(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, &search_);
        slaves_.Serve(emu_);
    }
    void TearDown() override {
        thread_.reset();
        MBFinalize();
        g_rec = nullptr;
    }
    void StartEmulated(bool registered = true) {
        if (registered) reg_.Reg(&emu_);
        thread_ = std::make_unique<mb::CPortThread>(mb::App().NewBusContext(), 0, kPort, 19200, 0,
                                                    0, &status_, true, reg_.Slot(), &kModels);
        thread_->SetInfoCell(&info_);
        ASSERT_TRUE(thread_->Ready());
        ASSERT_TRUE(thread_->Start());
    }
    int32_t Status() { return std::atomic_ref<int32_t>(status_).load(); }
    int32_t Info() { return std::atomic_ref<int32_t>(info_).load(); }
    // Probes (0x07) of an address, with their fake-clock ticks.
    std::vector<uint32_t> ProbeTicks(int address) {
        std::vector<uint32_t> out;
        const auto frames = emu_.Frames();
        const auto ticks = emu_.Ticks();
        for (size_t i = 0; i < frames.size(); ++i)
            if (frames[i].size() >= 2 && frames[i][0] == address && frames[i][1] == 7)
                out.push_back(ticks[i]);
        return out;
    }

    testsupport::TempRoot root_;
    plat::ScopedFakeClock clock_;
    Recorder rec_;
    mb::SearchFlag search_{0};
    int32_t status_ = 100, info_ = 0;
    FakeEmulator emu_;
    FakeSlaves slaves_;
    FakeRegistration reg_;
    std::unique_ptr<mb::CPortThread> thread_;
};

// --- the line -----------------------------------------------------------------------------

TEST_F(BusThread, EmulationWaitsForItsEmulatorAndDropsDevicesWhenItGoes) {
    slaves_.Set(5, {});
    StartEmulated(false);
    EXPECT_EQ(Status(), -4);
    reg_.Reg(&emu_);
    ASSERT_TRUE(WaitUntil([&] { return Status() == 1; })) << Status();
    EXPECT_EQ(rec_.Created(), 1);
    std::string name;
    EXPECT_EQ(reg::ReadString(reg::Hive::LocalMachine, Key(5), "Name", name), 0);
    EXPECT_EQ(name, "Post5");

    reg_.Unreg();
    ASSERT_TRUE(WaitUntil([&] { return rec_.destroyed.load() == 1 && Status() == -4; }));
    reg_.Reg(&emu_);
    ASSERT_TRUE(WaitUntil([&] { return Status() == 1 && rec_.Created() == 2; }))
        << "the remembered device comes back with its emulator";
    thread_.reset();
    EXPECT_EQ(emu_.refs.load(), 0);
}

TEST(BusThreadLine, MissingPortGivesNothingAndABusyOneIsRetriedUntilFree) {
    testsupport::TempRoot root;
    int32_t status = 100;
    {
        mb::CPortThread missing(mb::App().NewBusContext(), 0, 9, 19200, 0, 0, &status, false,
                                nullptr, &kModels);
        EXPECT_FALSE(missing.Ready());
        EXPECT_EQ(status, -2);
    }
    testsupport::PtyPair pty(kPort);
    plat::serial::SerialPort holder;
    ASSERT_EQ(holder.Open("COM7"), 0);
    mb::CPortThread busy(mb::App().NewBusContext(), 0, kPort, 19200, 0, 0, &status, false, nullptr,
                         &kModels);
    ASSERT_TRUE(busy.Ready());
    EXPECT_EQ(status, -3);
    ASSERT_TRUE(busy.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(std::atomic_ref<int32_t>(status).load(), -3);
    holder.Close();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return std::atomic_ref<int32_t>(status).load() >= -1; }, 10000));
    // Retried every 1.5 s; a generous bound for loaded machines.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    busy.Stop();
}

#ifdef HAVE_LIBMODBUS_PEER
TEST(BusThreadLine, FindsAndPollsAnIndependentSlave) {
    testsupport::TempRoot root;
    Recorder rec;
    g_rec = &rec;
    testsupport::PtyPair pty(kPort);
    // Address 1: the first probe; this peer stalls after frames for other addresses.
    fbtest::LibmodbusPeer peer(pty.FarFd(), 1);
    peer.SetSlaveId(0x30);
    int32_t status = 100;
    {
        mb::CPortThread port(mb::App().NewBusContext(), 0, kPort, 19200, 0, 0, &status, false,
                             nullptr, &kModels);
        ASSERT_TRUE(port.Start());
        ASSERT_TRUE(WaitUntil([&] { return rec.scans.load() >= 3; }));
        EXPECT_EQ(std::atomic_ref<int32_t>(status).load(), 1);
    }
    g_rec = nullptr;
    std::string type;
    EXPECT_EQ(reg::ReadString(reg::Hive::LocalMachine, Key(1), "Type", type), 0);
    EXPECT_EQ(type, "FQ5");
    EXPECT_EQ(rec.bad.load(), 0) << "every poll answered";
}
#endif

// A board that only counts its scan steps.
class IdleBoard : public mb::CDevice {
  public:
    using CDevice::CDevice;
    ~IdleBoard() override { g_rec->destroyed.fetch_add(1); }
    int Scan() override {
        g_rec->scans.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return 1;
    }
};
const std::vector<mb::DeviceModel> kBoardModels = {
    {mb::kProtocolBoardBus, -1, false, "RowRun%i", "ROWTABLE", true,
     [](mb::IDevicePort* port, const mb::DetectedDevice& found) -> std::unique_ptr<mb::CDevice> {
         {
             std::lock_guard<std::mutex> lk(g_rec->m);
             g_rec->created.push_back(found.address);
         }
         return std::make_unique<IdleBoard>(found.address, port);
     }},
};
// The board bus's own line with its link test switched off.
std::unique_ptr<mb::IOtherLine> UntestedBoardLine(int protocol, mb::CLogFile* log) {
    auto line = mb::MakeOtherLine(protocol, log);
    if (line && line->Convel() != nullptr) line->Convel()->SetFramedMode(false);
    return line;
}

TEST(BusThreadLine, BoardBusWithoutLinkTestKeepsOneBoardThroughASearch) {
    testsupport::TempRoot root;
    Recorder rec;
    g_rec = &rec;
    mb::SearchFlag search{1};
    MBInitialize(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                 &search);
    testsupport::PtyPair pty(kPort);
    boardsim::BoardBus bus(pty.FarFd());
    int32_t status = 100, info = 0;
    {
        mb::SetOtherLineFactory(&UntestedBoardLine);
        mb::CPortThread port(mb::App().NewBusContext(), mb::kProtocolBoardBus, kPort, 9600, 0, 0,
                             &status, false, nullptr, &kBoardModels);
        mb::SetOtherLineFactory(nullptr);
        port.SetInfoCell(&info);
        ASSERT_TRUE(port.Ready());
        ASSERT_NE(port.PortConvel(), nullptr);
        EXPECT_EQ(port.PortIcpcon(), nullptr);
        ASSERT_TRUE(port.Start());
        // Every address answers; a whole search pass still makes no second board.
        ASSERT_TRUE(WaitUntil([&] { return std::atomic_ref<int32_t>(info).load() >= 2; }));
        EXPECT_EQ(rec.Created(), 1);
        EXPECT_EQ(std::atomic_ref<int32_t>(status).load(), 1);
    }
    search.store(0);
    MBFinalize();
    g_rec = nullptr;
    EXPECT_EQ(rec.created, std::vector<int>{1});
    EXPECT_TRUE(bus.Raw().empty()) << "no link check goes out";
}

TEST(BusThreadLine, DconLineOpensWithTheModeAndFindsAModule) {
    testsupport::TempRoot root;
    Recorder rec;
    g_rec = &rec;
    testsupport::PtyPair pty(kPort);
    boardsim::DconBus bus(pty.FarFd());
    bus.SetModule(1, {});
    int32_t status = 100;
    const std::vector<mb::DeviceModel> models = {
        {mb::kProtocolDcon, -1, false, "DensMeter%i", "LVX3ICPCON", true, kBoardModels[0].make}};
    {
        mb::CPortThread port(mb::App().NewBusContext(), mb::kProtocolDcon, kPort, 9600, 0, 0,
                             &status, false, nullptr, &models);
        ASSERT_TRUE(port.Ready());
        ASSERT_NE(port.PortIcpcon(), nullptr);
        EXPECT_EQ(port.PortConvel(), nullptr);
        EXPECT_EQ(port.PortModbus(), nullptr);
        ASSERT_TRUE(port.Start());
        ASSERT_TRUE(WaitUntil([&] { return rec.Created() == 1; }));
    }
    g_rec = nullptr;
    EXPECT_EQ(rec.created, std::vector<int>{1});
    ASSERT_FALSE(bus.Commands().empty());
    EXPECT_EQ(bus.Commands()[0], "$01I") << "the status query is the probe";
}

// --- remembered devices -------------------------------------------------------------------

TEST_F(BusThread, ReloadKeepsWhatIsValidAndFindsTheGroundingMonitorAgain) {
    Remember("1", 0, "Post1", "FQ5");
    Remember("2", 248, "Post248", "FQ5");
    Remember("3", 3, nullptr, "FQ5");
    Remember("4", 4, "Post4", nullptr);
    Remember("6", 6, "Post6", "XYZ");
    Remember("8", 8, "Post8", "FQ5");  // silent
    Remember("9", 9, "GRQ9", "ГРК");
    slaves_.Set(6, {});
    slaves_.Set(9, {.type_code = 0x85});
    StartEmulated();
    ASSERT_TRUE(WaitUntil([&] { return rec_.Created() >= 1 && Status() == 1; }));
    thread_.reset();
    EXPECT_FALSE(Remembered("1"));
    EXPECT_FALSE(Remembered("2"));
    EXPECT_FALSE(Remembered("3"));
    EXPECT_FALSE(Remembered("4"));
    EXPECT_FALSE(Remembered("6")) << "an unknown type is dropped";
    EXPECT_TRUE(Remembered("8")) << "a silent device stays remembered";
    ASSERT_TRUE(Remembered("9"));
    std::string type;
    reg::ReadString(reg::Hive::LocalMachine, Key(9), "Type", type);
    EXPECT_EQ(type, "ГРК");
    {
        std::lock_guard<std::mutex> lk(rec_.m);
        EXPECT_EQ(rec_.created, std::vector<int>{9});
    }
    // And once more on a restart.
    // The sweep of free addresses may find the answering device at 6 meanwhile on a loaded
    // machine: what counts is that 9 is made again from its record.
    StartEmulated();
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lk(rec_.m);
        return std::count(rec_.created.begin(), rec_.created.end(), 9) == 2;
    })) << "created "
        << rec_.Created() << ", status " << Status();
}

TEST_F(BusThread, RegistryPassGetsPastEntriesItCannotRead) {
    slaves_.Set(5, {});
    StartEmulated();
    ASSERT_TRUE(WaitUntil([&] { return Status() == 1; }));
    // Entries sorted before a device that appears later: none of them readable.
    Remember("10", -1, "x", "FQ5");
    Remember("11", 300, "x", "FQ5");
    Remember("12", 12, "Post12", "FQ5");
    const uint32_t t0 = plat::GetTickCount();
    slaves_.Set(12, {});
    ASSERT_TRUE(WaitUntil([&] { return Status() == 2; }));
    // One entry per 5 s pass; the round of free addresses would take minutes to get there.
    EXPECT_LT(plat::TickDiff(plat::GetTickCount(), t0), 25000u)
        << "the registry pass reaches the last entry";
}

// --- timers on the fake clock ---------------------------------------------------------------

TEST_F(BusThread, SilentDeviceGoesOfflineAndIsReprobedOncePerTwoSeconds) {
    slaves_.Set(5, {});
    StartEmulated();
    ASSERT_TRUE(WaitUntil([&] { return Status() == 1 && rec_.scans.load() > 3; }));
    slaves_.Silence(5, true);
    ASSERT_TRUE(WaitUntil([&] { return rec_.bad.load() >= 1; })) << "offline after 10 errors";
    EXPECT_GE(rec_.scans.load(), 11);
    const size_t before = ProbeTicks(5).size();
    ASSERT_TRUE(WaitUntil([&] { return ProbeTicks(5).size() >= before + 8; }));
    const auto ticks = ProbeTicks(5);
    std::vector<uint32_t> groups;
    size_t in_group = 0;
    for (size_t i = before; i < ticks.size(); ++i) {
        if (groups.empty() || ticks[i] - ticks[i - 1] > 1000) {
            groups.push_back(ticks[i]);
            in_group = 0;
        }
        EXPECT_LE(++in_group, 2u) << "two tries per re-probe";
    }
    // The first group may be the second try of a re-probe begun before the count was taken.
    ASSERT_GE(groups.size(), 4u);
    for (size_t i = 2; i < groups.size(); ++i) EXPECT_GE(groups[i] - groups[i - 1], 1900u);

    slaves_.Silence(5, false);
    const int scans = rec_.scans.load();
    ASSERT_TRUE(WaitUntil([&] { return rec_.scans.load() > scans + 3; })) << "back online";
}

TEST_F(BusThread, SearchPassCountsRoundsAndForgetsSilentAddressesOnlyWhenAsked) {
    slaves_.Set(5, {});
    Remember("9", 9, "Post9", "FQ5");  // silent
    StartEmulated();
    ASSERT_TRUE(WaitUntil([&] { return Status() == 1; }));
    const uint32_t t0 = plat::GetTickCount();
    ASSERT_TRUE(WaitUntil([&] { return plat::TickDiff(plat::GetTickCount(), t0) > 40000; }));
    EXPECT_TRUE(Remembered("9")) << "no search asked: the entry stays";
    EXPECT_EQ(Info(), 0);
    slaves_.Set(20, {});
    search_ = 1;
    ASSERT_TRUE(WaitUntil([&] { return Info() >= 1; }));
    search_ = 0;
    EXPECT_FALSE(Remembered("9"));
    EXPECT_TRUE(Remembered("5"));
    EXPECT_TRUE(Remembered("20"));
    ASSERT_TRUE(WaitUntil([&] { return Status() == 2; }));
}

// --- captures -------------------------------------------------------------------------------

TEST_F(BusThread, CaptureRulesAndAddressBounds) {
    reg_.Reg(&emu_);
    mb::CPortThread port(mb::App().NewBusContext(), 0, kPort, 19200, 0, 0, &status_, true,
                         reg_.Slot(), &kModels);
    EXPECT_EQ(port.Capture(5, false), 0);
    EXPECT_EQ(port.Capture(5, false), 0);
    EXPECT_EQ(port.Capture(5, true), -10);
    EXPECT_EQ(port.CaptureCount(5), -2);
    EXPECT_EQ(port.Capture(6, true), 0);
    EXPECT_EQ(port.Capture(6, false), -10);
    EXPECT_EQ(port.Capture(0, true), -10);
    EXPECT_EQ(port.Capture(248, true), -10);
    EXPECT_EQ(port.CaptureCount(248), 0);
    EXPECT_EQ(port.Release(0), 0);
    EXPECT_EQ(port.CaptureCount(5), -1) << "one read-only capture undone per release";
    EXPECT_EQ(port.CaptureCount(6), 1);
    EXPECT_EQ(port.Release(6), 0);
    EXPECT_EQ(port.CaptureCount(6), 0);
    EXPECT_EQ(port.Release(250), 0);
}

TEST_F(BusThread, DeviceCapturedReadWriteIsNotPolled) {
    slaves_.Set(5, {});
    rec_.capture_at = 10;
    StartEmulated();
    ASSERT_TRUE(WaitUntil([&] { return rec_.bad.load() == 1; }));
    const uint32_t t0 = plat::GetTickCount();
    ASSERT_TRUE(WaitUntil([&] { return plat::TickDiff(plat::GetTickCount(), t0) > 3000; }));
    EXPECT_EQ(rec_.scans.load(), 10);
    EXPECT_EQ(Status(), 1);
}

// --- faults -----------------------------------------------------------------------------------

TEST_F(BusThread, FaultInAScanStepRestartsThePortInsteadOfEndingIt) {
    slaves_.Set(5, {});
    rec_.throw_at = 20;
    StartEmulated();
    ASSERT_TRUE(WaitUntil([&] { return rec_.scans.load() >= 20; }));
    ASSERT_TRUE(WaitUntil([&] { return rec_.Created() == 2 && Status() == 1; }))
        << "the device is found again and polled";
    EXPECT_EQ(rec_.destroyed.load(), 1);
    const int scans = rec_.scans.load();
    ASSERT_TRUE(WaitUntil([&] { return rec_.scans.load() > scans + 5; }));
}

}  // namespace

// A device that moves to another bus address is found there once and remembered there only.
TEST_F(BusThread, ADeviceThatMovesIsFoundAndRememberedAtItsNewAddress) {
    for (bool in_place : {false, true}) {
        SCOPED_TRACE(in_place ? "carried on" : "re-detected");
        reg::DeleteKeyTree(reg::Hive::LocalMachine, "SOFTWARE\\Norvalt\\Drv\\MBDev\\COM7");
        slaves_.Set(5, {});
        slaves_.Silence(5, false);
        rec_.move_in_place = in_place;
        rec_.move_to = 9;
        rec_.on_move = [&] {
            slaves_.Set(9, {});
            slaves_.Silence(5, true);
        };
        rec_.move_at = rec_.scans.load() + 3;
        StartEmulated();
        ASSERT_TRUE(WaitUntil([&] { return rec_.scans.load() >= rec_.move_at.load(); }));
        if (!in_place) {
            ASSERT_TRUE(WaitUntil([&] { return rec_.Created() == 2; }));
            std::lock_guard<std::mutex> lk(rec_.m);
            EXPECT_EQ(rec_.created, (std::vector<int>{5, 9}));
        }
        ASSERT_TRUE(WaitUntil([&] { return Remembered("9") && !Remembered("5"); }));
        EXPECT_TRUE(WaitUntil([&] { return Status() == 1; }));
        thread_.reset();
        uint32_t number = 0;
        reg::ReadDword(reg::Hive::LocalMachine, Key(9), "Number", number);
        EXPECT_EQ(number, 9u);
        rec_.move_at = -1;
        std::lock_guard<std::mutex> lk(rec_.m);
        rec_.created.clear();
    }
}
