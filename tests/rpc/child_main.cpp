// The second process of the transport tests (see ChildProcess.h). Not a test of its own: it
// runs only when a test starts it with NORVALT_RPC_CHILD set.
#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/com/classes.h"
#include "platform/rpc/client.h"
#include "platform/rpc/server.h"
#include "tests/rpc/ChildProcess.h"
#include "tests/rpc/OpcObjects.h"
#include "tests/rpc/RpcFixture.h"
#include "tests/support/ChildSide.h"

using namespace rpctest;
using plat::S_FALSE;
using plat::S_OK;

namespace {

using testsupport::Finish;
using testsupport::Report;

std::string Hex(plat::HRESULT hr) {
    char b[16];
    std::snprintf(b, sizeof b, "%08X", static_cast<uint32_t>(hr));
    return b;
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Creation by CLSID as a program does it: on this computer, or on the named one.
template <class I>
ComPtr<I> Create(plat::HRESULT* hr_out = nullptr) {
    ComPtr<I> p;
    plat::HRESULT hr = plat::CreateInstance(CLSID_TestObject, p, Env("NORVALT_RPC_COMPUTER"));
    if (hr_out) *hr_out = hr;
    return p;
}

void Calls() {
    plat::SetProcessLocale(plat::LOCALE_RU_RU);
    plat::HRESULT hr;
    auto n = Create<tlb::INorvalt>(&hr);
    if (!n) Report("create failed " + Hex(hr) + " " + plat::GetErrorText());
    CHILD_CHECK(n);

    tlb::TState st;
    CHILD_CHECK(n->GetState(3, &st) == S_OK && st.Value == tlb::csWorking &&
                st.TimeStamp == 45003.5);
    tlb::TVariableInfo info;
    int32_t res = 0;
    CHILD_CHECK(n->GetVariable(1, 98, &info, &res) == S_OK && info.Code == tlb::cvVCal3F &&
                info.Name == WideString(u"Vol\0ume", 7) + char16_t(0xD800) &&
                info.IsRandom == plat::VARIANT_TRUE);

    auto k = plat::QueryAs<ITestKinds>(n.Get());
    CHILD_CHECK(k);
    int8_t oa;
    uint64_t oh;
    double oj;
    CHILD_CHECK(k->Numbers(-1, 2, -3, 4, -5, 6, -7, 8, 0.5f, 0.25, false, &oa, &oh, &oj) == S_OK &&
                oa == 1 && oh == 9 && oj == 0.5 + 2 - 3 + 4 - 5 + 6 - 7 + 0.5);
    WideString so;
    const WideString s = plat::BytesToWide(std::string("\x00\xFE\x10", 3)) + char16_t(0xDFFF);
    CHILD_CHECK(k->Strings(s, &so) == S_OK && so == WideString(s.rbegin(), s.rend()));
    plat::Variant v;
    CHILD_CHECK(k->Variants(plat::Variant::Str(u"\u0416"), &v) == S_OK && v.vt == plat::VT_BSTR &&
                v.bstrVal == u"\u0416");
    plat::FILETIME ft;
    plat::Currency cy;
    plat::DATE d;
    CHILD_CHECK(k->Times(plat::Currency{5}, 1.5, plat::U64ToFileTime(7), &cy, &d, &ft) == S_OK &&
                cy.int64 == 6 && d == 2.5 && plat::FileTimeToU64(ft) == 8);
    plat::GUID g = tlb::CLSID_TORK, go;
    CHILD_CHECK(k->Guids(g, &go) == S_OK && go.Data1 == g.Data1 && go.Data4[7] == g.Data4[0]);
    int32_t values[] = {1, 2, 3, 4};
    int64_t total = 0;
    CHILD_CHECK(k->Sum(4, values, &total) == S_OK && total == 10);
    int32_t* seq = nullptr;
    CHILD_CHECK(k->Sequence(3, -1, &seq) == S_OK && seq && seq[0] == -1 && seq[2] == 1);
    plat::CoTaskMemFree(seq);
    CHILD_CHECK(k->Fail(plat::E_ACCESSDENIED, u"refused") == plat::E_ACCESSDENIED &&
                plat::GetErrorText() == "refused");

    // Callbacks: during the call, on this thread...
    auto sink = plat::MakeCom<Sink>();
    CHILD_CHECK(n->RegisterSinkInterface(sink.Get()) == S_OK);
    CHILD_CHECK(sink->Events().size() == 1 && sink->Events()[0] == "PostFound 7");
    CHILD_CHECK(n->ReReadVarValue(2, tlb::cvDozeV, &res) == S_OK && res == 0);
    for (uint32_t tid : sink->Threads()) CHILD_CHECK(tid == plat::CurrentThreadId());
    // ...and from the server's own thread while this one waits for nothing.
    Report("sink-registered");
    CHILD_CHECK(sink->WaitFor(12, 10000));
    CHILD_CHECK(sink->Events()[11] == "StateChanged 9 80 1.000000");

    // Nested calls both ways on one logical thread.
    auto mine = plat::MakeCom<Kinds>();
    int32_t pings = 0;
    CHILD_CHECK(k->Ping(mine.Get(), 4, &pings) == S_OK && pings == 5);
    for (uint32_t tid : mine->ping_threads) CHILD_CHECK(tid == plat::CurrentThreadId());

    uint32_t uid, locale;
    int32_t admin, remote, pid;
    CHILD_CHECK(k->Caller(&uid, &admin, &remote, &locale, &pid) == S_OK);
    Report("caller uid=" + std::to_string(uid) + " admin=" + std::to_string(admin) +
           " remote=" + std::to_string(remote) + " locale=" + std::to_string(locale) +
           " pid=" + std::to_string(pid));

    CHILD_CHECK(n->UnRegisterSinkInterface() == S_OK);
    k = nullptr;
    n = nullptr;
    CHILD_CHECK(Eventually([&] { return sink->RefCount() == 1; }));
    Report("done");
    Finish(0);
}

void Hold() {
    auto n = Create<tlb::INorvalt>();
    CHILD_CHECK(n);
    auto ctl = plat::QueryAs<tlb::IDrvControl>(n.Get());
    CHILD_CHECK(ctl);
    auto sink = plat::MakeCom<Sink>();
    CHILD_CHECK(n->RegisterSinkInterface(sink.Get()) == S_OK);
    auto k = Create<ITestKinds>();
    CHILD_CHECK(k);
    Report("ready");
    for (;;) ::pause();
}

// An object of the server calls a sink of ours from its own thread, over and over; we let the
// object go (or are killed) while a call is on its way.
void Ticker() {
    auto k = Create<ITestKinds>();
    CHILD_CHECK(k);
    auto sink = plat::MakeCom<Kinds>();
    CHILD_CHECK(k->Tick(sink.Get(), 200) == S_OK);
    CHILD_CHECK(Eventually([] { return g_sleep_calls.load() >= 1; }, 10000));
    Report("ticking");
    if (Env("NORVALT_RPC_RELEASE") != "1")
        for (;;) ::pause();
    k = nullptr;  // without stopping the events first
    Report("released");
    // The connection still serves.
    auto other = Create<ITestKinds>();
    CHILD_CHECK(other);
    uint32_t tid = 0;
    CHILD_CHECK(other->ThreadId(&tid) == S_OK);
    other = nullptr;
    // The event thread has ended: no more calls arrive.
    CHILD_CHECK(Eventually([&] { return sink->RefCount() == 1; }, 10000));
    Report("served");
    Finish(0);
}

void Caller() {
    if (Env("NORVALT_RPC_DROP") == "1") {
        CHILD_CHECK(::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0);
    }
    plat::HRESULT hr;
    auto k = Create<ITestKinds>(&hr);
    if (!k) {
        Report("create " + Hex(hr) + " " + plat::GetErrorText());
        Finish(0);
    }
    uint32_t uid, locale;
    int32_t admin, remote, pid;
    CHILD_CHECK(k->Caller(&uid, &admin, &remote, &locale, &pid) == S_OK);
    auto ctl = plat::QueryAs<tlb::IDrvControl>(k.Get());
    CHILD_CHECK(ctl);
    Report("caller uid=" + std::to_string(uid) + " admin=" + std::to_string(admin) +
           " remote=" + std::to_string(remote) + " useport=" + Hex(ctl->SetUsePort(1, 1)));
    Finish(0);
}

void Serve() {
    plat::rpc::Server server;
    auto factory = plat::MakeClassFactory<TestObject>();
    plat::RegisterClassObject(CLSID_TestObject, factory.Get());
    plat::rpc::ServerOptions o;
    o.tcp_enabled = false;
    if (server.Start(o) != S_OK) {
        Report("start failed " + plat::GetErrorText());
        ::_exit(1);
    }
    Report("listening " + server.SocketPath() + " activated=" + std::to_string(server.Activated()));
    if (const std::string ms = Env("NORVALT_RPC_MAKE_MS"); !ms.empty()) {
        // A slow server that tells how many objects it holds and made whenever that changes.
        g_make_delay_ms = static_cast<uint32_t>(std::stoul(ms));
        std::thread([] {
            for (std::string seen = "live=0 made=0";;) {
                const std::string now = "live=" + std::to_string(g_live_objects.load()) +
                                        " made=" + std::to_string(g_made.load());
                if (now != seen) Report(seen = now);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }).detach();
    }
    for (;;) ::pause();
}

// The OPC interfaces from another process; every call leaves this side's task memory as it
// found it. The server sends the shutdown sink one request once it reads "advised".
void OpcCalls() {
    RegisterOpcTest();
    const size_t start = plat::CoTaskMemLiveBlocks();
    auto back = [&] { return plat::CoTaskMemLiveBlocks() == start; };
    void* p = nullptr;
    plat::HRESULT hr = plat::rpc::CreateOnLocalServer(Env("NORVALT_SOCKET"), CLSID_OpcTest,
                                                      opc::IID_IOPCServer, &p);
    if (hr != S_OK) Report("create failed " + Hex(hr) + " " + plat::GetErrorText());
    CHILD_CHECK(hr == S_OK);
    auto server = ComPtr<opc::IOPCServer>::Attach(static_cast<opc::IOPCServer*>(p));

    opc::OPCSERVERSTATUS* st = nullptr;
    CHILD_CHECK(server->GetStatus(&st) == S_OK && st && st->wBuildNumber == 77 &&
                std::u16string(st->szVendorInfo) == u"Norvalt \u0416");
    opc::FreeServerStatus(*st);
    plat::CoTaskMemFree(st);
    CHILD_CHECK(back());

    auto browse = plat::QueryAs<opc::IOPCBrowseServerAddressSpace>(server.Get());
    CHILD_CHECK(browse);
    opc::IEnumString* raw = nullptr;
    CHILD_CHECK(browse->BrowseOPCItemIDs(opc::OPC_FLAT, u"n", plat::VT_EMPTY, 4, &raw) == S_OK);
    auto names = ComPtr<opc::IEnumString>::Attach(raw);
    char16_t* s[4] = {};
    uint32_t got = 7;
    CHILD_CHECK(names->Next(0, s, &got) == S_OK && got == 0 && !s[0]);
    CHILD_CHECK(names->Next(1, s, nullptr) == S_OK && std::u16string(s[0]) == u"n0");
    plat::CoTaskMemFree(std::exchange(s[0], nullptr));
    CHILD_CHECK(names->Next(0xFFFFFFFFu, s, &got) == S_FALSE && got == 3 &&
                std::u16string(s[2]) == u"n3");
    for (auto*& x : s) plat::CoTaskMemFree(std::exchange(x, nullptr));
    names = nullptr;
    CHILD_CHECK(back());

    auto props = plat::QueryAs<opc::IOPCItemProperties>(server.Get());
    CHILD_CHECK(props);
    const uint32_t ids[] = {1, 0};
    char16_t** item_ids = nullptr;
    plat::HRESULT* errors = nullptr;
    CHILD_CHECK(props->LookupItemIDs(u"T", 2, ids, &item_ids, &errors) == S_FALSE &&
                std::u16string(item_ids[0]) == u"T.1" && !item_ids[1] &&
                errors[1] == plat::E_INVALIDARG);
    plat::CoTaskMemFree(item_ids[0]);
    plat::CoTaskMemFree(item_ids);
    plat::CoTaskMemFree(errors);
    CHILD_CHECK(back());

    CHILD_CHECK(server->CreateGroupEnumerator(static_cast<opc::OPCENUMSCOPE>(2),
                                              opc::IID_IEnumOPCItemAttributes, &p) == S_OK);
    auto attrs =
        ComPtr<opc::IEnumOPCItemAttributes>::Attach(static_cast<opc::IEnumOPCItemAttributes*>(p));
    opc::OPCITEMATTRIBUTES* a = nullptr;
    CHILD_CHECK(attrs->Next(5, &a, &got) == S_FALSE && got == 2 &&
                std::u16string(a[1].szItemID) == u"item1" && a[1].dwBlobSize == 1 &&
                a[1].pBlob[0] == 1 && a[1].vEUInfo.lVal == 1);
    for (uint32_t i = 0; i < got; ++i) opc::FreeItemAttributes(a[i]);
    std::destroy_n(a, got);
    plat::CoTaskMemFree(a);
    attrs = nullptr;
    CHILD_CHECK(back());

    auto container = plat::QueryAs<plat::IConnectionPointContainer>(server.Get());
    CHILD_CHECK(container);
    plat::IEnumConnectionPoints* raw_points = nullptr;
    CHILD_CHECK(container->EnumConnectionPoints(&raw_points) == S_OK);
    auto points = ComPtr<plat::IEnumConnectionPoints>::Attach(raw_points);
    plat::IConnectionPoint* cp = nullptr;
    CHILD_CHECK(points->Next(1, &cp, nullptr) == S_OK && cp);
    auto point = ComPtr<plat::IConnectionPoint>::Attach(cp);
    auto sink = plat::MakeCom<ShutdownSink>();
    uint32_t cookie = 0;
    CHILD_CHECK(point->Advise(static_cast<opc::IOPCShutdown*>(sink.Get()), &cookie) == S_OK);
    plat::IEnumConnections* raw_conns = nullptr;
    CHILD_CHECK(point->EnumConnections(&raw_conns) == S_OK);
    auto conns = ComPtr<plat::IEnumConnections>::Attach(raw_conns);
    plat::CONNECTDATA cd[2];
    CHILD_CHECK(conns->Next(2, cd, &got) == S_FALSE && got == 1 && cd[0].dwCookie == cookie &&
                plat::QueryAs<opc::IOPCShutdown>(cd[0].pUnk).Get() ==
                    static_cast<opc::IOPCShutdown*>(sink.Get()));
    cd[0].pUnk->Release();
    conns = nullptr;
    Report("advised");
    CHILD_CHECK(Eventually(
        [&] {
            std::lock_guard lk(sink->m);
            return sink->reasons.size() == 1 && sink->reasons[0] == u"stop";
        },
        10000));
    CHILD_CHECK(point->Unadvise(cookie) == S_OK);
    point = nullptr;
    points = nullptr;
    container = nullptr;
    props = nullptr;
    browse = nullptr;
    server = nullptr;
    CHILD_CHECK(back());
    Report("done");
    Finish(0);
}

}  // namespace

TEST(RpcChild, DISABLED_Main) {
    RegisterAll();
    const std::string scenario = Env("NORVALT_RPC_CHILD");
    if (scenario == "calls") Calls();
    if (scenario == "hold") Hold();
    if (scenario == "caller") Caller();
    if (scenario == "ticker") Ticker();
    if (scenario == "server") Serve();
    if (scenario == "opc") OpcCalls();
    Report("FAIL unknown scenario " + scenario);
    ::_exit(2);
}
