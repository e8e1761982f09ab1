#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/time/clock.h"
#include "service/core/items/ItemTree.h"
#include "service/drivers/TRK30.h"
#include "tests/support/SimulatedPort.h"
#include "tools/zrnsim/Station.h"

using namespace drv;

namespace {

constexpr int kCom = 10;
constexpr int64_t U = 10000;

class Tork30 : public testsupport::SimulatedPortTest {
  protected:
    Tork30() : SimulatedPortTest(kCom) {}
    void SetUp() override {
        SimulatedPortTest::SetUp();
        MakeThread();
    }
    void TearDown() override {
        zrnsim::ResetFamilies();
        SimulatedPortTest::TearDown();
    }
    TTork30* Ready(int address, int family = 30, int version = 68) {
        if (!station_->Add(address, family, version)) return nullptr;
        return dynamic_cast<TTork30*>(StepUntilFound(address));
    }
    // Reads the totalizer once and returns what went out for it.
    std::vector<std::string> ReadTotal(TTork30* t, int address) {
        station_->ClearRequests();
        t->ReReadVarValue(tlb::cvTotalV);
        return Wire(address);
    }
};

}  // namespace

TEST_F(Tork30, DefinitionFollowsTheProgramVersion) {
    struct Case {
        int address, family, version;
        bool temperature;
        int identity;
    };
    const Case cases[] = {{1, 30, 12, false, 188},
                          {2, 30, 65, false, 148},
                          {3, 30, 67, false, 148},
                          {4, 30, 68, true, 148},
                          {5, 32, 69, true, 148}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        TTork30* t = Ready(c.address, c.family, c.version);
        ASSERT_TRUE(t);
        EXPECT_EQ(t->LinkState(), LINK_OK);
        EXPECT_EQ(t->poll_kind.load(), 6);
        EXPECT_EQ(t->IdentityParam(), c.identity);
        EXPECT_EQ(t->HasVar(tlb::cvTemperature), c.temperature);
        for (uint8_t code :
             {tlb::cvCurrentV, tlb::cvTotalV, tlb::cvCounterVersion, tlb::cvProductivity,
              tlb::cvControllerVersion, tlb::cvFirmwareVersion, tlb::cvAddress})
            EXPECT_TRUE(t->HasVar(code)) << int(code);
        for (uint8_t code : {tlb::cvDozeV, tlb::cvLiterPrice, tlb::cvCurrentM, tlb::cvCalibV})
            EXPECT_FALSE(t->HasVar(code)) << int(code);
        EXPECT_TRUE(t->Descriptor(tlb::cvAddress).IsWriteable);
        EXPECT_EQ(t->Descriptor(tlb::cvAddress).MaxValue.int64, 10 * U);
        EXPECT_EQ(t->Descriptor(tlb::cvTotalV).Step.int64, 100);
        EXPECT_EQ(t->CounterType(), 10) << "status 0x91 of the identity read";
        EXPECT_EQ(t->CounterCode(), 1);
        EXPECT_EQ(t->GetState(), tlb::csIdle);
        EXPECT_NE(FindLeafID("Post" + std::to_string(c.address) + ".CounterVersion"), -1);
        t->ReReadVarValue(tlb::cvCounterVersion);
        EXPECT_EQ(t->VarValue(tlb::cvCounterVersion), 10 * U);
    }

    // Nothing but a finished delivery is a valid jump; no state request is carried out.
    TTork30* t = dynamic_cast<TTork30*>(thread_->GetDevice(4));
    for (int from : {0, 1, 7, 80})
        for (int to : {0, 1, 7, 80})
            EXPECT_EQ(t->StateJumpValid(static_cast<uint8_t>(from), static_cast<uint8_t>(to)),
                      from == 7 && to == 0)
                << from << " -> " << to;
    station_->ClearRequests();
    for (int s : {0, 1, 7, 80}) EXPECT_EQ(t->SetState(static_cast<uint8_t>(s)), plat::OPC_E_RANGE);
    EXPECT_TRUE(Wire(4).empty());
    EXPECT_TRUE(t->IsIdle());
}

