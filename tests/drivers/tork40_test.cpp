#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/time/clock.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/controllers/PollThread.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/EmulatorTable.h"
#include "service/core/ports/PortManager.h"
#include "service/drivers/TRK40.h"
#include "service/drivers/TRKX.h"
#include "tests/drivers/Tork40Fixture.h"
#include "tests/support/InstallDrivers.h"
#include "tests/support/SimulatedPort.h"
#include "tests/support/TempRoot.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

using namespace drv;
using namespace drvtest;
using plat::Variant;

// --- definition ---------------------------------------------------------------------------------

TEST_F(Tork40, ProgramAndConfigurationDecideFeaturesParametersAndItems) {
    struct Row {
        int address, family, version;
        uint8_t c36, c37, c47;
        bool temp, fine, earth, trap, handle, mass, air;
        uint8_t calib_v, total_v, air_time, full_down, temperature, addr_param;
        int dose_digits;
    };
    const Row rows[] = {
        // Newest 40: everything offered, fine temperature, air valve moved to 98.
        {1,    40,   74,   0x00, 0x40, 0,  true, true, true, true,
         true, true, true, 77,   48,   98, 88,   96,   86,   6},
        // From 68 the arm follows Config37 bit 5; mass needs bit 6.
        {2,     40,    72,   0x00, 0x20, 0,  true, false, true, true,
         false, false, true, 77,   48,   97, 88,   96,    86,   6},
        // 66 and 67: the arm follows Config47 bit 0; old map, no mass whatever Config37 says.
        {3,     40,    66,   0x00, 0x40, 0x01, true, false, true, true,
         false, false, true, 57,   40,   80,   65,   75,    63,   6},
        {4,    40,    67,   0x00, 0x00, 0x00, true, false, true, true,
         true, false, true, 57,   40,   80,   65,   75,    63,   6},
        // Config36 bits 0..3 switch off earthing, gangway, arm and temperature.
        {5,     40,    58,   0x0F, 0x40, 0,  false, false, false, false,
         false, false, true, 57,   40,   80, 65,    75,    63,    6},
        // Before 19 the dose has five digits.
        {6,    40,    5,    0x00, 0x00, 0,  true, false, true, true,
         true, false, true, 57,   40,   80, 65,   75,    63,   5},
        // Family 41: earthing only, FullDown at 89.
        {7,     41,    4,     0x00, 0x40, 0,  false, false, true, false,
         false, false, false, 77,   48,   97, 89,    96,    86,   5},
        {8,     41,    4,     0x01, 0x00, 0,  false, false, false, false,
         false, false, false, 77,   48,   97, 89,    96,    86,    5},
    };
    for (const Row& r : rows) {
        zrnsim::Controller* c = station_->Add(r.address, r.family, r.version);
        ASSERT_TRUE(c);
        c->SetParam(36, r.c36);
        c->SetParam(37, r.c37);
        c->SetParam(47, r.c47);
    }
    for (const Row& r : rows) {
        SCOPED_TRACE("family " + std::to_string(r.family) + " version " +
                     std::to_string(r.version));
        TTork40* t = Probe(r.address);
        ASSERT_TRUE(t);
        const auto& f = t->GetFeatures();
        EXPECT_EQ(f.temperature, r.temp);
        EXPECT_EQ(f.fine_temperature, r.fine);
        EXPECT_EQ(f.earth, r.earth);
        EXPECT_EQ(f.trap, r.trap);
        EXPECT_EQ(f.handle, r.handle);
        EXPECT_EQ(f.mass, r.mass);
        EXPECT_EQ(f.air_valve, r.air);
        EXPECT_EQ(t->Params().calib_v, r.calib_v);
        EXPECT_EQ(t->Params().total_v, r.total_v);
        EXPECT_EQ(t->Params().air_time, r.air_time);
        EXPECT_EQ(t->Params().full_down, r.full_down);
        EXPECT_EQ(t->Params().temperature, r.temperature);
        EXPECT_EQ(t->Params().address, r.addr_param);
        EXPECT_EQ(t->DoseDigits(), r.dose_digits);
        EXPECT_TRUE(t->DoseStoreOnly());

        for (const char* always :
             {"State", "DozeV", "CurrentV", "TotalV", "CalibV", "Inspector", "OverFill", "FullUp",
              "FullDown", "USSTimeout", "ControllerVersion", "FirmwareVersion", "StateWithFlags",
              "Address", "Productivity"})
            EXPECT_TRUE(Has(r.address, always)) << always;
        EXPECT_EQ(Has(r.address, "Temperature"), r.temp);
        EXPECT_EQ(Has(r.address, "Earthed"), r.earth);
        EXPECT_EQ(Has(r.address, "TrapState"), r.trap);
        EXPECT_EQ(Has(r.address, "HandleState"), r.handle);
        EXPECT_EQ(Has(r.address, "AirValveTime"), r.air);
        for (const char* m : {"TotalW", "CalibW", "CurrentW"})
            EXPECT_EQ(Has(r.address, m), r.mass) << m;
        if (r.temp) {
            EXPECT_EQ(t->Descriptor(tlb::cvTemperature).Step.int64, r.fine ? 1000 : 10000);
        }
        EXPECT_EQ(t->Descriptor(tlb::cvAddress).MaxValue.int64, 15 * 10000);
        EXPECT_EQ(t->Descriptor(tlb::cvDozeV).MaxValue.int64, 999999LL * 10000);
        EXPECT_EQ(t->Descriptor(tlb::cvFullUp).MaxValue.int64, 999LL * 10000);
        EXPECT_EQ(t->poll_kind.load(), r.family == 41 ? 6 : 7);
        EXPECT_EQ(t->GetState(), 0) << "the post answers and is idle";
    }
}

