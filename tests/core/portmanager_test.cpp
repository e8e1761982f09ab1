#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <map>

#include "platform/registry/registry.h"
#include "service/core/controllers/PollThread.h"
#include "service/core/items/DeviceItems.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/PortManager.h"
#include "tests/support/Eventually.h"
#include "tests/support/ProtocolLines.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempRoot.h"

using namespace drv;

namespace {

struct Started {
    PortKind kind;
    PortStartInfo info;
};

class FakePort : public TPortObject {
  public:
    FakePort(std::map<int, int>* alive, int index, bool registered)
        : alive_(alive), index_(index), registered_(registered) {
        ++(*alive_)[index_];
    }
    ~FakePort() override { --(*alive_)[index_]; }
    int PostCount() const override { return 2; }
    bool Registered() const override { return registered_; }

  private:
    std::map<int, int>* alive_;
    int index_;
    bool registered_;
};

class PortManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (PortKind k : {PortKind::Native, PortKind::FieldBus, PortKind::SlaveLibrary})
            SetPortFactory(k, [this, k](const PortStartInfo& info) {
                starts_.push_back({k, info});
                SetPortStatusCell(info.index, 2);
                return std::make_unique<FakePort>(&alive_, info.index, registered_);
            });
    }
    void TearDown() override {
        StopPorts();
        for (PortKind k : {PortKind::Native, PortKind::FieldBus, PortKind::SlaveLibrary})
            SetPortFactory(k, nullptr);
        SetFixedAddressSpace(false);
    }
    void Configure(const std::string& params) {
        ASSERT_EQ(
            plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters", params),
            plat::ERROR_SUCCESS);
    }
    const Started* Find(int com) const {
        for (auto& s : starts_)
            if (s.info.index == com - 1) return &s;
        return nullptr;
    }

    testsupport::TempRoot root_;
    std::vector<Started> starts_;
    std::map<int, int> alive_;
    bool registered_ = true;
};

}  // namespace

TEST_F(PortManagerTest, CustomStringPicksKindsBaudsEmulationAndShifts) {
    Configure("PORT=CUST COM1=ZRN COM2=ZRNE COM3=ZRN9600 COM4=MN9600 COM5=SME SHIFT2=100 COM6=XYZ");
    StartPorts();
    ASSERT_TRUE(Find(1) && Find(2) && Find(3) && Find(4) && Find(5));
    EXPECT_EQ(Find(1)->kind, PortKind::Native);
    EXPECT_EQ(Find(1)->info.baud, 4800u);
    EXPECT_FALSE(Find(1)->info.emulation);
    EXPECT_EQ(Find(2)->info.baud, 4800u);
    EXPECT_TRUE(Find(2)->info.emulation);
    EXPECT_EQ(Find(2)->info.shift, 100) << "posts on COM2 are numbered from 101";
    EXPECT_EQ(Find(3)->info.baud, 9600u);
    EXPECT_FALSE(Find(3)->info.emulation);
    EXPECT_EQ(Find(4)->kind, PortKind::FieldBus);
    EXPECT_EQ(Find(5)->kind, PortKind::SlaveLibrary);
    EXPECT_FALSE(Find(6)) << "a word that fits no kind starts nothing";
    EXPECT_EQ(PortStatus(5), kPortNotOpen);
    EXPECT_EQ(PortStatus(0), 2);
    EXPECT_EQ(HighestPostNumber(), 131);
    EXPECT_EQ(PortStatusDescription(1), " ZRNE 100");
    EXPECT_FALSE(DefaultMode());
}

TEST_F(PortManagerTest, KindsWithoutAnImplementationStayNotStarted) {
    SetPortFactory(PortKind::FieldBus, nullptr);
    Configure("PORT=CUST COM4=MN9600");
    StartPorts();
    EXPECT_EQ(PortStatus(3), kPortNotOpen);
    EXPECT_FALSE(PortRunning(3));
}

TEST_F(PortManagerTest, DefaultModeRunsOnlyCom1NativeAndClearsTheOtherCells) {
    SetPortStatusCell(4, 7);  // left over from an earlier run
    Configure("COM1=MN9600 COM2=ZRN SHIFT1=50");
    StartPorts();
    ASSERT_EQ(starts_.size(), 1u);
    EXPECT_EQ(starts_[0].kind, PortKind::Native);
    EXPECT_EQ(starts_[0].info.baud, 4800u);
    EXPECT_EQ(starts_[0].info.shift, 0) << "no shift in default mode";
    EXPECT_TRUE(starts_[0].info.default_mode);
    EXPECT_EQ(PortStatus(4), kPortNotOpen);
    EXPECT_EQ(LastPortIndex(), 0);
}

