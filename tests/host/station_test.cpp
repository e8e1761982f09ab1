// TStation in this process: the variable table, post names, the post cache, every INorvalt
// method on posts built in the item tree, hostile arguments, privilege and the station list.
#include <gtest/gtest.h>

#include <climits>
#include <future>

#include "platform/com/callcontext.h"
#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "tests/host/HostFixture.h"

using namespace hosttest;
using drv::ParsePostItemName;
using drv::TStation;

namespace {

TEST(StationTable, OffersTwentyVariablesWithTheirLimits) {
    int offered = 0;
    for (int i = 0; i <= 40; ++i) offered += drv::IsOfferedIndex(i);
    EXPECT_EQ(offered, 20);
    EXPECT_TRUE(drv::IsOfferedIndex(-1));
    EXPECT_FALSE(drv::IsOfferedIndex(10)) << "TotalM";
    EXPECT_FALSE(drv::IsOfferedIndex(41));
    EXPECT_EQ(drv::StationVar(-1).name, "State");

    const tlb::TVariableInfo& dose = drv::StationVar(3).info;
    EXPECT_EQ(dose.Code, tlb::cvDozeV);
    EXPECT_EQ(dose.IsWriteable, plat::VARIANT_TRUE);
    EXPECT_EQ(dose.MinValue.int64, 100);
    EXPECT_EQ(dose.MaxValue.int64, 9999999900);
    EXPECT_EQ(dose.Step.int64, 100);
    const tlb::TVariableInfo& temp = drv::StationVar(12).info;
    EXPECT_EQ(temp.MinValue.int64, -600000);
    EXPECT_EQ(temp.BelongsTo, 2);
    EXPECT_EQ(drv::StationVar(9).info.MaxValue.int64, 9999999999990000) << "TotalV fits Currency";
    EXPECT_EQ(drv::StationVar(29).info.Step.int64, 1);
    EXPECT_EQ(drv::StationVar(39).info.MaxValue.int64, 167772150000);
    for (int i = 0; i <= 40; ++i) {
        EXPECT_TRUE(drv::StationVar(i).info.ShortName.empty());
        EXPECT_TRUE(drv::StationVar(i).info.Name.empty());
        EXPECT_EQ(drv::StationVar(i).info.IsRandom, plat::VARIANT_FALSE);
    }
    EXPECT_THROW(drv::StationVar(41), std::out_of_range);
}

TEST(StationNames, ParsePostItemName) {
    auto is = [](std::string_view name, int post, int index) {
        auto p = ParsePostItemName(name);
        return p.post == post && (post == -1 || p.index == index);
    };
    EXPECT_TRUE(is("Post5.State", 5, -1));
    EXPECT_TRUE(is("post12.dozev", 12, 3)) << "names compare without case";
    EXPECT_TRUE(is("Post7.StateWithFlags", 7, 36));
    EXPECT_TRUE(is("Post7.PriceV", 7, 13)) << "the controllers' price item";
    EXPECT_TRUE(is("Post7.LiterPrice", 7, 13));
    EXPECT_TRUE(is("Post32767.State", 32767, -1));
    for (const char* bad :
         {"Post7.TotalM", "Post07.State", "Post0.State", "Post.State", "Post5", "Post5.",
          "Post32768.State", "Post99999999999999.State", "Post5.S2.P1.State", "Tank5.State",
          "Post-1.State", "Post5x.State", "", "Pos"})
        EXPECT_TRUE(is(bad, -1, 0)) << bad;
}

class Station : public HostTest {};

TEST_F(Station, ReadsStateVariablesAndValuesOfAPost) {
    DirectPost p =
        MakePost(4, {kRecTotalV, kRecDozeV, kRecEarthed, kRecStateWithFlags}, tlb::csWorking);
    p.SetVar(tlb::cvDozeV, 123400);
    p.SetVar(tlb::cvEarthed, 10000);
    auto s = NewStation();

    tlb::TState st{};
    ASSERT_EQ(s->GetState(4, &st), S_OK);
    EXPECT_EQ(st.Value, tlb::csWorking);
    EXPECT_GT(double{st.TimeStamp}, 40000.0) << "the time of the newest sample";
    ASSERT_EQ(s->GetState(5, &st), S_OK);
    EXPECT_EQ(st.Value, tlb::csNone);
    EXPECT_EQ(double{st.TimeStamp}, 0.0);

    int32_t count = -1, res = -1;
    ASSERT_EQ(s->GetVariablesCount(4, &count, &res), S_OK);
    EXPECT_EQ(res, 0);
    ASSERT_EQ(count, 4);
    std::vector<int> codes;
    for (int i = 0; i < count; ++i) {
        tlb::TVariableInfo info;
        ASSERT_EQ(s->GetVariable(4, i, &info, &res), S_OK);
        EXPECT_EQ(res, 0);
        codes.push_back(info.Code);
        EXPECT_EQ(info, drv::StationVar(info.Code).info)
            << "the station's own descriptor, names empty";
    }
    EXPECT_EQ(codes, (std::vector<int>{tlb::cvEarthed, tlb::cvDozeV, tlb::cvTotalV,
                                       tlb::cvStateWithFlags}))
        << "table order";

    tlb::TVariableValue v;
    ASSERT_EQ(s->GetVarValue(4, tlb::cvDozeV, &v, &res), S_OK);
    EXPECT_EQ(res, 0);
    EXPECT_EQ(v.Value.int64, 123400);
    EXPECT_GT(v.TimeStamp, 40000.0);
    ASSERT_EQ(s->GetVarValue(4, tlb::cvEarthed, &v, &res), S_OK);
    EXPECT_EQ(v.Value.int64, 10000) << "a Boolean reads as 1, not -1";
    ASSERT_EQ(s->GetVarValue(4, tlb::cvCurrentV, &v, &res), S_OK);
    EXPECT_EQ(res, tlb::E_BADVARIABLE);
    EXPECT_EQ(v.Value.int64, 0);

    uint32_t idle = 0, work = 0;
    ASSERT_EQ(s->GetVarInterval(99, tlb::cvDozeV, &idle, &work, &res), S_OK);
    EXPECT_EQ(idle, 1000u);
    EXPECT_EQ(work, 100u);
    EXPECT_EQ(res, 0) << "any post, any variable";
    ASSERT_EQ(s->SetVarInterval(4, tlb::cvDozeV, 1, 2, &res), S_OK);
    EXPECT_EQ(res, plat::E_NOTIMPL);
    double band = 0;
    ASSERT_EQ(s->BandUsed(&band), S_OK);
    EXPECT_EQ(band, 1.0);
}

TEST_F(Station, StateJumps) {
    MakePost(2, {});
    auto s = NewStation();
    auto jump = [&](int post, int from, int to) {
        int32_t r = 99;
        EXPECT_EQ(
            s->StateJumpValid(static_cast<int16_t>(post), static_cast<tlb::TVariableEnum>(from),
                              static_cast<tlb::TVariableEnum>(to), &r),
            S_OK);
        return r;
    };
    for (auto [f, t] : std::vector<std::pair<int, int>>{
             {0, 1}, {1, 0}, {1, 7}, {7, 0}, {7, 80}, {80, 0}, {80, 1}, {177, 0}})
        EXPECT_EQ(jump(2, f, t), 0) << f << "->" << t;
    EXPECT_EQ(jump(2, 80, 7), tlb::E_INCOMPATIBLESTATE) << "continuing runs through csWaitingKey";
    EXPECT_EQ(jump(2, 0, 7), tlb::E_INCOMPATIBLESTATE);
    EXPECT_EQ(jump(2, 255, 0), tlb::E_INCOMPATIBLESTATE);
    EXPECT_EQ(jump(3, 0, 1), tlb::E_UNKNOWNPOST);
}

// A family 40 controller on the service's own line: its driver carries out no stop request, so
// none is offered, whatever the post's state.
class StationLine : public HostTest {
  protected:
    std::string Parameters() override { return "PROTOCOL=4 PORT=CUST COM9=ZRN9600"; }
    void SetUp() override {
        line_->Add(6, 40, 74);
        line_.Start();
        HostTest::SetUp();
    }
    void TearDown() override {
        HostTest::TearDown();
        line_.Stop();
    }
    PtyStation line_{9};
};

TEST_F(StationLine, StopIsNotOfferedForAControllerThatRefusesIt) {
    ASSERT_TRUE(Eventually([] { return drv::FindLeafID("Post6.State") != -1; }, 60000));
    auto s = NewStation();
    auto jump = [&](int from, int to) {
        int32_t r = 99;
        EXPECT_EQ(s->StateJumpValid(6, static_cast<tlb::TVariableEnum>(from),
                                    static_cast<tlb::TVariableEnum>(to), &r),
                  S_OK);
        return r;
    };
    for (int from : {1, 7, 80, 177})
        EXPECT_EQ(jump(from, 0), tlb::E_INCOMPATIBLESTATE) << from << "->0";
    EXPECT_EQ(jump(0, 1), 0);
    EXPECT_EQ(jump(7, 80), 0);
    EXPECT_EQ(jump(80, 1), 0);
}

TEST_F(Station, APostWithoutOfferedVariablesAndTheCacheFollowingTheTree) {
    DirectPost bare = MakePost(8, {kRecAddress});  // Address is no offered variable
    auto s = NewStation();
    int32_t count = -1, res = -1;
    ASSERT_EQ(s->GetVariablesCount(8, &count, &res), S_OK);
    EXPECT_EQ(res, 0);
    EXPECT_EQ(count, 0);
    tlb::TVariableInfo info;
    info.Code = tlb::cvReqS;
    ASSERT_EQ(s->GetVariable(8, 0, &info, &res), S_OK);
    EXPECT_EQ(res, plat::E_INVALIDARG);
    EXPECT_EQ(info, tlb::TVariableInfo{}) << "zero-filled on failure";

    // A post that comes and goes: the next call after the namespace changed sees it.
    ASSERT_EQ(s->GetVariablesCount(9, &count, &res), S_OK);
    EXPECT_EQ(res, tlb::E_UNKNOWNPOST);
    DirectPost p = MakePost(9, {kRecDozeV, kRecPriceV});
    ASSERT_EQ(s->GetVariablesCount(9, &count, &res), S_OK);
    EXPECT_EQ(res, 0);
    EXPECT_EQ(count, 2) << "DozeV and the price (item PriceV)";
    tlb::TVariableValue v;
    p.SetVar(tlb::cvLiterPrice, 45600);
    ASSERT_EQ(s->GetVarValue(9, tlb::cvLiterPrice, &v, &res), S_OK);
    EXPECT_EQ(res, 0);
    EXPECT_EQ(v.Value.int64, 45600);
    p.Remove();
    ASSERT_EQ(s->GetVariablesCount(9, &count, &res), S_OK);
    EXPECT_EQ(res, tlb::E_UNKNOWNPOST);
    EXPECT_EQ(count, 0);
    tlb::TState st{};
    ASSERT_EQ(s->GetState(9, &st), S_OK);
    EXPECT_EQ(st.Value, tlb::csNone);
}

TEST_F(Station, SetStateQueuesACommandAndGetResultWaitsForIt) {
    DirectPost p = MakePost(3, {kRecDozeV});
    auto s = NewStation();
    int32_t id = 0;
    ASSERT_EQ(s->SetState(3, tlb::csWaitingKey, &id), S_OK);
    ASSERT_TRUE(drv::IsCmdID(id)) << id;
    int32_t r = 0;
    ASSERT_EQ(s->TryResult(id, &r), S_OK);
    EXPECT_EQ(r, id) << "pending: the id itself";

    auto waiter = std::async(std::launch::async, [&] {
        int32_t out = 12345;
        EXPECT_EQ(s->GetResult(id, &out), S_OK);
        return out;
    });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
        << "still pending";
    // What the poll thread does with the queue.
    auto cmd = p.state->Queue().Next();
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->kind, drv::TCommand::SetState);
    EXPECT_EQ(cmd->argument, tlb::csWaitingKey);
    p.state->Queue().Complete(0);
    EXPECT_EQ(waiter.get(), 0);
    ASSERT_EQ(s->TryResult(id, &r), S_OK);
    EXPECT_EQ(r, 0);

