// The client process of the host tests (see HostChild.h). Not a test of its own: it runs only
// when a test starts it with NORVALT_HOST_CHILD set.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/rpc/client.h"
#include "service/typelib/TypeLibProxy.h"
#include "tests/host/HostChild.h"
#include "tests/host/HostFixture.h"
#include "tests/support/ChildSide.h"

using namespace hosttest;

namespace hosttest {
// The OPC client scenarios (opcremote_child.cpp); false for a name that is not one of them.
bool OpcChildScenario(const std::string& scenario);
// The OPC group client scenario (opcgroup_child.cpp).
bool OpcGroupChildScenario(const std::string& scenario);
}  // namespace hosttest

namespace {

using testsupport::Finish;
using testsupport::Report;

std::string Hex(int32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%08X", static_cast<uint32_t>(v));
    return b;
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

ComPtr<tlb::INorvalt> CreateStation() {
    ComPtr<tlb::INorvalt> n;
    const HRESULT hr = plat::CreateInstance(tlb::CLSID_TORK, n);
    if (!n) {
        Report("create " + Hex(hr) + " " + plat::GetErrorText());
        Finish(0);
    }
    return n;
}

void Client() {
    auto n = CreateStation();
    auto sink = plat::MakeCom<RecordingSink>();
    sink->on_event = [](const std::string& e) { Report("event " + e); };
    CHILD_CHECK(n->RegisterSinkInterface(sink.Get()) == S_OK);
    CHILD_CHECK(sink->WaitFor("StateChanged 6 0", 20000));

    std::string posts;
    for (int16_t p = 1; p <= 40; ++p) {
        tlb::TState st{};
        CHILD_CHECK(n->GetState(p, &st) == S_OK);
        if (st.Value != tlb::csNone) posts += " " + std::to_string(p);
    }
    Report("posts" + posts);
    int32_t count = 0, res = -1;
    CHILD_CHECK(n->GetVariablesCount(6, &count, &res) == S_OK && res == 0);
    std::string codes;
    for (int32_t i = 0; i < count; ++i) {
        tlb::TVariableInfo info;
        CHILD_CHECK(n->GetVariable(6, i, &info, &res) == S_OK && res == 0);
        CHILD_CHECK(info.ShortName.empty() && info.Name.empty());
        codes += (i ? "," : "") + std::to_string(info.Code);
    }
    Report("vars " + codes);
    tlb::TVariableValue v;
    CHILD_CHECK(n->GetVarValue(6, tlb::cvStateWithFlags, &v, &res) == S_OK);
    Report("flags " + std::to_string(res) + " " + std::to_string(v.Value.int64));

    int32_t id = 0;
    CHILD_CHECK(n->SetVarValue(6, tlb::cvDozeV, plat::Currency{50000}, &id) == S_OK &&
                tlb::IsCmdID(id));
    CHILD_CHECK(n->GetResult(id, &res) == S_OK);
    Report("dose " + std::to_string(res));
    CHILD_CHECK(n->SetState(6, tlb::csWaitingKey, &id) == S_OK && tlb::IsCmdID(id));
    CHILD_CHECK(n->GetResult(id, &res) == S_OK);
    Report("start " + std::to_string(res));
    CHILD_CHECK(n->GetVarValue(6, tlb::cvDozeV, &v, &res) == S_OK && res == 0);
    Report("dose value " + std::to_string(v.Value.int64));
    CHILD_CHECK(sink->WaitFor("StateChanged 6 1", 20000));

    // Hostile arguments over the wire.
    tlb::TState st{};
    CHILD_CHECK(n->GetState(-5, &st) == S_OK && st.Value == tlb::csNone);
    tlb::TVariableInfo info;
    CHILD_CHECK(n->GetVariable(6, 1000, &info, &res) == S_OK && res == plat::E_INVALIDARG);
    CHILD_CHECK(n->SetVarValue(6, static_cast<tlb::TVariableEnum>(-1), plat::Currency{1}, &id) ==
                    S_OK &&
                id == tlb::E_BADVARIABLE);
    CHILD_CHECK(n->GetResult(5, &res) == S_OK && res == 5);
    Report("hostile ok");

    Report("add 9");
    CHILD_CHECK(sink->WaitFor("PostFound 9", 60000));
    Report("found 9");
    CHILD_CHECK(sink->WaitFor("PostDeleted 9", 60000));
    Report("deleted 9");
    CHILD_CHECK(n->UnRegisterSinkInterface() == S_OK);
    n = nullptr;
    CHILD_CHECK(Eventually([&] { return sink->RefCount() == 1; }));
    Report("done");
    Finish(0);
}

void Writer() {
    if (Env("NORVALT_HOST_DROP") == "1")
        CHILD_CHECK(::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0);
    auto n = CreateStation();
    int32_t id = 0;
    CHILD_CHECK(n->SetVarValue(6, tlb::cvDozeV, plat::Currency{10000}, &id) == S_OK);
    Report("write " + Hex(id));
    Finish(0);
}

// A sink that takes its time over every event.
ComPtr<RecordingSink> SlowSink(std::atomic<bool>& inside) {
    auto sink = plat::MakeCom<RecordingSink>();
    sink->on_event = [&inside](const std::string& e) {
        inside.store(true);
        Report("event " + e);
        ::usleep(1500 * 1000);
    };
    return sink;
}

// Lets go of the station while the service is inside a call to its sink, without
// unregistering, then goes on using the same connection.
void ReleaseInsideEvent() {
    auto n = CreateStation();
    std::atomic<bool> inside{false};
    auto sink = SlowSink(inside);
    CHILD_CHECK(n->RegisterSinkInterface(sink.Get()) == S_OK);
    CHILD_CHECK(Eventually([&] { return inside.load(); }, 20000));
    n = nullptr;
    Report("released");
    auto again = CreateStation();
    tlb::TState st{};
    CHILD_CHECK(again->GetState(6, &st) == S_OK);
    Report("again " + std::to_string(st.Value));
    again = nullptr;
    // The service lets the sink go once the call in progress is over.
    CHILD_CHECK(Eventually([&] { return sink->RefCount() == 1; }, 20000));
    Report("done");
    Finish(0);
}

// Holds a station whose slow sink is being called when the parent kills this process.
void HoldSlow() {
    auto n = CreateStation();
    std::atomic<bool> inside{false};
    auto sink = SlowSink(inside);
    CHILD_CHECK(n->RegisterSinkInterface(sink.Get()) == S_OK);
    CHILD_CHECK(Eventually([&] { return inside.load(); }, 20000));
    Report("ready");
    for (;;) ::pause();
}

// One call on a fresh station: the service still answers.
void Probe() {
    auto n = CreateStation();
    tlb::TState st{};
    CHILD_CHECK(n->GetState(6, &st) == S_OK);
    Report("probe " + std::to_string(st.Value));
    Finish(0);
}

// Takes stations, then event threads, until the service refuses.
void Greedy() {
    std::vector<ComPtr<tlb::INorvalt>> held;
    HRESULT hr = S_OK;
    for (int i = 0; i < 1000 && plat::Succeeded(hr); ++i) {
        ComPtr<tlb::INorvalt> n;
        hr = plat::CreateInstance(tlb::CLSID_TORK, n);
        if (n) held.push_back(n);
    }
    Report("stations " + std::to_string(held.size()) + " " + Hex(hr));
    auto sink = plat::MakeCom<RecordingSink>();
    size_t sinks = 0;
    hr = S_OK;
    for (; sinks < held.size() &&
           plat::Succeeded(hr = held[sinks]->RegisterSinkInterface(sink.Get()));
         ++sinks) {
    }
    Report("sinks " + std::to_string(sinks) + " " + Hex(hr));
    Finish(0);
}

void Hold() {
    auto n = CreateStation();
    auto sink = plat::MakeCom<RecordingSink>();
    CHILD_CHECK(n->RegisterSinkInterface(sink.Get()) == S_OK);
    CHILD_CHECK(sink->WaitFor("StateChanged 6 0", 20000));
    Report("ready");
    for (;;) ::pause();
}

// A station bound and let go again: the service answered.
void Bind() {
    auto n = CreateStation();
    n = nullptr;
    Report("bound");
    Finish(0);
}

// A station held until the process is killed.
void HoldStation() {
    auto n = CreateStation();
    Report("ready");
    for (;;) ::pause();
}

}  // namespace

TEST(HostChild, DISABLED_Main) {
    tlb::RegisterTypeLibInterfaces();
    const std::string scenario = Env("NORVALT_HOST_CHILD");
    if (scenario == "client") Client();
    if (scenario == "writer") Writer();
    if (scenario == "hold") Hold();
    if (scenario == "release-inside-event") ReleaseInsideEvent();
    if (scenario == "hold-slow") HoldSlow();
    if (scenario == "probe") Probe();
    if (scenario == "greedy") Greedy();
    if (scenario == "bind") Bind();
    if (scenario == "hold-station") HoldStation();
    if (OpcChildScenario(scenario)) ::_exit(0);
    if (OpcGroupChildScenario(scenario)) ::_exit(0);
    Report("FAIL unknown scenario " + scenario);
    ::_exit(2);
}
