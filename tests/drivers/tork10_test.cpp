#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/time/clock.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/controllers/PollThread.h"
#include "service/core/items/ItemTree.h"
#include "service/core/ports/PortManager.h"
#include "service/drivers/TRK10.h"
#include "tests/support/Eventually.h"
#include "tests/support/PtyPair.h"
#include "tests/support/SimulatedPort.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

using namespace drv;
using plat::Variant;

namespace {

constexpr int kCom = 8;
constexpr int64_t U = 10000;

class Tork10 : public testsupport::SimulatedPortTest {
  protected:
    Tork10() : SimulatedPortTest(kCom) {}
    // A read or write of this family names its own request letter (extended parameters too).
    static std::string R(char c, int param) {
        return std::string(1, c) + zrnsim::ByteToNibbles(static_cast<uint8_t>(param));
    }
    static std::string W(char c, int param, int byte) {
        return R(c, param) + zrnsim::ByteToNibbles(static_cast<uint8_t>(byte));
    }
    void SetUp() override {
        SimulatedPortTest::SetUp();
        Parameters("PROTOCOL=4 FLATPOSTS=0 DISABLEALLPORTS=1");
        MakeThread();
    }
    void TearDown() override {
        Parameters("PROTOCOL=4");
        SimulatedPortTest::TearDown();
    }
    static void Parameters(const char* text) {
        ASSERT_EQ(
            plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters", text),
            plat::ERROR_SUCCESS);
        StartPorts();
        StopPorts();
    }
    // A group: position → address; every controller knows the whole table.
    void AddGroup(const std::map<int, int>& positions, int family = 10, int p35 = 0) {
        for (auto [pos, a] : positions) {
            zrnsim::Controller* c = station_->Add(a, family, 105);
            ASSERT_TRUE(c);
            c->SetParam(35, static_cast<uint8_t>(p35));
            for (auto [p, b] : positions) c->SetExtParam(static_cast<uint8_t>(0x80 + 16 * p), b);
            for (int p = 0; p < 8; ++p)
                c->SetExtParam(static_cast<uint8_t>(0x80 + 16 * p + 12), 0x10);
        }
    }
    TTork10* At(int address) { return dynamic_cast<TTork10*>(thread_->GetDevice(address)); }
    // A client write to a post item: its command id (or refusal), and that command's result
    // once the poll thread has run it.
    int32_t Issue(const std::string& name, Variant value) {
        auto item = GetItemAs<TLeafItem>(FindLeafID(name));
        EXPECT_TRUE(item) << name;
        return item ? item->Write(value, 0, 0, 1033) : int32_t{-1000};
    }
    int32_t Await(int32_t id) {
        for (int i = 0; i < 400 && CmdIsPending(id); ++i) thread_->PollStep();
        return CmdQuery(id);
    }
    // Steps until every address holds a defined object and the group has settled.
    bool Settle(const std::map<int, int>& positions) {
        for (int i = 0; i < 3000; ++i) {
            bool all = true;
            for (auto [pos, a] : positions) {
                TTork10* t = At(a);
                all = all && t && t->LinkState() == LINK_OK && t->NozzleAddress(0) != 0;
            }
            if (all) return true;
            thread_->PollStep();
        }
        return false;
    }
    static bool Has(const std::string& name) { return FindLeafID(name) != -1; }
};

}  // namespace

