#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/time/clock.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/controllers/PollThread.h"
#include "service/core/items/ItemTree.h"
#include "service/core/ports/PortManager.h"
#include "service/drivers/TRK1.h"
#include "tests/support/SimulatedPort.h"
#include "tools/zrnsim/Station.h"

using namespace drv;

namespace {

constexpr int kCom = 7;
constexpr int64_t U = 10000;

class Tork1 : public testsupport::SimulatedPortTest {
  protected:
    Tork1() : SimulatedPortTest(kCom) {}
    void SetUp() override {
        SimulatedPortTest::SetUp();
        // Hierarchical names: the post number is the base controller's, sides are branches.
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
    // A dispenser: the first side at `base`, the second at `second` (0: none).
    void AddDispenser(int base, int second, int family = 1,
                      std::initializer_list<std::pair<int, int>> params = {}) {
        for (int a : {base, second}) {
            if (a == 0) continue;
            zrnsim::Controller* c = station_->Add(a, family, 69);
            ASSERT_TRUE(c);
            c->SetParam(80, static_cast<uint8_t>(base));
            c->SetParam(81, static_cast<uint8_t>(second));
            for (auto [p, v] : params)
                c->SetParam(static_cast<uint8_t>(p), static_cast<uint8_t>(v));
        }
    }
    TTork1* Found(int address) {
        StepUntilFound(address);
        return dynamic_cast<TTork1*>(thread_->GetDevice(address));
    }
    static bool Has(const std::string& name) { return FindLeafID(name) != -1; }
};

}  // namespace

TEST_F(Tork1, SidesLinkInEitherCreationOrder) {
    struct Case {
        const char* what;
        int base, second;
    };
    // Probed in ascending order: the second side is found first in the second case.
    const Case cases[] = {{"base first", 4, 9}, {"second side first", 20, 12}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AddDispenser(c.base, c.second);
        TTork1* p = Found(c.base);
        TTork1* q = Found(c.second);
        ASSERT_TRUE(p && q);
        Steps(50);  // a second side made before its base is made again
        p = Found(c.base);
        q = Found(c.second);
        ASSERT_TRUE(p && q);
        EXPECT_EQ(p->SideKind(), 'P');
        EXPECT_EQ(q->SideKind(), 'Q');
        for (TTork1* t : {p, q}) {
            EXPECT_EQ(t->LinkState(), LINK_OK);
            EXPECT_EQ(t->BaseAddress(), uint32_t(c.base));
            EXPECT_EQ(t->SecondAddress(), uint32_t(c.second));
            EXPECT_EQ(t->GetAddress(2, 1), uint32_t(c.second));
            EXPECT_EQ(t->GetAddress(1, 1), uint32_t(c.base));
            EXPECT_EQ(t->GetAddress(1, 2), 0u);
            EXPECT_EQ(t->VarValue(tlb::cvBasePost), c.base * U);
            EXPECT_EQ(t->PostNumber(), c.base);
        }
        EXPECT_EQ(q->VarValue(tlb::cvSide), 2 * U);
        const std::string post = "Post" + std::to_string(c.base);
        // Controller-wide variables on the first side only.
        for (uint8_t code : {tlb::cvUSSWaitTime, tlb::cvInspector, tlb::cvFullDown}) {
            EXPECT_TRUE(p->HasVar(code));
            EXPECT_FALSE(q->HasVar(code));
        }
        for (const char* name :
             {"DozeV", "CurrentV", "TotalV", "PriceV", "DozeM", "CurrentM", "CalibV", "State"}) {
            EXPECT_TRUE(Has(post + ".S1." + name)) << name;
            EXPECT_TRUE(Has(post + ".S2." + name)) << name;
        }
    }
}

TEST_F(Tork1, StatusBitsAndPriceDigits) {
    AddDispenser(3, 0);
    TTork1* t = Found(3);
    ASSERT_TRUE(t);
    const std::pair<uint8_t, int32_t> rows[] = {{0x24, 80}, {0x01, 0},   {0x03, 0},
                                                {0x22, 7},  {0x20, 1},   {0x28, 1},
                                                {0x08, 80}, {0x40, 177}, {0x10, 177}};
    zrnsim::Controller* c = station_->Find(3);
    for (auto [status, state] : rows) {
        SCOPED_TRACE("status 0x" + zrnsim::ByteToNibbles(status));
        c->SetStatusOverride(status);
        t->ReReadVarValue(tlb::cvCurrentV);
        EXPECT_EQ(t->GetState(), state);
    }

    // 37 bit 3 wins without 46 being read; 46 bit 0 alone gives whole units.
    struct Case {
        int address, p37, p46, shift;
        int64_t step;
    };
    const Case cases[] = {
        {10, 0x08, 0x01, 1, 1000}, {11, 0x00, 0x01, 2, U}, {12, 0x00, 0x00, 0, 100}};
    for (const Case& k : cases) {
        AddDispenser(k.address, 0, 2, {{37, k.p37}, {46, k.p46}});
        TTork1* p = Found(k.address);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->PriceShift(), k.shift);
        EXPECT_EQ(p->Descriptor(tlb::cvLiterPrice).Step.int64, k.step);
        bool read46 = false;
        for (const std::string& f : Wire(k.address)) read46 |= f == R(46);
        EXPECT_EQ(read46, k.p37 == 0) << k.address;
    }
}

