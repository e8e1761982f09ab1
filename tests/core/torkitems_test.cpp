#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "platform/time/clock.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/posts/PostItems.h"

using namespace drv;
using plat::Variant;

namespace {

class EnableLeaf : public TSoftLeafItem {
  public:
    EnableLeaf() : TSoftLeafItem("Enable", plat::VT_BOOL) {}
    uint8_t AccessRights() override { return 3; }
};

class PostItems : public ::testing::Test {
  protected:
    void SetUp() override {
        InitNameSpace();
        post_ = FindOrCreateBranch(-1, "", "Post7");
        state_ = New<TStateItem>(7, true);
        state_->AddToNS(post_);
    }
    void TearDown() override {
        RestrictUsers() = false;
        DoneNameSpace();
    }

    ComPtr<TVarItem> AddVar(int record) {
        descriptors_.push_back(std::make_unique<TVariableInfoEx>(CopyVariableInfo(record)));
        auto v = New<TVarItem>(7, true, &state_->Queue(), descriptors_.back().get());
        v->AddToNS(post_);
        return v;
    }

    // Drains the queue as the poll thread would, completing each command with `result`.
    std::vector<ComPtr<TCommand>> Drain(int32_t result = 0) {
        std::vector<ComPtr<TCommand>> got;
        while (auto c = state_->Queue().Next()) {
            got.push_back(c);
            state_->Queue().Complete(result);
        }
        return got;
    }

    int32_t post_ = -1;
    ComPtr<TStateItem> state_;
    std::vector<std::unique_ptr<TVariableInfoEx>> descriptors_;
};

}  // namespace

TEST_F(PostItems, StateWritesQueueOnlyTheAllowedStates) {
    for (int s : {0, 1, 7, 80}) {
        HRESULT r = state_->Write(Variant::I4(s), 1, 0, 1033);
        EXPECT_TRUE(IsCmdID(r)) << s << " -> " << r;
    }
    EXPECT_TRUE(state_->Queue().HasCommands());
    for (Variant bad : {Variant::I4(3), Variant::I4(-1), Variant::I4(255), Variant::Str("x")})
        EXPECT_EQ(state_->Write(bad, 1, 0, 1033), plat::OPC_E_RANGE);
    auto cmds = Drain();
    ASSERT_EQ(cmds.size(), 4u);
    std::vector<int32_t> states;
    for (auto& c : cmds) {
        EXPECT_EQ(c->kind, TCommand::SetState);
        states.push_back(c->argument);
        EXPECT_EQ(CmdQuery(c->id), 0);
    }
    EXPECT_EQ(states, (std::vector<int32_t>{0, 1, 7, 80})) << "first in, first out";
    EXPECT_FALSE(state_->Queue().HasCommands());
}

TEST_F(PostItems, DisabledPostRefusesAStartAndPausesWhenItStartsAnyway) {
    auto enable = New<EnableLeaf>();
    enable->AddToNS(post_);
    enable->NewSample(Variant::Bool(false), OPC_QUALITY_GOOD, plat::NowLocal());
    EXPECT_EQ(state_->Write(Variant::I4(1), 1, 0, 1033), -9);
    EXPECT_EQ(state_->Write(Variant::I4(7), 1, 0, 1033), -9);
    EXPECT_TRUE(IsCmdID(state_->Write(Variant::I4(0), 1, 0, 1033))) << "stopping is always allowed";
    Drain();

    // The controller reports working although the post is disabled: the item pauses it.
    state_->SetStateValue(7, plat::NowLocal());
    auto cmds = Drain();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0]->argument, 80);

    enable->NewSample(Variant::Bool(true), OPC_QUALITY_GOOD, plat::NowLocal());
    EXPECT_TRUE(IsCmdID(state_->Write(Variant::I4(1), 1, 0, 1033)));
}