    // A command nobody serves times out.
    ASSERT_EQ(s->SetState(3, tlb::csIdle, &id), S_OK);
    ASSERT_EQ(s->GetResult(id, &r), S_OK);
    EXPECT_EQ(r, tlb::E_TIMEOUT);

    ASSERT_EQ(s->SetState(3, static_cast<tlb::TStateEnum>(5), &id), S_OK);
    EXPECT_EQ(id, tlb::OPC_E_RANGE) << "a state no client may ask for";
    ASSERT_EQ(s->SetState(4, tlb::csIdle, &id), S_OK);
    EXPECT_EQ(id, tlb::E_UNKNOWNPOST);
}

TEST_F(Station, VariableWritesAndReReads) {
    DirectPost p = MakePost(6, {kRecDozeV, kRecTotalV});
    auto s = NewStation();
    int32_t id = 0;
    ASSERT_EQ(s->SetVarValue(6, tlb::cvDozeV, plat::Currency{52500}, &id), S_OK);
    ASSERT_TRUE(drv::IsCmdID(id)) << id;
    auto cmd = p.state->Queue().Next();
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->argument, tlb::cvDozeV);
    EXPECT_EQ(cmd->value, 52500);
    p.state->Queue().Complete(0);

    ASSERT_EQ(s->SetVarValue(6, tlb::cvTotalV, plat::Currency{1}, &id), S_OK);
    EXPECT_EQ(id, tlb::OPC_E_BADRIGHTS);
    ASSERT_EQ(s->SetVarValue(6, tlb::cvDozeV, plat::Currency{INT64_MAX}, &id), S_OK);
    EXPECT_EQ(id, tlb::OPC_E_RANGE);
    ASSERT_EQ(s->SetVarValue(6, tlb::cvDozeM, plat::Currency{10000}, &id), S_OK);
    EXPECT_EQ(id, tlb::E_BADVARIABLE);

    int32_t res = -1;
    ASSERT_EQ(s->ReReadVarValue(6, tlb::cvTotalV, &res), S_OK);
    EXPECT_EQ(res, 0);
    EXPECT_EQ(p.Var(tlb::cvTotalV)->RefreshMark(), 1) << "the item was asked to refresh";
    ASSERT_EQ(s->ReReadVarValue(6, tlb::cvCurrentV, &res), S_OK);
    EXPECT_EQ(res, tlb::E_BADVARIABLE);
}

