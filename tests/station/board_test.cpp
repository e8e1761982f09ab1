// Board-bus, DCON and Modbus meter ports through the service and the loaded library: the bus
// thread opens the line of its protocol, finds the peers and the models reach them.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "service/core/controllers/PollThread.h"
#include "tests/fieldbus/LibmodbusPeer.h"
#include "tests/station/LibraryStation.h"
#include "tests/support/PtyPair.h"
#include "tools/boardsim/BoardSim.h"

namespace {

// CP866 of the basic Cyrillic letters, written out here rather than taken from the library.
std::string Oem866(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80)
            out += static_cast<char>(c);
        else if (c >= u'А' && c <= u'п')
            out += static_cast<char>(0x80 + (c - u'А'));
        else if (c >= u'р' && c <= u'я')
            out += static_cast<char>(0xE0 + (c - u'р'));
        else
            out += '?';
    }
    return out;
}

bool Near(const plat::Variant& v, float want, float tolerance) {
    return v.vt == plat::VT_R4 && std::fabs(v.fltVal - want) < tolerance;
}

class BoardStation : public station::LibraryStation {
  protected:
    // A client's read from the device (a refresh), repeated until the value is good and holds.
    bool RefreshUntil(const std::string& name, float want, float tolerance) {
        auto leaf = Leaf(name);
        if (!leaf) return false;
        return station::Within(20000, [&] {
            leaf->RequestRefresh();
            return ReadUntil(
                name, [&](const plat::Variant& v) { return Near(v, want, tolerance); }, 500);
        });
    }
    // The service's search flag is process-wide; no test leaves it set.
    void TearDown() override {
        drv::SearchMode().store(0);
        station::LibraryStation::TearDown();
    }
};

TEST_F(BoardStation, BoardBusFindsBoardsAndTakesOneFramedText) {
    testsupport::PtyPair line(7);
    boardsim::BoardBus bus(line.FarFd());
    bus.AddBoard(2);
    bus.AddBoard(5);
    // A search pass looks at every free address; the forced one at start ends at the first
    // board found.
    drv::SearchMode().store(1);
    Start("PORT=CUST COM7=TN9600");
    ASSERT_GE(WaitItem("RowRun2.String"), 0);
    ASSERT_GE(WaitItem("RowRun5.String"), 0);
    drv::SearchMode().store(0);  // writes are refused while a search is wanted

    const std::u16string text = u"Привет водителям АЗС";
    ASSERT_EQ(text.size(), 20u);
    bus.Clear();
    EXPECT_EQ(Write("RowRun5.String", plat::Variant::Str(plat::WideString(text))), 0);

    const std::string want = "\x1B\x52\x05" + Oem866(text) + "\x1B\x50\x02\x1A";
    int writes = 0;
    for (const boardsim::BoardFrame& f : bus.Frames()) {
        if (f.command != 0x12) continue;
        ++writes;
        EXPECT_EQ(f.dest0, 5);
        EXPECT_EQ(f.dest1, 1);
        EXPECT_EQ(f.sequence, 0x80) << "one block, the last";
        EXPECT_EQ(f.data, want);
    }
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(bus.Text(5), want);
    EXPECT_TRUE(ReadUntil("RowRun5.String", [&](const plat::Variant& v) {
        return v.vt == plat::VT_BSTR && v.bstrVal == plat::WideString(text);
    }));
    drv::StopPorts();
    EXPECT_EQ(NamesStartingWith("RowRun"), std::vector<std::string>{});
}

TEST_F(BoardStation, DconModuleBecomesADensityMeter) {
    testsupport::PtyPair line(7);
    boardsim::DconBus bus(line.FarFd());
    boardsim::ModuleScript module;
    module.status = 0x21;
    bus.SetModule(1, module);
    Start("PORT=CUST COM7=IN9600");
    ASSERT_GE(WaitItem("DensMeter1.Density"), 0);
    EXPECT_TRUE(RefreshUntil("DensMeter1.Density", 0.85f, 1e-5f));
    EXPECT_TRUE(RefreshUntil("DensMeter1.Temperature", 21.46f, 1e-4f));
    EXPECT_TRUE(RefreshUntil("DensMeter1.Viscosity", 1.234f, 1e-4f));
    EXPECT_TRUE(ReadUntil("DensMeter1.State", [](const plat::Variant& v) {
        return v.vt == plat::VT_I4 && v.lVal == 0x21;
    }));
    drv::StopPorts();
    EXPECT_EQ(NamesStartingWith("DensMeter"), std::vector<std::string>{});
}

TEST_F(BoardStation, ModbusMeterAt9600ReadsDensityForAClient) {
    testsupport::PtyPair line(7);
    // Address 1: the first the start-up search tries.
    fbtest::LibmodbusPeer peer(line.FarFd(), 1);
    peer.SetRegister(1, 0x8000);  // 850.0 kg/m3, low half first
    peer.SetRegister(2, 0x4454);
    Start("PORT=CUST COM7=MN9600");
    ASSERT_GE(WaitItem("DensMeter1.Density"), 0);
    EXPECT_TRUE(RefreshUntil("DensMeter1.Density", 0.85f, 1e-5f));
}

TEST_F(BoardStation, ModbusMeterIsSeenWithoutAClientRead) {
    testsupport::PtyPair line(7);
    fbtest::LibmodbusPeer peer(line.FarFd(), 1);
    // State 16; density 850.0 kg/m3, temperature 21.46, viscosity 1.0, each low half first.
    const uint16_t regs[] = {0x0010, 0x8000, 0x4454, 0xAE14, 0x41AB, 0x0000, 0x3F80};
    for (uint16_t r = 0; r < 7; ++r) peer.SetRegister(r, regs[r]);
    Start("PORT=CUST COM7=MN9600");
    ASSERT_GE(WaitItem("DensMeter1.Density"), 0);
    // Nobody reads: the meter's first step shows what it holds.
    EXPECT_TRUE(ReadUntil(
        "DensMeter1.Density", [](const plat::Variant& v) { return Near(v, 0.85f, 1e-5f); }, 15000));
    EXPECT_TRUE(ReadUntil(
        "DensMeter1.Temperature", [](const plat::Variant& v) { return Near(v, 21.46f, 1e-3f); },
        5000));
    EXPECT_TRUE(ReadUntil(
        "DensMeter1.Viscosity", [](const plat::Variant& v) { return Near(v, 1.0f, 1e-4f); }, 5000));
    EXPECT_TRUE(ReadUntil(
        "DensMeter1.State",
        [](const plat::Variant& v) { return v.vt == plat::VT_I4 && v.lVal == 16; }, 5000));
}

}  // namespace