TEST_F(Tork40, Version8TalksInTheLowChecksumMode) {
    TTork40* t = Ready(3, 40, 8);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->ExchangeMode(), kModeChecksumLow1);
    EXPECT_EQ(t->GetState(), 0);
    EXPECT_EQ(t->LinkState(), LINK_OK);
    EXPECT_TRUE(t->GetFeatures().handle);
}

TEST_F(Tork40, FailedDefinitionReadLeavesNoVariables) {
    zrnsim::Controller* c = station_->Add(4, 40, 74);
    // The configuration bytes go unanswered.
    zrnsim::Faults f;
    f.silent = true;
    c->SetFaults(f);
    TorkCreateArgs args{thread_.get(), 4, 40, 74, plat::NowLocal()};
    ComPtr<TTork40> t = TBasicTork::Make<TTork40>(args);
    EXPECT_EQ(t->LinkState(), LINK_FAILED);
    EXPECT_FALSE(t->HasVar(tlb::cvDozeV));
    EXPECT_FALSE(t->HasVar(tlb::cvFirmwareVersion));
    t->Remove();
}

// --- status and identity -----------------------------------------------------------------------

TEST_F(Tork40, EveryStatusRowGivesItsState) {
    TTork40* t = Ready(2);
    ASSERT_TRUE(t);
    struct Row {
        uint8_t status;
        int32_t state;
        int earthed;
    };
    const Row rows[] = {
        {0x01, 0, 0}, {0x02, 7, 0}, {0x05, 80, 0},  {0x08, 80, 0}, {0x20, 1, 0},
        {0x22, 7, 0}, {0x60, 1, 0}, {0x31, 177, 1},  // 0x21 after masking: no row
        {0x30, 1, 1}, {0x11, 0, 1}, {0x0C, 177, 0}, {0x81, 0, 0},  {0x71, 177, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("status 0x" + zrnsim::ByteToNibbles(r.status));
        controller_->SetStatusOverride(r.status);
        t->ReReadVarValue(tlb::cvCurrentV);
        EXPECT_EQ(t->GetState(), r.state);
        EXPECT_EQ(t->LastReportedState(), r.state);
        EXPECT_EQ(t->VarValue(tlb::cvEarthed), r.earthed * 10000)
            << "Earthed is 0 or 1, never the bit's mask";
        EXPECT_EQ(t->LinkState(), LINK_OK);
    }
}

TEST_F(Tork40, IdentityMismatchAfterCommErrorRecreatesTheObject) {
    struct Case {
        const char* what;
        uint8_t param, value;
        uint8_t link;
    };
    const Case cases[] = {
        {"firmware version", 149, 75, LINK_FAILED},
        {"family", 148, 0x42, LINK_FAILED},
        {"configuration byte 36", 36, 0x08, LINK_REGISTER},
    };
    int address = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TTork40* t = Ready(++address);
        ASSERT_TRUE(t);
        // An answer after a comm error with an unchanged controller keeps the object.
        t->SetStateValue(169, plat::NowLocal());
        t->ReReadVarValue(tlb::cvCurrentV);
        EXPECT_EQ(t->LinkState(), LINK_OK);
        EXPECT_EQ(t->GetState(), 0);

        controller_->SetParam(c.param, c.value);
        t->ReReadVarValue(tlb::cvCurrentV);
        EXPECT_EQ(t->LinkState(), LINK_OK) << "identity is checked only after a comm error";
        t->SetStateValue(169, plat::NowLocal());
        t->ReReadVarValue(tlb::cvCurrentV);
        EXPECT_EQ(t->LinkState(), c.link);
        EXPECT_EQ(t->GetState(), 169) << "a post being recreated keeps its state";
        thread_->PollStep();
        EXPECT_FALSE(thread_->GetDevice(address)) << "the poll thread removed it at once";
        EXPECT_EQ((thread_->RegisteredSet() >> address) & 1u, c.link == LINK_REGISTER ? 1u : 0u);
    }
}