TEST_F(Station, HostileArgumentsGetCodesNotCrashes) {
    MakePost(1, {kRecDozeV});
    auto s = NewStation();
    tlb::TState st{};
    int32_t res = 0, count = 0;
    tlb::TVariableValue v;
    tlb::TVariableInfo info;
    for (int16_t post : {int16_t(-1), int16_t(0), int16_t(SHRT_MIN), int16_t(SHRT_MAX)}) {
        ASSERT_EQ(s->GetState(post, &st), S_OK);
        EXPECT_EQ(st.Value, tlb::csNone);
        ASSERT_EQ(s->GetVariablesCount(post, &count, &res), S_OK);
        EXPECT_EQ(res, tlb::E_UNKNOWNPOST);
        ASSERT_EQ(s->SetState(post, tlb::csIdle, &res), S_OK);
        EXPECT_EQ(res, tlb::E_UNKNOWNPOST);
    }
    for (int32_t var : {-1, 41, 64, 99, INT32_MIN, INT32_MAX}) {
        auto code = static_cast<tlb::TVariableEnum>(var);
        ASSERT_EQ(s->GetVarValue(1, code, &v, &res), S_OK);
        EXPECT_EQ(res, tlb::E_BADVARIABLE) << var;
        ASSERT_EQ(s->SetVarValue(1, code, plat::Currency{10000}, &res), S_OK);
        EXPECT_EQ(res, tlb::E_BADVARIABLE) << var << ": -1 would have written the State item";
        ASSERT_EQ(s->ReReadVarValue(1, code, &res), S_OK);
        EXPECT_EQ(res, tlb::E_BADVARIABLE) << var;
    }
    for (int32_t n : {-1, 1, INT32_MIN, INT32_MAX}) {
        ASSERT_EQ(s->GetVariable(1, n, &info, &res), S_OK);
        EXPECT_EQ(res, plat::E_INVALIDARG) << n;
    }
    // Values that are no command id come back unchanged, at once.
    for (int32_t value : {0, -5, INT32_MIN, 0x7FFEFFFF}) {
        ASSERT_EQ(s->GetResult(value, &res), S_OK);
        EXPECT_EQ(res, value);
        ASSERT_EQ(s->TryResult(value, &res), S_OK);
        EXPECT_EQ(res, value);
    }
    EXPECT_EQ(s->GetState(1, nullptr), plat::E_POINTER);
    EXPECT_EQ(s->GetVariablesCount(1, &count, nullptr), plat::E_POINTER);
    EXPECT_EQ(s->GetVariable(1, 0, nullptr, &res), plat::E_POINTER);
    EXPECT_EQ(s->GetVarInterval(1, tlb::cvDozeV, nullptr, nullptr, nullptr), plat::E_POINTER);
    EXPECT_EQ(s->RegisterSinkInterface(nullptr), plat::E_POINTER);
    EXPECT_EQ(s->RegisterSinkInterfaceEx(nullptr), plat::E_POINTER);
    EXPECT_EQ(s->UnRegisterSinkInterface(), S_OK) << "nothing registered: nothing to do";
}