TEST_F(Tork10, GroupsFormInEveryCreationOrder) {
    struct Case {
        const char* what;
        std::map<int, int> positions;  // position → address
        int base;
    };
    // Probing is in address order: the base is found first, last, or in between.
    const Case cases[] = {
        {"base first", {{0, 2}, {3, 4}, {5, 20}, {1, 9}}, 2},
        {"base last", {{0, 25}, {3, 22}, {5, 3}, {1, 7}}, 25},
        {"base between", {{0, 12}, {3, 30}, {5, 11}, {1, 14}}, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AddGroup(c.positions);
        ASSERT_TRUE(Settle(c.positions));
        // side, number on the side (positions 0, 3, 5 are side 1; 1 is side 2)
        const std::map<int, std::pair<int, int>> expect = {
            {0, {1, 1}}, {3, {1, 2}}, {5, {1, 3}}, {1, {2, 1}}};
        for (auto [pos, a] : c.positions) {
            TTork10* t = At(a);
            const auto [side, number] = expect.at(pos);
            SCOPED_TRACE("position " + std::to_string(pos));
            EXPECT_EQ(t->PositionCode(), 0x80 + 16 * pos);
            EXPECT_EQ(t->GetSide(), side);
            EXPECT_EQ(t->GetNozzleCount(), number);
            EXPECT_EQ(t->NozzleAddress(pos), uint32_t(a));
            EXPECT_EQ(t->NozzleAddress(0), uint32_t(c.base));
            EXPECT_EQ(t->GetAddress(1, 3), uint32_t(c.positions.at(5)));
            EXPECT_EQ(t->GetAddress(2, 1), uint32_t(c.positions.at(1)));
            EXPECT_EQ(t->GetAddress(2, 2), 0u);
            EXPECT_EQ(t->HasVar(tlb::cvIndicatedPistol), number == 1);
            EXPECT_EQ(t->HasVar(tlb::cvInspector), pos == 0);
            EXPECT_EQ(t->VarValue(tlb::cvBasePost), c.base * U);
            EXPECT_EQ(t->VarValue(tlb::cvPistol), number * U);
            const std::string branch = "Post" + std::to_string(c.base) + ".S" +
                                       std::to_string(side) + ".P" + std::to_string(number);
            EXPECT_TRUE(Has(branch + ".State")) << branch;
            EXPECT_TRUE(Has(branch + ".DozeV")) << branch;
            // Computed numbers stay fresh in the round-robin rather than raising.
            EXPECT_NO_THROW(t->ReReadVarValue(tlb::cvSidePost));
            EXPECT_NO_THROW(t->ReReadVarValue(tlb::cvPistol));
        }
        for (auto [pos, a] : c.positions) station_->Remove(a), thread_->RemoveDevice(a);
    }
}

TEST_F(Tork10, DefinitionReadsAndDoseShift) {
    // Family 19 reads positions 0 and 4 only.
    AddGroup({{0, 3}, {4, 6}}, 19);
    ASSERT_TRUE(Settle({{0, 3}, {4, 6}}));
    std::vector<std::string> ys;  // the address table, not the calibration pairs
    for (const std::string& f : Wire(3))
        if (f[0] == 'Y' && f[2] == '0') ys.push_back(f);
    EXPECT_EQ(ys, (std::vector<std::string>{R('Y', 0x80), R('Y', 0xC0)}));
    EXPECT_EQ(At(6)->GetSide(), 2);

    struct Case {
        int address, p35, shift;
        std::string dose;
    };
    const Case cases[] = {
        {10, 0x00, 0, "d12300"}, {11, 0x08, 1, "d01230"}, {12, 0x04, 2, "d00123"}};
    for (const Case& c : cases) {
        AddGroup({{0, c.address}}, 10, c.p35);
        ASSERT_TRUE(Settle({{0, c.address}}));
        TTork10* t = At(c.address);
        EXPECT_EQ(t->DoseShift(), c.shift);
        station_->ClearRequests();
        EXPECT_EQ(t->SetVarValue(tlb::cvDozeV, 123 * U), 0);
        EXPECT_EQ(Wire(c.address), (std::vector<std::string>{c.dose, "s"}));
    }
    AddGroup({{0, 14}}, 10, 0x0C);
    StepUntilFound(14, 300);
    EXPECT_EQ(At(14), nullptr) << "both shift bits: the object is dropped";
}

TEST_F(Tork10, StatusDecodingStartStopAndIndicatedPistol) {
    const std::map<int, int> group = {{0, 2}, {3, 4}, {1, 6}};
    AddGroup(group);
    ASSERT_TRUE(Settle(group));
    TTork10* first = At(2);
    TTork10* second = At(4);
    TTork10* other_side = At(6);
    zrnsim::Controller* c = station_->Find(4);

    struct Row {
        uint8_t status;
        int32_t state;
        int start_stop;
    };
    const Row rows[] = {{0x01, 0, 0}, {0x11, 0, 1},  {0x06, 80, 0}, {0x24, 80, 0},  {0x22, 7, 0},
                        {0x20, 1, 0}, {0x08, 80, 0}, {0x31, 0, 1},  {0x40, 177, 0}, {0x30, 1, 1}};
    for (const Row& r : rows) {
        SCOPED_TRACE("status 0x" + zrnsim::ByteToNibbles(r.status));
        c->SetStatusOverride(r.status);
        second->ReReadVarValue(tlb::cvCurrentV);
        EXPECT_EQ(second->GetState(), r.state);
        EXPECT_EQ(second->VarValue(tlb::cvStartStop), r.start_stop * U) << "0..1, not the mask";
    }
    // An unknown status answering a parameter read is only logged.
    c->SetStatusOverride(0x22);
    second->ReReadVarValue(tlb::cvCurrentV);
    c->SetStatusOverride(0x40);
    uint8_t v = 0;
    EXPECT_TRUE(second->ReadNibble('X', 35, true, v));
    EXPECT_EQ(second->GetState(), 7);

    // A working nozzle becomes the side's indicated one, on the first nozzle only.
    EXPECT_EQ(first->VarValue(tlb::cvIndicatedPistol), 2 * U);
    EXPECT_EQ(other_side->VarValue(tlb::cvIndicatedPistol), 0);
    // ... and blocks a price change on the side's first nozzle.
    EXPECT_EQ(first->SetVarValue(tlb::cvLiterPrice, 100 * 100), -9);
    c->SetStatusOverride(0x01);
    second->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(first->SetVarValue(tlb::cvLiterPrice, 100 * 100), 0);

    // Bit 7 marks the indicated nozzle while idle.
    station_->Find(2)->SetStatusOverride(0x81);
    first->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(first->VarValue(tlb::cvIndicatedPistol), U);
    station_->Find(2)->SetStatusOverride(0x01);

    // The indicated nozzle answers without marking itself: the side's address parameter
    // says which nozzle to ask.
    c->SetStatusOverride(0x81);
    second->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(first->VarValue(tlb::cvIndicatedPistol), 2 * U);
    c->SetStatusOverride(0x01);
    station_->Find(2)->SetParam(48, 4);
    station_->ClearRequests();
    first->ReReadVarValue(tlb::cvIndicatedPistol);
    EXPECT_EQ(Wire(2), (std::vector<std::string>{R('X', 48)}));
    EXPECT_EQ(Wire(4), (std::vector<std::string>{"D", "D"}));
    c->SetStatusOverride(0x81);
    station_->ClearRequests();
    first->ReReadVarValue(tlb::cvIndicatedPistol);
    EXPECT_TRUE(Wire(2).empty()) << "marked: no fallback";
    EXPECT_EQ(Wire(4), (std::vector<std::string>{"D"}));

    // After a comm error a good answer makes the object anew.
    second->SetStateValue(tlb::csCommError, plat::NowLocal());
    second->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(second->LinkState(), LINK_REGISTER);
}

TEST_F(Tork10, SettingsAndCalibration) {
    const std::map<int, int> group = {{0, 2}, {3, 4}};
    AddGroup(group);
    ASSERT_TRUE(Settle(group));
    TTork10* first = At(2);
    TTork10* second = At(4);

    // Inspector: 81/82 below firmware 41, else 38/39.
    for (auto [fw, hi] : {std::pair{40, 81}, std::pair{41, 38}}) {
        first->SetVarRaw(tlb::cvFirmwareVersion, LQ_FRESH, plat::NowLocal(), fw * U);
        station_->ClearRequests();
        first->ReReadVarValue(tlb::cvInspector);
        EXPECT_EQ(Wire(2), (std::vector<std::string>{R('X', hi), R('X', hi + 1)}));
    }
    station_->ClearRequests();
    EXPECT_EQ(first->SetVarValue(tlb::cvUSSWaitTime, 45 * U), 0);
    EXPECT_EQ(first->SetVarValue(tlb::cvFullDown, 7 * U), 0);
    EXPECT_EQ(first->SetVarValue(tlb::cvTotalV, U), -3);
    EXPECT_EQ(Wire(2), (std::vector<std::string>{W('x', 83, 0x45), W('x', 80, 0x07)}));

    // Into the position's extended pairs; the indicated nozzle also into its side's.
    first->SetVarRaw(tlb::cvIndicatedPistol, LQ_FRESH, plat::NowLocal(), 2 * U);
    station_->Find(4)->SetStatusOverride(0x81);  // still shown
    station_->ClearRequests();
    EXPECT_EQ(second->SetVarValue(tlb::cvCalibV, 10250), 0);
    const std::vector<std::string> ext = {W('y', 0xBC, 0x10), W('y', 0xBB, 0x00),
                                          W('y', 0xBD, 0x25)};
    std::vector<std::string> expect = ext;
    for (const char* s : {"D"}) expect.push_back(s);
    for (auto w : {W('x', 60, 0x10), W('x', 59, 0x00), W('x', 61, 0x25)}) expect.push_back(w);
    for (int p : {0xBB, 0xBC, 0xBD}) expect.push_back(R('Y', p));
    EXPECT_EQ(Wire(4), expect);
    EXPECT_EQ(second->VarValue(tlb::cvCalibV), 10250);

    // Without the side's first nozzle no factor is written.
    thread_->RemoveDevice(2);
    station_->ClearRequests();
    EXPECT_EQ(second->SetVarValue(tlb::cvCalibV, 10000), plat::E_FAIL);
    EXPECT_TRUE(Wire(4).empty());
}

// The classes of families 1, 10, 20 and 30 on one line behind a pty, through the real port.
TEST(TorkGroupsPty, DispensersOfEachClassAreFoundNamedAndStarted) {
    testsupport::TempRoot root;
    ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters",
                                     "PROTOCOL=4 PORT=CUST COM14=ZRN9600 SHIFT14=40"),
              plat::ERROR_SUCCESS);
    InitProtocol(kDrvKey, "Parameters");
    InitNameSpace();
    auto station = std::make_shared<zrnsim::Station>();
    for (int a : {1, 2}) {  // a two-sided dispenser of family 1
        zrnsim::Controller* c = station->Add(a, 1, 69);
        c->SetParam(80, 1);
        c->SetParam(81, 2);
    }
    const std::map<int, int> group = {{0, 5}, {3, 6}, {1, 7}};  // two nozzles on side 1
    for (auto [pos, a] : group) {
        zrnsim::Controller* c = station->Add(a, 10, 105);
        for (auto [p, b] : group) c->SetExtParam(static_cast<uint8_t>(0x80 + 16 * p), b);
    }
    station->Add(9, 20, 78);
    station->Add(3, 30, 68);  // a counter that only reports
    testsupport::PtyPair pty(14);
    zrnsim::LineRunner runner(station, pty.FarFd());
    runner.Start();
    TProcessThread::Install();
    StartPorts();

    auto wait_for = [](auto cond) {
        return testsupport::Eventually(cond, 60000, std::chrono::milliseconds(5));
    };
    auto leaf = [](const std::string& name) { return GetItemAs<TLeafItem>(FindLeafID(name)); };
    auto sent = [&](int address, const std::string& request) {
        const auto wire = testsupport::WireOf(*station, address);
        return std::find(wire.begin(), wire.end(), request) != wire.end();
    };
    // Items only one class offers show which class the probe made.
    EXPECT_TRUE(wait_for([] {
        return FindLeafID("Post41.FullDown") != -1 && FindLeafID("Post42.PriceV") != -1 &&
               FindLeafID("Post45.IndicatedPistol") != -1 && FindLeafID("Post46.StartStop") != -1 &&
               FindLeafID("Post47.IndicatedPistol") != -1 &&
               FindLeafID("Post49.PropanePercentage") != -1 &&
               FindLeafID("Post43.CounterVersion") != -1;
    }));
    EXPECT_EQ(FindLeafID("Post46.IndicatedPistol"), -1) << "second nozzle of its side";
    EXPECT_EQ(FindLeafID("Post42.FullDown"), -1) << "second side";
    std::vector<ComPtr<TLeafItem>> states;
    for (int n : {41, 42, 45, 46, 47, 49, 43})
        states.push_back(leaf("Post" + std::to_string(n) + ".State"));
    for (auto& s : states) ASSERT_TRUE(s);
    EXPECT_TRUE(wait_for([&] {
        for (auto& s : states)
            if (s->PeekValue().lVal != 0) return false;
        return true;
    })) << "all polled to idle";

    // A dose on the second nozzle of side 1 goes out and starts it ...
    EXPECT_EQ(CmdWait(leaf("Post46.DozeV")->Write(Variant::R8(2), 0, 0, 1033)), 0);
    EXPECT_TRUE(sent(6, "d00200"));
    EXPECT_TRUE(wait_for([&] { return states[3]->PeekValue().lVal == 1; }));
    // ... and the side's first nozzle refuses a price while it works.
    EXPECT_TRUE(wait_for([&] {
        auto ip = leaf("Post45.IndicatedPistol");
        if (!ip) return false;
        const Variant v = ip->PeekValue();
        return v.vt == plat::VT_I4 ? v.lVal == 2 : v.dblVal == 2;
    }));
    EXPECT_EQ(CmdWait(leaf("Post45.PriceV")->Write(Variant::R8(1.5), 0, 0, 1033)), -9);
    EXPECT_EQ(CmdWait(leaf("Post47.PriceV")->Write(Variant::R8(1.5), 0, 0, 1033)), 0)
        << "the other side is free";
    EXPECT_TRUE(sent(7, "c0150"));
    EXPECT_EQ(CmdWait(leaf("Post41.PriceV")->Write(Variant::R8(12.5), 0, 0, 1033)), 0);
    EXPECT_TRUE(sent(1, "c1250"));
    EXPECT_EQ(CmdWait(leaf("Post49.PriceV")->Write(Variant::R8(3.25), 0, 0, 1033)), 0);
    EXPECT_TRUE(sent(9, "c0325"));

    // The counter is read, never commanded.
    EXPECT_TRUE(wait_for([&] { return sent(3, "D") && sent(3, "S") && sent(3, "C"); }));
    auto counter = leaf("Post43.State");
    for (int s : {1, 7, 80, 0})
        EXPECT_EQ(CmdWait(counter->Write(Variant::I4(s), 0, 0, 1033)), plat::OPC_E_RANGE) << s;
    for (const zrnsim::LogEntry& e : station->Requests()) {
        if (e.address == 3) {
            EXPECT_EQ(std::string("dsuc").find(e.command), std::string::npos);
        }
    }

    station->Find(6)->Stop();
    StopPorts();
    runner.Stop();
    DoneNameSpace();
    DoneProtocol();
}

