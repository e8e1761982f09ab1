// The transport within one process: a client connection and the server's connection over a
// real socket, with the client's calls, the server's callbacks and the reference counts.
#include <gtest/gtest.h>

#include <future>

#include "platform/time/clock.h"

#include "tests/rpc/RpcFixture.h"

using namespace rpctest;
using plat::S_OK;

namespace {

class Loopback : public RpcServerFixture {};

TEST_F(Loopback, EveryParameterKindCrossesBothWays) {
    auto k = Create<ITestKinds>();
    ASSERT_TRUE(k);

    int8_t oa = 0;
    uint64_t oh = 0;
    double oj = 0;
    ASSERT_EQ(k->Numbers(-100, 200, -30000, 60000, -2000000000, 4000000000u, -(1LL << 40),
                         UINT64_MAX - 1, 0.5f, 1.25, true, &oa, &oh, &oj),
              S_OK);
    EXPECT_EQ(oa, 100);
    EXPECT_EQ(oh, UINT64_MAX);
    EXPECT_DOUBLE_EQ(oj, 2.5 + 200 - 30000 + 60000 - 2000000000.0 + 4000000000.0 -
                             static_cast<double>(1LL << 40) + 0.5 + 1);

    plat::Currency cy;
    plat::DATE d = 0;
    plat::FILETIME ft;
    ASSERT_EQ(k->Times(plat::Currency{-123456789012345LL}, 45000.125,
                       plat::U64ToFileTime(0x01D9000000000000ull), &cy, &d, &ft),
              S_OK);
    EXPECT_EQ(cy.int64, -123456789012344LL);
    EXPECT_DOUBLE_EQ(d, 45001.125);
    EXPECT_EQ(plat::FileTimeToU64(ft), 0x01D9000000000001ull);

    plat::GUID g = tlb::IID_INorvalt, go;
    ASSERT_EQ(k->Guids(g, &go), S_OK);
    EXPECT_EQ(go.Data1, g.Data1);
    EXPECT_EQ(go.Data4[0], g.Data4[7]);

    // Frame bytes as code units, an embedded NUL and a lone surrogate survive unchanged.
    WideString s =
        plat::BytesToWide(std::string("\x00\x02\xFF\x80", 4)) + char16_t(0xDC01) + u"\u0416";
    WideString so;
    ASSERT_EQ(k->Strings(s, &so), S_OK);
    EXPECT_EQ(so, WideString(s.rbegin(), s.rend()));

    for (const plat::Variant& v :
         {plat::Variant(), plat::Variant::Null(), plat::Variant::I1(-5), plat::Variant::UI1(250),
          plat::Variant::I2(-300), plat::Variant::UI2(65000), plat::Variant::I4(-7),
          plat::Variant::UI4(4000000000u), plat::Variant::I8(-(1LL << 50)),
          plat::Variant::UI8(1ull << 63), plat::Variant::Int(-9), plat::Variant::UInt(9),
          plat::Variant::R4(1.5f), plat::Variant::R8(-2.25),
          plat::Variant::Cy(plat::Currency{15000}), plat::Variant::Date(45000.5),
          plat::Variant::Bool(true), plat::Variant::Str(u"\u0416x"),
          plat::Variant::Error(plat::E_FAIL)}) {
        plat::Variant out = plat::Variant::I4(12345);
        ASSERT_EQ(k->Variants(v, &out), S_OK) << v.vt;
        EXPECT_TRUE(out == v) << "vt " << v.vt;
    }

    int32_t got = 0;
    char16_t* text = nullptr;
    int32_t seven = 7;
    ASSERT_EQ(k->Optional(&seven, u"ab", &got, &text), S_OK);
    EXPECT_EQ(got, 7);
    ASSERT_TRUE(text);
    EXPECT_EQ(WideString(text), u"ab!");
    plat::CoTaskMemFree(text);
    ASSERT_EQ(k->Optional(nullptr, nullptr, &got, &text), S_OK);
    EXPECT_EQ(got, -1);
    EXPECT_EQ(text, nullptr);

    int32_t values[] = {5, -7, 1000000};
    int64_t total = 0;
    ASSERT_EQ(k->Sum(3, values, &total), S_OK);
    EXPECT_EQ(total, 999998);
    ASSERT_EQ(k->Sum(0, nullptr, &total), S_OK);
    EXPECT_EQ(total, 0);

    const size_t blocks = plat::CoTaskMemLiveBlocks();
    int32_t* seq = nullptr;
    ASSERT_EQ(k->Sequence(4, 10, &seq), S_OK);
    ASSERT_TRUE(seq);
    EXPECT_EQ(std::vector<int32_t>(seq, seq + 4), (std::vector<int32_t>{10, 11, 12, 13}));
    plat::CoTaskMemFree(seq);

    uint32_t n = 0;
    plat::Variant* list = nullptr;
    ASSERT_EQ(k->VariantList(3, &n, &list), S_OK);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(list[2].bstrVal, u"v2");
    std::destroy_n(list, n);
    plat::CoTaskMemFree(list);
    EXPECT_EQ(plat::CoTaskMemLiveBlocks(), blocks) << "task memory leaked by a side";

    // An out interface whose IID is another parameter: a new server object, released with
    // the proxy.
    const int live = g_live_objects.load();
    void* made = nullptr;
    ASSERT_EQ(k->Make(IID_ITestKinds, &made), S_OK);
    ASSERT_TRUE(made);
    auto child = ComPtr<ITestKinds>::Attach(static_cast<ITestKinds*>(made));
    EXPECT_TRUE(plat::rpc::AsProxy(child.Get()));
    ASSERT_EQ(child->Sum(3, values, &total), S_OK);
    EXPECT_EQ(total, 999998);
    EXPECT_EQ(g_live_objects.load(), live + 1);
    child = nullptr;
    EXPECT_TRUE(Eventually([&] { return g_live_objects.load() == live; }));
    const plat::IID undeclared = plat::GuidOf("{00000000-1111-2222-3333-444444444444}");
    EXPECT_EQ(k->Make(undeclared, &made), plat::E_NOINTERFACE);
    EXPECT_EQ(made, nullptr);

    // A null out pointer is refused before anything is sent.
    EXPECT_EQ(k->Strings(s, nullptr), plat::E_POINTER);
    EXPECT_EQ(k->Sum(2, nullptr, &total), plat::E_POINTER);
}

TEST_F(Loopback, TypeLibraryInterfacesCarryTheirRecordsAndArrays) {
    auto n = Create<tlb::INorvalt>();
    ASSERT_TRUE(n);
    int32_t res = 0;
    ASSERT_EQ(n->StateJumpValid(3, tlb::cvDozeV, tlb::cvTotalW, &res), S_OK);
    EXPECT_EQ(res, 30311);
    tlb::TState st;
    ASSERT_EQ(n->GetState(2, &st), S_OK);
    EXPECT_EQ(st.Value, tlb::csWorking);
    EXPECT_DOUBLE_EQ(st.TimeStamp, 45002.5);
    tlb::TCmdID cmd = 0;
    ASSERT_EQ(n->SetVarValue(1, tlb::cvDozeV, plat::Currency{123450000}, &cmd), S_OK);
    EXPECT_EQ(cmd, 12345);

    tlb::TVariableInfo info;
    ASSERT_EQ(n->GetVariable(4, int32_t{tlb::cvVCal3F}, &info, &res), S_OK);
    EXPECT_EQ(info.Code, tlb::cvVCal3F);
    EXPECT_EQ(info.ShortName, u"V\u0416");
    EXPECT_EQ(info.Name, WideString(u"Vol\0ume", 7) + char16_t(0xD800));
    EXPECT_EQ(info.MinValue.int64, -4);
    EXPECT_EQ(info.MaxValue.int64, 9999999999999LL);
    EXPECT_EQ(info.BelongsTo, -2);
    EXPECT_EQ(info.IsRandom, plat::VARIANT_TRUE);

    tlb::TVariableValue val;
    ASSERT_EQ(n->GetVarValue(6, tlb::cvCurrentV, &val, &res), S_OK);
    EXPECT_EQ(val.Value.int64, 60001);
    uint32_t idle = 0, work = 0;
    ASSERT_EQ(n->GetVarInterval(1, tlb::cvCurrentV, &idle, &work, &res), S_OK);
    EXPECT_EQ(idle, 1000u);
    EXPECT_EQ(work, 100u);
    double band = 0;
    ASSERT_EQ(n->BandUsed(&band), S_OK);
    EXPECT_EQ(band, 1.0);

    auto ctl = plat::QueryAs<tlb::IDrvControl>(n.Get());
    ASSERT_TRUE(ctl);
    int32_t state = 0, passes = 0;
    ASSERT_EQ(ctl->GetThreadState(33, &state, &passes), S_OK);
    EXPECT_EQ(state, -3);
    ASSERT_EQ(ctl->SetSearchMode(-1), S_OK);
    ASSERT_EQ(ctl->Restart(), S_OK);
    ASSERT_TRUE(ServerObject());
    EXPECT_EQ(ServerObject()->search.load(), -1);
    EXPECT_EQ(ServerObject()->restarts.load(), 1);

    auto ext = plat::QueryAs<tlb::IOPCItemSamplingMgtExt>(n.Get());
    ASSERT_TRUE(ext);
    uint32_t handles[] = {1, 2, 0x70000000};
    int32_t enable[] = {0, 1, 1};
    int32_t early[] = {1, 0, 1};
    plat::HRESULT* errors = nullptr;
    ASSERT_EQ(ext->SetItemBufferEnableAndTimeStampControl(3, handles, enable, early, &errors),
              S_OK);
    ASSERT_TRUE(errors);
    EXPECT_EQ(errors[0], 1 ^ 0 ^ 0x100);
    EXPECT_EQ(errors[2], 0x70000000 ^ 1 ^ 0x100);
    plat::CoTaskMemFree(errors);

    // An emulator registers from the client; the server exchanges a frame with it at once.
    auto reg = plat::QueryAs<tlb::IHWEmuReg>(n.Get());
    ASSERT_TRUE(reg);
    auto emu = plat::MakeCom<Emu>();
    int32_t protocol = -1;
    EXPECT_EQ(reg->Reg(33, &protocol, emu.Get()), plat::E_INVALIDARG);
    ASSERT_EQ(reg->Reg(2, &protocol, emu.Get()), S_OK);
    EXPECT_EQ(ServerObject()->last_answer, plat::BytesToWide(std::string("\x00\x80\xFF\x02", 4)));
    ASSERT_EQ(reg->Unreg(2), S_OK);
}

TEST_F(Loopback, CallbackDuringACallRunsOnTheWaitingThread) {
    auto n = Create<tlb::INorvalt>();
    auto sink = plat::MakeCom<Sink>();
    ASSERT_EQ(n->RegisterSinkInterface(sink.Get()), S_OK);
    ASSERT_EQ(sink->Events(), std::vector<std::string>{"PostFound 7"});
    int32_t res = 1;
    ASSERT_EQ(n->ReReadVarValue(5, tlb::cvTemperature, &res), S_OK);
    EXPECT_EQ(res, 0) << "the sink's result comes back through the server";
    ASSERT_EQ(sink->Events().size(), 2u);
    EXPECT_EQ(sink->Events()[1], "VarValueChanged 5 12 50000 45000.250000");
    for (uint32_t tid : sink->Threads()) EXPECT_EQ(tid, plat::CurrentThreadId());

    // Callbacks from a server thread of its own arrive on a pool thread of the client.
    ComPtr<tlb::INorvaltEvents> server_side = ServerObject()->Sink();
    ASSERT_TRUE(server_side);
    std::thread t([&] {
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(
                server_side->StateChanged(static_cast<int8_t>(i), tlb::TState{tlb::csIdle, 1.0}),
                S_OK);
    });
    t.join();
    ASSERT_TRUE(sink->WaitFor(22, 5000));
    EXPECT_EQ(sink->Events()[21], "StateChanged 19 0 1.000000");
    EXPECT_NE(sink->Threads()[21], plat::CurrentThreadId());
    server_side = nullptr;

    // The Ex sink is called through its own interface.
    auto sink2 = plat::MakeCom<Sink>();
    ASSERT_EQ(n->RegisterSinkInterfaceEx(sink2.Get()), S_OK);
    EXPECT_EQ(sink2->Events(), std::vector<std::string>{"PostWithoutChanges 0 45002.000000"});
    ASSERT_EQ(n->UnRegisterSinkInterface(), S_OK);
    n = nullptr;
    EXPECT_TRUE(Eventually([&] { return sink->RefCount() == 1 && sink2->RefCount() == 1; }))
        << "the server's references to the client's sinks were not given back";
}

TEST_F(Loopback, ACallbackTheClientLeavesUnansweredTimesOutAndTheConnectionGoesOn) {
    auto n = Create<tlb::INorvalt>();
    auto sink = plat::MakeCom<Sink>();
    ASSERT_EQ(n->RegisterSinkInterface(sink.Get()), S_OK);
    ComPtr<tlb::INorvaltEvents> server_side = ServerObject()->Sink();
    ASSERT_TRUE(server_side);

    plat::ScopedFakeClock clock(false);
    HRESULT hr = S_OK;
    {
        ClosedGate gate;
        sink->stall = true;
        auto call = std::async(std::launch::async, [&] { return server_side->PostFound(3); });
        ASSERT_TRUE(Eventually([] { return g_gate.Waiting() == 1; }));
        clock->Advance(plat::rpc::kDefaultCallbackTimeoutMs - 1000);
        EXPECT_EQ(call.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
            << "gave up before its time";
        clock->Advance(2000);
        ASSERT_EQ(call.wait_for(std::chrono::seconds(10)), std::future_status::ready)
            << "the server's thread still waits for the client";
        hr = call.get();
        sink->stall = false;
    }
    EXPECT_EQ(hr, plat::rpc::RPC_E_TIMEOUT);
    // The client answers late: the answer is dropped and the connection serves on.
    ASSERT_TRUE(sink->WaitFor(2, 5000));
    EXPECT_EQ(server_side->PostFound(4), S_OK);
    ASSERT_TRUE(sink->WaitFor(3, 5000));
    EXPECT_EQ(sink->Events()[2], "PostFound 4");
    ASSERT_TRUE(ServerSide());
    EXPECT_TRUE(ServerSide()->Alive());
    server_side = nullptr;
    ASSERT_EQ(n->UnRegisterSinkInterface(), S_OK);
}

TEST_F(Loopback, AClientCallToAServerThatDoesNotAnswerEndsAtTheClientTimeOut) {
    plat::rpc::SetClientCallTimeout(5000);
    struct Restore {
        ~Restore() { plat::rpc::SetClientCallTimeout(0); }
    } restore;
    auto k = Create<ITestKinds>();
    ASSERT_TRUE(k);
    plat::ScopedFakeClock clock(false);
    std::future<HRESULT> call;
    std::string text;
    {
        ClosedGate gate;
        call = std::async(std::launch::async, [&] {
            HRESULT hr = k->Park(plat::WideString());
            text = plat::GetErrorText();
            return hr;
        });
        ASSERT_TRUE(Eventually([] { return g_gate.Waiting() == 1; }));
        clock->Advance(4000);
        EXPECT_EQ(call.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
            << "gave up before its time";
        clock->Advance(2000);
        ASSERT_EQ(call.wait_for(std::chrono::seconds(10)), std::future_status::ready)
            << "the client still waits for the server";
    }
    EXPECT_EQ(call.get(), plat::rpc::RPC_E_TIMEOUT);
    EXPECT_FALSE(text.empty());
    // The server answers late: the answer is dropped and the connection serves on.
    uint32_t tid = 0;
    EXPECT_EQ(k->ThreadId(&tid), S_OK);
    EXPECT_NE(tid, 0u);
}

TEST_F(Loopback, NestedCallsPingPongOnOneLogicalThread) {
    auto k = Create<ITestKinds>();
    auto mine = plat::MakeCom<Kinds>();
    int32_t result = 0;
    ASSERT_EQ(k->Ping(mine.Get(), 6, &result), S_OK);
    EXPECT_EQ(result, 7);
    // The client's object served every nested call on the thread that made the first one.
    ASSERT_EQ(mine->ping_threads.size(), 3u);
    for (uint32_t tid : mine->ping_threads) EXPECT_EQ(tid, plat::CurrentThreadId());
    // And the server's nested calls ran on the thread of its first one.
    const auto& st = ServerObject()->ping_threads;
    ASSERT_EQ(st.size(), 4u);
    for (uint32_t tid : st) EXPECT_EQ(tid, st[0]);
}

TEST_F(Loopback, AnObjectPassedBackToItsOwnerIsTheRealObject) {
    auto k = Create<ITestKinds>();
    int32_t result = 0;
    ASSERT_EQ(k->Ping(k.Get(), 3, &result), S_OK);
    EXPECT_EQ(result, 4);
    EXPECT_EQ(ServerSide()->ImportedObjects(), 0u) << "the server proxied its own object";
}

TEST_F(Loopback, RemoteQueryInterfaceAndReleaseReachTheRealCount) {
    auto n = Create<tlb::INorvalt>();
    TestObject* obj = ServerObject();
    ASSERT_TRUE(obj);
    EXPECT_EQ(obj->RefCount(), 1u) << "one reference: the client's";
    auto ctl = plat::QueryAs<tlb::IDrvControl>(n.Get());
    ASSERT_TRUE(ctl);
    EXPECT_EQ(obj->RefCount(), 2u) << "the remote QueryInterface took its reference on the object";
    auto ctl2 = plat::QueryAs<tlb::IDrvControl>(n.Get());
    EXPECT_EQ(ctl2.Get(), ctl.Get()) << "a known interface is answered by the proxy";
    EXPECT_EQ(obj->RefCount(), 2u);
    EXPECT_FALSE(plat::QueryAs<tlb::IHWEmu>(n.Get())) << "the object does not implement it";
    EXPECT_FALSE(plat::QueryAs<tlb::INorvaltEvents>(n.Get()));
    EXPECT_EQ(obj->RefCount(), 2u);
    // One identity for all interfaces of the object.
    EXPECT_EQ(plat::QueryAs<plat::IUnknown>(n.Get()).Get(),
              plat::QueryAs<plat::IUnknown>(ctl.Get()).Get());

    auto conn = ServerSide();
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->ExportedReferences(), 2u);
    n = nullptr;
    EXPECT_EQ(obj->RefCount(), 2u) << "the proxy keeps its references while any interface is held";
    ctl = nullptr;
    ctl2 = nullptr;
    EXPECT_TRUE(Eventually([] { return LiveTestObjects() == 0; }))
        << "the last release did not reach the server";
    EXPECT_EQ(conn->ExportedObjects(), 0u);
}

TEST_F(Loopback, FailuresCarryTheirCodeAndText) {
    auto k = Create<ITestKinds>();
    EXPECT_EQ(k->Fail(plat::E_ACCESSDENIED, u"Нет прав"), plat::E_ACCESSDENIED);
    EXPECT_EQ(plat::GetErrorText(), "Нет прав");
    EXPECT_EQ(k->Throw(u"broken"), plat::E_UNEXPECTED);
    EXPECT_EQ(plat::GetErrorText(), "broken");
    uint32_t tid = 0;
    EXPECT_EQ(k->ThreadId(&tid), S_OK);
    EXPECT_EQ(plat::GetErrorText(), "") << "a successful call clears the text";

    refuse_creation = true;
    void* p = nullptr;
    EXPECT_EQ(plat::rpc::CreateOnLocalServer(socket_path, CLSID_TestObject, tlb::IID_INorvalt, &p),
              plat::CO_E_SERVER_STOPPING);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(plat::GetErrorText(), "Process is stopping");
    EXPECT_EQ(plat::rpc::CreateOnLocalServer(socket_path, tlb::CLSID_DA2, tlb::IID_INorvalt, &p),
              plat::REGDB_E_CLASSNOTREG);
}

TEST_F(Loopback, CallsOnADeadConnectionFailWithDisconnected) {
    auto k = Create<ITestKinds>();
    auto n = Create<tlb::INorvalt>();
    auto sink = plat::MakeCom<Sink>();
    ASSERT_EQ(n->RegisterSinkInterface(sink.Get()), S_OK);
    EXPECT_EQ(sink->RefCount(), 2u);
    server.Stop();
    uint32_t tid;
    EXPECT_EQ(k->ThreadId(&tid), plat::RPC_E_DISCONNECTED);
    EXPECT_EQ(n->UnRegisterSinkInterface(), plat::RPC_E_DISCONNECTED);
    EXPECT_FALSE(plat::QueryAs<tlb::IDrvControl>(n.Get()));
    EXPECT_TRUE(Eventually([&] { return sink->RefCount() == 1; }))
        << "the sink's export survived the connection";
    EXPECT_EQ(LiveTestObjects(), 0) << "the server kept objects of a closed connection";
}

TEST_F(Loopback, BlockingCallsDoNotHoldUpOthers) {
    auto k = Create<ITestKinds>();
    auto start = std::chrono::steady_clock::now();
    std::vector<std::future<plat::HRESULT>> calls;
    for (int i = 0; i < 12; ++i)
        calls.push_back(std::async(std::launch::async, [&] { return k->Sleep(300); }));
    for (auto& f : calls) EXPECT_EQ(f.get(), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500))
        << "calls were served one after another";
}

TEST_F(Loopback, ConnectionPointsAcrossTheTransport) {
    auto c = Create<plat::IConnectionPointContainer>();
    ComPtr<plat::IConnectionPoint> point;
    EXPECT_EQ(c->FindConnectionPoint(tlb::IID_IHWEmu, nullptr), plat::E_POINTER);
    plat::IConnectionPoint* raw = nullptr;
    EXPECT_EQ(c->FindConnectionPoint(tlb::IID_IHWEmu, &raw), plat::CONNECT_E_NOCONNECTION);
    ASSERT_EQ(c->FindConnectionPoint(tlb::IID_INorvaltEvents, &raw), S_OK);
    point = ComPtr<plat::IConnectionPoint>::Attach(raw);
    plat::IID iid{};
    ASSERT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, tlb::IID_INorvaltEvents);

