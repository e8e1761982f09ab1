#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/time/clock.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/controllers/PollThread.h"
#include "service/core/items/ItemTree.h"
#include "service/core/ports/PortManager.h"
#include "service/drivers/TRK46.h"
#include "service/drivers/TRKFF.h"
#include "tests/drivers/Tork46Fixture.h"
#include "tests/support/Eventually.h"
#include "tests/support/InstallDrivers.h"
#include "tests/support/PtyPair.h"
#include "tests/support/SimulatedPort.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

using namespace drv;
using namespace tork46test;
using plat::Variant;

// --- TTorkFF ------------------------------------------------------------------------------------

TEST_F(Tork46Ff, FFShiftsFromParametersAndTheirDescriptors) {
    struct Row {
        int address, version;
        uint8_t p129, p130, c33;
        int req_s, price, volume;
        int64_t dose_min, dose_max, dose_step, req_s_step;  // req_s_step 0: no ReqS
        bool inputs;
    };
    const Row rows[] = {
        {1, 12, 0x12, 5, 0x00, 1, 0, 1, 1000, 20000 * U, 1000, 100, true},
        {2, 12, 0x12, 0, 0x3F, 1, 0, 0, 100, 2000 * U, 100, 100, false},
        {3, 8, 0x00, 2, 0x00, 2, 2, 2, U, 200000 * U, U, 0, true},
        {4, 18, 0x21, 1, 0x00, 0, 1, 1, 1000, 20000 * U, 1000, 10, true},
    };
    for (const Row& r : rows) {
        zrnsim::Controller* c = station_->Add(r.address, 90, r.version);
        ASSERT_TRUE(c);
        c->SetParam(129, r.p129);
        c->SetParam(130, r.p130);
        c->SetParam(33, r.c33);
    }
    for (const Row& r : rows) {
        SCOPED_TRACE("version " + std::to_string(r.version) + " 129=" + std::to_string(r.p129) +
                     " 130=" + std::to_string(r.p130));
        TTorkFF* t = Probe<TTorkFF>(r.address);
        ASSERT_TRUE(t);
        EXPECT_EQ(t->LinkState(), LINK_OK);
        EXPECT_EQ(t->ReqSShift(), r.req_s);
        EXPECT_EQ(t->PriceShift(), r.price);
        EXPECT_EQ(t->VolumeShift(), r.volume);
        const TVariableInfoEx& d = t->Descriptor(tlb::cvDozeV);
        EXPECT_EQ(d.MinValue.int64, r.dose_min);
        EXPECT_EQ(d.MaxValue.int64, r.dose_max);
        EXPECT_EQ(d.Step.int64, r.dose_step);
        EXPECT_EQ(t->Descriptor(tlb::cvCurrentV).Step.int64, r.dose_step);
        EXPECT_EQ(t->Descriptor(tlb::cvTotalV).Step.int64, r.dose_step);
        EXPECT_EQ(Has(r.address, "ReqS"), r.req_s_step != 0);
        if (r.req_s_step) {
            EXPECT_EQ(t->Descriptor(tlb::cvReqS).Step.int64, r.req_s_step);
        }
        for (const char* in : {"Temperature", "OverFill", "HandleState", "TrapState", "Earthed"})
            EXPECT_EQ(Has(r.address, in), r.inputs) << in;
        for (const char* always : {"Exception", "FullUp", "FullDown", "USSTimeout", "Inspector",
                                   "Productivity", "FirmwareVersion"})
            EXPECT_TRUE(Has(r.address, always)) << always;
        for (const char* never : {"PriceV", "DozeM", "CurrentW", "TotalW", "CalibV", "LabDensity"})
            EXPECT_FALSE(Has(r.address, never)) << never;
        EXPECT_EQ(t->Descriptor(tlb::cvFullUp).MaxValue.int64, 9900 * U);
        EXPECT_EQ(t->Descriptor(tlb::cvUSSWaitTime).MaxValue.int64, 99 * U) << "one pair";

        // The simulated controller counts with the decimals its parameters give.
        controller_ = station_->Find(r.address);
        controller_->SetTotalV(123456 * 100);  // 1234.56
        t->ReReadVarValue(tlb::cvTotalV);
        const int64_t drop = r.volume == 0 ? 1 : r.volume == 1 ? 1000 : U;
        EXPECT_EQ(t->VarValue(tlb::cvTotalV), 123456 * 100 / drop * drop);
    }
}

TEST_F(Tork46Ff, FFShiftNibbleAboveTwoFailsTheDefinition) {
    int address = 0;
    for (uint8_t p129 : {0x32, 0x13, 0xF2}) {
        SCOPED_TRACE(int(p129));
        zrnsim::Controller* c = station_->Add(++address, 90, 12);
        c->SetParam(129, p129);
        ComPtr<TTorkFF> t = TBasicTork::Make<TTorkFF>(
            TorkCreateArgs{thread_.get(), static_cast<uint8_t>(address), 90, 12, plat::NowLocal()});
        EXPECT_EQ(t->LinkState(), LINK_FAILED);
        EXPECT_GE(t->PriceShift(), 0);
        EXPECT_LE(t->PriceShift(), 2);
        EXPECT_GE(t->ReqSShift(), 0);
        EXPECT_GT(t->Descriptor(tlb::cvDozeV).Step.int64, 0);
        EXPECT_GT(t->Descriptor(tlb::cvReqS).Step.int64, 0);
        t->Remove();
    }
}