TEST_F(Tork30, StatusAndCountersDecode) {
    TTork30* t = Ready(2);
    ASSERT_TRUE(t);
    const DATE now = plat::NowLocal();
    struct Row {
        char status;
        int64_t current;
        int32_t state;
    };
    const Row rows[] = {{'0', 0, tlb::csIdle},
                        {'0', 125000, tlb::csWorking},
                        {'8', 0, tlb::csIdle},
                        {'4', 10, tlb::csWorking},
                        {'3', 0, tlb::csControllerError},
                        {'<', 0, tlb::csControllerError},
                        {'\x91', 0, tlb::csIdle}};
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string("status ") + r.status);
        t->SetVarRaw(tlb::cvCurrentV, LQ_FRESH, now, r.current);
        t->ParseReply(r.status, 'D', now);
        EXPECT_EQ(t->GetState(), r.state);
    }

    // A delivery made at the dispenser: a nonzero count sets the idle post working.
    zrnsim::Controller* c = station_->Find(2);
    c->SetTotalV(1234567 * U);
    c->Deliver(125000);
    clock_->Advance(5000);  // the dose is done: 12.50
    station_->ClearRequests();
    t->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(Wire(2), std::vector<std::string>{"D"});
    EXPECT_EQ(t->VarValue(tlb::cvCurrentV), 125000);
    EXPECT_EQ(t->GetState(), tlb::csWorking);

    c->Deliver(2000 * U);  // running: 10 per second
    clock_->Advance(1000);
    t->ReReadVarValue(tlb::cvProductivity);
    EXPECT_EQ(t->VarValue(tlb::cvProductivity), 10 * U) << "\"10,00\"";

    TTork30* hot = Ready(3, 30, 68);
    ASSERT_TRUE(hot);
    station_->Find(3)->SetTemperature(-55000);
    station_->ClearRequests();
    hot->ReReadVarValue(tlb::cvTemperature);
    EXPECT_EQ(Wire(3), std::vector<std::string>{"Z"});
    EXPECT_EQ(hot->VarValue(tlb::cvTemperature), -55000) << "\"-05,5\"";

    // Version 12: whole units, the flow with two implied decimals.
    TTork30* old = Ready(4, 30, 12);
    ASSERT_TRUE(old);
    zrnsim::Controller* oc = station_->Find(4);
    oc->Deliver(5000 * U);
    clock_->Advance(2500);
    old->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(old->VarValue(tlb::cvCurrentV), 25 * U);
    old->ReReadVarValue(tlb::cvProductivity);
    EXPECT_EQ(old->VarValue(tlb::cvProductivity), 10 * U) << "\"001000\"";
}

TEST_F(Tork30, MillionsOfTheTotalizer) {
    TTork30* t = Ready(6);
    ASSERT_TRUE(t);
    zrnsim::Controller* c = station_->Find(6);
    const DATE now = plat::NowLocal();

    // Six integer digits: the millions come from the last value while the count moves on ...
    t->SetVarRaw(tlb::cvTotalV, LQ_FRESH, now, int64_t{345678912} * 100);
    c->SetTotalV(7456800 * U);  // "456800,00"; parameter 48 says 7
    EXPECT_EQ(ReadTotal(t, 6), std::vector<std::string>{"S"});
    EXPECT_EQ(t->VarValue(tlb::cvTotalV), 3456800 * U);
    EXPECT_EQ(t->GetState(), tlb::csWorking) << "a moved totalizer on an idle post";

    // ... and from parameter 48 once the six digits went round.
    c->SetTotalV(7000010 * U);
    EXPECT_EQ(ReadTotal(t, 6), (std::vector<std::string>{"S", R(48)}));
    EXPECT_EQ(t->VarValue(tlb::cvTotalV), 7000010 * U);
    EXPECT_EQ(ReadTotal(t, 6), std::vector<std::string>{"S"});
    EXPECT_EQ(t->VarValue(tlb::cvTotalV), 7000010 * U) << "the same reading, the same total";

    // More millions than a byte holds.
    t->SetVarRaw(tlb::cvTotalV, LQ_FRESH, now, int64_t{300000000} * U);
    c->SetTotalV(123 * U);
    t->ReReadVarValue(tlb::cvTotalV);
    EXPECT_EQ(t->VarValue(tlb::cvTotalV), int64_t{300000123} * U);

    // The first reading of an object is no movement of the count.
    TTork30* fresh = Ready(7);
    ASSERT_TRUE(fresh);
    station_->Find(7)->SetTotalV(2000500 * U);
    EXPECT_EQ(ReadTotal(fresh, 7), (std::vector<std::string>{"S", R(48)}));
    EXPECT_EQ(fresh->VarValue(tlb::cvTotalV), 2000500 * U);
    EXPECT_EQ(fresh->GetState(), tlb::csIdle);
}

