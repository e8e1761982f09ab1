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

// --- TTork46: definition ------------------------------------------------------------------------

TEST_F(Tork46Ff, ConfigurationBytesDecideShiftsFeaturesAndRanges) {
    struct Row {
        int address, family, version;
        uint8_t c33, c35, c36, c37;
        int volume_shift, price_shift;
        bool mass, temperature, fine, side_post, calib;
        int64_t dose_max, dose_step, current_w_max, price_step, full_up_max, uss_max;
        uint8_t full_up_param;
    };
    const Row rows[] = {
        // Mass, one volume decimal, price in tenths, calibration offered.
        {1,     46,    105,  0x04,     0x02, 0x40,     0x40, 1,      1,        true, true,
         false, false, true, 99999000, 1000, 99999000, 1000, 99 * U, 9999 * U, 125},
        // Side post, no temperature, volume and price in whole units.
        {2,     47,   106,   0x20,      0x0C, 0x00, 0x20, 2,      2,        false, false,
         false, true, false, 99999 * U, 1000, 0,    U,    99 * U, 9999 * U, 125},
        // Bits 2..3 = 11 is no mass; two decimals everywhere.
        {3,     20,    101,  0x0C,    0x00, 0x40, 0x00, 0,      0,        false, true,
         false, false, true, 9999900, 100,  0,    100,  99 * U, 9999 * U, 125},
        // Mass at shift 0: the common CurrentW.
        {4,     20,    104,   0x04,    0x00, 0x00,        0x00, 0,      0,        true, true,
         false, false, false, 9999900, 100,  1000000 * U, 100,  99 * U, 9999 * U, 125},
        // Family 90: one decimal whatever 37 says, two FullUp pairs, one time-out pair, fine
        // temperature.
        {5,    90,    2,     0x00,     0x00, 0x00, 0x20, 1,        0,      false, true,
         true, false, false, 99999000, 1000, 0,    100,  9900 * U, 99 * U, 112},
    };
    for (const Row& r : rows) {
        zrnsim::Controller* c = station_->Add(r.address, r.family, r.version);
        ASSERT_TRUE(c);
        c->SetParam(33, r.c33);
        c->SetParam(35, r.c35);
        c->SetParam(36, r.c36);
        c->SetParam(37, r.c37);
    }
    for (const Row& r : rows) {
        SCOPED_TRACE("family " + std::to_string(r.family) + " version " +
                     std::to_string(r.version));
        TTork46* t = Probe(r.address);
        ASSERT_TRUE(t);
        EXPECT_EQ(t->LinkState(), LINK_OK);
        EXPECT_EQ(t->VolumeShift(), r.volume_shift);
        EXPECT_EQ(t->PriceShift(), r.price_shift);
        EXPECT_TRUE(t->HasMoney());
        EXPECT_EQ(t->HasMass(), r.mass);
        EXPECT_EQ(t->HasTemperature(), r.temperature);
        EXPECT_EQ(t->FineTemperature(), r.fine);
        EXPECT_EQ(t->SidePost(), r.side_post);
        EXPECT_FALSE(t->DoseStoreOnly());
        for (const char* always :
             {"State", "DozeV", "CurrentV", "TotalV", "Inspector", "Productivity", "FullUp",
              "FullDown", "USSTimeout", "ControllerVersion", "FirmwareVersion", "PriceV", "DozeM",
              "CurrentM"})
            EXPECT_TRUE(Has(r.address, always)) << always;
        for (const char* never : {"Address", "StateWithFlags", "OverFill", "Earthed", "HandleState",
                                  "TrapState", "AirValveTime", "CalibW"})
            EXPECT_FALSE(Has(r.address, never)) << never;
        for (const char* m : {"LabDensity", "LabTemperature", "CurrentW", "TotalW"})
            EXPECT_EQ(Has(r.address, m), r.mass) << m;
        EXPECT_EQ(Has(r.address, "Temperature"), r.temperature);
        EXPECT_EQ(Has(r.address, "CalibV"), r.calib);
        EXPECT_EQ(t->Descriptor(tlb::cvDozeV).MaxValue.int64, r.dose_max);
        EXPECT_EQ(t->Descriptor(tlb::cvDozeV).Step.int64, r.dose_step);
        EXPECT_EQ(t->Descriptor(tlb::cvCurrentV).Step.int64, r.volume_shift == 1   ? 1000
                                                             : r.volume_shift == 2 ? U
                                                                                   : 100);
        if (r.mass) {
            EXPECT_EQ(t->Descriptor(tlb::cvCurrentW).MaxValue.int64, r.current_w_max);
        }
        EXPECT_EQ(t->Descriptor(tlb::cvLiterPrice).Step.int64, r.price_step);
        EXPECT_EQ(t->Descriptor(tlb::cvFullUp).MaxValue.int64, r.full_up_max);
        EXPECT_EQ(t->Descriptor(tlb::cvFullDown).MaxValue.int64, r.full_up_max);
        EXPECT_EQ(t->Descriptor(tlb::cvUSSWaitTime).MaxValue.int64, r.uss_max);
        if (r.temperature) {
            EXPECT_EQ(t->Descriptor(tlb::cvTemperature).Step.int64, r.fine ? 100 : U);
        }
        EXPECT_EQ(t->GetState(), 0);

        // The counters follow the shift: the simulated controller counts with 2 - shift decimals.
        controller_ = station_->Find(r.address);
        controller_->SetTotalV(1234567 * 100);  // 12345.67
        t->ReReadVarValue(tlb::cvTotalV);
        const int64_t drop = r.volume_shift == 0 ? 1 : r.volume_shift == 1 ? 1000 : U;
        EXPECT_EQ(t->VarValue(tlb::cvTotalV), 1234567 * 100 / drop * drop);
        station_->ClearRequests();
        t->ReReadVarValue(tlb::cvFullUp);
        EXPECT_EQ(Wire(r.address).front(), "X" + zrnsim::ByteToNibbles(r.full_up_param));
    }
}