// --- settings on the wire ----------------------------------------------------------------------

TEST_F(Tork40, CalibrationWritesMiddlePairFirstThenReadsBack) {
    TTork40* t = Ready(3);
    ASSERT_TRUE(t);
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvCalibV, 5000), 0);  // 0.5: no hundreds pair
    EXPECT_EQ(Wire(3), (std::vector<std::string>{W(78, 0x05), W(77, 0x00), W(79, 0x00), R(77),
                                                 R(78), R(79)}));
    EXPECT_EQ(t->VarValue(tlb::cvCalibV), 5000);

    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvCalibV, 123456), 0);  // 12.3456 -> 12.346
    EXPECT_EQ(Wire(3), (std::vector<std::string>{W(78, 0x23), W(77, 0x01), W(79, 0x46), R(77),
                                                 R(78), R(79)}));
    EXPECT_EQ(t->VarValue(tlb::cvCalibV), 123460);

    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvCalibW, 9990), 0);  // 0.999, mass factor from 80
    EXPECT_EQ(Wire(3), (std::vector<std::string>{W(81, 0x09), W(80, 0x00), W(82, 0x99), R(80),
                                                 R(81), R(82)}));

    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvCalibV, 1000LL * 10000), plat::OPC_E_RANGE)
        << "1000.000 has seven digits";
    EXPECT_EQ(t->SetVarValue(tlb::cvCalibV, -10000), plat::OPC_E_RANGE);
    EXPECT_TRUE(Wire(3).empty()) << "refused before any exchange";
}

TEST_F(Tork40, SettingsAreWrittenOnlyToAnIdlePost) {
    TTork40* t = Ready(6);
    ASSERT_TRUE(t);
    auto calib = GetItemAs<TLeafItem>(FindLeafID("Post6.CalibV"));
    ASSERT_TRUE(calib);
    auto write = [&](int units) {
        const int32_t id = calib->Write(Variant::I4(units), 0, 0, 1033);
        EXPECT_TRUE(IsCmdID(id));
        StepUntil([&] { return !IsCmdID(CmdQuery(id)); }, 50);
        return CmdQuery(id);
    };
    auto parameter_writes = [&] {
        const auto commands = Commands(6);
        return std::count(commands.begin(), commands.end(), "x");
    };

    // A controller fault (177).
    controller_->SetStatusOverride(0x31);
    StepUntil([&] { return t->GetState() == 177; }, 20);
    ASSERT_EQ(t->GetState(), 177);
    station_->ClearRequests();
    EXPECT_EQ(write(2), -2);
    EXPECT_EQ(parameter_writes(), 0) << "nothing reached the wire in state 177";
    controller_->SetStatusOverride(std::nullopt);

    // Paused (80).
    t->SetVarValue(tlb::cvDozeV, 500 * 10000);
    StepUntil([&] { return t->GetState() == 0; }, 20);
    ASSERT_EQ(t->SetState(1), 0);
    controller_->PressKey();
    StepUntil([&] { return t->GetState() == 7; }, 20);
    ASSERT_EQ(t->SetState(80), 0);
    StepUntil([&] { return t->GetState() == 80; }, 20);
    ASSERT_EQ(t->GetState(), 80);
    station_->ClearRequests();
    EXPECT_EQ(write(3), -2);
    EXPECT_EQ(parameter_writes(), 0) << "nothing reached the wire in state 80";

    // Back at rest the same write goes out.
    controller_->Stop();
    StepUntil([&] { return t->GetState() == 0; }, 400);
    ASSERT_EQ(t->GetState(), 0);
    station_->ClearRequests();
    EXPECT_EQ(write(4), 0);
    EXPECT_GT(parameter_writes(), 0);
    EXPECT_EQ(t->VarValue(tlb::cvCalibV), 4 * 10000);
}