TEST_F(Tork46Ff, FFStatusRowsAndExceptionHold) {
    TTorkFF* t = Ready<TTorkFF>(2, 90, 12);
    ASSERT_TRUE(t);
    const std::pair<uint8_t, int32_t> rows[] = {
        {0x01, 0}, {0x05, 0}, {0x08, 80}, {0x0C, 80},  {0x20, 1},
        {0x22, 7}, {0x60, 1}, {0x11, 0},  {0x02, 177}, {0x21, 177},
    };
    for (auto [status, state] : rows) {
        SCOPED_TRACE("status 0x" + zrnsim::ByteToNibbles(status));
        controller_->SetStatusOverride(status);
        t->ReReadVarValue(tlb::cvCurrentV);
        EXPECT_EQ(t->GetState(), state);
    }
    controller_->SetStatusOverride(std::nullopt);
    t->ReReadVarValue(tlb::cvCurrentV);
    ASSERT_EQ(t->GetState(), 0);

    // An exception found on a state change holds 177 on every answer until it reads 0.
    controller_->SetParam(128, 3);
    controller_->SetStatusOverride(0x08);
    t->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(t->GetState(), 177);
    EXPECT_EQ(t->VarValue(tlb::cvException), 3 * U);
    controller_->SetStatusOverride(std::nullopt);
    for (uint8_t code : {tlb::cvCurrentV, tlb::cvTotalV, tlb::cvCurrentV}) {
        t->ReReadVarValue(code);
        EXPECT_EQ(t->GetState(), 177);
    }
    controller_->SetParam(128, 0);
    t->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(t->GetState(), 0);
    EXPECT_EQ(t->VarValue(tlb::cvException), 0);

    // After a comm error the exception and the identity are looked at; "??" is family 90.
    t->SetStateValue(169, plat::NowLocal());
    t->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(t->GetState(), 0);
    EXPECT_EQ(t->LinkState(), LINK_OK);
    controller_->SetParam(149, 13);
    t->SetStateValue(169, plat::NowLocal());
    t->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(t->LinkState(), LINK_FAILED);
}

TEST_F(Tork46Ff, FFExceptionOfAnIdlePostIsShownWithoutAStatusChange) {
    TTorkFF* t = Ready<TTorkFF>(2, 90, 12);
    ASSERT_TRUE(t);
    StepUntil([&] { return ItemState(2) == 0; }, 20);
    ASSERT_EQ(ItemState(2), 0);
    controller_->SetParam(128, 3);  // the status stays idle
    StepUntil([&] { return ItemState(2) == 177; });
    EXPECT_EQ(t->VarValue(tlb::cvException), 3 * U);
    EXPECT_EQ(ItemState(2), 177);
    controller_->SetParam(128, 0);
    StepUntil([&] { return ItemState(2) == 0; });
    EXPECT_EQ(ItemState(2), 0);
}

TEST_F(Tork46Ff, FFInputsReqSAndSettingsOnTheWire) {
    TTorkFF* t = Ready<TTorkFF>(2, 90, 12);  // 129 = 0x12: ReqS shift 1; 130 = 1
    ASSERT_TRUE(t);
    struct Inputs {
        uint8_t byte;
        int overfill, trap, earth, handle;
    };
    for (const Inputs& in :
         {Inputs{0x3A, 1, 1, 1, 1}, Inputs{0x10, 0, 1, 0, 2}, Inputs{0x00, 0, 0, 0, 0}}) {
        SCOPED_TRACE(int(in.byte));
        controller_->SetParam(176, in.byte);
        t->ReReadVarValue(tlb::cvEarthed);
        EXPECT_EQ(t->VarValue(tlb::cvOverFill), in.overfill * U);
        EXPECT_EQ(t->VarValue(tlb::cvTrapState), in.trap * U);
        EXPECT_EQ(t->VarValue(tlb::cvEarthed), in.earth * U);
        EXPECT_EQ(t->VarValue(tlb::cvHandleState), in.handle * U);
    }

    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvReqS, 123400), 0);  // 12.34 = 1.234 x 10
    EXPECT_EQ(t->SetVarValue(tlb::cvFullUp, 1234 * U), 0);
    EXPECT_EQ(t->SetVarValue(tlb::cvUSSWaitTime, 42 * U), 0);
    EXPECT_EQ(Wire(2), (std::vector<std::string>{W(27, 0x12), W(28, 0x34), W(112, 0x12),
                                                 W(113, 0x34), W(108, 0x42)}));
    for (uint8_t code : {tlb::cvReqS, tlb::cvFullUp, tlb::cvUSSWaitTime}) {
        t->SetVarRaw(code, LQ_FRESH, plat::NowLocal(), 0);
        t->ReReadVarValue(code);
    }
    EXPECT_EQ(t->VarValue(tlb::cvReqS), 123400);
    EXPECT_EQ(t->VarValue(tlb::cvFullUp), 1234 * U);
    EXPECT_EQ(t->VarValue(tlb::cvUSSWaitTime), 42 * U);
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvReqS, 100 * U), plat::OPC_E_RANGE) << "10.000 x 10";
    EXPECT_EQ(t->SetVarValue(tlb::cvUSSWaitTime, 108 * U), plat::OPC_E_RANGE) << "one pair";
    EXPECT_EQ(t->SetVarValue(tlb::cvLiterPrice, U), -3);
    EXPECT_TRUE(Wire(2).empty());
    EXPECT_EQ(t->SetVarValue(tlb::cvAddress, 9 * U), 0);
    EXPECT_EQ(Wire(2), (std::vector<std::string>{W(96, 9)}));
    EXPECT_EQ(t->LinkState(), LINK_REGISTER);
}