TEST_F(Tork46Ff, SilentConfigurationByteStillDefinesTheRest) {
    zrnsim::Controller* c = station_->Add(4, 46, 105);
    c->SetParam(33, 0x04);
    zrnsim::Faults f;
    f.silent = true;
    f.count = 3;  // every attempt at parameter 33, the first definition read
    c->SetFaults(f);
    ComPtr<TTork46> t =
        TBasicTork::Make<TTork46>(TorkCreateArgs{thread_.get(), 4, 46, 105, plat::NowLocal()});
    EXPECT_EQ(t->LinkState(), LINK_FAILED) << "the object is made again";
    for (uint8_t code : {tlb::cvDozeV, tlb::cvCurrentV, tlb::cvTotalV, tlb::cvCalibV,
                         tlb::cvUSSWaitTime, tlb::cvFullUp, tlb::cvTemperature})
        EXPECT_TRUE(t->HasVar(code)) << int(code);
    for (uint8_t code : {tlb::cvLiterPrice, tlb::cvDozeM, tlb::cvCurrentM, tlb::cvLabDensity,
                         tlb::cvCurrentW, tlb::cvTotalW})
        EXPECT_FALSE(t->HasVar(code)) << int(code);
    t->Remove();

    // Through the poll thread the post comes back whole once the byte answers.
    TTork46* again = Probe(4);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->HasMass());
    EXPECT_TRUE(again->HasVar(tlb::cvLiterPrice));
}

// --- TTork46: status and identity ---------------------------------------------------------------

