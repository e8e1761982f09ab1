// Flow sensor, grounding monitor and scan terminal through the service: the real bus thread of
// the loaded library on one line, the simulator (and libmodbus as an independent peer) at the
// far end, the values and a write seen where a client sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/registry/registry.h"
#include "service/core/controllers/PollThread.h"
#include "tests/fieldbus/LibmodbusPeer.h"
#include "tests/station/LibraryStation.h"
#include "tests/support/PtyPair.h"
#include "tools/fbsim/Server.h"
#include "tools/fbsim/Sim.h"

namespace {

constexpr uint8_t kSensor = 1, kMonitor = 2, kTerminal = 3;

std::string Remembered(uint8_t address, const char* value) {
    std::string text;
    plat::reg::ReadString(plat::reg::Hive::LocalMachine,
                          "SOFTWARE\\Norvalt\\Drv\\MBDev\\COM7\\" + std::to_string(address), value,
                          text);
    return text;
}

bool Near(const plat::Variant& v, double want) {
    plat::Variant d;
    return plat::Succeeded(plat::VariantChangeType(d, v, 0, plat::VT_R8)) &&
           std::fabs(d.dblVal - want) < 1e-4;
}

bool IsText(const plat::Variant& v, const std::string& want) {
    return v.vt == plat::VT_BSTR && plat::WideToUtf8(v.bstrVal) == want;
}

class DevicesStation : public station::LibraryStation {
  protected:
    void TearDown() override {
        drv::SearchMode().store(0);
        station::LibraryStation::TearDown();
    }

    // The simulator's three devices on the line.
    void AddDevices() {
        fbsim::FlowSensorSetup f;
        f.address = kSensor;
        f.word1 = 0x12;
        f.word2 = 0x0345;
        f.state = 3;
        f.total_v = 1234500000;  // 1234.5 l
        f.current_v = 2500000;
        f.temperature = 21.5f;
        f.inspector = 77;
        fbsim::AddFlowSensor(engine_, f);
        fbsim::GroundingSetup g;
        g.address = kMonitor;
        g.state = 2;
        g.capacity = 1.25f;
        g.min_capacity = 0.5f;
        g.max_capacity = 4.0f;
        fbsim::AddGroundingMonitor(engine_, g);
        fbsim::TerminalSetup t;
        t.address = kTerminal;
        t.type = 9;
        fbsim::AddTerminal(engine_, t);
    }

    // Starts the port with a client's search on until all three devices are in the tree.
    void StartAndFindAll() {
        drv::SearchMode().store(1);
        Start("PORT=CUST COM7=MN19200");
        const bool all = WaitItem("Post1.State", 30000) >= 0 &&
                         WaitItem("GRQ2.State", 30000) >= 0 &&
                         WaitItem("Terminal3.Key.LastKey", 30000) >= 0;
        drv::SearchMode().store(0);
        ASSERT_TRUE(all);
        // A device is remembered once its items are made: the entry may follow a moment later.
        ASSERT_TRUE(station::Within(10000, [] { return !Remembered(kTerminal, "Type").empty(); }));
    }

    bool Logged(const std::string& hex) {
        const auto log = engine_.Requests();
        return std::find(log.begin(), log.end(), hex) != log.end();
    }