class RestrictedStation : public HostTest {
  protected:
    std::string Parameters() override { return "PROTOCOL=4 DISABLEALLPORTS=1 RESTRICTUSERS=1"; }
};

TEST_F(RestrictedStation, ThePrivilegeComesFromTheCreatingCaller) {
    DirectPost p = MakePost(2, {kRecDozeV, kRecPriceV});
    ASSERT_TRUE(drv::RestrictUsers().load());
    plat::CallContext user;
    user.transported = true;
    user.uid = 65534;
    user.admin = false;
    ComPtr<TStation> plain;
    {
        plat::CallContextScope scope(user);
        plain = NewStation();
    }
    plat::CallContext admin = user;
    admin.uid = 0;
    admin.admin = true;
    ComPtr<TStation> privileged;
    {
        plat::CallContextScope scope(admin);
        privileged = NewStation();
    }
    EXPECT_FALSE(plain->Privileged());
    EXPECT_TRUE(privileged->Privileged());

    int32_t r = 0;
    // Later calls count with the creator's flag, whoever makes them.
    {
        plat::CallContextScope scope(admin);
        ASSERT_EQ(plain->SetVarValue(2, tlb::cvDozeV, plat::Currency{10000}, &r), S_OK);
    }
    EXPECT_EQ(r, plat::E_ACCESSDENIED);
    ASSERT_EQ(privileged->SetVarValue(2, tlb::cvDozeV, plat::Currency{10000}, &r), S_OK);
    EXPECT_TRUE(drv::IsCmdID(r)) << r;
    ASSERT_EQ(plain->SetVarValue(2, tlb::cvLiterPrice, plat::Currency{12300}, &r), S_OK);
    EXPECT_TRUE(drv::IsCmdID(r)) << "level 0 needs no privilege";
}