TEST_F(Tork46Ff, StatusRowsAndFaultingConfiguration) {
    TTork46* t = Ready(2, 46, 105);
    ASSERT_TRUE(t);
    const std::pair<uint8_t, int32_t> rows[] = {
        {0x01, 0}, {0x11, 1}, {0x05, 80},  {0x08, 80},  {0x20, 1},   {0x22, 7},
        {0x60, 1}, {0x81, 0}, {0x02, 177}, {0x0C, 177}, {0x21, 177},
    };
    for (auto [status, state] : rows) {
        SCOPED_TRACE("status 0x" + zrnsim::ByteToNibbles(status));
        controller_->SetStatusOverride(status);
        t->ReReadVarValue(tlb::cvCurrentV);
        EXPECT_EQ(t->GetState(), state);
    }

    // Configuration bits the service cannot serve fault the post on every answer.
    const std::pair<int, int> faulting[] = {{33, 0x02}, {35, 0x01}, {35, 0x20}, {37, 0x08},
                                            {37, 0x80}, {37, 0x10}, {37, 0x02}};
    int address = 10;
    for (auto [param, value] : faulting) {
        SCOPED_TRACE("parameter " + std::to_string(param) + " = " + std::to_string(value));
        TTork46* f = Ready(++address, 46, 105, {{param, value}});
        ASSERT_TRUE(f);
        for (int i = 0; i < 3; ++i) {
            f->ReReadVarValue(i == 1 ? tlb::cvTotalV : tlb::cvCurrentV);
            EXPECT_EQ(f->GetState(), 177);
        }
        EXPECT_EQ(f->LinkState(), LINK_OK);
    }
}

TEST_F(Tork46Ff, IdentityAfterCommError) {
    struct Case {
        const char* what;
        int family, version;
        uint8_t param, value;
        uint8_t link;
    };
    const Case cases[] = {
        {"unchanged family 90 answers ??", 90, 2, 149, 2, LINK_OK},
        {"firmware moved", 46, 105, 149, 106, LINK_FAILED},
        {"family moved", 46, 105, 148, 0x47, LINK_FAILED},
        {"configuration 36 is not compared", 47, 106, 36, 0x08, LINK_OK},
    };
    int address = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TTork46* t = Ready(++address, c.family, c.version);
        ASSERT_TRUE(t);
        controller_->SetParam(c.param, c.value);
        t->SetStateValue(169, plat::NowLocal());
        t->ReReadVarValue(tlb::cvCurrentV);
        EXPECT_EQ(t->LinkState(), c.link);
        EXPECT_EQ(t->GetState(), c.link == LINK_OK ? 0 : 169);
    }
}

// --- TTork46: settings and values on the wire ---------------------------------------------------

TEST_F(Tork46Ff, DoseGoesOutAtOnceShiftedByTheVolumeShift) {
    struct Case {
        uint8_t c37;
        std::string dose;
    };
    // 123.4 as 3 + shift integer digits and 2 - shift decimals.
    const Case cases[] = {{0x00, "d12340"}, {0x40, "d01234"}, {0x20, "d00123"}};
    int address = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dose);
        TTork46* t = Ready(++address, 46, 105, {{37, c.c37}});
        ASSERT_TRUE(t);
        station_->ClearRequests();
        EXPECT_EQ(t->SetVarValue(tlb::cvDozeV, 1234000), 0);
        EXPECT_EQ(Wire(address), (std::vector<std::string>{c.dose, "s"}));
        EXPECT_FALSE(t->DoseOnlyStored());
    }
    TTork46* t = Ready(9, 46, 105);
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvDozeV, 1000 * U), plat::OPC_E_RANGE) << "above 999.99";
    EXPECT_TRUE(Wire(9).empty());
}

TEST_F(Tork46Ff, PriceAtEachPriceShift) {
    struct Case {
        uint8_t c35;
        int64_t price;
        std::string wire;
    };
    const Case cases[] = {{0x00, 1234 * 100, "c1234"},   // 12.34
                          {0x02, 4321 * 1000, "c4321"},  // 432.1
                          {0x04, 9876 * U, "c9876"}};
    int address = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wire);
        TTork46* t = Ready(++address, 46, 105, {{35, c.c35}});
        ASSERT_TRUE(t);
        station_->ClearRequests();
        EXPECT_EQ(t->SetVarValue(tlb::cvLiterPrice, c.price), 0);
        EXPECT_EQ(Wire(address), (std::vector<std::string>{c.wire}));
        EXPECT_EQ(controller_->Price(), c.price);
        t->SetVarRaw(tlb::cvLiterPrice, LQ_FRESH, plat::NowLocal(), 0);
        t->ReReadVarValue(tlb::cvLiterPrice);
        EXPECT_EQ(t->VarValue(tlb::cvLiterPrice), c.price) << "read back with 'C'";
    }
}