TEST_F(Tork40, TotalizerWriteUnlocksEveryPair) {
    TTork40* t = Ready(3);
    ASSERT_TRUE(t);
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvTotalV, 12345678LL * 10000), 0);
    const std::string unlock = "x6052";
    EXPECT_EQ(Wire(3), (std::vector<std::string>{unlock, W(48, 0x12), unlock, W(49, 0x34), unlock,
                                                 W(50, 0x56), unlock, W(51, 0x78), unlock,
                                                 W(52, 0x00), unlock, W(53, 0x00)}));
    EXPECT_EQ(controller_->TotalV(), 12345678LL * 10000) << "the controller took the new totalizer";
    t->ReReadVarValue(tlb::cvTotalV);
    EXPECT_EQ(Units(t, tlb::cvTotalV), 12345678);

    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvTotalV, 100000000LL * 10000), plat::OPC_E_RANGE);
    EXPECT_EQ(t->SetVarValue(tlb::cvTotalW, 5 * 10000), -3)
        << "no mass totalizer parameters are known";
    EXPECT_TRUE(Wire(3).empty());
}

TEST_F(Tork40, ClientWriteOfFullUpGoesOutAsTwoPairsAndIsReadBack) {
    TTork40* t = Ready(3);
    ASSERT_TRUE(t);
    const int inspector = controller_->Inspector();
    auto item = GetItemAs<TLeafItem>(FindLeafID("Post3.FullUp"));
    ASSERT_TRUE(item);
    int32_t id = item->Write(Variant::I4(250), 0, 0, 1033);
    ASSERT_TRUE(IsCmdID(id));
    station_->ClearRequests();
    StepUntil([&] { return !CmdIsPending(id); }, 20);
    EXPECT_EQ(id, 0);
    const auto wire = Wire(3);
    ASSERT_GE(wire.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(wire.begin(), wire.begin() + 4),
              (std::vector<std::string>{W(84, 0x02), W(85, 0x50), R(84), R(85)}));
    EXPECT_EQ(Units(t, tlb::cvFullUp), 250);
    EXPECT_EQ(controller_->Inspector(), inspector + 2);
}

TEST_F(Tork40, SettingsReadAndWriteTheirParameters) {
    TTork40* t = Ready(3, 40, 58);  // old map
    ASSERT_TRUE(t);
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvUSSWaitTime, 25 * 10000), 0);
    EXPECT_EQ(t->SetVarValue(tlb::cvAirTime, 7 * 10000), 0);
    EXPECT_EQ(t->SetVarValue(tlb::cvFullDown, 1234 * 10000), 0) << "two pairs carry up to 9999";
    EXPECT_EQ(Wire(3),
              (std::vector<std::string>{W(64, 0x25), W(80, 0x07), W(65, 0x12), W(66, 0x34)}));
    controller_->SetParam(64, 0x42);
    controller_->SetParam(38, 0x01);
    controller_->SetParam(39, 0x02);
    t->ReReadVarValue(tlb::cvUSSWaitTime);
    t->ReReadVarValue(tlb::cvInspector);
    t->ReReadVarValue(tlb::cvFullDown);
    EXPECT_EQ(Units(t, tlb::cvUSSWaitTime), 42);
    EXPECT_EQ(Units(t, tlb::cvInspector), 258);
    EXPECT_EQ(Units(t, tlb::cvFullDown), 1234);

    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvUSSWaitTime, 100 * 10000), plat::OPC_E_RANGE)
        << "one pair holds 0..99";
    EXPECT_EQ(t->SetVarValue(tlb::cvFullUp, 10000 * 10000), plat::OPC_E_RANGE);
    EXPECT_EQ(t->SetVarValue(tlb::cvAddress, 40 * 10000), plat::OPC_E_RANGE);
    EXPECT_EQ(t->SetVarValue(tlb::cvInspector, 1), -3);
    EXPECT_EQ(t->SetVarValue(tlb::cvTemperature, 1), -3);
    EXPECT_TRUE(Wire(3).empty());
    EXPECT_EQ(Units(t, tlb::cvUSSWaitTime), 42) << "a refused value is not stored";
}

TEST_F(Tork40, AddressWriteMovesTheControllerAndRecreatesThePost) {
    TTork40* t = Ready(3);
    ASSERT_TRUE(t);
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvAddress, 9 * 10000), 0);
    EXPECT_EQ(Wire(3), (std::vector<std::string>{W(86, 9)}));
    EXPECT_EQ(t->LinkState(), LINK_FAILED);
    EXPECT_EQ((thread_->RegisteredSet() >> 9) & 1u, 1u);
    EXPECT_TRUE(Probe(9)) << "found at its new address";
    EXPECT_FALSE(thread_->GetDevice(3));
}