TEST_F(PostItems, StateValuesPublishOnlyChanges) {
    const DATE t0 = 46000.25;
    EXPECT_EQ(state_->GetState(), 168);
    EXPECT_TRUE(state_->SetStateValue(0, t0));
    int64_t next = state_->NextSample();
    EXPECT_FALSE(state_->SetStateValue(0, t0 + 0.001));
    EXPECT_EQ(state_->NextSample(), next) << "an unchanged state only renews the time stamp";
    EXPECT_DOUBLE_EQ(state_->GetTimestamp(), t0 + 0.001);
    EXPECT_FALSE(state_->Active());
    EXPECT_TRUE(state_->SetStateValue(7, t0 + 0.002));
    EXPECT_TRUE(state_->Active());
    EXPECT_EQ(state_->NextSample(), next + 1);
    EXPECT_EQ(state_->GetQuality(), OPC_QUALITY_GOOD);
    Variant v;
    EXPECT_EQ(state_->GetItemProperty(PROP_VALUE, 1033, v), plat::S_OK);
    EXPECT_EQ(v.lVal, 7);
    EXPECT_EQ(state_->GetItemProperty(PROP_REAL_HARDWARE, 1033, v), plat::S_OK);
    EXPECT_EQ(v.boolVal, plat::VARIANT_TRUE);
    EXPECT_EQ(state_->GetRealHardware(), 2);
}

TEST_F(PostItems, VariableWritesCheckRightsRoundAndRange) {
    auto total = AddVar(19);  // TotalV, read-only
    auto price = AddVar(6);   // PriceV 0.01..99.99 step 0.01, level 0
    auto calib = AddVar(4);   // CalibV 1..50 step 0.001, level 1
    auto dose = AddVar(14);   // DozeV 0.01..999.99

    EXPECT_EQ(total->Write(Variant::R8(1), 9, 0, 1033), plat::OPC_E_BADRIGHTS);

    RestrictUsers() = true;
    EXPECT_EQ(calib->Write(Variant::R8(2), 0, 0, 1033), plat::E_ACCESSDENIED);
    EXPECT_TRUE(IsCmdID(calib->Write(Variant::R8(2), 1, 0, 1033)));
    RestrictUsers() = false;
    EXPECT_TRUE(IsCmdID(calib->Write(Variant::R8(2), 0, 0, 1033)));

    EXPECT_TRUE(IsCmdID(price->Write(Variant::R8(12.345), 0, 0, 1033)));
    EXPECT_TRUE(IsCmdID(price->Write(Variant::Str("12,5"), 0, 0, 1049)));
    EXPECT_EQ(price->Write(Variant::Str("abc"), 0, 0, 1033), plat::DISP_E_TYPEMISMATCH);
    EXPECT_EQ(dose->Write(Variant::R8(0.004), 0, 0, 1033), plat::OPC_E_RANGE) << "rounds to 0.00";
    EXPECT_TRUE(IsCmdID(dose->Write(Variant::R8(999.994), 0, 0, 1033)));
    EXPECT_EQ(dose->Write(Variant::R8(999.996), 0, 0, 1033), plat::OPC_E_RANGE)
        << "rounds to 1000.00";

    auto cmds = Drain();
    ASSERT_EQ(cmds.size(), 5u);
    EXPECT_EQ(cmds[2]->argument, tlb::cvLiterPrice);
    EXPECT_EQ(cmds[2]->value, 123500) << "12.345 rounds half away from zero to 12.35";
    EXPECT_EQ(cmds[3]->value, 125000);
    EXPECT_EQ(cmds[4]->value, 9999900);
}