TEST_F(Tork46Ff, SettingsByPairCount) {
    // One pair of FullUp/FullDown, two of the time-out (46); the other way round (90).
    TTork46* t = Ready(2, 46, 105);
    ASSERT_TRUE(t);
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvFullUp, 50 * U), 0);
    EXPECT_EQ(t->SetVarValue(tlb::cvFullDown, 7 * U), 0);
    EXPECT_EQ(t->SetVarValue(tlb::cvUSSWaitTime, 108 * U), 0);
    EXPECT_EQ(Wire(2),
              (std::vector<std::string>{W(125, 0x50), W(126, 0x07), W(108, 0x01), W(109, 0x08)}));
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvFullUp, 150 * U), plat::OPC_E_RANGE) << "one pair holds 0..99";
    EXPECT_TRUE(Wire(2).empty()) << "refused before any exchange";
    for (uint8_t code : {tlb::cvFullUp, tlb::cvFullDown, tlb::cvUSSWaitTime}) {
        t->SetVarRaw(code, LQ_FRESH, plat::NowLocal(), 0);
        t->ReReadVarValue(code);
    }
    EXPECT_EQ(t->VarValue(tlb::cvFullUp), 50 * U);
    EXPECT_EQ(t->VarValue(tlb::cvFullDown), 7 * U);
    EXPECT_EQ(t->VarValue(tlb::cvUSSWaitTime), 108 * U);

    TTork46* n = Ready(3, 90, 3);
    ASSERT_TRUE(n);
    station_->ClearRequests();
    EXPECT_EQ(n->SetVarValue(tlb::cvFullUp, 1234 * U), 0);
    EXPECT_EQ(n->SetVarValue(tlb::cvUSSWaitTime, 42 * U), 0);
    EXPECT_EQ(n->SetVarValue(tlb::cvUSSWaitTime, 108 * U), plat::OPC_E_RANGE);
    EXPECT_EQ(Wire(3), (std::vector<std::string>{W(112, 0x12), W(113, 0x34), W(108, 0x42)}));
    n->SetVarRaw(tlb::cvFullUp, LQ_FRESH, plat::NowLocal(), 0);
    n->ReReadVarValue(tlb::cvFullUp);
    n->ReReadVarValue(tlb::cvUSSWaitTime);
    EXPECT_EQ(n->VarValue(tlb::cvFullUp), 1234 * U);
    EXPECT_EQ(n->VarValue(tlb::cvUSSWaitTime), 42 * U);
}

TEST_F(Tork46Ff, LaboratoryValuesAndTemperatures) {
    TTork46* t = Ready(2, 46, 105, {{33, 0x04}});
    ASSERT_TRUE(t);
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvLabTemperature, -52500), 0);
    EXPECT_EQ(t->SetVarValue(tlb::cvLabDensity, 8125), 0);
    EXPECT_EQ(Wire(2),
              (std::vector<std::string>{W(100, 0x85), W(101, 0x25), W(102, 0x81), W(103, 0x25)}));
    t->SetVarRaw(tlb::cvLabTemperature, LQ_FRESH, plat::NowLocal(), 0);
    t->SetVarRaw(tlb::cvLabDensity, LQ_FRESH, plat::NowLocal(), 0);
    t->ReReadVarValue(tlb::cvLabTemperature);
    t->ReReadVarValue(tlb::cvLabDensity);
    EXPECT_EQ(t->VarValue(tlb::cvLabTemperature), -52500);
    EXPECT_EQ(t->VarValue(tlb::cvLabDensity), 8125);

    // Hundredths .80 to .99 have bit 7 set in their BCD byte: it is a digit, not a sign.
    for (int64_t v : std::initializer_list<int64_t>{158500, -158500, 9900, -400000}) {
        SCOPED_TRACE(v);
        ASSERT_EQ(t->SetVarValue(tlb::cvLabTemperature, v), 0);
        t->SetVarRaw(tlb::cvLabTemperature, LQ_FRESH, plat::NowLocal(), 0);
        t->ReReadVarValue(tlb::cvLabTemperature);
        EXPECT_EQ(t->VarValue(tlb::cvLabTemperature), v);
    }
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvLabTemperature, 80 * U), plat::OPC_E_RANGE);
    EXPECT_TRUE(Wire(2).empty());

    TTork46* fine = Ready(3, 90, 1);
    ASSERT_TRUE(fine);
    controller_->SetTemperature(-158700);
    fine->ReReadVarValue(tlb::cvTemperature);
    EXPECT_EQ(fine->VarValue(tlb::cvTemperature), -158700);
    controller_->SetTemperature(219900);
    fine->ReReadVarValue(tlb::cvTemperature);
    EXPECT_EQ(fine->VarValue(tlb::cvTemperature), 219900);
    TTork46* coarse = Ready(4, 47, 106);
    ASSERT_TRUE(coarse);
    controller_->SetTemperature(-123400);
    coarse->ReReadVarValue(tlb::cvTemperature);
    EXPECT_EQ(coarse->VarValue(tlb::cvTemperature), -120000);
}