TEST_F(Station, TheListHoldsEveryStationUntilOnlyItIsLeft) {
    EXPECT_FALSE(drv::StationsInUse());
    EXPECT_FALSE(drv::StationsExist());
    auto a = NewStation();
    auto b = NewStation();
    EXPECT_EQ(a->ListIndex(), 0);
    EXPECT_EQ(b->ListIndex(), 1);
    EXPECT_EQ(drv::StationListCount(), 2);
    EXPECT_EQ(TStation::LiveCount(), 2);
    EXPECT_TRUE(drv::StationsInUse());
    EXPECT_TRUE(drv::StationsExist()) << "the core's probe";
    a = nullptr;
    EXPECT_EQ(TStation::LiveCount(), 1) << "the list let go of the last reference";
    auto c = NewStation();
    EXPECT_EQ(c->ListIndex(), 0) << "a free slot is used again";
    b = nullptr;
    c = nullptr;
    EXPECT_EQ(TStation::LiveCount(), 0);
    EXPECT_EQ(drv::StationListCount(), 0);
    EXPECT_FALSE(drv::StationsInUse());

    // Without stations, a post that waits for the key, works or pauses keeps the service.
    DirectPost p = MakePost(7, {}, tlb::csIdle);
    EXPECT_FALSE(drv::StationsInUse());
    for (int s : {tlb::csWaitingKey, tlb::csWorking, tlb::csPaused}) {
        p.SetState(s);
        EXPECT_TRUE(drv::StationsInUse()) << s;
    }
    p.SetState(tlb::csCommError);
    EXPECT_FALSE(drv::StationsInUse());
}