TEST_F(Tork10, EveryNozzleOfASideIsHeldWhileAnotherDelivers) {
    // Side 1: addresses 3, 5, 6 (P1..P3); side 2: address 4.
    const std::map<int, int> group = {{0, 3}, {1, 4}, {3, 5}, {5, 6}};
    AddGroup(group);
    ASSERT_TRUE(Settle(group));
    auto run = [&](const std::string& name, Variant value) {
        const int32_t id = Issue(name, value);
        EXPECT_TRUE(IsCmdID(id)) << name;
        return Await(id);
    };
    // P3 keeps a dose of an earlier delivery, ended at the dispenser.
    ASSERT_EQ(run("Post3.S1.P3.DozeV", Variant::R8(10)), 0);
    station_->Find(6)->Stop();
    for (int i = 0; i < 200 && At(6)->GetState() != tlb::csIdle; ++i) thread_->PollStep();
    ASSERT_EQ(At(6)->GetState(), tlb::csIdle);

    ASSERT_TRUE(station_->Find(5)->Deliver(100 * U));
    for (int i = 0; i < 400 && (At(5)->GetState() != tlb::csWorking ||
                                At(3)->VarValue(tlb::cvIndicatedPistol) != 2 * U);
         ++i)
        thread_->PollStep();
    ASSERT_EQ(At(5)->GetState(), tlb::csWorking);
    station_->ClearRequests();
    EXPECT_EQ(run("Post3.S1.P3.State", Variant::I4(1)), -9);
    EXPECT_EQ(run("Post3.S1.P3.DozeV", Variant::R8(20)), -9) << "a dose arms the nozzle";
    EXPECT_EQ(run("Post3.S1.P3.PriceV", Variant::R8(1.5)), -9);
    EXPECT_EQ(run("Post3.S1.P1.PriceV", Variant::R8(1.5)), -9);
    std::string sent;
    for (const std::string& f : Wire(6)) sent += f.substr(0, 1);
    EXPECT_EQ(sent.find_first_of("dsc"), std::string::npos)
        << "nothing armed, started or priced: " << sent;
    EXPECT_EQ(At(6)->GetState(), tlb::csIdle);
    EXPECT_EQ(run("Post3.S2.P1.PriceV", Variant::R8(1.5)), 0) << "the other side is free";
}