TEST_F(Tork46Ff, AddressWriteRecreatesAtTheNewAddress) {
    TTork46* t = Ready(3, 46, 105);
    ASSERT_TRUE(t);
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvAddress, 0), plat::OPC_E_RANGE);
    EXPECT_EQ(t->SetVarValue(tlb::cvAddress, 32 * U), plat::OPC_E_RANGE) << "not polled";
    EXPECT_TRUE(Wire(3).empty());
    EXPECT_EQ(t->SetVarValue(tlb::cvAddress, 9 * U), 0);
    EXPECT_EQ(Wire(3), (std::vector<std::string>{W(96, 9)}));
    EXPECT_EQ(t->LinkState(), LINK_REGISTER);
    EXPECT_EQ((thread_->RegisteredSet() >> 9) & 1u, 1u);
    EXPECT_TRUE(Probe(9));
    EXPECT_FALSE(thread_->GetDevice(3));
}

TEST_F(Tork46Ff, MassCountersComeFromTheController) {
    TTork46* t = Ready(2, 46, 105, {{33, 0x04}, {37, 0x40}});
    ASSERT_TRUE(t);
    controller_->SetTotalW(1000 * U);
    controller_->SetDensity(8000);
    ASSERT_EQ(t->SetVarValue(tlb::cvDozeV, 100 * U), 0);
    t->ReReadVarValue(tlb::cvCurrentV);
    ASSERT_EQ(t->GetState(), 0) << "'s' after the dose takes the arming back";
    ASSERT_EQ(t->SetState(1), 0);
    EXPECT_EQ(t->MassAtStart(), 1000 * U);
    controller_->PressKey();
    clock_->Advance(5000);  // 50 units
    station_->ClearRequests();
    t->ReReadVarValue(tlb::cvCurrentW);
    EXPECT_EQ(Commands(2), (std::vector<std::string>{"K"}));
    // 50 units and what flowed during the exchanges, at 0.8 per unit.
    EXPECT_NEAR(t->VarValue(tlb::cvCurrentW), 40 * U, U);
    t->ReReadVarValue(tlb::cvTotalW);
    EXPECT_NEAR(t->VarValue(tlb::cvTotalW), 1040 * U, U);
    EXPECT_NEAR(t->VarValue(tlb::cvTotalV), 50 * U, U);
}

// --- TTork46: the road of a request -------------------------------------------------------------