TEST_F(Station, OneClientHoldsAtMostItsQuotaOfStationsAndEventThreads) {
    MakePost(1, {});
    const uint32_t cookie = drv::RegisterStationClass();
    ASSERT_NE(cookie, 0u);
    using drv::TChargeKind;
    plat::CallContext client;
    client.transported = true;
    client.uid = 1000;
    client.peer = "unix:pid=4242 uid=1000";
    plat::CallContext other = client;
    other.peer = "unix:pid=4343 uid=1000";

    std::vector<ComPtr<tlb::INorvalt>> held;
    {
        plat::CallContextScope scope(client);
        for (int i = 0; i < drv::kMaxStationsPerClient; ++i) {
            ComPtr<tlb::INorvalt> n;
            ASSERT_EQ(plat::CreateInstance(tlb::CLSID_TORK, n), S_OK) << i;
            held.push_back(n);
        }
        ComPtr<tlb::INorvalt> over;
        EXPECT_EQ(plat::CreateInstance(tlb::CLSID_TORK, over), plat::E_OUTOFMEMORY);
        EXPECT_FALSE(over);
    }
    EXPECT_EQ(drv::ClientCharges(client.peer, TChargeKind::Station), drv::kMaxStationsPerClient);
    EXPECT_EQ(TStation::LiveCount(), drv::kMaxStationsPerClient) << "the refused one is not kept";
    {
        plat::CallContextScope scope(other);
        EXPECT_TRUE(NewStation()) << "another client has its own quota";
    }
    EXPECT_TRUE(NewStation()) << "the service's own process has none";

    auto sink = plat::MakeCom<RecordingSink>();
    for (int i = 0; i < drv::kMaxEventThreadsPerClient; ++i)
        ASSERT_EQ(held[static_cast<size_t>(i)]->RegisterSinkInterface(sink.Get()), S_OK) << i;
    EXPECT_EQ(held.back()->RegisterSinkInterface(sink.Get()), plat::E_OUTOFMEMORY);
    EXPECT_EQ(drv::ClientCharges(client.peer, TChargeKind::EventThread),
              drv::kMaxEventThreadsPerClient);
    EXPECT_TRUE(
        Eventually([] { return drv::TAdvThread::Running() == drv::kMaxEventThreadsPerClient; }));

    // Places come back when threads and stations end.
    ASSERT_EQ(held[0]->UnRegisterSinkInterface(), S_OK);
    ASSERT_TRUE(Eventually([&] {
        return drv::ClientCharges(client.peer, TChargeKind::EventThread) ==
               drv::kMaxEventThreadsPerClient - 1;
    }));
    EXPECT_EQ(held.back()->RegisterSinkInterface(sink.Get()), S_OK);
    held.clear();
    EXPECT_TRUE(Eventually([&] {
        return drv::ClientCharges(client.peer, TChargeKind::EventThread) == 0 &&
               drv::ClientCharges(client.peer, TChargeKind::Station) == 0 &&
               TStation::LiveCount() == 0;
    }));
    EXPECT_EQ(plat::RevokeClassObject(cookie), S_OK);
}

