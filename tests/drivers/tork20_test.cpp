#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/time/clock.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/drivers/TRK20.h"
#include "tests/support/ProtocolLines.h"
#include "tests/support/SimulatedPort.h"
#include "tools/zrnsim/Station.h"

using namespace drv;

namespace {

constexpr int kCom = 9;
constexpr int64_t U = 10000;

class Tork20 : public testsupport::SimulatedPortTest {
  protected:
    Tork20() : SimulatedPortTest(kCom) {}
    void SetUp() override {
        SimulatedPortTest::SetUp();
        MakeThread();
    }
    TTork20* Ready(int address, int p35 = 0, int p36 = 0) {
        zrnsim::Controller* c = station_->Add(address, 20, 78);
        if (!c) return nullptr;
        c->SetParam(35, static_cast<uint8_t>(p35));
        c->SetParam(36, static_cast<uint8_t>(p36));
        auto* t = dynamic_cast<TTork20*>(StepUntilFound(address));
        if (t) t->ReReadVarValue(tlb::cvCurrentV);
        return t;
    }
};

}  // namespace

TEST_F(Tork20, ConfigurationDecidesTemperatureAndPriceDigits) {
    struct Case {
        int address, p35, p36;
        bool temperature;
        int price_shift;
        int64_t price_step;
    };
    const Case cases[] = {{1, 0x00, 0x00, true, 0, 100},
                          {2, 0x08, 0x10, false, 1, 1000},
                          {3, 0x04, 0x10, true, 2, U}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        TTork20* t = Ready(c.address, c.p35, c.p36);
        ASSERT_TRUE(t);
        EXPECT_EQ(t->LinkState(), LINK_OK);
        EXPECT_EQ(t->HasVar(tlb::cvTemperature), c.temperature);
        EXPECT_EQ(t->PriceShift(), c.price_shift);
        EXPECT_EQ(t->Descriptor(tlb::cvLiterPrice).Step.int64, c.price_step);
        for (uint8_t code : {tlb::cvDozeV, tlb::cvCurrentV, tlb::cvTotalV, tlb::cvPropan,
                             tlb::cvCalibV, tlb::cvUSSWaitTime, tlb::cvDozeM, tlb::cvCurrentM})
            EXPECT_TRUE(t->HasVar(code)) << int(code);
        EXPECT_FALSE(t->Descriptor(tlb::cvAddress).IsWriteable) << "no known address parameter";
        EXPECT_EQ(t->Descriptor(tlb::cvPropan).MaxValue.int64, 99 * U) << "one BCD pair";
    }

    zrnsim::Controller* c = station_->Add(9, 20, 78);
    zrnsim::Faults f;
    f.silent = true;
    f.count = 3;  // every attempt at parameter 35
    c->SetFaults(f);
    ComPtr<TTork20> t =
        TBasicTork::Make<TTork20>(TorkCreateArgs{thread_.get(), 9, 20, 78, plat::NowLocal()});
    EXPECT_EQ(t->LinkState(), LINK_FAILED);
    EXPECT_FALSE(t->HasVar(tlb::cvLiterPrice));
    t->Remove();
}

TEST_F(Tork20, StatusConfigErrorAndIdentity) {
    TTork20* t = Ready(2);
    ASSERT_TRUE(t);
    zrnsim::Controller* c = station_->Find(2);
    const std::pair<uint8_t, int32_t> rows[] = {{0x01, 0},   {0x02, 7},   {0x05, 80},  {0x08, 80},
                                                {0x20, 1},   {0x30, 1},   {0x22, 7},   {0x60, 1},
                                                {0x31, 177}, {0x71, 177}, {0x06, 177}, {0x81, 0}};
    for (auto [status, state] : rows) {
        SCOPED_TRACE("status 0x" + zrnsim::ByteToNibbles(status));
        c->SetStatusOverride(status);
        t->ReReadVarValue(tlb::cvCurrentV);
        EXPECT_EQ(t->GetState(), state);
    }
    TTork20* e = Ready(3, 0x01);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->GetState(), tlb::csConfigError) << "35 bit 0 on every answer";

    // Seen again after a comm error: a moved configuration byte makes the post anew.
    c->SetStatusOverride(0x01);
    t->SetStateValue(tlb::csCommError, plat::NowLocal());
    t->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(t->LinkState(), LINK_OK);
    c->SetParam(36, 0x10);
    t->SetStateValue(tlb::csCommError, plat::NowLocal());
    t->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(t->LinkState(), LINK_REGISTER);
}