TEST_F(Tork30, Version12TotalizerHoldsItsMillions) {
    TTork30* t = Ready(8, 30, 12);
    ASSERT_TRUE(t);
    zrnsim::Controller* c = station_->Find(8);
    c->SetTotalV(int64_t{1234567000} * U);  // "01234567" thousands
    EXPECT_EQ(ReadTotal(t, 8), std::vector<std::string>{"S"});
    EXPECT_EQ(t->VarValue(tlb::cvTotalV), int64_t{1234567000} * U);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ReadTotal(t, 8), std::vector<std::string>{"S"});
        EXPECT_EQ(t->VarValue(tlb::cvTotalV), int64_t{1234567000} * U);
        EXPECT_EQ(t->GetState(), tlb::csIdle) << "an unchanged totalizer keeps the post idle";
    }
    c->SetTotalV(int64_t{1234568000} * U);
    t->ReReadVarValue(tlb::cvTotalV);
    EXPECT_EQ(t->VarValue(tlb::cvTotalV), int64_t{1234568000} * U);
    EXPECT_EQ(t->GetState(), tlb::csWorking);
}

TEST_F(Tork30, IdentitySeenAgain) {
    TTork30* t = Ready(9, 30, 12);
    ASSERT_TRUE(t);
    zrnsim::Controller* c = station_->Find(9);
    auto again = [&](char status) {
        t->SetLinkState(LINK_OK);
        t->SetStateValue(tlb::csCommError, plat::NowLocal());
        station_->ClearRequests();
        t->ParseReply(status, 'D', plat::NowLocal());
        return t->LinkState();
    };
    EXPECT_EQ(again('\x91'), LINK_OK);
    EXPECT_EQ(Wire(9), (std::vector<std::string>{R(189), R(188)}));
    EXPECT_EQ(t->GetState(), tlb::csIdle);
    EXPECT_EQ(again('3'), LINK_OK) << "no identity check on a controller error";
    EXPECT_TRUE(Wire(9).empty());

    // Code 5; another type (20); another code (2); no type at all.
    for (uint8_t status : {0x95, 0xA1, 0x92, 0x71}) {
        c->SetStatusOverride(status);
        EXPECT_EQ(again('\x91'), LINK_FAILED) << int(status);
        EXPECT_EQ(t->GetState(), tlb::csCommError) << "no state with a link state set";
    }
    c->SetStatusOverride(std::nullopt);
    c->SetParam(188, 0x31);  // family 31
    EXPECT_EQ(again('\x91'), LINK_FAILED);
    c->SetParam(188, 0x30);
    c->SetParam(189, 13);
    EXPECT_EQ(again('\x91'), LINK_REGISTER);
    EXPECT_EQ(Wire(9), std::vector<std::string>{R(189)}) << "nothing read after the version";
}