TEST_F(PortManagerTest, DisableAllPortsAndUnregisteredPorts) {
    Configure("PORT=CUST DISABLEALLPORTS=1 COM1=ZRN COM2=ZRN");
    StartPorts();
    EXPECT_TRUE(starts_.empty());
    for (int i = 0; i < kPortCount; ++i) EXPECT_EQ(PortStatus(i), kPortSwitchedOff) << i;
    StopPorts();

    registered_ = false;  // the port did not take its COM port: the object goes at once
    Configure("PORT=CUST COM1=ZRN");
    StartPorts();
    EXPECT_EQ(starts_.size(), 1u);
    EXPECT_FALSE(PortRunning(0));
    EXPECT_EQ(alive_[0], 0);
}

TEST_F(PortManagerTest, UsePortCodes) {
    Configure("PORT=CUST COM1=ZRN COM2=ZRN");
    StartPorts();
    EXPECT_EQ(UsePort(33, true), plat::E_INVALIDARG);
    EXPECT_EQ(UsePort(0, false), plat::E_INVALIDARG);
    EXPECT_EQ(UsePort(2, false), plat::S_OK);
    EXPECT_EQ(PortStatus(1), kPortSwitchedOff);
    EXPECT_EQ(alive_[1], 0);
    EXPECT_EQ(UsePort(2, false), plat::S_FALSE);
    // Switching back on re-reads the port's settings from the registry.
    Configure("PORT=CUST COM1=ZRN COM2=ZRN9600");
    EXPECT_EQ(UsePort(2, true), plat::S_OK);
    EXPECT_EQ(starts_.back().info.baud, 9600u);
    EXPECT_EQ(UsePort(2, true), plat::S_FALSE);
    EXPECT_EQ(alive_[1], 1);
}

TEST_F(PortManagerTest, RestartChangedPortsRestartsOnlyThoseThatChanged) {
    Configure("PORT=CUST COM1=ZRN COM2=ZRN COM3=ZRN");
    StartPorts();
    size_t before = starts_.size();
    SetParamValue("COM2", "ZRN9600");
    RestartChangedPorts();
    ASSERT_EQ(starts_.size(), before + 1);
    EXPECT_EQ(starts_.back().info.index, 1);
    EXPECT_EQ(alive_[1], 1);
    RestartChangedPorts();
    EXPECT_EQ(starts_.size(), before + 1) << "nothing changed any more";
}

TEST_F(PortManagerTest, BadExitTimeoutDoesNotStopThePorts) {
    Configure("PORT=CUST EXITTIMEOUT=abc COM1=ZRN FLATPOSTS=0 RESTRICTUSERS=1");
    StartPorts();
    EXPECT_EQ(ExitTimeout(), 3);
    EXPECT_TRUE(PortRunning(0));
    EXPECT_FALSE(FlatPosts());
    EXPECT_TRUE(RestrictUsers().load());
    RestrictUsers() = false;
}

TEST_F(PortManagerTest, PortStateKeepsClosing) {
    SetPortStatusCell(3, kPortClosing);
    SetPortState(nullptr, 3, kPortNotOpen);
    SetPortState(nullptr, 3, kPortNotFound);
    EXPECT_EQ(PortStatus(3), kPortClosing);
    SetPortState(nullptr, 3, kPortDenied);
    EXPECT_EQ(PortStatus(3), kPortDenied);
    EXPECT_EQ(PortStatus(99), kPortNotOpen);
}