TEST_F(Tork1, WritesOnTheWire) {
    AddDispenser(5, 6);
    TTork1* p = Found(5);
    TTork1* q = Found(6);
    ASSERT_TRUE(p && q);
    zrnsim::Controller* c = station_->Find(5);

    station_->ClearRequests();
    EXPECT_EQ(p->SetVarValue(tlb::cvTotalV, 1234567 * 100), 0);  // 12345.67
    std::vector<std::string> expect;
    const int pairs[] = {0x01, 0x23, 0x45, 0x67, 0x00, 0x00};
    for (int i = 0; i < 6; ++i) {
        expect.push_back("x6052");
        expect.push_back(W(50 + i, pairs[i]));
    }
    EXPECT_EQ(Wire(5), expect);
    EXPECT_EQ(c->TotalV(), 1234567 * 100);

    // Six integer digits: a million units would need a first pair of 100.
    station_->ClearRequests();
    EXPECT_EQ(p->SetVarValue(tlb::cvTotalV, 1000000 * U), plat::OPC_E_RANGE);
    EXPECT_EQ(p->SetVarValue(tlb::cvTotalV, -U), plat::OPC_E_RANGE);
    EXPECT_TRUE(Wire(5).empty());
    EXPECT_EQ(p->SetVarValue(tlb::cvTotalV, 999999 * U + 9900), 0);
    EXPECT_EQ(c->TotalV(), 999999 * U + 9900);

    struct Case {
        TTork1* t;
        int address;
        uint8_t code;
        int64_t value;
        std::vector<std::string> wire;
    };
    const Case cases[] = {
        {p, 5, tlb::cvUSSWaitTime, 45 * U, {W(219, 0x45)}},
        {p, 5, tlb::cvFullDown, 7 * U, {W(82, 0x07)}},
        {p, 5, tlb::cvLiterPrice, 1234 * 100, {"c1234"}},
        {q, 6, tlb::cvLiterPrice, 99 * 100, {"c0099"}},
        {p, 5, tlb::cvDozeV, 12345 * 100, {"d12345", "s"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.wire.front());
        station_->ClearRequests();
        EXPECT_EQ(k.t->SetVarValue(k.code, k.value), 0);
        EXPECT_EQ(Wire(k.address), k.wire);
    }
    EXPECT_EQ(p->SetVarValue(tlb::cvTemperature, U), -3);

    // Each side its own calibration parameters.
    station_->ClearRequests();
    EXPECT_EQ(p->SetVarValue(tlb::cvCalibV, 10250), 0);  // 1.025
    EXPECT_EQ(q->SetVarValue(tlb::cvCalibV, 9980), 0);   // 0.998
    EXPECT_EQ(Wire(5), (std::vector<std::string>{W(41, 0x10), W(40, 0x00), W(42, 0x25), R(40),
                                                 R(41), R(42)}));
    EXPECT_EQ(Wire(6), (std::vector<std::string>{W(44, 0x09), W(43, 0x00), W(45, 0x98), R(43),
                                                 R(44), R(45)}));
    EXPECT_EQ(q->VarValue(tlb::cvCalibV), 9980);
}

TEST_F(Tork1, ComputedPostNumbersStayFreshInTheRoundRobin) {
    AddDispenser(5, 6);
    Found(5);
    TTork1* q = Found(6);
    ASSERT_TRUE(q);
    for (uint8_t code : {tlb::cvBasePost, tlb::cvSide}) {
        q->SetVarRaw(code, LQ_FRESH, 1.0, 0);
        EXPECT_NO_THROW(q->ReReadVarValue(code)) << int(code);
    }
    EXPECT_EQ(q->VarValue(tlb::cvBasePost), 5 * U);
    EXPECT_EQ(q->VarValue(tlb::cvSide), 2 * U);
}

TEST_F(Tork1, AddressWriteOfTheFirstSideDropsBoth) {
    AddDispenser(5, 6);
    TTork1* p = Found(5);
    ASSERT_TRUE(Found(6) && p);
    station_->ClearRequests();
    EXPECT_EQ(p->SetVarValue(tlb::cvAddress, 14 * U), 0);
    EXPECT_EQ(Wire(5), (std::vector<std::string>{R(81), W(80, 14)})) << "a plain byte";
    EXPECT_EQ(p->LinkState(), LINK_RECONFIGURE);
    EXPECT_EQ(thread_->GetDevice(6), nullptr);
}

TEST_F(Tork1, SavedValuesStayWithTheirOwnSide) {
    for (int shift : {0, 100}) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        thread_.reset();
        station_ = nullptr;
        SimulatedPortTest::TearDown();
        SimulatedPortTest::SetUp();
        MakeThread(shift);
        AddDispenser(5, 6);
        TTork1* p = Found(5);
        TTork1* q = Found(6);
        ASSERT_TRUE(p && q);
        EXPECT_EQ(p->PostNumber(), shift + 5);
        p->SetVarRaw(tlb::cvDozeV, LQ_FRESH, plat::NowLocal(), 12 * U);
        q->SetVarRaw(tlb::cvDozeV, LQ_FRESH, plat::NowLocal(), 34 * U);
        thread_->RemoveDevice(6);
        thread_->RemoveDevice(5);
        // Made outside the poll thread, the values are seen before any read replaces them.
        auto make = [&](int a) {
            return TBasicTork::Make<TTork1>(
                TorkCreateArgs{thread_.get(), static_cast<uint8_t>(a), 1, 69, plat::NowLocal()});
        };
        ComPtr<TTork1> p2 = make(5);
        EXPECT_EQ(p2->VarValue(tlb::cvDozeV), 12 * U) << "kept under the first side's key";
        p2->Remove();
        ASSERT_TRUE(Found(5));  // for the second side to link to
        ComPtr<TTork1> q2 = make(6);
        EXPECT_EQ(q2->BaseAddress(), 5u);
        EXPECT_NE(q2->VarValue(tlb::cvDozeV), 12 * U) << "never the other side's values";
        q2->Remove();
    }
}