TEST_F(Tork30, AddressWriteAndSilentAcknowledgements) {
    TTork30* t = Ready(2, 30, 68);
    ASSERT_TRUE(t);
    struct Write {
        uint8_t code;
        int64_t value;
        int32_t result;
        std::vector<std::string> wire;
    };
    const Write writes[] = {
        {tlb::cvAddress, 11 * U, plat::OPC_E_RANGE, {}},
        {tlb::cvAddress, 0, plat::OPC_E_RANGE, {}},
        {tlb::cvCurrentV, U, -3, {}},
        {tlb::cvTotalV, U, -3, {}},
        {tlb::cvCounterVersion, U, -3, {}},
        {tlb::cvTemperature, U, -3, {}},
        {tlb::cvDozeV, U, -3, {}},
        {tlb::cvAddress, 10 * U, 0, {"x400:"}},
    };
    for (const Write& w : writes) {
        SCOPED_TRACE(std::to_string(w.code) + " := " + std::to_string(w.value));
        station_->ClearRequests();
        EXPECT_EQ(t->SetVarValue(w.code, w.value), w.result);
        EXPECT_EQ(Wire(2), w.wire);
        EXPECT_EQ(t->LinkState(), w.result == 0 ? LINK_RECONFIGURE : LINK_OK);
    }
    EXPECT_TRUE(station_->Find(10)) << "the controller moved";

    // Versions 65 and 67 acknowledge 's' and 'x' by silence; 68 must answer.
    std::string answer;
    TTork30* quiet = Ready(3, 30, 65);
    ASSERT_TRUE(quiet);
    zrnsim::Faults f;
    f.silent = true;
    station_->Find(3)->SetFaults(f);
    EXPECT_TRUE(quiet->Exchange('s', "", false, true, kZrnMaxFrame, answer, 1));
    EXPECT_TRUE(quiet->Exchange('x', "3000", false, true, kZrnMaxFrame, answer, 1));
    EXPECT_FALSE(quiet->Exchange('D', "", false, false, kZrnMaxFrame, answer, 13))
        << "reads still need their answer";
    station_->Find(3)->SetFaults({});
    EXPECT_EQ(quiet->SetVarValue(tlb::cvAddress, 5 * U), 0);
    EXPECT_TRUE(station_->Find(5)) << "moved without a word";

    TTork30* loud = Ready(4, 30, 68);
    ASSERT_TRUE(loud);
    station_->Find(4)->SetFaults(f);
    EXPECT_FALSE(loud->Exchange('s', "", false, false, kZrnMaxFrame, answer, 1));
    EXPECT_EQ(loud->SetVarValue(tlb::cvAddress, 6 * U), -5);
    EXPECT_EQ(loud->LinkState(), LINK_OK);
}

TEST_F(Tork30, AnswerFromThePlainAddress) {
    zrnsim::FamilyTable plain = *zrnsim::FindFamily(30);
    plain.answer_address_flags = 0;
    zrnsim::RegisterFamily(plain);
    TTork30* t = Ready(5, 30, 68);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->LinkState(), LINK_OK) << "the probe and the identity reads take any address";
    std::string answer;
    EXPECT_FALSE(t->Exchange('D', "", false, true, kZrnMaxFrame, answer, 13));
    EXPECT_EQ(t->LinkState(), LINK_FAILED);
    t->SetLinkState(LINK_OK);
    EXPECT_TRUE(t->Exchange('x', "3000", false, true, kZrnMaxFrame, answer, 1))
        << "a bare acknowledgement has no address";
    EXPECT_EQ(t->LinkState(), LINK_OK);
}

TEST_F(Tork30, FailuresStoreNothingAndAnsweringPostsStay) {
    TTork30* t = Ready(6);
    ASSERT_TRUE(t);
    zrnsim::Controller* c = station_->Find(6);
    c->Deliver(125000);
    clock_->Advance(5000);
    t->ReReadVarValue(tlb::cvCurrentV);
    ASSERT_EQ(t->VarValue(tlb::cvCurrentV), 125000);

    // Good answers keep the post alive for the silence watch: a later failure is a comm
    // error, not a removal.
    clock_->Advance(40000);
    t->ReReadVarValue(tlb::cvCurrentV);
    zrnsim::Faults f;
    f.silent = true;
    c->SetFaults(f);
    t->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(t->LinkState(), LINK_OK);
    EXPECT_EQ(t->GetState(), tlb::csCommError);
    EXPECT_EQ(t->VarValue(tlb::cvCurrentV), 125000);
    c->SetFaults({});

    // A count with a character that is no digit is no volume of 0.
    zrnsim::FamilyTable garbled = *zrnsim::FindFamily(30);
    for (zrnsim::ReadSpec& r : garbled.reads)
        if (r.command == 'D') r.what = zrnsim::Quantity::Temperature;  // "+nn,n"
    zrnsim::RegisterFamily(garbled);
    TTork30* g = Ready(7);
    ASSERT_TRUE(g);
    g->SetVarRaw(tlb::cvCurrentV, LQ_FRESH, plat::NowLocal(), 125000);
    g->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(g->VarValue(tlb::cvCurrentV), 125000);
}