TEST_F(Tork10, TwoStartsQueuedOnOneSideStartOneNozzle) {
    const std::map<int, int> group = {{0, 3}, {1, 4}, {3, 5}, {5, 6}};
    AddGroup(group);
    ASSERT_TRUE(Settle(group));
    station_->ClearRequests();
    // A dose starts the nozzle. Both before the side's next status answer: the second must
    // still find the side taken.
    const int32_t p2 = Issue("Post3.S1.P2.DozeV", Variant::R8(10));
    const int32_t p3 = Issue("Post3.S1.P3.DozeV", Variant::R8(10));
    const int32_t r2 = Await(p2), r3 = Await(p3);
    EXPECT_TRUE((r2 == 0) != (r3 == 0)) << r2 << " " << r3;
    EXPECT_TRUE(r2 == -9 || r3 == -9) << r2 << " " << r3;
    int started = 0;
    for (int a : {5, 6})
        for (const std::string& f : Wire(a)) started += f.substr(0, 1) == "s" ? 1 : 0;
    EXPECT_EQ(started, 1) << "one nozzle of the side started";
}

TEST_F(Tork10, NozzlesMadeBeforeTheirBaseLeaveNoBranches) {
    // Probed in address order: 3, 4 and 5 are met before their base at 6 and made again.
    const std::map<int, int> group = {{0, 6}, {1, 3}, {3, 4}, {5, 5}};
    AddGroup(group);
    ASSERT_TRUE(Settle(group));
    for (const char* name : {"Post3", "Post4", "Post5"}) EXPECT_EQ(FindItemID(name), -1) << name;
    EXPECT_TRUE(Has("Post6.S2.P1.State"));
    EXPECT_TRUE(Has("Post6.S1.P3.State"));
}

