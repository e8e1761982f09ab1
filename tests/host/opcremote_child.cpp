// The OPC client scenarios of the host tests' child process (see HostChild.h): the OPC server
// created by class id over the transport, every call checked for task memory left behind.
#include <grp.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/classes.h"
#include "platform/com/connpt.h"
#include "platform/com/object.h"
#include "platform/rpc/client.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/host/Enum.h"
#include "service/host/OPCServer.h"
#include "service/typelib/OpcDaProxy.h"
#include "service/typelib/TypeLib.h"
#include "tests/host/HostFixture.h"
#include "tests/support/ChildSide.h"

namespace hosttest {

bool OpcChildScenario(const std::string& scenario);

namespace {

using plat::S_FALSE;
using testsupport::Finish;
using testsupport::Report;

size_t g_blocks = 0;

// No task memory of this process is left after the call just made.
#define CLEAN() CHILD_CHECK(plat::CoTaskMemLiveBlocks() == g_blocks)

std::string Hex(HRESULT v) {
    char b[16];
    std::snprintf(b, sizeof b, "%08X", static_cast<uint32_t>(v));
    return b;
}

// A line from the parent on standard input ("" after 60 s or at its end).
std::string Command() {
    std::string line;
    char c = 0;
    for (;;) {
        pollfd p{0, POLLIN, 0};
        if (::poll(&p, 1, 60000) != 1 || ::read(0, &c, 1) != 1) return "";
        if (c == '\n') return line;
        line += c;
    }
}

// Tells the parent where the child is and waits until the parent has looked.
void Sync(const std::string& tag) {
    Report("sync " + tag);
    CHILD_CHECK(Command() == "go");
}

void DropPrivileges() {
    const char* drop = std::getenv("NORVALT_HOST_DROP");
    if (drop && std::string(drop) == "1")
        CHILD_CHECK(::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0);
}

template <class I>
ComPtr<I> CreateServer() {
    ComPtr<I> p;
    const HRESULT hr = plat::CreateInstance(tlb::CLSID_DA2, p);
    if (!p) {
        Report("create " + Hex(hr) + " " + plat::GetErrorText());
        Finish(1);
    }
    return p;
}

template <class I>
ComPtr<I> As(plat::IUnknown* u) {
    ComPtr<I> p = plat::QueryAs<I>(u);
    CHILD_CHECK(p);
    return p;
}

std::string Take(char16_t* s) {
    std::string r = s ? plat::WideToUtf8(s) : "(null)";
    plat::CoTaskMemFree(s);
    return r;
}

// Records the reasons it is told.
class Shutdown : public plat::ComObject<opc::IOPCShutdown> {
  public:
    HRESULT ShutdownRequest(const char16_t* reason) override {
        Report("reason " + (reason ? plat::WideToUtf8(reason) : std::string("(null)")));
        if (on_call) on_call();
        calls.fetch_add(1);
        return plat::S_OK;
    }
    std::atomic<int> calls{0};
    std::function<void()> on_call;  // set before advising
};

// Connects `sink` to the server's shutdown point.
void Advise(plat::IUnknown* server, Shutdown* sink) {
    auto container = As<plat::IConnectionPointContainer>(server);
    plat::IConnectionPoint* cp = nullptr;
    CHILD_CHECK(container->FindConnectionPoint(opc::IID_IOPCShutdown, &cp) == plat::S_OK && cp);
    uint32_t cookie = 0;
    CHILD_CHECK(cp->Advise(static_cast<opc::IOPCShutdown*>(sink), &cookie) == plat::S_OK);
    cp->Release();
    CLEAN();
}

std::string ErrorString(opc::IOPCCommon* c, HRESULT code) {
    char16_t* s = nullptr;
    CHILD_CHECK(c->GetErrorString(code, &s) == plat::S_OK);
    const std::string r = Take(s);
    CLEAN();
    return r;
}

void Common() {
    auto common = CreateServer<opc::IOPCCommon>();
    CLEAN();
    uint32_t n = 0;
    plat::LCID* ids = nullptr;
    CHILD_CHECK(common->QueryAvailableLocaleIDs(&n, &ids) == plat::S_OK);
    CHILD_CHECK(n == 2 && ids && ids[0] == 1033 && ids[1] == 1049);
    plat::CoTaskMemFree(ids);
    CLEAN();

    plat::LCID before = 0, lcid = 0;
    CHILD_CHECK(common->GetLocaleID(&before) == plat::S_OK);
    Report("set 1031 " + Hex(common->SetLocaleID(1031)));
    CHILD_CHECK(common->GetLocaleID(&lcid) == plat::S_OK && lcid == before);
    CHILD_CHECK(common->SetLocaleID(1049) == plat::S_OK);
    CHILD_CHECK(common->GetLocaleID(&lcid) == plat::S_OK && lcid == 1049);
    Report("ru duplicate " + ErrorString(common.Get(), plat::OPC_E_DUPLICATENAME));
    Report("ru clamp " + ErrorString(common.Get(), static_cast<HRESULT>(0x0004000E)));
    CHILD_CHECK(common->SetLocaleID(1033) == plat::S_OK);
    Report("en duplicate " + ErrorString(common.Get(), plat::OPC_E_DUPLICATENAME));
    auto server = As<opc::IOPCServer>(common.Get());
    char16_t* s = nullptr;
    CHILD_CHECK(server->GetErrorString(plat::OPC_E_DUPLICATENAME, 1049, &s) == plat::S_OK);
    Report("ru by call " + Take(s));
    CLEAN();

    CHILD_CHECK(common->SetClientName(drv::kFriendClientName.data()) == plat::S_OK);
    Sync("friend");
    auto other = CreateServer<opc::IOPCCommon>();
    const std::u16string lower = plat::Utf8ToWide("5d3a9c07e1b24f68a0c7d2e49b1f6a83");
    CHILD_CHECK(other->SetClientName(lower.c_str()) == plat::S_OK);
    Sync("other");
    server = nullptr;
    common = nullptr;
    other = nullptr;
    CLEAN();
    Sync("released");
    Report("done");
    Finish(0);
}

// Reads every name an IEnumString hands out in one Next of `celt`.
std::string Names(opc::IEnumString* e, uint32_t celt, HRESULT want) {
    std::vector<char16_t*> got(16, nullptr);
    uint32_t fetched = 99;
    CHILD_CHECK(celt <= got.size() || celt == 0xFFFFFFFF);
    const HRESULT hr = e->Next(celt, got.data(), &fetched);
    if (hr != want) Report("FAIL Next(" + std::to_string(celt) + ") " + Hex(hr));
    CHILD_CHECK(hr == want);
    CHILD_CHECK(fetched <= got.size());
    std::string r;
    for (uint32_t i = 0; i < fetched; ++i) r += (i ? "," : "") + Take(got[i]);
    CLEAN();
    return r;
}

// How many groups an IEnumUnknown hands out in one Next of `celt`; each is released.
uint32_t Units(opc::IEnumUnknown* e, uint32_t celt, HRESULT want) {
    std::vector<plat::IUnknown*> got(16, nullptr);
    uint32_t fetched = 99;
    const HRESULT hr = e->Next(celt, got.data(), &fetched);
    if (hr != want) Report("FAIL Next(" + std::to_string(celt) + ") " + Hex(hr));
    CHILD_CHECK(hr == want);
    CHILD_CHECK(fetched <= got.size());
    for (uint32_t i = 0; i < fetched; ++i) {
        CHILD_CHECK(got[i]);
        got[i]->Release();
    }
    CLEAN();
    return fetched;
}

template <class E>
ComPtr<E> GroupEnum(opc::IOPCServer* server) {
    void* p = nullptr;
    CHILD_CHECK(server->CreateGroupEnumerator(opc::OPC_ENUM_ALL, E::GetIID(), &p) == plat::S_OK);
    CHILD_CHECK(p);
    CLEAN();
    return ComPtr<E>::Attach(static_cast<E*>(p));
}

opc::OPCHANDLE AddGroup(opc::IOPCServer* server, const std::u16string& name, HRESULT want,
                        ComPtr<plat::IUnknown>* held) {
    opc::OPCHANDLE h = 0;
    uint32_t revised = 0;
    void* unk = nullptr;
    const HRESULT hr = server->AddGroup(name.c_str(), 1, 1000, 7, nullptr, nullptr, 1033, &h,
                                        &revised, plat::IID_IUnknown, &unk);
    if (hr != want) Report("FAIL AddGroup " + plat::WideToUtf8(name) + " " + Hex(hr));
    CHILD_CHECK(hr == want);
    if (unk) *held = ComPtr<plat::IUnknown>::Attach(static_cast<plat::IUnknown*>(unk));
    CLEAN();
    return h;
}

void Groups() {
    auto server = CreateServer<opc::IOPCServer>();
    std::vector<ComPtr<plat::IUnknown>> held(5);

    // Over no group.
    auto names = GroupEnum<opc::IEnumString>(server.Get());
    CHILD_CHECK(Names(names.Get(), 1, S_FALSE).empty());
    CHILD_CHECK(names->Skip(1) == S_FALSE);
    CHILD_CHECK(Names(names.Get(), 0xFFFFFFFF, S_FALSE).empty());
    auto units = GroupEnum<opc::IEnumUnknown>(server.Get());
    CHILD_CHECK(Units(units.Get(), 3, S_FALSE) == 0);
    Report("empty ok");

    // One group.
    const opc::OPCHANDLE h1 = AddGroup(server.Get(), u"g1", plat::S_OK, &held[0]);
    CHILD_CHECK(held[0]);
    ComPtr<plat::IUnknown> none;
    AddGroup(server.Get(), u"g1", plat::OPC_E_DUPLICATENAME, &none);
    CHILD_CHECK(!none);
    void* p = nullptr;
    CHILD_CHECK(server->GetGroupByName(u"g1", plat::IID_IUnknown, &p) == plat::S_OK && p);
    static_cast<plat::IUnknown*>(p)->Release();
    p = nullptr;
    CHILD_CHECK(server->GetGroupByName(u"nope", plat::IID_IUnknown, &p) == plat::E_INVALIDARG);
    CHILD_CHECK(!p);
    CLEAN();
    names = GroupEnum<opc::IEnumString>(server.Get());
    char16_t* s = nullptr;
    CHILD_CHECK(names->Next(1, &s, nullptr) == plat::S_OK);
    Report("one " + Take(s));
    CLEAN();
    s = nullptr;
    CHILD_CHECK(names->Next(1, &s, nullptr) == S_FALSE);
    CHILD_CHECK(!s);
    CLEAN();
    units = GroupEnum<opc::IEnumUnknown>(server.Get());
    plat::IUnknown* u = nullptr;
    CHILD_CHECK(units->Next(1, &u, nullptr) == plat::S_OK && u);
    u->Release();
    CHILD_CHECK(Units(units.Get(), 1, S_FALSE) == 0);
    Report("one ok");

    // Many groups.
    for (int i = 2; i <= 5; ++i)
        AddGroup(server.Get(), plat::Utf8ToWide("g" + std::to_string(i)), plat::S_OK,
                 &held[static_cast<size_t>(i - 1)]);
    names = GroupEnum<opc::IEnumString>(server.Get());
    Report("first two " + Names(names.Get(), 2, plat::S_OK));
    opc::IEnumString* clone_raw = nullptr;
    CHILD_CHECK(names->Clone(&clone_raw) == plat::S_OK && clone_raw);
    auto clone = ComPtr<opc::IEnumString>::Attach(clone_raw);
    CLEAN();
    Report("clone rest " + Names(clone.Get(), 10, S_FALSE));
    CHILD_CHECK(names->Skip(2) == plat::S_OK);
    CHILD_CHECK(names->Skip(5) == S_FALSE);
    CHILD_CHECK(Names(names.Get(), 1, S_FALSE).empty());
    CHILD_CHECK(names->Reset() == plat::S_OK);
    Report("after reset " + Names(names.Get(), 5, plat::S_OK));
    CHILD_CHECK(names->Reset() == plat::S_OK);
    uint32_t fetched = 0;
    Report("celt 0 " + Hex(names->Next(0, &s, &fetched)));
    CLEAN();
    // A clone of a clone past the end still finds nothing, and leaves the original alone.
    clone = nullptr;
    CHILD_CHECK(names->Clone(&clone_raw) == plat::S_OK && clone_raw);
    clone = ComPtr<opc::IEnumString>::Attach(clone_raw);
    CHILD_CHECK(clone->Skip(0xFFFFFFFF) == S_FALSE);
    CHILD_CHECK(Names(clone.Get(), 3, S_FALSE).empty());
    Report("hostile " + Names(names.Get(), 0xFFFFFFFF, S_FALSE));
    // Without a count to say how many came back, only one may be asked for.
    CHILD_CHECK(names->Reset() == plat::S_OK);
    char16_t* room[4] = {};
    Report("no count " + Hex(names->Next(2, room, nullptr)) + " " +
           Hex(names->Next(0xFFFFFFFF, room, nullptr)));
    CHILD_CHECK(!room[0] && !room[1]);
    CLEAN();
    Report("then " + Names(names.Get(), 1, plat::S_OK));

    units = GroupEnum<opc::IEnumUnknown>(server.Get());
    CHILD_CHECK(Units(units.Get(), 3, plat::S_OK) == 3);
    opc::IEnumUnknown* uclone_raw = nullptr;
    CHILD_CHECK(units->Clone(&uclone_raw) == plat::S_OK && uclone_raw);
    auto uclone = ComPtr<opc::IEnumUnknown>::Attach(uclone_raw);
    CHILD_CHECK(Units(uclone.Get(), 10, S_FALSE) == 2);
    CHILD_CHECK(units->Skip(3) == S_FALSE);
    CHILD_CHECK(units->Reset() == plat::S_OK);
    CHILD_CHECK(units->Next(1, &u, nullptr) == plat::S_OK && u);
    u->Release();
    CLEAN();
    CHILD_CHECK(Units(units.Get(), 0xFFFFFFFF, S_FALSE) == 4);
    Report("units ok");
    Sync("many");

    // Removal.
    CHILD_CHECK(server->RemoveGroup(h1, 0) == plat::S_OK);
    CHILD_CHECK(server->RemoveGroup(h1, 0) == S_FALSE);
    CHILD_CHECK(server->GetGroupByName(u"g1", plat::IID_IUnknown, &p) == plat::E_INVALIDARG);
    CLEAN();
    names = GroupEnum<opc::IEnumString>(server.Get());
    Report("after remove " + Names(names.Get(), 10, S_FALSE));
    // The server goes first; its groups, held here and by the enumerators, outlive it.
    server = nullptr;
    Sync("server released");
    CHILD_CHECK(units->Reset() == plat::S_OK);
    CHILD_CHECK(Units(units.Get(), 10, S_FALSE) == 5);
    names = nullptr;
    units = nullptr;
    clone = nullptr;
    uclone = nullptr;
    held.clear();
    CLEAN();
    Sync("released");
    Report("done");
    Finish(0);
}

void ShutdownScenario() {
    auto server = CreateServer<opc::IOPCServer>();
    auto sink = plat::MakeCom<Shutdown>();
    Advise(server.Get(), sink.Get());
    Report("advised");
    CHILD_CHECK(Eventually([&] { return sink->calls.load() > 0; }, 30000));
    server = nullptr;
    CLEAN();
    Sync("released");
    CHILD_CHECK(sink->calls.load() == 1);
    Report("done");
    Finish(0);
}

// Lets go of its only server from inside the stop request, as a client that disconnects
// when told to would.
void ReleaseInShutdown() {
    auto server = CreateServer<opc::IOPCServer>();
    auto sink = plat::MakeCom<Shutdown>();
    sink->on_call = [&server] {
        server = nullptr;
        Report("released inside");
    };
    Advise(server.Get(), sink.Get());
    Report("advised");
    CHILD_CHECK(Eventually([&] { return sink->calls.load() > 0; }, 30000));
    CLEAN();
    Sync("released");
    Report("done");
    Finish(0);
}

// A client whose sink never comes back from the stop request.
void StuckSink() {
    auto server = CreateServer<opc::IOPCServer>();
    auto sink = plat::MakeCom<Shutdown>();
    sink->on_call = [] {
        Report("inside");
        for (;;) ::pause();
    };
    Advise(server.Get(), sink.Get());
    Report("advised");
    for (;;) ::pause();
}

// Takes servers, then groups on one of them, until the service refuses.
void Greedy() {
    std::vector<ComPtr<opc::IOPCServer>> held;
    HRESULT hr = plat::S_OK;
    for (int i = 0; i < 100 && plat::Succeeded(hr); ++i) {
        ComPtr<opc::IOPCServer> s;
        hr = plat::CreateInstance(tlb::CLSID_DA2, s);
        if (s) held.push_back(s);
    }
    Report("servers " + std::to_string(held.size()) + " " + Hex(hr));
    CHILD_CHECK(!held.empty());
    std::vector<ComPtr<plat::IUnknown>> groups;
    hr = plat::S_OK;
    for (int i = 0; i < 1000 && plat::Succeeded(hr); ++i) {
        opc::OPCHANDLE h = 0;
        uint32_t revised = 0;
        void* unk = nullptr;
        const std::u16string name = plat::Utf8ToWide("g" + std::to_string(i));
        hr = held[0]->AddGroup(name.c_str(), 1, 1000, 7, nullptr, nullptr, 1033, &h, &revised,
                               plat::IID_IUnknown, &unk);
        if (unk)
            groups.push_back(ComPtr<plat::IUnknown>::Attach(static_cast<plat::IUnknown*>(unk)));
    }
    Report("groups " + std::to_string(groups.size()) + " " + Hex(hr));
    groups.clear();
    held.clear();
    CLEAN();
    Sync("released");
    Report("done");
    Finish(0);
}

// Holds a server with a group and a shutdown sink until killed.
void Hold() {
    auto server = CreateServer<opc::IOPCServer>();
    auto sink = plat::MakeCom<Shutdown>();
    Advise(server.Get(), sink.Get());
    ComPtr<plat::IUnknown> group;
    AddGroup(server.Get(), u"held", plat::S_OK, &group);
    Report("ready");
    for (;;) ::pause();
}

std::string Browse(opc::IOPCBrowseServerAddressSpace* b, opc::OPCBROWSETYPE type) {
    opc::IEnumString* e = nullptr;
    const HRESULT hr = b->BrowseOPCItemIDs(type, u"", plat::VT_EMPTY, 0, &e);
    CHILD_CHECK(hr == plat::S_OK && e);
    std::string r;
    char16_t* s = nullptr;
    while (e->Next(1, &s, nullptr) == plat::S_OK) r += (r.empty() ? "" : ",") + Take(s);
    e->Release();
    CLEAN();
    return r;
}

// A friend browses the posts of the line, reads a state through its properties and hears the
// stop request.
void BrowsePosts() {
    auto server = CreateServer<opc::IOPCServer>();
    auto common = As<opc::IOPCCommon>(server.Get());
    CHILD_CHECK(common->SetClientName(drv::kFriendClientName.data()) == plat::S_OK);
    auto sink = plat::MakeCom<Shutdown>();
    Advise(server.Get(), sink.Get());
    auto browse = As<opc::IOPCBrowseServerAddressSpace>(server.Get());
    opc::OPCNAMESPACETYPE ns{};
    CHILD_CHECK(browse->QueryOrganization(&ns) == plat::S_OK && ns == opc::OPC_NS_HIERARCHIAL);
    Report("root branches " + Browse(browse.Get(), opc::OPC_BRANCH));
    const std::string post = std::getenv("NORVALT_HOST_POST");
    CHILD_CHECK(browse->ChangeBrowsePosition(opc::OPC_BROWSE_DOWN,
                                             plat::Utf8ToWide(post).c_str()) == plat::S_OK);
    Report("post leaves " + Browse(browse.Get(), opc::OPC_LEAF));
    char16_t* id = nullptr;
    CHILD_CHECK(browse->GetItemID(u"State", &id) == plat::S_OK);
    const std::u16string state_id = plat::Utf8ToWide(Take(id));
    CLEAN();

    auto props = As<opc::IOPCItemProperties>(server.Get());
    uint32_t n = 0;
    uint32_t* ids = nullptr;
    char16_t** descriptions = nullptr;
    plat::VARTYPE* types = nullptr;
    CHILD_CHECK(props->QueryAvailableProperties(state_id.c_str(), &n, &ids, &descriptions,
                                                &types) == plat::S_OK);
    bool has_value = false;
    for (uint32_t i = 0; i < n; ++i) {
        has_value |= ids[i] == 2;
        plat::CoTaskMemFree(descriptions[i]);
    }
    plat::CoTaskMemFree(ids);
    plat::CoTaskMemFree(descriptions);
    plat::CoTaskMemFree(types);
    CHILD_CHECK(has_value);
    CLEAN();
    const uint32_t wanted[] = {2, 3};
    plat::Variant* values = nullptr;
    HRESULT* errors = nullptr;
    CHILD_CHECK(props->GetItemProperties(state_id.c_str(), 2, wanted, &values, &errors) ==
                plat::S_OK);
    CHILD_CHECK(errors[0] == plat::S_OK && errors[1] == plat::S_OK);
    Report("state " + plat::WideToUtf8(state_id) + " " + std::to_string(values[0].vt) + " " +
           std::to_string(values[0].lVal) + " quality " + std::to_string(values[1].iVal));
    std::destroy_n(values, 2);
    plat::CoTaskMemFree(values);
    plat::CoTaskMemFree(errors);
    CLEAN();
    Report("ready");
    CHILD_CHECK(Eventually([&] { return sink->calls.load() > 0; }, 30000));
    props = nullptr;
    browse = nullptr;
    common = nullptr;
    server = nullptr;
    CLEAN();
    Sync("released");
    Report("done");
    Finish(0);
}

// Driver control from a client that is no administrator: the DA2 server object's own
// interface over the transport.
void DrvControl() {
    auto control = CreateServer<tlb::IDrvControl>();
    int32_t state = 0, passes = 0;
    CHILD_CHECK(control->GetThreadState(3, &state, &passes) == plat::S_OK);
    Report("state3 " + std::to_string(state));
    CHILD_CHECK(control->GetThreadState(33, &state, &passes) == plat::S_OK);
    Report("state33 " + std::to_string(state));
    std::string use = "useport";
    for (int32_t port : {3, 0, 33}) use += " " + Hex(control->SetUsePort(port, 0));
    Report(use);
    auto common = As<opc::IOPCCommon>(control.Get());
    CHILD_CHECK(common->SetLocaleID(1049) == plat::S_OK);
    Report("text " + ErrorString(common.Get(), -5));
    Report("done");
}

}  // namespace

// Plays `scenario` when it is one of these; false otherwise.
bool OpcChildScenario(const std::string& scenario) {
    void (*play)() = scenario == "opc-common"                ? &Common
                     : scenario == "opc-groups"              ? &Groups
                     : scenario == "opc-shutdown"            ? &ShutdownScenario
                     : scenario == "opc-hold"                ? &Hold
                     : scenario == "opc-release-in-shutdown" ? &ReleaseInShutdown
                     : scenario == "opc-greedy"              ? &Greedy
                     : scenario == "opc-stuck-sink"          ? &StuckSink
                     : scenario == "opc-browse"              ? &BrowsePosts
                     : scenario == "opc-drvcontrol"          ? &DrvControl
                                                             : nullptr;
    if (!play) return false;
    opc::RegisterOpcDaInterfaces();
    DropPrivileges();
    g_blocks = plat::CoTaskMemLiveBlocks();
    play();
    return true;
}

}  // namespace hosttest