bool g_stopping = false;

TEST_F(Station, CreatedByClsidAndRefusedWhileTheServiceStops) {
    const uint32_t cookie = drv::RegisterStationClass();
    ASSERT_NE(cookie, 0u);
    ComPtr<tlb::INorvalt> n;
    ASSERT_EQ(plat::CreateInstance(tlb::CLSID_TORK, n), S_OK);
    ASSERT_TRUE(n);
    EXPECT_TRUE(plat::QueryAs<plat::IUnknown>(n.Get()));
    EXPECT_FALSE(plat::QueryAs<tlb::IDrvControl>(n.Get()));
    EXPECT_EQ(TStation::LiveCount(), 1);

    ComPtr<tlb::IDrvControl> wrong;
    EXPECT_EQ(plat::CreateInstance(tlb::CLSID_TORK, wrong), plat::E_NOINTERFACE);
    EXPECT_EQ(TStation::LiveCount(), 1) << "the refused object is gone";

    g_stopping = true;
    drv::SetServiceStoppingProbe([] { return g_stopping; });
    ComPtr<tlb::INorvalt> late;
    EXPECT_EQ(plat::CreateInstance(tlb::CLSID_TORK, late), plat::CO_E_SERVER_STOPPING);
    EXPECT_EQ(plat::GetErrorText(), "Process is stopping");
    EXPECT_EQ(TStation::LiveCount(), 1);
    drv::SetServiceStoppingProbe(nullptr);
    n = nullptr;
    EXPECT_EQ(TStation::LiveCount(), 0);
    EXPECT_EQ(plat::RevokeClassObject(cookie), S_OK);
}

TEST_F(Station, DoneStationsStopsTheEventThreadsOfStationsStillHeld) {
    MakePost(3, {});
    auto s = NewStation();
    auto sink = plat::MakeCom<RecordingSink>();
    ASSERT_EQ(s->RegisterSinkInterface(sink.Get()), S_OK);
    ASSERT_TRUE(sink->WaitFor("PostFound 3"));
    drv::DoneStations();
    EXPECT_EQ(drv::TAdvThread::Running(), 0);
    EXPECT_FALSE(s->EventThreadRunning());
    EXPECT_EQ(sink->RefCount(), 1u) << "the station let the sink go";
    tlb::TState st{};
    EXPECT_EQ(s->GetState(3, &st), S_OK) << "a held station still answers";
    s = nullptr;
    EXPECT_EQ(TStation::LiveCount(), 0);
    drv::InitStations();
}

TEST_F(Station, NoEventThreadOutlivesTheStopNorStartsAfterIt) {
    MakePost(3, {});
    auto sink = plat::MakeCom<RecordingSink>();
    SinkGate gate(*sink, "PostFound 3");
    auto s = NewStation();
    ASSERT_EQ(s->RegisterSinkInterface(sink.Get()), S_OK);
    ASSERT_TRUE(gate.Entered());
    s = nullptr;  // the thread is left inside the client's call
    EXPECT_EQ(TStation::LiveCount(), 0);
    EXPECT_EQ(drv::TAdvThread::Running(), 1);

    // The client answers a little later, well within the stop's bound (30 s of a clock that
    // runs 50 times faster than real time here).
    std::thread client([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        gate.Open();
    });
    drv::DoneStations();
    EXPECT_EQ(drv::TAdvThread::Running(), 0) << "the stop waited for the thread";
    client.join();

    // Until the next start nothing new begins.
    EXPECT_THROW(NewStation(), plat::ComError);
    drv::InitStations();
    auto held = NewStation();
    drv::DoneStations();
    EXPECT_EQ(held->RegisterSinkInterface(sink.Get()), plat::CO_E_SERVER_STOPPING);
    EXPECT_EQ(drv::TAdvThread::Running(), 0);
    held = nullptr;
    drv::InitStations();
}

}  // namespace