TEST_F(Tork1, BothSidesRestoreTheirSavedValuesAfterARestart) {
    thread_.reset();
    MakeThread(100);
    AddDispenser(1, 2);
    ASSERT_TRUE(Found(1) && Found(2));
    auto run = [&](const std::string& name, double value) {
        auto item = GetItemAs<TLeafItem>(FindLeafID(name));
        EXPECT_TRUE(item) << name;
        if (!item) return int32_t{-1000};
        const int32_t id = item->Write(plat::Variant::R8(value), 0, 0, 1033);
        int32_t result = id;
        for (int i = 0; i < 200 && CmdIsPending(result = id); ++i) thread_->PollStep();
        return result;
    };
    ASSERT_EQ(run("Post101.S1.PriceV", 56.78), 0);
    ASSERT_EQ(run("Post101.S2.PriceV", 12.34), 0);
    thread_.reset();  // a clean stop saves every post
    for (int a : {1, 2}) station_->Find(a)->SetPrice(0);

    MakeThread(100);
    // Each side's values as its object is made, before any read replaces them.
    TVarValue price[3];
    for (int i = 0; i < 3000 && (price[1].time == 0 || price[2].time == 0); ++i) {
        thread_->PollStep();
        for (int a : {1, 2})
            if (TBasicTork* t = thread_->GetDevice(a); t && price[a].time == 0)
                price[a] = t->VarRecord(tlb::cvLiterPrice);
    }
    EXPECT_EQ(price[1].value, 567800);
    EXPECT_EQ(price[1].link_quality, LQ_KEPT);
    EXPECT_EQ(price[2].value, 123400) << "the second side's own price";
    EXPECT_EQ(price[2].link_quality, LQ_KEPT);
    using plat::reg::Hive;
    for (const char* key : {"201", "202"})
        EXPECT_FALSE(plat::reg::KeyExists(Hive::LocalMachine, std::string(kZrnDevKey) + key));
}