TEST_F(Tork46Ff, ClientRequestsDriveA46) {
    TTork46* t = Ready(6, 46, 105, {{37, 0x40}});
    ASSERT_TRUE(t);
    // A price below PriceV's range never reads as up to date, and a working post whose
    // variables stay out of date is paused: the station has its price set.
    controller_->SetPrice(2 * U);
    controller_->SetFlowRate(U);
    EXPECT_EQ(Write(6, "DozeV", 300), 0);
    StepUntil([&] { return ItemState(6) == 0; }, 20);
    station_->ClearRequests();
    EXPECT_EQ(Write(6, "State", 1), 0);
    auto wire = Wire(6);
    auto d = std::find(wire.begin(), wire.end(), "d03000");
    ASSERT_NE(d, wire.end());
    EXPECT_EQ(std::count(d, wire.end(), "s"), 0) << "the key starts it";
    StepUntil([&] { return ItemState(6) == 1; }, 20);
    EXPECT_EQ(ItemState(6), 1);
    EXPECT_EQ(Write(6, "State", 7), plat::OPC_E_RANGE) << "no direct start without side post";

    controller_->PressKey();
    StepUntil([&] { return ItemState(6) == 7; }, 20);
    ASSERT_EQ(ItemState(6), 7);
    station_->ClearRequests();
    EXPECT_EQ(Write(6, "State", 80), 0);
    auto commands = Commands(6);
    EXPECT_NE(std::find(commands.begin(), commands.end(), "s"), commands.end());
    StepUntil([&] { return ItemState(6) == 80; }, 20);
    EXPECT_EQ(ItemState(6), 80);
    station_->ClearRequests();
    EXPECT_EQ(Write(6, "State", 1), 0);
    commands = Commands(6);
    EXPECT_NE(std::find(commands.begin(), commands.end(), "u"), commands.end());
    StepUntil([&] { return ItemState(6) == 7; }, 20);
    EXPECT_EQ(ItemState(6), 7);
    EXPECT_EQ(Write(6, "State", 0), plat::OPC_E_RANGE);
    EXPECT_EQ(Write(6, "State", 1), plat::OPC_E_RANGE) << "start while working";

    // With the side post bit the direct start runs the base's road to the dose.
    TTork46* side = Ready(7, 47, 106, {{33, 0x20}});
    ASSERT_TRUE(side);
    EXPECT_EQ(Write(7, "DozeV", 20), 0);
    StepUntil([&] { return ItemState(7) == 0; }, 20);
    station_->ClearRequests();
    EXPECT_EQ(Write(7, "State", 7), 0);
    wire = Wire(7);
    EXPECT_EQ(std::count(wire.begin(), wire.end(), "d02000"), 2) << "to state 1, then ApplyDose";
    EXPECT_EQ(std::count(wire.begin(), wire.end(), "s"), 0);
}

TEST_F(Tork46Ff, PriceOfZeroDoesNotPauseADelivery) {
    TTork46* t = Ready(6, 46, 105, {{37, 0x40}});
    ASSERT_TRUE(t);
    // The controller's price reads 0, below what a client may write.
    ASSERT_EQ(controller_->Price(), 0);
    controller_->SetFlowRate(U / 10);
    EXPECT_EQ(Write(6, "DozeV", 300), 0);
    StepUntil([&] { return ItemState(6) == 0; }, 20);
    EXPECT_EQ(Write(6, "State", 1), 0) << "a start is not refused as stale either";
    StepUntil([&] { return ItemState(6) == 1; }, 20);
    controller_->PressKey();
    StepUntil([&] { return ItemState(6) == 7; }, 20);
    ASSERT_EQ(ItemState(6), 7);
    station_->ClearRequests();
    const DATE until = plat::NowLocal() + 10.0 / 86400.0;
    for (int i = 0; i < 2000 && plat::NowLocal() < until; ++i) thread_->PollStep();
    EXPECT_GE(plat::NowLocal(), until);
    EXPECT_EQ(ItemState(6), 7) << "still delivering";
    const auto commands = Commands(6);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "s"), 0) << "never paused";
    EXPECT_EQ(t->Var(tlb::cvLiterPrice)->GetQuality(), OPC_QUALITY_EGU_EXCEEDED)
        << "read, and outside the limits";
}

// --- removal ------------------------------------------------------------------------------------

