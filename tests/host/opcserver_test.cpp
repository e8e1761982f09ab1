// The OPC server object in this process: locale and error texts, the trusted client, groups
// and the advise thread, quotas and the release rule.
#include <future>
#include <thread>

#include "platform/com/callcontext.h"
#include "tests/host/OpcFixture.h"

namespace opctest {
namespace {

using plat::E_INVALIDARG;
using plat::S_FALSE;
using plat::S_OK;

class OpcServer : public OpcTest {};

// AddGroup with the usual arguments; the client's reference comes back in `unk`.
HRESULT Add(drv::TOPCServer& s, const char16_t* name, uint32_t rate, opc::OPCHANDLE& handle,
            uint32_t& revised, ComPtr<plat::IUnknown>& unk,
            const plat::IID& iid = plat::IID_IUnknown) {
    void* out = nullptr;
    HRESULT hr = s.AddGroup(name, 1, rate, 7, nullptr, nullptr, plat::LOCALE_EN_US, &handle,
                            &revised, iid, &out);
    unk = ComPtr<plat::IUnknown>::Attach(static_cast<plat::IUnknown*>(out));
    return hr;
}

std::string GroupName(drv::TOPCServer& s, const std::string& name) {
    void* out = nullptr;
    if (s.GetGroupByName(plat::Utf8ToWide(name).c_str(), plat::IID_IUnknown, &out) != S_OK)
        return "(none)";
    auto unk = ComPtr<plat::IUnknown>::Attach(static_cast<plat::IUnknown*>(out));
    auto* group = dynamic_cast<drv::TGroup*>(unk.Get());
    return group ? plat::WideToUtf8(group->Name()) : "(other)";
}

TEST_F(OpcServer, LocalesAndErrorTexts) {
    auto s = drv::TOPCServer::Create();
    plat::LCID lcid = 0;
    ASSERT_EQ(s->GetLocaleID(&lcid), S_OK);
    EXPECT_EQ(lcid, plat::LOCALE_EN_US);

    EXPECT_EQ(s->SetLocaleID(1031), E_INVALIDARG);
    EXPECT_EQ(s->GetLocaleID(&lcid), S_OK);
    EXPECT_EQ(lcid, plat::LOCALE_EN_US) << "a refused locale is not stored";
    EXPECT_EQ(s->SetLocaleID(plat::LOCALE_RU_RU), S_OK);
    EXPECT_EQ(s->GetLocaleID(&lcid), S_OK);
    EXPECT_EQ(lcid, plat::LOCALE_RU_RU);

    char16_t* text = nullptr;
    ASSERT_EQ(s->GetErrorString(plat::OPC_E_DUPLICATENAME, &text), S_OK);
    EXPECT_EQ(TakeString(text), "Повтор имени недопустим");
    ASSERT_EQ(s->GetErrorString(plat::OPC_S_CLAMP, &text), S_OK);
    EXPECT_EQ(TakeString(text), "A value passed to WRITE was accepted but the output was clamped");

    // IOPCServer's variant takes the locale per call; Russian is the language, not one LCID.
    ASSERT_EQ(s->GetErrorString(plat::OPC_E_DUPLICATENAME, plat::LOCALE_EN_US, &text), S_OK);
    EXPECT_EQ(TakeString(text), "Duplicate name not allowed.");
    ASSERT_EQ(s->GetErrorString(plat::OPC_E_INVALID_PID, 0x0819, &text), S_OK);
    EXPECT_EQ(TakeString(text), "Указанные ID свойств не опознаны");
    ASSERT_EQ(s->GetErrorString(plat::E_NOTIMPL, 1031, &text), S_OK);
    EXPECT_EQ(TakeString(text), "Function not implemented");
    // Codes outside the table: the platform's text without the trailing dot.
    ASSERT_EQ(s->GetErrorString(plat::E_INVALIDARG, plat::LOCALE_EN_US, &text), S_OK);
    EXPECT_EQ(TakeString(text), "The parameter is incorrect");
    ASSERT_EQ(s->GetErrorString(plat::E_INVALIDARG, plat::LOCALE_RU_RU, &text), S_OK);
    EXPECT_EQ(TakeString(text), "Параметр задан неверно");
    ASSERT_EQ(s->GetErrorString(plat::MakeHr(0x8123ABCD), plat::LOCALE_EN_US, &text), S_OK);
    EXPECT_EQ(TakeString(text), "Unknown error 0x8123ABCD");

    uint32_t count = 0;
    plat::LCID* ids = nullptr;
    ASSERT_EQ(s->QueryAvailableLocaleIDs(&count, &ids), S_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(ids[0], plat::LOCALE_EN_US);
    EXPECT_EQ(ids[1], plat::LOCALE_RU_RU);
    plat::CoTaskMemFree(ids);

    // A refused allocation is reported, not handed out as success.
    const size_t old = plat::CoTaskMemSetLimit(4);
    EXPECT_EQ(s->QueryAvailableLocaleIDs(&count, &ids), plat::E_OUTOFMEMORY);
    EXPECT_EQ(s->GetErrorString(plat::E_FAIL, &text), plat::E_OUTOFMEMORY);
    plat::CoTaskMemSetLimit(old);
    s = nullptr;
    ExpectNoTaskMemory();
}

TEST_F(OpcServer, TheCreatingCallerGivesLocaleAndPrivilege) {
    plat::CallContext ctx;
    ctx.locale = plat::LOCALE_RU_RU;
    ctx.admin = true;
    ComPtr<drv::TOPCServer> ru, en;
    {
        plat::CallContextScope scope(ctx);
        ru = drv::TOPCServer::Create();
    }
    ctx.locale = 1031;
    ctx.admin = false;
    {
        plat::CallContextScope scope(ctx);
        en = drv::TOPCServer::Create();
    }
    plat::LCID lcid = 0;
    ru->GetLocaleID(&lcid);
    EXPECT_EQ(lcid, plat::LOCALE_RU_RU);
    EXPECT_TRUE(ru->Privileged());
    en->GetLocaleID(&lcid);
    EXPECT_EQ(lcid, plat::LOCALE_EN_US);
    EXPECT_FALSE(en->Privileged());
    EXPECT_NE(ru->Number(), en->Number());
}

TEST_F(OpcServer, OnlyTheExactNameMakesAFriendAndAFriendStaysOne) {
    auto a = drv::TOPCServer::Create();
    auto b = drv::TOPCServer::Create();
    EXPECT_EQ(a->ClientKind(), drv::kClientUnnamed);
    EXPECT_EQ(a->SetClientName(u"5D3A9C07E1B24F68A0C7D2E49B1F6A83"), S_OK);
    EXPECT_EQ(a->ClientKind(), drv::kClientFriend);
    EXPECT_EQ(LinesContaining("Client friend"), 1u);
    EXPECT_EQ(a->SetClientName(u"Some SCADA"), S_OK);
    EXPECT_EQ(a->ClientKind(), drv::kClientFriend);

    EXPECT_EQ(b->SetClientName(u"5d3a9c07e1b24f68a0c7d2e49b1f6a83"), S_OK);
    EXPECT_EQ(b->ClientKind(), drv::kClientOther);
    EXPECT_EQ(b->SetClientName(u"5D3A9C07E1B24F68A0C7D2E49B1F6A83 "), S_OK);
    EXPECT_EQ(b->ClientKind(), drv::kClientOther);
    EXPECT_EQ(b->SetClientName(nullptr), E_INVALIDARG);
    EXPECT_EQ(LinesContaining("Client friend"), 1u);
}

TEST_F(OpcServer, ARemoteClientIsAFriendOnlyWhenTheTransportTrustsRemoteClients) {
    plat::CallContext remote;
    remote.transported = true;
    remote.remote = true;
    remote.peer = "tcp:192.0.2.7:40000";
    auto name = [&](drv::TOPCServer& s) {
        plat::CallContextScope scope(remote);
        return s.SetClientName(u"5D3A9C07E1B24F68A0C7D2E49B1F6A83");
    };
    auto a = drv::TOPCServer::Create();
    EXPECT_EQ(name(*a), S_OK);
    EXPECT_EQ(a->ClientKind(), drv::kClientOther) << "anyone who reaches the TCP port";
    EXPECT_EQ(LinesContaining("Client friend"), 0u);

    ASSERT_EQ(plat::reg::WriteDword(plat::reg::Hive::LocalMachine, plat::kTransportKey,
                                    "TrustRemoteClients", 1),
              plat::ERROR_SUCCESS);
    auto b = drv::TOPCServer::Create();
    EXPECT_EQ(name(*b), S_OK);
    EXPECT_EQ(b->ClientKind(), drv::kClientFriend);
}

TEST_F(OpcServer, GroupsByNameRateAndHandle) {
    auto s = drv::TOPCServer::Create();
    opc::OPCHANDLE h1 = 0, h2 = 0, h3 = 0;
    uint32_t rate = 0;
    ComPtr<plat::IUnknown> g1, g2, g3, dup;
    EXPECT_EQ(Add(*s, u"Fast", 20, h1, rate, g1), plat::OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(rate, 50u);
    EXPECT_EQ(Add(*s, u"Fast", 1000, h2, rate, dup), plat::OPC_E_DUPLICATENAME);
    EXPECT_FALSE(dup);
    EXPECT_EQ(Add(*s, u"Slow", 50, h2, rate, g2), S_OK);
    EXPECT_EQ(rate, 50u);
    EXPECT_EQ(Add(*s, nullptr, 1000, h3, rate, g3), S_OK);
    EXPECT_EQ(rate, 1000u);
    EXPECT_NE(h1, h2);
    EXPECT_NE(h2, h3);
    const std::string dflt = "Group" + std::to_string(h3);
    EXPECT_EQ(GroupName(*s, dflt), dflt);
    EXPECT_EQ(GroupName(*s, "Fast"), "Fast");
    EXPECT_EQ(dynamic_cast<drv::TGroup*>(g1.Get())->ClientKind(), drv::kClientUnnamed);

    void* out = nullptr;
    EXPECT_EQ(s->GetGroupByName(u"Nope", plat::IID_IUnknown, &out), E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(s->GetGroupByName(u"Fast", opc::IID_IOPCServer, &out), plat::E_NOINTERFACE);

    opc::OPCSERVERSTATUS* st = nullptr;
    ASSERT_EQ(s->GetStatus(&st), S_OK);
    EXPECT_EQ(st->dwGroupCount, 3u);
    EXPECT_EQ(st->dwServerState, opc::OPC_STATUS_RUNNING);
    EXPECT_EQ(st->dwBandWidth, 1000u);
    EXPECT_EQ(st->wMajorVersion, 1);
    EXPECT_EQ(st->wMinorVersion, 1);
    EXPECT_EQ(st->wBuildNumber, 1);
    EXPECT_NE(st->szVendorInfo, nullptr);
    opc::FreeServerStatus(*st);
    plat::CoTaskMemFree(st);

    EXPECT_EQ(s->RemoveGroup(h2 + h3 + 1000, 0), S_FALSE);
    EXPECT_EQ(s->RemoveGroup(h1, 0), S_OK);
    EXPECT_EQ(s->RemoveGroup(h1, 0), S_FALSE);
    // Its name is free again.
    EXPECT_EQ(Add(*s, u"Fast", 100, h1, rate, dup), S_OK);
    g1 = g2 = g3 = dup = nullptr;
    s = nullptr;
    ExpectNoTaskMemory();
}

TEST_F(OpcServer, GroupsAreCreatedWithTheClientKindOfTheirTime) {
    auto s = drv::TOPCServer::Create();
    opc::OPCHANDLE h = 0;
    uint32_t rate = 0;
    ComPtr<plat::IUnknown> before, after;
    ASSERT_EQ(Add(*s, u"A", 100, h, rate, before), S_OK);
    s->SetClientName(u"5D3A9C07E1B24F68A0C7D2E49B1F6A83");
    ASSERT_EQ(Add(*s, u"B", 100, h, rate, after), S_OK);
    EXPECT_EQ(dynamic_cast<drv::TGroup*>(before.Get())->ClientKind(), drv::kClientUnnamed);
    EXPECT_EQ(dynamic_cast<drv::TGroup*>(after.Get())->ClientKind(), drv::kClientFriend);
}

TEST_F(OpcServer, AGroupForAnInterfaceItLacksIsNotKept) {
    auto s = drv::TOPCServer::Create();
    opc::OPCHANDLE h = 0;
    uint32_t rate = 0;
    ComPtr<plat::IUnknown> g;
    const int live = drv::TGroup::LiveCount();
    EXPECT_EQ(Add(*s, u"G", 100, h, rate, g, opc::IID_IOPCServer), plat::E_NOINTERFACE);
    EXPECT_FALSE(g);
    EXPECT_EQ(s->GroupCount(), 0u);
    EXPECT_EQ(drv::TGroup::LiveCount(), live) << "the refused group was kept";
    EXPECT_FALSE(s->HasAdviseThread());
    EXPECT_EQ(Add(*s, u"G", 100, h, rate, g), S_OK) << "the refused group's name stayed taken";
}

TEST_F(OpcServer, AGroupGoesWithTheClientsLastReference) {
    auto s = drv::TOPCServer::Create();
    opc::OPCHANDLE h = 0;
    uint32_t rate = 0;
    ComPtr<plat::IUnknown> g, keep;
    ASSERT_EQ(Add(*s, u"G", 100, h, rate, g), S_OK);
    keep = g;
    g = nullptr;
    EXPECT_EQ(s->GroupCount(), 1u);
    // The advise thread may hold the group for a moment longer; then it goes.
    keep = nullptr;
    EXPECT_TRUE(hosttest::Eventually([&] { return s->GroupCount() == 0; }));
    EXPECT_EQ(GroupName(*s, "G"), "(none)");
    EXPECT_TRUE(hosttest::Eventually([&] { return !s->HasAdviseThread(); }));

    // A group the client still holds after RemoveGroup lives on outside the server.
    ASSERT_EQ(Add(*s, u"H", 100, h, rate, g), S_OK);
    EXPECT_EQ(s->RemoveGroup(h, 0), S_OK);
    EXPECT_TRUE(
        hosttest::Eventually([&] { return dynamic_cast<drv::TGroup*>(g.Get())->RefCount() == 1; }));
    const int live = drv::TGroup::LiveCount();
    g = nullptr;
    EXPECT_EQ(drv::TGroup::LiveCount(), live - 1);
}

TEST_F(OpcServer, TheAdviseThreadRunsWhileTheServerHasGroups) {
    auto s = drv::TOPCServer::Create();
    EXPECT_FALSE(s->HasAdviseThread());
    opc::OPCHANDLE h1 = 0, h2 = 0;
    uint32_t rate = 0;
    ComPtr<plat::IUnknown> g1, g2;
    ASSERT_EQ(Add(*s, u"A", 100, h1, rate, g1), S_OK);
    auto first = s->AdviseThread();
    ASSERT_TRUE(first);
    EXPECT_TRUE(hosttest::Eventually([&] { return first->Passes() > 0; }));
    ASSERT_EQ(Add(*s, u"B", 100, h2, rate, g2), S_OK);
    EXPECT_EQ(s->AdviseThread(), first) << "one thread per server";

    EXPECT_EQ(s->RemoveGroup(h1, 0), S_OK);
    EXPECT_FALSE(first->Finished());
    EXPECT_EQ(s->RemoveGroup(h2, 0), S_OK);
    EXPECT_FALSE(s->HasAdviseThread());
    EXPECT_TRUE(hosttest::Eventually([&] { return first->Finished(); }));

    ASSERT_EQ(Add(*s, u"C", 100, h1, rate, g1), S_OK);
    auto second = s->AdviseThread();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_TRUE(hosttest::Eventually([&] { return second->Passes() > 0; }));
    g1 = g2 = nullptr;
    EXPECT_TRUE(hosttest::Eventually([&] { return second->Finished(); }));
}

TEST_F(OpcServer, GroupEnumeratorsOfNamesAndInterfaces) {
    auto s = drv::TOPCServer::Create();
    opc::OPCHANDLE h = 0;
    uint32_t rate = 0;
    ComPtr<plat::IUnknown> g1, g2;
    ASSERT_EQ(Add(*s, u"One", 100, h, rate, g1), S_OK);
    ASSERT_EQ(Add(*s, u"Two", 100, h, rate, g2), S_OK);

    void* out = nullptr;
    ASSERT_EQ(s->CreateGroupEnumerator(opc::OPC_ENUM_ALL, opc::IID_IEnumString, &out), S_OK);
    auto names = ComPtr<opc::IEnumString>::Attach(static_cast<opc::IEnumString*>(out));
    EXPECT_EQ(ReadAll(names.Get()), (std::vector<std::string>{"One", "Two"}));

    ASSERT_EQ(s->CreateGroupEnumerator(opc::OPC_ENUM_ALL, opc::IID_IEnumUnknown, &out), S_OK);
    auto unks = ComPtr<opc::IEnumUnknown>::Attach(static_cast<opc::IEnumUnknown*>(out));
    plat::IUnknown* got[3] = {};
    uint32_t fetched = 0;
    EXPECT_EQ(unks->Next(3, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(got[0], g1.Get());
    EXPECT_EQ(got[1], g2.Get());
    got[0]->Release();
    got[1]->Release();

    // The enumerator keeps a group the client let go of until it goes itself.
    g1 = nullptr;
    EXPECT_EQ(s->GroupCount(), 2u);
    unks = nullptr;
    EXPECT_TRUE(hosttest::Eventually([&] { return s->GroupCount() == 1; }));
    names = nullptr;
    g2 = nullptr;
    EXPECT_TRUE(hosttest::Eventually([&] { return s->GroupCount() == 0; }));
    ExpectNoTaskMemory();
}

TEST_F(OpcServer, GroupsPerServerAreBounded) {
    auto s = drv::TOPCServer::Create();
    std::vector<ComPtr<plat::IUnknown>> held;
    opc::OPCHANDLE h = 0;
    uint32_t rate = 0;
    for (size_t i = 0; i < drv::kMaxGroupsPerServer; ++i) {
        ComPtr<plat::IUnknown> g;
        ASSERT_EQ(Add(*s, nullptr, 1000, h, rate, g), S_OK) << i;
        held.push_back(g);
    }
    ComPtr<plat::IUnknown> extra;
    EXPECT_EQ(Add(*s, nullptr, 1000, h, rate, extra), plat::E_OUTOFMEMORY);
    EXPECT_FALSE(extra);
    held.pop_back();
    EXPECT_EQ(Add(*s, nullptr, 1000, h, rate, extra), S_OK);
}

TEST_F(OpcServer, ServersPerClientAreBoundedAndTheListForgetsReleasedOnes) {
    plat::CallContext ctx;
    ctx.transported = true;
    ctx.peer = "unix:pid=4242 uid=1000";
    std::vector<ComPtr<drv::TOPCServer>> held;
    {
        plat::CallContextScope scope(ctx);
        for (int i = 0; i < drv::kMaxOPCServersPerClient; ++i)
            held.push_back(drv::TOPCServer::Create());
        EXPECT_THROW(drv::TOPCServer::Create(), plat::ComError);
    }
    // Another client and this process are not charged for it.
    EXPECT_NO_THROW(drv::TOPCServer::Create());
    EXPECT_TRUE(drv::OPCServerExists());
    held.pop_back();
    {
        plat::CallContextScope scope(ctx);
        EXPECT_NO_THROW(held.push_back(drv::TOPCServer::Create()));
    }
    held.clear();
    EXPECT_FALSE(drv::OPCServerExists());
    EXPECT_EQ(drv::TOPCServer::LiveCount(), 0);
}

TEST_F(OpcServer, ClientCallFailuresRaiseAndTheFirstGoodCallIsLogged) {
    drv::TClientCalls calls;
    calls.Check("OnDataChange", S_OK);
    EXPECT_EQ(LinesContaining("OPC Client call ok after errors"), 0u);
    try {
        calls.Check("OnDataChange", plat::E_FAIL);
        ADD_FAILURE() << "no EClientError";
    } catch (const drv::EClientError& e) {
        EXPECT_EQ(e.Code(), plat::E_FAIL);
        EXPECT_STREQ(e.what(), "Ошибка вызова OnDataChange. Код:-2147467259. Unspecified error");
    }
    EXPECT_THROW(calls.Check("OnDataChange", plat::RPC_E_DISCONNECTED), drv::EClientError);
    EXPECT_TRUE(calls.Failing());
    calls.Check("OnDataChange", S_FALSE);
    calls.Check("OnDataChange", S_OK);
    EXPECT_EQ(LinesContaining("OPC Client call ok after errors"), 1u);
}

}  // namespace
}  // namespace opctest