TEST_F(PostItems, VariableTypesQualitiesAndSavedValues) {
    auto earthed = AddVar(31);
    auto address = AddVar(2);
    auto price = AddVar(6);
    auto flow = AddVar(27);  // Productivity, refresh class 9
    EXPECT_EQ(earthed->CanonicalType(), plat::VT_BOOL);
    EXPECT_EQ(address->CanonicalType(), plat::VT_I4);
    EXPECT_EQ(price->CanonicalType(), plat::VT_R8);
    EXPECT_EQ(earthed->FullName(), "Post7.Earthed");

    const DATE now = plat::NowLocal();
    price->StoreValue(123400, now, LQ_FRESH);
    EXPECT_EQ(price->GetQuality(), OPC_QUALITY_GOOD);
    EXPECT_DOUBLE_EQ(price->PeekValue().dblVal, 12.34);
    price->StoreValue(1000000, now, LQ_FRESH);  // 100.00 is above the range
    EXPECT_EQ(price->GetQuality(), OPC_QUALITY_EGU_EXCEEDED);
    price->StoreValue(123400, now, LQ_KEPT);
    EXPECT_EQ(price->GetQuality(), 68);
    price->SetEnabled(false);
    EXPECT_EQ(price->GetQuality(), 20);
    price->SetEnabled(true);

    address->StoreValue(70000, now, LQ_FRESH);
    EXPECT_EQ(address->PeekValue().lVal, 7);
    earthed->StoreValue(10000, now, LQ_FRESH);
    EXPECT_EQ(earthed->PeekValue().boolVal, plat::VARIANT_TRUE);

    auto dose = AddVar(14);
    EXPECT_TRUE(dose->RestoreValue({50000, now - 0.5, LQ_FRESH}, LQ_KEPT));
    EXPECT_EQ(dose->GetValue().value, 50000);
    EXPECT_EQ(dose->GetQuality(), 68);
    EXPECT_FALSE(dose->RestoreValue({60000, now - 2.0, LQ_FRESH}, LQ_KEPT)) << "older than a day";
    EXPECT_FALSE(dose->RestoreValue({60000, now + 0.1, LQ_FRESH}, LQ_KEPT)) << "from the future";
    EXPECT_FALSE(flow->RestoreValue({60000, now - 0.1, LQ_FRESH}, LQ_KEPT))
        << "class 9 is never restored";
    EXPECT_EQ(dose->GetValue().value, 50000);

    Variant hi, desc;
    EXPECT_EQ(price->GetItemProperty(PROP_HIEU, 1033, hi), plat::S_OK);
    EXPECT_EQ(hi.vt, plat::VT_CY);
    EXPECT_EQ(hi.cyVal, 999900);
    EXPECT_EQ(price->GetItemProperty(PROP_DESC, 1049, desc), plat::S_OK);
    EXPECT_EQ(plat::WideToUtf8(desc.bstrVal), "Цена продукта");
}

TEST_F(PostItems, StaleValuesFollowTheRefreshClass) {
    plat::ScopedFakeClock clock;
    auto price = AddVar(6);  // class 2: {200, 1000, 200}
    price->StoreValue(10000, plat::NowLocal(), LQ_FRESH);
    EXPECT_TRUE(price->IsUpToDate(0));
    clock->Advance(200 * 5000 + 10);
    EXPECT_TRUE(price->NeedsRefresh(0, true));
    EXPECT_FALSE(price->NeedsRefresh(1, true));
    EXPECT_FALSE(price->NeedsRefresh(0, false));
    EXPECT_FALSE(price->IsUpToDate(0));
    auto flow = AddVar(27);
    flow->StoreValue(0, plat::NowLocal(), LQ_FRESH);
    clock->Advance(100000000);
    EXPECT_FALSE(flow->NeedsRefresh(0, true)) << "class 9 is never stale";
}

TEST_F(PostItems, ExpiredCommandsAreDroppedWithMinusOne) {
    plat::ScopedFakeClock clock;
    int32_t old_id = state_->Write(Variant::I4(1), 1, 0, 1033);
    clock->Advance(20001);
    int32_t live_id = state_->Write(Variant::I4(0), 1, 0, 1033);
    EXPECT_EQ(CmdQuery(old_id), -1);
    auto cmd = state_->Queue().Next();
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->id.load(), live_id) << "the expired command is never executed";
    state_->Queue().Complete(5);
    EXPECT_EQ(CmdQuery(live_id), 5);
    EXPECT_TRUE(CmdIsDead(old_id));
    EXPECT_FALSE(state_->Queue().Next());
}

TEST_F(PostItems, CommandNobodyAskedAboutExpiresInTheQueue) {
    plat::ScopedFakeClock clock;
    const int32_t old_id = state_->Write(Variant::I4(1), 1, 0, 1033);
    clock->Advance(60000);
    const int32_t live_id = state_->Write(Variant::I4(0), 1, 0, 1033);
    // No client asked for old_id: the queue itself sees its age.
    auto cmd = state_->Queue().Next();
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->id.load(), live_id);
    state_->Queue().Complete(0);
    EXPECT_EQ(CmdQuery(old_id), tlb::E_TIMEOUT);
    EXPECT_TRUE(CmdIsDead(old_id));

    // Just past the time-out it is completed with -1 by the queue.
    const int32_t id = state_->Write(Variant::I4(7), 1, 0, 1033);
    clock->Advance(20001);
    EXPECT_FALSE(state_->Queue().Next());
    EXPECT_EQ(CmdQuery(id), tlb::E_TIMEOUT);
}