TEST_F(Tork40, SilentLineGivesNoAnswerAndStoresNothing) {
    TTork40* t = Ready(3);
    ASSERT_TRUE(t);
    t->ReReadVarValue(tlb::cvUSSWaitTime);
    const TVarValue uss = t->VarRecord(tlb::cvUSSWaitTime);
    const TVarValue volume = t->VarRecord(tlb::cvCurrentV);
    zrnsim::Faults f;
    f.silent = true;
    station_->SetFaults(f);
    EXPECT_EQ(t->SetVarValue(tlb::cvUSSWaitTime, 12 * 10000), -5);
    EXPECT_EQ(t->SetVarValue(tlb::cvFullUp, 12 * 10000), -5);
    EXPECT_EQ(t->SetVarValue(tlb::cvCalibV, 10000), -5);
    EXPECT_EQ(t->SetVarValue(tlb::cvTotalV, 10000), -5);
    t->ReReadVarValue(tlb::cvCurrentV);
    t->ReReadVarValue(tlb::cvUSSWaitTime);
    const TVarValue uss_after = t->VarRecord(tlb::cvUSSWaitTime);
    EXPECT_EQ(uss_after.value, uss.value);
    EXPECT_EQ(uss_after.time, uss.time) << "not even re-stamped";
    EXPECT_EQ(t->VarRecord(tlb::cvCurrentV).time, volume.time);
    EXPECT_EQ(t->GetState(), 169);
}

TEST_F(Tork40, ValuesOfASilentControllerAreKeptUntilEachIsReadAgain) {
    TTork40* t = Ready(3);
    ASSERT_TRUE(t);
    t->ReReadVarValue(tlb::cvTotalV);
    std::vector<ComPtr<TVarItem>> read;  // the values read from the controller, 192 now
    for (int code = 0; code < 256; ++code)
        if (ComPtr<TVarItem> v = t->Var(static_cast<uint8_t>(code));
            v && v->GetQuality() == OPC_QUALITY_GOOD && !BaseNoRefreshVars().test(code))
            read.push_back(v);
    ComPtr<TVarItem> total = t->Var(tlb::cvTotalV);
    ASSERT_TRUE(total && total->GetQuality() == OPC_QUALITY_GOOD);
    const int64_t value = total->GetValue().value;

    zrnsim::Faults f;
    f.silent = true;
    station_->SetFaults(f);
    t->ReReadVarValue(tlb::cvCurrentV);
    ASSERT_EQ(t->GetState(), tlb::csCommError);
    for (const ComPtr<TVarItem>& v : read) {
        EXPECT_EQ(v->GetQuality(), 68) << v->FullName() << " shown as current on a silent line";
        EXPECT_EQ(v->GetTimestamp(), t->GetTimestamp()) << v->FullName();
    }

    station_->SetFaults({});
    auto all_good = [&] {
        return std::all_of(read.begin(), read.end(),
                           [](const ComPtr<TVarItem>& v) { return v->GetQuality() >= 192; });
    };
    StepUntil(all_good, 400);
    ASSERT_EQ(thread_->GetDevice(3), t);
    for (const ComPtr<TVarItem>& v : read)
        EXPECT_EQ(v->GetQuality(), OPC_QUALITY_GOOD) << v->FullName() << " not read again";
    EXPECT_EQ(total->GetValue().value, value) << "the same count, read again";
}

// --- values read ------------------------------------------------------------------------------

TEST_F(Tork40, TemperatureSignAndHundredths) {
    TTork40* fine = Ready(3, 40, 74);
    ASSERT_TRUE(fine);
    controller_->SetTemperature(-52500);  // 0x85, then 25 hundredths
    fine->ReReadVarValue(tlb::cvTemperature);
    EXPECT_EQ(fine->VarValue(tlb::cvTemperature), -52500);
    controller_->SetTemperature(213400);
    fine->ReReadVarValue(tlb::cvDensity);  // read as the temperature as well
    EXPECT_EQ(fine->VarValue(tlb::cvTemperature), 213400);

    TTork40* coarse = Ready(4, 40, 72);
    ASSERT_TRUE(coarse);
    controller_->SetTemperature(-123400);
    coarse->ReReadVarValue(tlb::cvTemperature);
    EXPECT_EQ(coarse->VarValue(tlb::cvTemperature), -120000);
}