    fbsim::Engine engine_;
};

TEST_F(DevicesStation, FoundNamedRememberedAndServed) {
    testsupport::PtyPair line(7);
    AddDevices();
    fbsim::RtuServer server(engine_, line.FarFd());
    StartAndFindAll();

    EXPECT_EQ(Remembered(kSensor, "Type"), "FQ5");
    EXPECT_EQ(Remembered(kMonitor, "Type"), "ГРК");
    EXPECT_EQ(Remembered(kTerminal, "Type"), "KX310Ex");
    EXPECT_EQ(Remembered(kMonitor, "Name"), "GRQ2");

    // Flow sensor: the block poll's counters and the identification.
    EXPECT_TRUE(ReadUntil("Post1.TotalV", [](const plat::Variant& v) { return Near(v, 1234.5); }));
    EXPECT_TRUE(ReadUntil("Post1.CurrentV", [](const plat::Variant& v) { return Near(v, 2.5); }));
    EXPECT_TRUE(
        ReadUntil("Post1.Temperature", [](const plat::Variant& v) { return Near(v, 21.5); }));
    EXPECT_TRUE(ReadUntil("Post1.FirmwareVersion",
                          [](const plat::Variant& v) { return IsText(v, "12.0345"); }));
    EXPECT_TRUE(ReadUntil("Post1.Inspector", [](const plat::Variant& v) { return Near(v, 77); }));
    fbsim::SetFlow(engine_, kSensor, 7000000, 1241500000);
    EXPECT_TRUE(ReadUntil("Post1.TotalV", [](const plat::Variant& v) { return Near(v, 1241.5); }))
        << "later samples follow the device";

    // Grounding monitor: state, its text, capacitance and limits (low word first).
    EXPECT_TRUE(ReadUntil("GRQ2.State", [](const plat::Variant& v) { return Near(v, 2); }));
    EXPECT_TRUE(ReadUntil("GRQ2.Capacity", [](const plat::Variant& v) { return Near(v, 1.25); }));
    EXPECT_TRUE(ReadUntil("GRQ2.MinCapacity", [](const plat::Variant& v) { return Near(v, 0.5); }));
    EXPECT_TRUE(ReadUntil("GRQ2.MaxCapacity", [](const plat::Variant& v) { return Near(v, 4.0); }));

    // Terminal: a key and its buffer, acknowledged on the control register.
    fbsim::TerminalKey(engine_, kTerminal, '7', 2, "4400123");
    EXPECT_TRUE(
        ReadUntil("Terminal3.Key.LastKey", [](const plat::Variant& v) { return IsText(v, "7"); }));
    EXPECT_TRUE(ReadUntil("Terminal3.Key.BufferKey3",
                          [](const plat::Variant& v) { return IsText(v, "4400123"); }));
    auto terminal = engine_.Find(kTerminal);
    EXPECT_TRUE(station::Within(10000, [&] {
        uint8_t status = 0xFF;
        engine_.With([&] { status = terminal->status; });
        return (status & 0x02) == 0;
    })) << "the key is acknowledged";

    // A card: the client's request shows in the status byte; when the terminal is done with
    // the card, the fields are read.
    fbsim::SetCardData(engine_, kTerminal, 0x318, "FLEET-0042");
    EXPECT_EQ(Write("Terminal3.Card.CardRequest", plat::Variant::Bool(true)), 0);
    uint8_t status = 0;
    engine_.With([&] { status = terminal->status; });
    EXPECT_EQ(status & 0x04, 0x04);
    engine_.With([&] {
        terminal->status = static_cast<uint8_t>(terminal->status & ~0x04);
        terminal->regs[255] = static_cast<uint16_t>(terminal->regs[255] & ~0x0400);
    });
    EXPECT_TRUE(ReadUntil("Terminal3.Card.Field1",
                          [](const plat::Variant& v) { return IsText(v, "FLEET-0042"); }));

    // A client's reset of the sensor's state: register 22, and the result comes back.
    engine_.ClearRequests();
    EXPECT_EQ(Write("Post1.State", plat::Variant::I4(0)), 0);
    EXPECT_TRUE(Logged("011000160001020000")) << "0x10 of 0 to register 22";
    EXPECT_TRUE(ReadUntil("Post1.State", [](const plat::Variant& v) { return Near(v, 0); }));
    EXPECT_NE(Write("Post1.State", plat::Variant::I4(5)), 0) << "only a reset";
}

TEST_F(DevicesStation, SensorMovedToAnotherAddressIsFoundThere) {
    testsupport::PtyPair line(7);
    AddDevices();
    fbsim::RtuServer server(engine_, line.FarFd());
    StartAndFindAll();
    // The address is privileged: only a trusted client moves the sensor.
    EXPECT_EQ(Write("Post1.Address", plat::Variant::I4(9)), plat::E_ACCESSDENIED);
    EXPECT_TRUE(Leaf("Post1.Address", 0)->RefusesClient(2, 0)) << "nor does another see it";
    EXPECT_NE(Write("Post1.Address", plat::Variant::I4(kMonitor), 10000, true), 0)
        << "a taken address";
    EXPECT_EQ(Write("Post1.Address", plat::Variant::I4(9), 10000, true), 0);
    EXPECT_TRUE(Logged("0110002E0001020009"));
    EXPECT_GE(WaitItem("Post9.State", 15000), 0);
    EXPECT_TRUE(station::Within(10000, [] { return drv::FindItemID("Post1.State") < 0; }));
    EXPECT_TRUE(ReadUntil("Post9.Address", [](const plat::Variant& v) { return Near(v, 9); }));
    EXPECT_EQ(Remembered(9, "Type"), "FQ5");
    EXPECT_EQ(Remembered(kSensor, "Type"), "") << "the old entry goes";
}

TEST_F(DevicesStation, FlowSensorOnAnIndependentPeer) {
    testsupport::PtyPair line(7);
    fbtest::LibmodbusPeer peer(line.FarFd(), 1, 300);
    peer.SetSlaveId(0x30, {0x00, 0x07, 0x01, 0x00});
    peer.SetRegister(0, 4);        // state
    peer.SetRegister(20, 0x0098);  // TotalV 10 000 000 millionths (10 l)
    peer.SetRegister(21, 0x9680);
    peer.SetRegister(22, 0x5555);
    Start("PORT=CUST COM7=MN19200");
    EXPECT_TRUE(ReadUntil("Post1.TotalV", [](const plat::Variant& v) { return Near(v, 10.0); }));
    EXPECT_TRUE(ReadUntil("Post1.State", [](const plat::Variant& v) { return Near(v, 4); }));
    EXPECT_TRUE(ReadUntil("Post1.FirmwareVersion",
                          [](const plat::Variant& v) { return IsText(v, "07.0100"); }));
    EXPECT_EQ(Write("Post1.State", plat::Variant::I4(0)), 0);
    EXPECT_EQ(peer.Register(22), 0);
    EXPECT_EQ(Remembered(1, "Type"), "FQ5");
}

TEST_F(DevicesStation, RestartReloadsTheGroundingMonitorFromItsEntry) {
    testsupport::PtyPair line(7);
    AddDevices();
    fbsim::RtuServer server(engine_, line.FarFd());
    StartAndFindAll();
    drv::StopPorts();
    for (const char* device : {"Post", "GRQ", "Terminal"})
        EXPECT_EQ(NamesStartingWith(device), std::vector<std::string>{}) << "outlived its port";
    Stop();
    ASSERT_EQ(Remembered(kMonitor, "Type"), "ГРК");
    // No search now: with the sensor reloaded the list is not empty, so only the entry brings
    // the monitor back before the 30 s free-address try.
    Start("PORT=CUST COM7=MN19200");
    EXPECT_GE(WaitItem("GRQ2.State", 15000), 0);
    EXPECT_TRUE(ReadUntil("GRQ2.Capacity", [](const plat::Variant& v) { return Near(v, 1.25); }));
    EXPECT_EQ(Remembered(kMonitor, "Type"), "ГРК");
    EXPECT_GE(WaitItem("Terminal3.Key.LastKey", 15000), 0);
}

}  // namespace