TEST_F(PostItems, StaleCommandNeitherRunsNorAnswersForTheNextHolderOfItsId) {
    plat::ScopedFakeClock clock(false);
    const int32_t old_id = state_->Write(Variant::I4(1), 1, 0, 1033);
    ASSERT_TRUE(IsCmdID(old_id));
    clock->Advance(41000);
    // Every other entry is busy: the registry takes back the unanswered one for a new client.
    for (uint32_t i = 1; i < kCmdCount; ++i) ASSERT_TRUE(IsCmdID(CmdNewID()));
    const int32_t new_id = CmdNewID();
    ASSERT_EQ(new_id, old_id);

    EXPECT_FALSE(state_->Queue().Next()) << "the stale command is not carried out";
    EXPECT_EQ(CmdQuery(new_id), new_id) << "and the new holder of the id gets no answer from it";
}

// A command the registry refuses, or one beyond the post's bound, is answered at once: it
// takes no id and never reaches the queue.
TEST_F(PostItems, RefusedCommandsAreNeverQueuedAndTheQueueIsBounded) {
    std::vector<int32_t> ids;
    for (size_t i = 0; i < TCQueue::kMaxQueued; ++i) {
        ids.push_back(state_->Write(Variant::I4(1), 1, 0, 1033));
        ASSERT_TRUE(IsCmdID(ids.back()));
    }
    EXPECT_EQ(state_->Write(Variant::I4(1), 1, 0, 1033), plat::E_OUTOFMEMORY);
    EXPECT_EQ(CmdNewID(), ids.back() + 1) << "the refused command took no id";
    EXPECT_EQ(Drain().size(), TCQueue::kMaxQueued);

    while (IsCmdID(CmdNewID())) {
    }
    EXPECT_EQ(state_->Write(Variant::I4(1), 1, 0, 1033), plat::E_OUTOFMEMORY);
    EXPECT_FALSE(state_->Queue().HasCommands()) << "a command refused at issue is not queued";
    EXPECT_TRUE(Drain().empty());
}

TEST(FixedPointRound, ModesAndEdges) {
    EXPECT_EQ(FixedPointRound(0, 5000, 13000), 15000);
    EXPECT_EQ(FixedPointRound(1, 5000, 13000), 15000);
    EXPECT_EQ(FixedPointRound(2, 5000, 13000), 10000);
    EXPECT_EQ(FixedPointRound(0, 5000, 12500), 15000) << "halves away from zero";
    EXPECT_EQ(FixedPointRound(0, 5000, -12500), -15000);
    EXPECT_EQ(FixedPointRound(1, 100, 12300), 12300) << "exact multiples stay";
    EXPECT_EQ(FixedPointRound(2, 100, 12300), 12300);
    EXPECT_EQ(FixedPointRound(1, 100, 12301), 12400);
    EXPECT_EQ(FixedPointRound(2, 100, 12399), 12300);
    EXPECT_EQ(FixedPointRound(0, 0, 12345), 12345) << "a zero step must not divide by zero";
    const int64_t huge = INT64_MAX - 5;
    EXPECT_EQ(FixedPointRound(0, 1, huge), huge)
        << "no multiple fits: kept for the range check to refuse";
}

TEST(FixedPoint, UnitsAndWholeUnitsRoundHalvesAwayFromZero) {
    EXPECT_EQ(UnitsToFixed(0.001), 10);
    EXPECT_EQ(UnitsToFixed(0.00005), 1);
    EXPECT_EQ(UnitsToFixed(-0.00005), -1);
    EXPECT_EQ(UnitsToFixed(-40), -40 * kFixedOne);
    EXPECT_EQ(WholeUnits(14999), 1);
    EXPECT_EQ(WholeUnits(15000), 2);
    EXPECT_EQ(WholeUnits(-15000), -2);
    EXPECT_EQ(WholeUnits(-4999), 0);
    EXPECT_EQ(WholeUnits(-5000), -1);
}