TEST_F(Tork40, InputsAreStoredAsFlagsAndMakeTheFlagLevel) {
    TTork40* t = Ready(3);
    ASSERT_TRUE(t);
    // Earthed (status bit 4), arm in position (bit 3), gangway up (bit 0 clear), no overfill.
    controller_->SetParam(35, 0x08);
    t->ReReadVarValue(tlb::cvHandleState);
    EXPECT_EQ(Units(t, tlb::cvEarthed), 1);
    EXPECT_EQ(Units(t, tlb::cvHandleState), 1);
    EXPECT_EQ(Units(t, tlb::cvTrapState), 0);
    EXPECT_EQ(Units(t, tlb::cvOverFill), 0);
    EXPECT_EQ(t->FlagsLevel(), 2) << "all inputs in order, not working";
    EXPECT_EQ(Units(t, tlb::cvStateWithFlags), 2 * 2);

    controller_->SetParam(35, 0x48);  // overfill
    t->ReReadVarValue(tlb::cvOverFill);
    EXPECT_EQ(Units(t, tlb::cvOverFill), 1) << "stored as 1, not as the mask 0x40";
    EXPECT_EQ(t->FlagsLevel(), 2) << "overfill counts only on a running post";

    controller_->SetParam(35, 0x01);  // arm 2, gangway down
    t->ReReadVarValue(tlb::cvTrapState);
    EXPECT_EQ(Units(t, tlb::cvHandleState), 2);
    EXPECT_EQ(Units(t, tlb::cvTrapState), 1);
    EXPECT_EQ(t->FlagsLevel(), 2) << "1 + 2 + 0, plus one off duty";

    controller_->SetEarthed(false);
    controller_->SetParam(35, 0x00);
    t->ReReadVarValue(tlb::cvTrapState);  // earth lost, arm 0, gangway up
    EXPECT_EQ(Units(t, tlb::cvEarthed), 0);
    EXPECT_EQ(t->FlagsLevel(), 1) << "the gangway alone still counts";

    // Family 41 knows earthing only: no earth, no level.
    TTork40* t41 = Ready(4, 41, 4);
    ASSERT_TRUE(t41);
    EXPECT_EQ(t41->FlagsLevel(), 1);
    controller_->SetEarthed(false);
    t41->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(t41->FlagsLevel(), 0);
    EXPECT_EQ(Units(t41, tlb::cvStateWithFlags), 0);
}

TEST_F(Tork40, FlagLevelOfAWorkingPost) {
    TTork40* t = Ready(3);
    ASSERT_TRUE(t);
    controller_->SetParam(35, 0x08);
    controller_->SetStatusOverride(0x32);  // working, earthed
    t->ReReadVarValue(tlb::cvHandleState);
    t->ReReadVarValue(tlb::cvCurrentV);
    ASSERT_EQ(t->GetState(), 7);
    EXPECT_EQ(t->FlagsLevel(), 3);
    controller_->SetParam(35, 0x48);
    t->ReReadVarValue(tlb::cvOverFill);
    EXPECT_EQ(t->FlagsLevel(), 1) << "overfill breaks the full level while working";
}

TEST_F(Tork40, ControllerPauseReadsItsReasons) {
    TTork40* t = Ready(3);
    ASSERT_TRUE(t);
    t->SetVarValue(tlb::cvDozeV, 500 * 10000);
    ASSERT_EQ(t->SetState(1), 0);
    ASSERT_TRUE(controller_->PressKey());
    t->ReReadVarValue(tlb::cvCurrentV);
    ASSERT_EQ(t->GetState(), 7);
    controller_->SetEarthed(false);
    ASSERT_TRUE(controller_->Pause(0x03));  // earth lost, overfill
    station_->ClearRequests();
    t->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(t->GetState(), 80);
    const auto wire = Wire(3);
    EXPECT_NE(std::find(wire.begin(), wire.end(), R(46)), wire.end())
        << "the reasons were asked for";
    EXPECT_EQ(Units(t, tlb::cvOverFill), 1);
    EXPECT_EQ(Units(t, tlb::cvEarthed), 0);
}

// --- the dose -----------------------------------------------------------------------------------

TEST_F(Tork40, DoseIsStoredAndGoesOutWithTheStartWithoutStop) {
    TTork40* t = Ready(3);
    ASSERT_TRUE(t);
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvDozeV, 12 * 10000), 0);
    t->ReReadVarValue(tlb::cvDozeV);
    EXPECT_TRUE(Wire(3).empty()) << "a dose write only stores, and its re-read asks nothing";
    EXPECT_EQ(Units(t, tlb::cvDozeV), 12);
    EXPECT_TRUE(t->DoseOnlyStored());

    EXPECT_EQ(t->SetState(1), 0);
    const auto wire = Wire(3);
    const auto d = std::find(wire.begin(), wire.end(), "d000012");
    ASSERT_NE(d, wire.end());
    EXPECT_EQ(std::count(d, wire.end(), "s"), 0) << "no 's': the key starts it";
    EXPECT_FALSE(t->DoseOnlyStored());
    EXPECT_EQ(controller_->GetState(), zrnsim::State::WaitingKey);
    t->ReReadVarValue(tlb::cvCurrentV);
    EXPECT_EQ(t->GetState(), 1);
    EXPECT_EQ(Units(t, tlb::cvCurrentV), 0);
}