TEST_F(PortManagerTest, ParameterStringEdits) {
    WriteParameters("PORT=CUST COM1=ZRN SHIFT1=123456789012345678901234");
    EXPECT_EQ(GetParam("port"), "CUST");
    EXPECT_EQ(GetParam("SHIFT1"), "12345678901234567890") << "only 20 characters count";
    EXPECT_EQ(GetParam("COM2"), "");
    EXPECT_EQ(GetParamValue("COM1", "XCOM1=A COM1=B"), "B") << "a key counts only as a whole word";

    SetParamValue("PORT", "STD");  // the first pair
    EXPECT_EQ(CachedParameters(), "PORT=STD COM1=ZRN SHIFT1=123456789012345678901234");
    SetParamValue("SHIFT1", "5");  // a long old value is replaced whole
    EXPECT_EQ(CachedParameters(), "PORT=STD COM1=ZRN SHIFT1=5");
    SetParamValue("COM1", "");
    EXPECT_EQ(CachedParameters(), "PORT=STD SHIFT1=5");
    SetParamValue("PORT", "");
    EXPECT_EQ(CachedParameters(), "SHIFT1=5");
    SetParamValue("DISABLEALLPORTS", "1");
    EXPECT_EQ(CachedParameters(), "SHIFT1=5 DISABLEALLPORTS=1");

    std::string stored;
    plat::reg::ReadString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters", stored);
    EXPECT_EQ(stored, "PORT=CUST COM1=ZRN SHIFT1=123456789012345678901234")
        << "edits stay in the cache";
    EXPECT_EQ(GetParam("COM1", true), "ZRN");
    EXPECT_EQ(CachedParameters(), "SHIFT1=5 DISABLEALLPORTS=1 COM1=ZRN");
}

TEST(ParametersString, OneReadingOfKeysAndValues) {
    const std::string s =
        "PORT=cust COM11=ZRN9600 XCOM1=SME COM1=zrn COM2= COM3=MN9600 COM1=TN9600";
    EXPECT_EQ(GetParamValue("COM1", s), "zrn") << "whole keys; the first of a repeat counts";
    EXPECT_EQ(GetParamValue("com11", s), "ZRN9600");
    EXPECT_EQ(GetParamValue("COM", s), "") << "a key is not found by its prefix";
    EXPECT_EQ(GetParamValue("CUST", s), "") << "nor inside a value";
    EXPECT_EQ(GetParamValue("COM2", s), "");
    EXPECT_EQ(GetParamValue("COM3", s), "MN9600");
    EXPECT_EQ(GetParamValue("COM1", "COM1=A"), "A") << "a pair at the start";
    EXPECT_EQ(GetParamValue("COM2", "COM1=A  COM2=B"), "B") << "two blanks";
    EXPECT_EQ(GetParamValue("COM1", "COM1=A\tCOM2=B"), "A\tCOM2=B") << "a tab is no separator";
    EXPECT_EQ(GetParamValue("COM2", "COM1=A\tCOM2=B"), "");
    EXPECT_EQ(GetParamValue("COM1", "COM1 = A"), "") << "no blanks around the equals sign";
    EXPECT_EQ(GetParamValue("P", "P=" + std::string(30, 'x')), std::string(20, 'x'));
    EXPECT_EQ(GetParamValue("P", "P=" + std::string(30, 'x'), std::string::npos),
              std::string(30, 'x'));
}

TEST_F(PortManagerTest, ClearingARepeatedKeyClearsEveryPair) {
    // Switching the ports back on must not leave a second DISABLEALLPORTS=1 to take over.
    WriteParameters("DISABLEALLPORTS=1 PORT=CUST DISABLEALLPORTS=1 COM1=ZRN DISABLEALLPORTS=1");
    SetParamValue("DISABLEALLPORTS", "");
    EXPECT_EQ(GetParam("DISABLEALLPORTS"), "");
    EXPECT_EQ(CachedParameters(), "PORT=CUST COM1=ZRN");
    // Setting a repeated key changes the pair that is read.
    WriteParameters("COM1=A COM1=B");
    SetParamValue("COM1", "C");
    EXPECT_EQ(GetParam("COM1"), "C");
}

TEST_F(PortManagerTest, InstallationSwitchesBuildTheString) {
    InstallParameters({"NorvaltDrv", "/install", "/port=cust", "/COM2=ZRN", "/SHIFT2=10", "/silent",
                       "/PROTOCOL=3", "/DEFSHIFT=5", "/COM3=ABCDEFGHIJKLMNOPQRSTUVWXYZ"});
    std::string stored;
    ASSERT_EQ(plat::reg::ReadString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters", stored),
              plat::ERROR_SUCCESS);
    EXPECT_EQ(stored, "PORT=CUST COM2=ZRN SHIFT2=10 PROTOCOL=3 DEFSHIFT=5 COM3=ABCDEFGHIJKLMNO");
    InstallParameters({"/install"});
    plat::reg::ReadString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters", stored);
    EXPECT_EQ(stored, "PORT=CUST COM2=ZRN SHIFT2=10 PROTOCOL=3 DEFSHIFT=5 COM3=ABCDEFGHIJKLMNO")
        << "no switches, no change";
    UninstallParameters();
    EXPECT_FALSE(plat::reg::KeyExists(plat::reg::Hive::LocalMachine, kDrvKey));
}