// Each name must pick the record it says: the classes define their variables by these names.
TEST(CommonRecords, NamesPickTheRecordsTheyDescribe) {
    struct Expect {
        VarRec rec;
        tlb::TVariableEnum code;
        const char* short_name;
    };
    const Expect all[] = {
        {VarRec::ControllerVersion, tlb::cvControllerVersion, "ControllerVersion"},
        {VarRec::FirmwareVersion, tlb::cvFirmwareVersion, "FirmwareVersion"},
        {VarRec::AddressReadOnly, tlb::cvAddress, "Address"},
        {VarRec::AddressWritable, tlb::cvAddress, "Address"},
        {VarRec::CalibV, tlb::cvCalibV, "CalibV"},
        {VarRec::CalibW, tlb::cvCalibW, "CalibW"},
        {VarRec::PriceVCents, tlb::cvLiterPrice, "PriceV"},
        {VarRec::PriceVTenths, tlb::cvLiterPrice, "PriceV"},
        {VarRec::PriceVWhole, tlb::cvLiterPrice, "PriceV"},
        {VarRec::USSTimeout, tlb::cvUSSWaitTime, "USSTimeout"},
        {VarRec::BasePost, tlb::cvBasePost, "BasePost"},
        {VarRec::SidePost, tlb::cvSidePost, "SidePost"},
        {VarRec::Side, tlb::cvSide, "Side"},
        {VarRec::Inspector, tlb::cvInspector, "Inspector"},
        {VarRec::DozeV, tlb::cvDozeV, "DozeV"},
        {VarRec::DozeM, tlb::cvDozeM, "DozeM"},
        {VarRec::CurrentM, tlb::cvCurrentM, "CurrentM"},
        {VarRec::FullDown, tlb::cvFullDown, "FullDown"},
        {VarRec::CurrentV, tlb::cvCurrentV, "CurrentV"},
        {VarRec::TotalV, tlb::cvTotalV, "TotalV"},
        {VarRec::TotalW, tlb::cvTotalW, "TotalW"},
        {VarRec::TemperatureWhole, tlb::cvTemperature, "Temperature"},
        {VarRec::TemperatureTenths, tlb::cvTemperature, "Temperature"},
        {VarRec::TemperatureHundredths, tlb::cvTemperature, "Temperature"},
        {VarRec::LabTemperature, tlb::cvLabTemperature, "LabTemperature"},
        {VarRec::LabDensity, tlb::cvLabDensity, "LabDensity"},
        {VarRec::Density, tlb::cvDensity, "Density"},
        {VarRec::ProductivityNeverStale, tlb::cvProductivity, "Productivity"},
        {VarRec::ProductivityRefreshed, tlb::cvProductivity, "Productivity"},
        {VarRec::StateWithFlags, tlb::cvStateWithFlags, "StateWithFlags"},
        {VarRec::CurrentW, tlb::cvCurrentW, "CurrentW"},
        {VarRec::Earthed, tlb::cvEarthed, "Earthed"},
        {VarRec::HandleStateOnOff, tlb::cvHandleState, "HandleState"},
        {VarRec::HandleStateThreeWay, tlb::cvHandleState, "HandleState"},
        {VarRec::TrapState, tlb::cvTrapState, "TrapState"},
        {VarRec::OverFill, tlb::cvOverFill, "OverFill"},
    };
    for (const Expect& e : all) {
        const TVariableInfoEx v = CopyVariableInfo(e.rec);
        EXPECT_EQ(v.Code, e.code) << static_cast<int>(e.rec);
        EXPECT_EQ(plat::WideToUtf8(v.ShortName), e.short_name) << static_cast<int>(e.rec);
    }
    EXPECT_FALSE(CopyVariableInfo(VarRec::Empty).Defined());

    // Where a variable has several records, the name tells them apart.
    auto info = [](VarRec r) { return CopyVariableInfo(r); };
    EXPECT_FALSE(info(VarRec::AddressReadOnly).IsWriteable);
    EXPECT_TRUE(info(VarRec::AddressWritable).IsWriteable);
    EXPECT_EQ(info(VarRec::PriceVCents).Step.int64, kFixedOne / 100);
    EXPECT_EQ(info(VarRec::PriceVTenths).Step.int64, kFixedOne / 10);
    EXPECT_EQ(info(VarRec::PriceVWhole).Step.int64, kFixedOne);
    EXPECT_EQ(info(VarRec::TemperatureWhole).Step.int64, kFixedOne);
    EXPECT_EQ(info(VarRec::TemperatureTenths).Step.int64, kFixedOne / 10);
    EXPECT_EQ(info(VarRec::TemperatureHundredths).Step.int64, kFixedOne / 100);
    EXPECT_EQ(info(VarRec::ProductivityNeverStale).RefreshClass, kRefreshNever);
    EXPECT_NE(info(VarRec::ProductivityRefreshed).RefreshClass, kRefreshNever);
    EXPECT_EQ(info(VarRec::HandleStateOnOff).MaxValue.int64, kFixedOne);
    EXPECT_EQ(info(VarRec::HandleStateThreeWay).MaxValue.int64, 2 * kFixedOne);
}