TEST_F(Tork40, StartWithoutADoseIsRefusedBeforeTheLine) {
    TTork40* t = Ready(6);
    ASSERT_TRUE(t);
    ASSERT_EQ(t->VarValue(tlb::cvDozeV), 0) << "no dose was ever written";
    station_->ClearRequests();
    EXPECT_EQ(t->SetState(1), plat::OPC_E_RANGE);

    auto state = GetItemAs<TLeafItem>(FindLeafID("Post6.State"));
    ASSERT_TRUE(state);
    const int32_t id = state->Write(Variant::I4(1), 0, 0, 1033);
    ASSERT_TRUE(IsCmdID(id));
    StepUntil([&] { return !IsCmdID(CmdQuery(id)); }, 50);
    EXPECT_EQ(CmdQuery(id), plat::OPC_E_RANGE);

    const auto commands = Commands(6);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "d"), 0) << "no d000000 on the wire";
    EXPECT_EQ(controller_->GetState(), zrnsim::State::Idle);
    EXPECT_EQ(t->GetState(), 0);
}

TEST_F(Tork40, DoseWiderThanTheWireIsRefused) {
    TTork40* t = Ready(3, 40, 5);
    ASSERT_TRUE(t);
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvDozeV, 123456LL * 10000), plat::OPC_E_RANGE)
        << "five digits before 19";
    EXPECT_EQ(t->SetVarValue(tlb::cvDozeV, 12345LL * 10000), 0);
    EXPECT_EQ(t->SetState(1), 0);
    const auto wire = Wire(3);
    EXPECT_NE(std::find(wire.begin(), wire.end(), "d12345"), wire.end());
}

TEST_F(Tork40, PostThatHasSeenFlowGoesBackToIdleAndKeepsStoringDoses) {
    TTork40* t = Ready(3);
    ASSERT_TRUE(t);
    ASSERT_EQ(t->SetVarValue(tlb::cvDozeV, 30 * 10000), 0);
    ASSERT_EQ(t->SetState(1), 0);
    ASSERT_TRUE(controller_->PressKey());
    bool held = false;
    StepUntil(
        [&] {
            held = held || t->HoldState();
            return controller_->GetState() == zrnsim::State::Idle && t->GetState() == 0;
        },
        2000);
    EXPECT_TRUE(held) << "the flow set the hold flag";
    EXPECT_EQ(t->GetState(), 0) << "the post returned to idle after the flow";
    EXPECT_FALSE(t->HoldState());
    t->ReReadVarValue(tlb::cvTotalV);
    EXPECT_EQ(Units(t, tlb::cvTotalV), 30);

    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvDozeV, 40 * 10000), 0);
    EXPECT_TRUE(Wire(3).empty()) << "after a flow a dose write still only stores";
    EXPECT_TRUE(t->DoseOnlyStored());
}

// The hold is for a working post whose controller ended its count while product still flows:
// a paused post stopped at the dispenser shows idle at the next report.
TEST_F(Tork40, PausedPostStoppedAtTheDispenserGoesIdleDespiteTheFlow) {
    TTork40* t = Ready(3);
    ASSERT_TRUE(t);
    ASSERT_EQ(t->SetVarValue(tlb::cvDozeV, 30 * 10000), 0);
    ASSERT_EQ(t->SetState(1), 0);
    ASSERT_TRUE(controller_->PressKey());
    StepUntil([&] { return t->HoldState() && t->GetState() == tlb::csWorking; }, 400);
    ASSERT_TRUE(t->HoldState());
    ASSERT_TRUE(controller_->Pause());
    StepUntil([&] { return t->GetState() == tlb::csPaused; }, 50);
    ASSERT_EQ(t->GetState(), tlb::csPaused);
    if (!t->HoldState()) GTEST_SKIP() << "the flow ended before the stop";
    controller_->Stop();
    StepUntil([&] { return t->GetState() == tlb::csIdle || t->LastReportedState() == 0; }, 20);
    ASSERT_EQ(t->LastReportedState(), 0);
    EXPECT_EQ(t->GetState(), tlb::csIdle);
}