    auto emu = plat::MakeCom<Emu>();
    uint32_t cookie = 0;
    EXPECT_EQ(point->Advise(static_cast<tlb::IHWEmu*>(emu.Get()), &cookie),
              plat::CONNECT_E_CANNOTCONNECT);
    auto sink = plat::MakeCom<Sink>();
    ASSERT_EQ(point->Advise(static_cast<tlb::INorvaltEvents*>(sink.Get()), &cookie), S_OK);
    TestObject* obj = ServerObject();
    ASSERT_EQ(obj->Point().Count(), 1u);
    for (auto& s : obj->Point().Sinks()) EXPECT_EQ(s->PostDeleted(3), S_OK);
    EXPECT_EQ(sink->Events(), std::vector<std::string>{"PostDeleted 3"});
    EXPECT_EQ(point->Unadvise(cookie + 1), plat::CONNECT_E_NOCONNECTION);
    ASSERT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_EQ(obj->Point().Count(), 0u);

    plat::IConnectionPointContainer* back = nullptr;
    ASSERT_EQ(point->GetConnectionPointContainer(&back), S_OK);
    EXPECT_EQ(plat::QueryAs<plat::IUnknown>(back).Get(),
              plat::QueryAs<plat::IUnknown>(c.Get()).Get());
    back->Release();
    // The point keeps its container alive.
    c = nullptr;
    EXPECT_EQ(LiveTestObjects(), 1);
    point = nullptr;
    EXPECT_TRUE(Eventually([] { return LiveTestObjects() == 0; }));
}