TEST(PollPriority, Ordering) {
    plat::ScopedFakeClock clock;
    clock->Advance(1000000);
    const uint64_t now = plat::GetTickCount64();
    TPollPriority best;
    TPollPriority a{7, 0, 0, 4, now - 86400, 0, 1.0};
    EXPECT_TRUE(ComparePollPriority(best, a)) << "an empty best takes any candidate";

    TPollPriority never{7, 0, 0, 4, 0, 0, 1.0};
    TPollPriority b = a;
    EXPECT_TRUE(ComparePollPriority(b, never)) << "a never-served candidate wins";
    EXPECT_FALSE(ComparePollPriority(b, a)) << "a never-served best is kept";

    TPollPriority busy = a;
    busy.busy = 1;
    best = a;
    EXPECT_TRUE(ComparePollPriority(best, busy))
        << "queued commands rank an equally old post first";
    best = a;
    EXPECT_FALSE(ComparePollPriority(best, a)) << "ties keep the earlier record";

    TPollPriority older = a;
    older.tick = now - 172800;
    best = a;
    EXPECT_TRUE(ComparePollPriority(best, older));

    TPollPriority low_class = a;
    low_class.cls = 2;
    TPollPriority twice_as_old = a;
    twice_as_old.tick = now - 164160;
    best = twice_as_old;
    EXPECT_TRUE(ComparePollPriority(best, low_class)) << "class below 3 doubles the score";

    TPollPriority probe = a;
    probe.probe = 1;
    best = a;
    EXPECT_TRUE(ComparePollPriority(best, probe)) << "probes rank higher while no station exists";
    SetStationsExistProbe([] { return true; });
    best = a;
    EXPECT_FALSE(ComparePollPriority(best, probe));
    SetStationsExistProbe(nullptr);

    TPollPriority fast = a;  // row 4 refreshes 1000 times as often as row 7... of the same age
    fast.kind = 4;
    TPollPriority slow = a;
    slow.kind = 0;
    best = slow;
    EXPECT_TRUE(ComparePollPriority(best, fast)) << "a smaller refresh factor means a higher score";
}

TEST_F(PostItems, ClientsWritingWhileThePollThreadServes) {
    auto dose = AddVar(14);
    constexpr int kClients = 6, kWrites = 300;
    std::atomic<bool> done{false};
    std::atomic<int> served{0};
    std::thread poller([&] {
        while (!done.load() || state_->Queue().HasCommands()) {
            auto c = state_->Queue().Next();
            if (!c) continue;
            if (c->kind == TCommand::SetState)
                state_->SetStateValue(c->argument == 80 ? 80 : 0, plat::NowLocal());
            else
                dose->StoreValue(c->value, plat::NowLocal(), LQ_FRESH);
            state_->Queue().Complete(0);
            ++served;
        }
    });
    std::latch go(kClients);
    std::vector<std::thread> clients;
    std::atomic<int> bad{0};
    for (int t = 0; t < kClients; ++t)
        clients.emplace_back([&, t] {
            go.arrive_and_wait();
            for (int i = 0; i < kWrites; ++i) {
                int32_t id = t % 2 ? state_->Write(Variant::I4(i % 2 ? 0 : 80), 1, 0, 1033)
                                   : dose->Write(Variant::R8(1 + i % 100), 0, 0, 1033);
                if (!IsCmdID(id)) ++bad;
                TGItem g(ComPtr<TLeafItem>(dose.Get()), "Post7.DozeV", dose->ID());
                g.UnreadCount(true);
                int32_t r = CmdWait(id);
                if (r != 0) ++bad;
            }
        });
    for (auto& c : clients) c.join();
    done = true;
    poller.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(served.load(), kClients * kWrites);
    EXPECT_EQ(dose->TotalRefs(), 0u);
}