TEST_F(Tork46Ff, FFDoseDigits) {
    TTorkFF* t = Ready<TTorkFF>(2, 90, 12);  // volume shift 1
    ASSERT_TRUE(t);
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvDozeV, 1234000), 0);
    EXPECT_EQ(Wire(2), (std::vector<std::string>{"d01234", "s"}));
    station_->ClearRequests();
    EXPECT_EQ(t->ApplyDose(), 0);
    EXPECT_EQ(Wire(2), (std::vector<std::string>{"d001234"})) << "one integer digit more";

    // The descriptor reaches 2000 x 10, the dose write carries 3 + 1 integer digits.
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvDozeV, 15000 * U), plat::OPC_E_RANGE);
    EXPECT_TRUE(Wire(2).empty()) << "refused, not sent cut";
    EXPECT_EQ(t->VarValue(tlb::cvDozeV), 1234000);
}

TEST_F(Tork46Ff, ClientRequestsDriveAnFF) {
    TTorkFF* t = Ready<TTorkFF>(6, 90, 12);
    ASSERT_TRUE(t);
    controller_->SetFlowRate(U);
    EXPECT_EQ(Write(6, "DozeV", 300), 0);
    StepUntil([&] { return ItemState(6) == 0; }, 20);
    station_->ClearRequests();
    EXPECT_EQ(Write(6, "State", 1), 0);
    auto wire = Wire(6);
    auto d = std::find(wire.begin(), wire.end(), "d03000");
    ASSERT_NE(d, wire.end());
    EXPECT_EQ(std::count(d, wire.end(), "s"), 0);
    StepUntil([&] { return ItemState(6) == 1; }, 20);
    ASSERT_EQ(ItemState(6), 1);
    station_->ClearRequests();
    EXPECT_EQ(Write(6, "State", 1), 0) << "already waiting for the key";
    auto commands = Commands(6);
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                            [](const std::string& c) { return c == "d" || c == "u"; }),
              0)
        << "nothing sent";

    controller_->PressKey();
    StepUntil([&] { return ItemState(6) == 7; }, 20);
    ASSERT_EQ(ItemState(6), 7);
    EXPECT_EQ(Write(6, "State", 80), 0);
    StepUntil([&] { return ItemState(6) == 80; }, 20);
    EXPECT_EQ(ItemState(6), 80);
    station_->ClearRequests();
    EXPECT_EQ(Write(6, "State", 1), 0);
    commands = Commands(6);
    EXPECT_NE(std::find(commands.begin(), commands.end(), "u"), commands.end());
    StepUntil([&] { return ItemState(6) == 7; }, 20);
    EXPECT_EQ(ItemState(6), 7);

    // The controller pauses by itself: its reasons are read.
    ASSERT_TRUE(controller_->Pause(0x02));
    StepUntil([&] { return ItemState(6) == 80; }, 20);
    EXPECT_EQ(t->VarValue(tlb::cvOverFill), U);
    controller_->Stop();
    StepUntil([&] { return ItemState(6) == 0; }, 400);
    ASSERT_EQ(ItemState(6), 0);
    EXPECT_EQ(Write(6, "State", 80), plat::OPC_E_RANGE);

    // The direct start from idle: to state 1 with the dose, then 'u'.
    station_->ClearRequests();
    EXPECT_EQ(Write(6, "State", 7), 0);
    commands = Commands(6);
    const auto dpos = std::find(commands.begin(), commands.end(), "d");
    ASSERT_NE(dpos, commands.end());
    EXPECT_NE(std::find(dpos, commands.end(), "u"), commands.end());
    StepUntil([&] { return ItemState(6) == 7; }, 20);
    EXPECT_EQ(ItemState(6), 7);
}