TEST_F(Tork20, ParametersOnTheWire) {
    TTork20* t = Ready(4);
    ASSERT_TRUE(t);
    zrnsim::Controller* c = station_->Find(4);
    c->SetParam(214, 0x1E);
    c->SetParam(40, 0x35);
    c->SetParam(42, 0x00);
    c->SetParam(43, 0x09);
    c->SetParam(44, 0x98);
    c->SetParam(83, 0x85);
    struct Read {
        uint8_t code;
        std::vector<std::string> wire;
        int64_t value;
    };
    const Read reads[] = {
        {tlb::cvUSSWaitTime, {R(214)}, 30 * U},  // nibbles: 0x1E
        {tlb::cvPropan, {R(40)}, 35 * U},
        {tlb::cvCalibV, {R(42), R(43), R(44)}, 9980},
        {tlb::cvTemperature, {R(83)}, -5 * U},
    };
    for (const Read& r : reads) {
        SCOPED_TRACE(int(r.code));
        station_->ClearRequests();
        t->ReReadVarValue(r.code);
        EXPECT_EQ(Wire(4), r.wire);
        EXPECT_EQ(t->VarValue(r.code), r.value);
    }
    struct Write {
        uint8_t code;
        int64_t value;
        int32_t result;
        std::vector<std::string> wire;
    };
    const Write writes[] = {
        {tlb::cvUSSWaitTime, 45 * U, 0, {W(219, 0x45)}},  // read at 214, written at 219
        {tlb::cvPropan, 40 * U, 0, {W(40, 0x40)}},
        {tlb::cvPropan, 100 * U, plat::OPC_E_RANGE, {}},
        {tlb::cvCalibV, U, -3, {}},
        {tlb::cvAddress, 7 * U, -3, {}},
        {tlb::cvTotalV, U, -3, {}},
        {tlb::cvLiterPrice, 1234 * 100, 0, {"c1234"}},
        {tlb::cvDozeV, 12345 * 100, 0, {"d12345", "s"}},
    };
    for (const Write& w : writes) {
        SCOPED_TRACE(std::to_string(w.code) + " := " + std::to_string(w.value));
        station_->ClearRequests();
        EXPECT_EQ(t->SetVarValue(w.code, w.value), w.result);
        EXPECT_EQ(Wire(4), w.wire);
    }
    EXPECT_EQ(t->VarValue(tlb::cvUSSWaitTime), 45 * U);
}

TEST_F(Tork20, TemperatureLogLineCarriesTheDegrees) {
    TTork20* t = Ready(4);
    ASSERT_TRUE(t);
    ASSERT_TRUE(t->HasVar(tlb::cvTemperature));
    station_->Find(4)->SetParam(83, 0x85);
    testsupport::ProtocolLines::Clear();
    SetProtocolHook(&testsupport::ProtocolLines::Record);
    for (int i = 0; i < 400 && t->VarValue(tlb::cvTemperature) != -5 * U; ++i) thread_->PollStep();
    SetProtocolHook(nullptr);
    EXPECT_EQ(t->VarValue(tlb::cvTemperature), -5 * U);
    EXPECT_GE(testsupport::ProtocolLines::Count("4793CF18-0B3A-4286-AACD-3F694F87CB90 -5"), 1);
}