TEST_F(Tork40, DoseWrittenDuringADeliveryIsTheNextDose) {
    TTork40* t = Ready(6);
    ASSERT_TRUE(t);
    auto state = GetItemAs<TLeafItem>(FindLeafID("Post6.State"));
    auto dose = GetItemAs<TLeafItem>(FindLeafID("Post6.DozeV"));
    ASSERT_TRUE(state && dose);
    controller_->SetFlowRate(10000);  // 1 unit per second: the delivery lasts
    ASSERT_EQ(Run(dose->Write(Variant::I4(300), 0, 0, 1033)), 0);
    ASSERT_EQ(Run(state->Write(Variant::I4(1), 0, 0, 1033)), 0);
    StepUntil([&] { return t->GetState() == 1; }, 20);
    ASSERT_EQ(t->GetState(), 1);

    // Waiting for the key: the controller echoes its dose as the volume, which must still
    // read as nothing dispensed.
    EXPECT_EQ(Run(dose->Write(Variant::I4(70), 0, 0, 1033)), 0);
    Steps(40);
    EXPECT_EQ(Units(t, tlb::cvCurrentV), 0);
    EXPECT_EQ(Units(t, tlb::cvDozeV), 300) << "DozeV shows the dose being delivered";

    controller_->PressKey();
    StepUntil([&] { return t->GetState() == 7; }, 20);
    ASSERT_EQ(t->GetState(), 7);
    EXPECT_EQ(Run(dose->Write(Variant::I4(50), 0, 0, 1033)), 0);
    clock_->Advance(5000);
    Steps(60);  // flow and 'Q' reads go on meanwhile
    EXPECT_EQ(Units(t, tlb::cvDozeV), 300);
    EXPECT_TRUE(t->DosePending());

    controller_->Stop();
    StepUntil([&] { return t->GetState() == 0; }, 400);
    ASSERT_EQ(t->GetState(), 0);
    Steps(3);
    EXPECT_FALSE(t->DosePending());
    EXPECT_EQ(Units(t, tlb::cvDozeV), 50) << "the last dose written is the next one";
    Steps(100);
    EXPECT_EQ(Units(t, tlb::cvDozeV), 50) << "not overwritten by a later read";

    station_->ClearRequests();
    EXPECT_EQ(Run(state->Write(Variant::I4(1), 0, 0, 1033)), 0);
    const auto wire = Wire(6);
    EXPECT_NE(std::find(wire.begin(), wire.end(), "d000050"), wire.end());
}

TEST_F(Tork40, StateRequestsOutsideTheirStatesAreRefused) {
    TTork40* t = Ready(3);
    ASSERT_TRUE(t);
    station_->ClearRequests();
    EXPECT_EQ(t->SetState(0), plat::OPC_E_RANGE);
    EXPECT_EQ(t->SetState(7), plat::OPC_E_RANGE);
    EXPECT_EQ(t->SetState(80), plat::OPC_E_RANGE) << "pause while idle";
    t->SetVarValue(tlb::cvDozeV, 5 * 10000);
    ASSERT_EQ(t->SetState(1), 0);
    t->ReReadVarValue(tlb::cvCurrentV);
    ASSERT_EQ(t->GetState(), 1);
    station_->ClearRequests();
    EXPECT_EQ(t->SetState(80), plat::OPC_E_RANGE) << "pause while waiting for the key";
    controller_->PressKey();
    t->ReReadVarValue(tlb::cvCurrentV);
    ASSERT_EQ(t->GetState(), 7);
    EXPECT_EQ(t->SetState(1), plat::OPC_E_RANGE) << "start while working";
    const auto commands = Commands(3);
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                            [](const std::string& c) {
                                return c != "X" && c != "D" && c != "S" && c != "Q" && c != "T";
                            }),
              0)
        << "refused requests send nothing";
}

TEST_F(Tork40, StaleWorkingPostIsPausedByThePeriodicHook) {
    TTork40* t = Ready(3);
    ASSERT_TRUE(t);
    t->PeriodicHook();
    station_->ClearRequests();
    t->PeriodicHook();
    EXPECT_TRUE(Wire(3).empty()) << "an idle post is left alone";
    t->SetVarValue(tlb::cvDozeV, 500 * 10000);
    ASSERT_EQ(t->SetState(1), 0);
    controller_->PressKey();
    t->ReReadVarValue(tlb::cvCurrentV);
    ASSERT_EQ(t->GetState(), 7);
    station_->ClearRequests();
    t->PeriodicHook();
    EXPECT_EQ(Commands(3), (std::vector<std::string>{"s"}));
    EXPECT_EQ(controller_->GetState(), zrnsim::State::Paused);
}

TEST_F(Tork40, MassAtStartAndCurrentMass) {
    TTork40* t = Ready(3);
    ASSERT_TRUE(t);
    controller_->SetTotalW(1000 * 10000);
    controller_->SetDensity(8000);  // 0.8 per unit
    t->SetVarValue(tlb::cvDozeV, 100 * 10000);
    ASSERT_EQ(t->SetState(1), 0);
    EXPECT_EQ(t->MassAtStart(), 1000 * 10000);
    controller_->PressKey();
    clock_->Advance(5000);  // 50 units at 10 per second
    t->ReReadVarValue(tlb::cvCurrentW);
    EXPECT_EQ(Units(t, tlb::cvTotalW), 1040);
    EXPECT_EQ(Units(t, tlb::cvCurrentW), 40);
}