TEST_F(Tork10, DoseRoundedByTheDoseShiftIsShownAndToldToTheClient) {
    AddGroup({{0, 11}}, 10, 0x08);  // one decimal on the wire, DozeV in hundredths
    ASSERT_TRUE(Settle({{0, 11}}));
    auto run = [&](double value) {
        const int32_t id = GetItemAs<TLeafItem>(FindLeafID("Post11.S1.P1.DozeV"))
                               ->Write(Variant::R8(value), 0, 0, 1033);
        int32_t result = id;
        for (int i = 0; i < 200 && CmdIsPending(result = id); ++i) thread_->PollStep();
        return result;
    };
    auto doses = [&] {
        std::vector<std::string> out;
        for (const std::string& f : Wire(11))
            if (f[0] == 'd') out.push_back(f);
        return out;
    };
    station_->ClearRequests();
    EXPECT_EQ(run(1.25), 1) << "the dose read back differs from the one written";
    EXPECT_EQ(doses(), (std::vector<std::string>{"d00013"}));
    EXPECT_EQ(At(11)->VarValue(tlb::cvDozeV), 13000) << "the dose that went out";
    station_->Find(11)->Stop();
    for (int i = 0; i < 200 && At(11)->GetState() != tlb::csIdle; ++i) thread_->PollStep();
    station_->ClearRequests();
    EXPECT_EQ(run(1.2), 0);
    EXPECT_EQ(doses(), (std::vector<std::string>{"d00012"}));
    EXPECT_EQ(At(11)->VarValue(tlb::cvDozeV), 12000);
}
