// The second process of the transport tests (see ChildProcess.h). Not a test of its own: it
// runs only when a test starts it with NORVALT_RPC_CHILD set.
#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "platform/com/classes.h"
#include "platform/rpc/client.h"
#include "platform/rpc/server.h"
#include "tests/rpc/ChildProcess.h"
#include "tests/rpc/RpcFixture.h"
#include "tests/support/ChildSide.h"

using namespace rpctest;
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
    for (;;) ::pause();
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
    Report("FAIL unknown scenario " + scenario);
    ::_exit(2);
}