TEST_F(Tork46Ff, RemovingAWaitingPostDoesNotWaitForARefusedStop) {
    controller_ = station_->Add(3, 46, 105);
    ComPtr<TTork46> t =
        TBasicTork::Make<TTork46>(TorkCreateArgs{thread_.get(), 3, 46, 105, plat::NowLocal()});
    ASSERT_EQ(t->LinkState(), LINK_OK);
    t->ReReadVarValue(tlb::cvCurrentV);
    ASSERT_EQ(t->SetVarValue(tlb::cvDozeV, 50 * U), 0);
    t->ReReadVarValue(tlb::cvCurrentV);
    ASSERT_EQ(t->SetState(1), 0);
    t->ReReadVarValue(tlb::cvCurrentV);
    ASSERT_EQ(t->GetState(), 1);
    ASSERT_EQ(t->SetState(0), plat::OPC_E_RANGE) << "these classes take no stop request";
    station_->ClearRequests();
    t->Remove();
    const auto commands = Commands(3);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "D"), 0)
        << "no re-reads for five seconds after a refused stop";
}

// --- one real line with the three kinds of controller ---------------------------------------

TEST(Tork46FfPty, ProbeMakesEachClassAndRequestsReachTheWire) {
    testsupport::TempRoot root;
    ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters",
                                     "PROTOCOL=4 PORT=CUST COM13=ZRN9600 SHIFT13=40"),
              plat::ERROR_SUCCESS);
    InitProtocol(kDrvKey, "Parameters");
    InitNameSpace();
    auto station = std::make_shared<zrnsim::Station>();
    station->Add(1, 40, 74);
    zrnsim::Controller* c46 = station->Add(2, 46, 105);
    c46->SetParam(37, 0x40);  // one volume decimal; 33 answers: money
    c46->SetPrice(2 * U);
    zrnsim::Controller* cff = station->Add(3, 90, 12);
    testsupport::PtyPair pty(13);
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
        return FindLeafID("Post41.AirValveTime") != -1 && FindLeafID("Post42.PriceV") != -1 &&
               FindLeafID("Post43.Exception") != -1 && FindLeafID("Post43.ReqS") != -1;
    }));
    EXPECT_EQ(FindLeafID("Post42.Exception"), -1);
    EXPECT_EQ(FindLeafID("Post43.PriceV"), -1);
    auto s42 = leaf("Post42.State"), s43 = leaf("Post43.State");
    ASSERT_TRUE(s42 && s43);
    ASSERT_TRUE(wait_for([&] { return s42->PeekValue().lVal == 0 && s43->PeekValue().lVal == 0; }));

    EXPECT_EQ(CmdWait(leaf("Post42.PriceV")->Write(Variant::R8(12.5), 0, 0, 1033)), 0);
    EXPECT_TRUE(sent(2, "c1250"));
    EXPECT_EQ(c46->Price(), 125000);
    EXPECT_EQ(CmdWait(leaf("Post42.DozeV")->Write(Variant::R8(3.5), 0, 0, 1033)), 0);
    EXPECT_TRUE(sent(2, "d00035"));
    EXPECT_EQ(CmdWait(s42->Write(Variant::I4(1), 0, 0, 1033)), 0);
    EXPECT_TRUE(wait_for([&] { return s42->PeekValue().lVal == 1; })) << "waits for the key";
    EXPECT_EQ(c46->GetState(), zrnsim::State::WaitingKey);

    EXPECT_EQ(CmdWait(leaf("Post43.DozeV")->Write(Variant::R8(2), 0, 0, 1033)), 0);
    EXPECT_TRUE(sent(3, "d00020"));
    EXPECT_EQ(CmdWait(s43->Write(Variant::I4(7), 0, 0, 1033)), 0);
    EXPECT_TRUE(sent(3, "u"));
    EXPECT_TRUE(wait_for([&] {
        const int32_t s = s43->PeekValue().lVal;
        return s == 7 || cff->GetState() == zrnsim::State::Idle;
    })) << "the direct start set it working";

    c46->Stop();
    cff->Stop();
    EXPECT_TRUE(wait_for([&] { return s42->PeekValue().lVal == 0 && s43->PeekValue().lVal == 0; }));
    StopPorts();
    runner.Stop();
    DoneNameSpace();
    DoneProtocol();
}