// A client's restart runs on the manager's thread and the client stops waiting at its bound
// while a port is slow to stop; a StopPorts meanwhile waits for the restart under way, drops
// the one still queued, and no port is left running after it.
TEST_F(PortManagerTest, ClientRestartsWaitBoundedAndNoneOutlivesStopPorts) {
    static std::atomic<bool> release{false};
    static std::atomic<int> slow_alive{0};
    class SlowPort : public TPortObject {
      public:
        SlowPort() { ++slow_alive; }
        ~SlowPort() override {
            for (int i = 0; i < 1000 && !release.load(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            --slow_alive;
        }
        int PostCount() const override { return 0; }
        bool Registered() const override { return true; }
    };
    release = false;
    std::atomic<int> made{0};
    SetPortFactory(PortKind::FieldBus, [&](const PortStartInfo&) {
        ++made;
        return std::make_unique<SlowPort>();
    });
    Configure("PORT=CUST COM4=MN9600");
    StartPorts();
    ASSERT_EQ(made.load(), 1);

    EXPECT_FALSE(RestartAllPortsWithin(200)) << "the old port is still stopping";
    Configure("PORT=CUST COM4=MN19200");
    ReloadParameters();
    EXPECT_FALSE(RestartChangedPortsWithin(0));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        StopPorts();
        stopped = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(stopped.load()) << "the restart under way finishes first";
    release = true;
    stopper.join();
    EXPECT_FALSE(PortRunning(3));
    EXPECT_EQ(slow_alive.load(), 0);
    EXPECT_EQ(made.load(), 2) << "the restart under way started one; the queued one never ran";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(made.load(), 2);
    EXPECT_FALSE(PortRunning(3));

    Configure("PORT=CUST COM4=MN9600");
    StartPorts();
    EXPECT_TRUE(RestartAllPortsWithin(5000)) << "nothing slow: done within the bound";
    EXPECT_EQ(made.load(), 4);
    EXPECT_TRUE(PortRunning(3));
}

namespace {

// A port whose start or stop takes as long as the test wants (at most 3 s), like a line whose
// open or a bus thread whose join hangs.
struct Gate {
    std::atomic<bool> slow_open{false};
    std::atomic<bool> slow_stop{false};
    std::atomic<bool> release{false};
    std::atomic<int> opening{0};
    std::atomic<int> stopping{0};
    std::atomic<int> held{0};  // holds ended
    void Hold(std::atomic<int>& in) {
        ++in;
        for (int i = 0; i < 300 && !release.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ++held;
    }
};

class GatedPort : public TPortObject {
  public:
    explicit GatedPort(Gate* gate) : gate_(gate) {}
    ~GatedPort() override {
        if (gate_->slow_stop.load()) gate_->Hold(gate_->stopping);
    }
    int PostCount() const override { return 0; }
    bool Registered() const override { return true; }

  private:
    Gate* gate_;
};

}  // namespace

// Switching one port on or off, and asking whether a port runs, wait for nothing of another
// port: neither for a line that is slow to open nor for a restart stopping a slow bus thread.
TEST_F(PortManagerTest, OnePortsSlowOpenOrStopHoldsUpNoOtherPort) {
    Gate gate;
    struct StopFirst {  // the ports hold the gate
        ~StopFirst() { StopPorts(); }
    } stop_first;
    SetPortFactory(PortKind::FieldBus, [&gate](const PortStartInfo&) {
        if (gate.slow_open.load()) gate.Hold(gate.opening);
        return std::make_unique<GatedPort>(&gate);
    });
    Configure("PORT=CUST COM1=ZRN COM4=MN9600");
    StartPorts();
    ASSERT_TRUE(PortRunning(3));
    ASSERT_EQ(UsePort(4, false), plat::S_OK);

    gate.slow_open = true;
    std::atomic<bool> opened{false};
    std::thread opener([&] {
        EXPECT_EQ(UsePort(4, true), plat::S_OK);
        opened = true;
    });
    while (gate.opening.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(PortRunning(0));
    EXPECT_EQ(UsePort(1, false), plat::S_OK);
    EXPECT_EQ(UsePort(1, true), plat::S_OK);
    EXPECT_FALSE(opened.load()) << "COM1 waited for COM4's line to open";
    gate.release = true;
    opener.join();
    EXPECT_TRUE(PortRunning(3));

    gate.release = false;
    gate.slow_open = false;
    gate.slow_stop = true;
    SetParamValue("SHIFT4", "10");
    EXPECT_FALSE(RestartChangedPortsWithin(0));
    while (gate.stopping.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(UsePort(1, false), plat::S_OK);
    EXPECT_EQ(UsePort(1, true), plat::S_OK);
    EXPECT_TRUE(PortRunning(0));
    EXPECT_EQ(gate.held.load(), 1) << "COM1 waited for COM4's bus thread to end";
    gate.release = true;
    EXPECT_TRUE(RestartChangedPortsWithin(5000));
    EXPECT_TRUE(PortRunning(3));
}

// A native port whose adapter is plugged in after the service started: it waits, quietly, with
// status -2 (not -1, "not started"), and starts once the device is there.
TEST_F(PortManagerTest, NativePortWhoseDeviceAppearsLaterStartsThen) {
    using testsupport::ProtocolLines;
    testsupport::PtyPair pty;  // outlives the port
    ProtocolLines::Clear();
    InitProtocol(kDrvKey, "Parameters");
    SetProtocolHook(&ProtocolLines::Record);
    struct Unhook {
        ~Unhook() {
            StopPorts();
            SetProtocolHook(nullptr);
            DoneProtocol();
        }
    } unhook;
    TProcessThread::Install();
    const std::string late = root_.Path() + "/ttyLate";
    ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine,
                                     "HARDWARE\\DEVICEMAP\\SERIALCOMM", "COM3", late),
              plat::ERROR_SUCCESS);
    Configure("PORT=CUST COM3=ZRN9600");
    StartPorts();
    EXPECT_FALSE(PortRunning(2));
    EXPECT_EQ(PortStatus(2), kPortNotFound) << "waiting for its device";
    const int starts = ProtocolLines::Count("StartThread 2");      // 20..29 too
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // a few looks
    EXPECT_FALSE(PortRunning(2));
    EXPECT_EQ(PortStatus(2), kPortNotFound);
    EXPECT_EQ(ProtocolLines::Count("StartThread 2"), starts) << "nothing repeated while away";
    EXPECT_EQ(ProtocolLines::Count(late + " not found"), 1);

    ASSERT_EQ(::symlink(pty.SlavePath().c_str(), late.c_str()), 0);
    EXPECT_TRUE(testsupport::Eventually([] { return PortRunning(2); }, 5000));
    EXPECT_TRUE(testsupport::Eventually([] { return PortStatus(2) == 0; }, 5000)) << PortStatus(2);
    EXPECT_EQ(ProtocolLines::Count(late + " is there"), 1);
}

// Stopping the service stops its ports at the same time: each of these takes as long to stop
// as it waits for the others to be stopping too (at most 2 s).
TEST_F(PortManagerTest, PortsStopAtTheSameTime) {
    struct Meeting {
        std::mutex m;
        std::condition_variable cv;
        int stopping = 0;  // now
        int most = 0;      // at once
    } meeting;
    class MeetingPort : public TPortObject {
      public:
        explicit MeetingPort(Meeting* meeting) : meeting_(meeting) {}
        ~MeetingPort() override {
            std::unique_lock<std::mutex> lk(meeting_->m);
            meeting_->most = std::max(meeting_->most, ++meeting_->stopping);
            meeting_->cv.notify_all();
            meeting_->cv.wait_for(lk, std::chrono::seconds(2),
                                  [this] { return meeting_->most >= 4; });
            --meeting_->stopping;
        }
        int PostCount() const override { return 0; }
        bool Registered() const override { return true; }

      private:
        Meeting* meeting_;
    };
    SetPortFactory(PortKind::FieldBus, [&meeting](const PortStartInfo&) {
        return std::make_unique<MeetingPort>(&meeting);
    });
    Configure("PORT=CUST COM1=MN9600 COM2=MN9600 COM3=MN9600 COM4=MN9600");
    StartPorts();
    StopPorts();
    EXPECT_EQ(meeting.most, 4) << "the ports were stopped one after another";
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(PortRunning(i)) << i;
}
