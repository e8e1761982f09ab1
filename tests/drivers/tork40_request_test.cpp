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

// --- the road of a client's request -------------------------------------------------------------

TEST_F(Tork40, ClientStateWritesDriveTheDispenser) {
    TTork40* t = Ready(6);
    ASSERT_TRUE(t);
    auto state = GetItemAs<TLeafItem>(FindLeafID("Post6.State"));
    auto dose = GetItemAs<TLeafItem>(FindLeafID("Post6.DozeV"));
    ASSERT_TRUE(state && dose);
    auto item_state = [&] { return state->PeekValue().lVal; };

    controller_->SetFlowRate(10000);  // 1 unit per second: the dose lasts
    EXPECT_EQ(Run(dose->Write(Variant::I4(300), 0, 0, 1033)), 0);
    station_->ClearRequests();
    EXPECT_EQ(Run(state->Write(Variant::I4(1), 0, 0, 1033)), 0);
    auto wire = Wire(6);
    auto d = std::find(wire.begin(), wire.end(), "d000300");
    ASSERT_NE(d, wire.end()) << "the dose went out with 'd'";
    EXPECT_EQ(std::count(d, wire.end(), "s"), 0) << "no 's' after it";
    StepUntil([&] { return item_state() == 1; }, 20);
    EXPECT_EQ(item_state(), 1) << "the post waits for the key";

    controller_->PressKey();
    StepUntil([&] { return item_state() == 7; }, 20);
    EXPECT_EQ(item_state(), 7);

    station_->ClearRequests();
    EXPECT_EQ(Run(state->Write(Variant::I4(80), 0, 0, 1033)), 0);
    auto commands = Commands(6);
    EXPECT_NE(std::find(commands.begin(), commands.end(), "s"), commands.end());
    StepUntil([&] { return item_state() == 80; }, 20);
    EXPECT_EQ(item_state(), 80);
    EXPECT_EQ(controller_->GetState(), zrnsim::State::Paused);

    station_->ClearRequests();
    EXPECT_EQ(Run(state->Write(Variant::I4(1), 0, 0, 1033)), 0);
    commands = Commands(6);
    EXPECT_NE(std::find(commands.begin(), commands.end(), "u"), commands.end());
    StepUntil([&] { return item_state() == 7; }, 20);
    EXPECT_EQ(item_state(), 7);

    EXPECT_EQ(Run(state->Write(Variant::I4(0), 0, 0, 1033)), plat::OPC_E_RANGE)
        << "stop is not a request here";

    // The controller says idle while product still flows: the post holds its state, and a
    // request made against it is refused.
    clock_->Advance(3000);
    t->ReReadVarValue(tlb::cvTotalV);
    ASSERT_TRUE(t->HoldState());
    controller_->SetStatusOverride(0x11);
    EXPECT_EQ(Run(state->Write(Variant::I4(80), 0, 0, 1033)), -2);
    EXPECT_EQ(t->LastReportedState(), 0);
    EXPECT_EQ(item_state(), 7);
    controller_->SetStatusOverride(std::nullopt);

    controller_->Stop();
    StepUntil([&] { return item_state() == 0; }, 400);
    ASSERT_EQ(item_state(), 0);
    EXPECT_EQ(Run(state->Write(Variant::I4(80), 0, 0, 1033)), plat::OPC_E_RANGE)
        << "pause while idle";
}

// --- commands that waited too long -------------------------------------------------------------

TEST_F(Tork40, StartNobodyAskedAboutForAMinuteIsNeverCarriedOut) {
    TTork40* t = Ready(6);
    ASSERT_TRUE(t);
    auto state = GetItemAs<TLeafItem>(FindLeafID("Post6.State"));
    auto dose = GetItemAs<TLeafItem>(FindLeafID("Post6.DozeV"));
    ASSERT_TRUE(state && dose);
    const int32_t dose_id = dose->Write(Variant::I4(300), 0, 0, 1033);
    const int32_t start_id = state->Write(Variant::I4(1), 0, 0, 1033);
    ASSERT_TRUE(IsCmdID(dose_id) && IsCmdID(start_id));
    // The line is away for a minute and no client asks meanwhile.
    clock_->Advance(60000);
    station_->ClearRequests();
    StepUntil([&] { return !t->Queue().HasCommands(); }, 50);
    ASSERT_FALSE(t->Queue().HasCommands());
    Steps(5);
    const auto wire = Wire(6);
    EXPECT_EQ(std::count_if(wire.begin(), wire.end(),
                            [](const std::string& f) { return f[0] == 'd' || f[0] == 's'; }),
              0)
        << "no dose and no start a minute late";
    EXPECT_EQ(controller_->GetState(), zrnsim::State::Idle);
    EXPECT_EQ(t->GetState(), 0);
    EXPECT_EQ(CmdQuery(dose_id), tlb::E_TIMEOUT);
    EXPECT_EQ(CmdQuery(start_id), tlb::E_TIMEOUT);
}

namespace {

// Its totalizer read (the first step of a state command) takes longer than a command may wait.
class SlowTotalTork : public TTork40 {
  public:
    explicit SlowTotalTork(const TorkCreateArgs& args) : TTork40(args) {}
    void ReReadVarValue(uint8_t code) override {
        if (code == tlb::cvTotalV && delay_ms) {
            plat::Sleep(delay_ms);
            delay_ms = 0;
        }
        TTork40::ReReadVarValue(code);
    }
    uint32_t delay_ms = 0;
};

}  // namespace

TEST_F(Tork40, CommandThatExpiresWhileItsCycleRunsIsNotCarriedOut) {
    controller_ = station_->Add(3, 40, 74);
    ComPtr<SlowTotalTork> t =
        TBasicTork::Make<SlowTotalTork>(TorkCreateArgs{thread_.get(), 3, 40, 74, plat::NowLocal()});
    ASSERT_EQ(t->LinkState(), LINK_OK);
    t->ReReadVarValue(tlb::cvCurrentV);
    ASSERT_EQ(t->GetState(), 0);
    ASSERT_EQ(t->SetVarValue(tlb::cvDozeV, 12 * 10000), 0);

    clock_->Advance(15000);  // the command was queued a while ago
    const int32_t id = t->Queue().Add(New<TCommand>(TCommand::SetState, 1));
    ASSERT_TRUE(IsCmdID(id));
    clock_->Advance(15000);
    t->delay_ms = 6000;
    station_->ClearRequests();
    t->ExecuteNextCommand();
    const auto wire = Wire(3);
    EXPECT_EQ(std::find(wire.begin(), wire.end(), "d000012"), wire.end())
        << "the dose did not go out";
    EXPECT_EQ(controller_->GetState(), zrnsim::State::Idle);
    EXPECT_TRUE(CmdIsDead(id));
    EXPECT_NE(CmdQuery(id), 0);
    t->Remove();
}