TEST(RpcDeclarations, MethodTablesFollowTheTypeLibrarySlotOrder) {
    RegisterAll();
    auto check = [](const plat::IID& iid, std::vector<std::string_view> want) {
        const plat::rpc::InterfaceInfo* info = plat::rpc::FindInterface(iid);
        ASSERT_TRUE(info);
        ASSERT_EQ(info->method_count, want.size()) << info->name;
        for (size_t i = 0; i < want.size(); ++i)
            EXPECT_EQ(info->methods[i].name, want[i]) << info->name;
    };
    auto names = [](auto& methods) {
        std::vector<std::string_view> v;
        for (const auto& m : methods) v.push_back(m.Name);
        return v;
    };
    check(tlb::IID_INorvalt, names(tlb::INorvalt::kMethods));
    check(tlb::IID_INorvaltEvents, names(tlb::INorvaltEvents::kMethods));
    auto ex = names(tlb::INorvaltEvents::kMethods);
    for (auto n : names(tlb::INorvaltEventsEx::kMethods)) ex.push_back(n);
    check(tlb::IID_INorvaltEventsEx, ex);
    check(tlb::IID_IDrvControl, names(tlb::IDrvControl::kMethods));
    check(tlb::IID_IHWEmu, names(tlb::IHWEmu::kMethods));
    check(tlb::IID_IHWEmuReg, names(tlb::IHWEmuReg::kMethods));
    check(tlb::IID_IOPCItemSamplingMgtExt, names(tlb::IOPCItemSamplingMgtExt::kMethods));
}

}  // namespace
