// The OPC group client scenario of the host tests' child process (see HostChild.h): a friend
// watches one post through a buffered group over the transport, writes to it and reads it,
// every call checked for task memory left behind on this side.
#include <grp.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/classes.h"
#include "platform/com/connpt.h"
#include "platform/com/object.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/host/OPCServer.h"
#include "service/typelib/OpcDaProxy.h"
#include "service/typelib/TypeLib.h"
#include "tests/host/HostFixture.h"
#include "tests/support/ChildSide.h"

namespace hosttest {

bool OpcGroupChildScenario(const std::string& scenario);

namespace {

using testsupport::Finish;
using testsupport::Report;

size_t g_blocks = 0;

// The stub of a callback frees its arrays once the sink has returned, on the callback's own
// thread: allow for that.
#define CLEAN() \
    CHILD_CHECK(Eventually([] { return plat::CoTaskMemLiveBlocks() == g_blocks; }, 10000))

std::string Hex(HRESULT v) {
    char b[16];
    std::snprintf(b, sizeof b, "%08X", static_cast<uint32_t>(v));
    return b;
}

std::string Num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%g", v);
    return b;
}

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

// Tells the parent where the child is; the parent's answer comes back.
std::string Sync(const std::string& tag) {
    Report("sync " + tag);
    return Command();
}

// Client handles of the watched items.
enum : opc::OPCHANDLE { kState = 1, kDose = 2, kCurrent = 3, kOther = 4 };

// Reports every entry of every data change as "dc <client handle> <value> <quality>" and
// keeps the values per client handle.
class Watch : public plat::ComObject<opc::IOPCDataCallback> {
  public:
    HRESULT OnDataChange(uint32_t trans, opc::OPCHANDLE, HRESULT, HRESULT, uint32_t n,
                         const opc::OPCHANDLE* h, const plat::Variant* v, const uint16_t* q,
                         const plat::FILETIME*, const HRESULT* e) override {
        std::lock_guard lk(m_);
        for (uint32_t i = 0; i < n; ++i) {
            const double value = v[i].vt == plat::VT_R8 ? v[i].dblVal : -1;
            Report("dc " + std::to_string(h[i]) + " " + Num(value) + " " + std::to_string(q[i]) +
                   (e[i] == plat::S_OK ? "" : " " + Hex(e[i])) +
                   (trans == 0 ? "" : " trans " + std::to_string(trans)));
            values_[h[i]].push_back(value);
        }
        return plat::S_OK;
    }
    HRESULT OnReadComplete(uint32_t, opc::OPCHANDLE, HRESULT, HRESULT, uint32_t,
                           const opc::OPCHANDLE*, const plat::Variant*, const uint16_t*,
                           const plat::FILETIME*, const HRESULT*) override {
        Report("unexpected OnReadComplete");
        return plat::S_OK;
    }
    HRESULT OnWriteComplete(uint32_t, opc::OPCHANDLE, HRESULT, uint32_t, const opc::OPCHANDLE*,
                            const HRESULT*) override {
        Report("unexpected OnWriteComplete");
        return plat::S_OK;
    }
    HRESULT OnCancelComplete(uint32_t, opc::OPCHANDLE) override { return plat::S_OK; }

    std::vector<double> Values(opc::OPCHANDLE h) {
        std::lock_guard lk(m_);
        return values_[h];
    }
    // True once `v` came for `h` at or after entry `from`.
    bool Saw(opc::OPCHANDLE h, double v, size_t from = 0) {
        std::lock_guard lk(m_);
        auto& all = values_[h];
        for (size_t i = from; i < all.size(); ++i)
            if (all[i] == v) return true;
        return false;
    }

  private:
    std::mutex m_;
    std::map<opc::OPCHANDLE, std::vector<double>> values_;
};

template <class I>
ComPtr<I> As(plat::IUnknown* u) {
    ComPtr<I> p = plat::QueryAs<I>(u);
    CHILD_CHECK(p);
    return p;
}

struct Added {
    HRESULT call = plat::S_OK;
    std::vector<opc::OPCHANDLE> handles;
    std::vector<HRESULT> errors;
};

Added AddItems(opc::IOPCItemMgt* mgt, const std::vector<std::string>& names,
               const std::vector<opc::OPCHANDLE>& clients) {
    std::vector<std::u16string> ids;
    for (auto& n : names) ids.push_back(plat::Utf8ToWide(n));
    std::vector<opc::OPCITEMDEF> defs(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        defs[i].szItemID = ids[i].data();
        defs[i].bActive = 1;
        defs[i].hClient = clients[i];
        defs[i].vtRequestedDataType = plat::VT_R8;
    }
    opc::OPCITEMRESULT* res = nullptr;
    HRESULT* err = nullptr;
    Added a;
    a.call = mgt->AddItems(static_cast<uint32_t>(defs.size()), defs.data(), &res, &err);
    CHILD_CHECK(res && err);
    for (size_t i = 0; i < names.size(); ++i) {
        a.handles.push_back(res[i].hServer);
        a.errors.push_back(err[i]);
        plat::CoTaskMemFree(res[i].pBlob);
    }
    plat::CoTaskMemFree(res);
    plat::CoTaskMemFree(err);
    CLEAN();
    return a;
}

std::string RemoveItems(opc::IOPCItemMgt* mgt, const std::vector<opc::OPCHANDLE>& handles) {
    HRESULT* err = nullptr;
    const HRESULT hr =
        mgt->RemoveItems(static_cast<uint32_t>(handles.size()), handles.data(), &err);
    std::string r = Hex(hr);
    for (size_t i = 0; err && i < handles.size(); ++i) r += " " + Hex(err[i]);
    plat::CoTaskMemFree(err);
    CLEAN();
    return r;
}

// A friend watches PostN.State, DozeV and CurrentV (N in NORVALT_HOST_POST), buffered at
// 100 ms; it doses through a sync write and follows the filling, then waits to be killed.
void WatchPost() {
    const std::string post = std::getenv("NORVALT_HOST_POST");
    ComPtr<opc::IOPCServer> server;
    const HRESULT created = plat::CreateInstance(tlb::CLSID_DA2, server);
    if (!server) {
        Report("create " + Hex(created) + " " + plat::GetErrorText());
        Finish(1);
    }
    CLEAN();
    CHILD_CHECK(As<opc::IOPCCommon>(server.Get())->SetClientName(drv::kFriendClientName.data()) ==
                plat::S_OK);
    CLEAN();

    opc::OPCHANDLE group_handle = 0;
    uint32_t revised = 0;
    void* unk = nullptr;
    CHILD_CHECK(server->AddGroup(u"watch", 1, 100, 9, nullptr, nullptr, 1033, &group_handle,
                                 &revised, plat::IID_IUnknown, &unk) == plat::S_OK &&
                unk);
    auto group = ComPtr<plat::IUnknown>::Attach(static_cast<plat::IUnknown*>(unk));
    CHILD_CHECK(revised == 100);
    CLEAN();
    auto mgt = As<opc::IOPCItemMgt>(group.Get());
    const Added items = AddItems(mgt.Get(), {post + ".State", post + ".DozeV", post + ".CurrentV"},
                                 {kState, kDose, kCurrent});
    CHILD_CHECK(items.call == plat::S_OK);
    std::vector<uint32_t> handles(items.handles.begin(), items.handles.end());
    const int32_t enable[] = {1, 1, 1}, early[] = {0, 0, 0};
    HRESULT* err = nullptr;
    CHILD_CHECK(As<tlb::IOPCItemSamplingMgtExt>(group.Get())
                    ->SetItemBufferEnableAndTimeStampControl(3, handles.data(), enable, early,
                                                             &err) == plat::S_OK);
    CHILD_CHECK(err && err[0] == plat::S_OK && err[1] == plat::S_OK && err[2] == plat::S_OK);
    plat::CoTaskMemFree(err);
    CLEAN();

    CHILD_CHECK(Sync("advising") == "go");
    auto watch = plat::MakeCom<Watch>();
    plat::IConnectionPoint* cp = nullptr;
    CHILD_CHECK(As<plat::IConnectionPointContainer>(group.Get())
                        ->FindConnectionPoint(opc::IID_IOPCDataCallback, &cp) == plat::S_OK &&
                cp);
    uint32_t cookie = 0;
    CHILD_CHECK(cp->Advise(static_cast<opc::IOPCDataCallback*>(watch.Get()), &cookie) ==
                plat::S_OK);
    cp->Release();
    CHILD_CHECK(Eventually(
        [&] {
            return !watch->Values(kState).empty() && !watch->Values(kDose).empty() &&
                   !watch->Values(kCurrent).empty();
        },
        30000));
    CLEAN();
    Report("initial");
    CHILD_CHECK(Sync("connected") == "go");

    // Item management with handles and names that name nothing.
    const Added bad = AddItems(mgt.Get(), {"No.Such.Item", "Post1000.State", "Post21.State"},
                               {kOther, kOther, kOther});
    Report("add " + Hex(bad.call) + " " + Hex(bad.errors[0]) + " " + Hex(bad.errors[1]) + " " +
           Hex(bad.errors[2]));
    CHILD_CHECK(bad.errors[2] == plat::S_OK);
    Report("remove " + RemoveItems(mgt.Get(), {bad.handles[2], 12345, 0xFFFFFFFF}));
    Report("remove again " + RemoveItems(mgt.Get(), {bad.handles[2]}));
    HRESULT* none = nullptr;
    Report("remove none " + Hex(mgt->RemoveItems(0, nullptr, &none)));
    plat::CoTaskMemFree(none);
    CLEAN();
    CHILD_CHECK(Sync("items") == "go");

    // A sync read from the cache, with one handle that names nothing.
    auto sync = As<opc::IOPCSyncIO>(group.Get());
    const opc::OPCHANDLE read_handles[] = {items.handles[0], items.handles[1], items.handles[2],
                                           777};
    opc::OPCITEMSTATE* states = nullptr;
    err = nullptr;
    const HRESULT read = sync->Read(opc::OPC_DS_CACHE, 4, read_handles, &states, &err);
    CHILD_CHECK(states && err);
    std::string line = "read " + Hex(read);
    for (int i = 0; i < 4; ++i) {
        line += " " + std::to_string(states[i].hClient) + ":" +
                (states[i].vDataValue.vt == plat::VT_R8
                     ? Num(states[i].vDataValue.dblVal)
                     : "vt" + std::to_string(states[i].vDataValue.vt)) +
                ":" + std::to_string(states[i].wQuality) + ":" + Hex(err[i]);
        states[i].~OPCITEMSTATE();
    }
    Report(line);
    plat::CoTaskMemFree(states);
    plat::CoTaskMemFree(err);
    CLEAN();
    states = nullptr;
    err = nullptr;
    Report("read none " + Hex(sync->Read(opc::OPC_DS_CACHE, 0, read_handles, &states, &err)));
    plat::CoTaskMemFree(states);
    plat::CoTaskMemFree(err);
    CLEAN();
    CHILD_CHECK(Sync("read") == "go");

    // The dose first, then the start: the post waits for the key.
    const opc::OPCHANDLE write_handles[] = {items.handles[1], items.handles[0]};
    const plat::Variant values[] = {plat::Variant::R8(10), plat::Variant::I4(tlb::csWaitingKey)};
    err = nullptr;
    const HRESULT wrote = sync->Write(2, write_handles, values, &err);
    CHILD_CHECK(err);
    Report("write " + Hex(wrote) + " " + Hex(err[0]) + " " + Hex(err[1]));
    plat::CoTaskMemFree(err);
    CLEAN();
    CHILD_CHECK(Sync("written") == "go");
    CHILD_CHECK(Eventually([&] { return watch->Saw(kState, double{tlb::csWaitingKey}); }, 30000));
    CLEAN();
    CHILD_CHECK(Sync("waiting") == "go");

    // The parent presses the key; the filling runs to the dose and the post comes back idle.
    CHILD_CHECK(Eventually(
        [&] {
            const auto s = watch->Values(kState);
            for (size_t i = 0; i < s.size(); ++i)
                if (s[i] == double{tlb::csWorking})
                    for (size_t j = i + 1; j < s.size(); ++j)
                        if (s[j] == double{tlb::csIdle}) return true;
            return false;
        },
        60000));
    CLEAN();
    // The parent answers with how many samples each leaf made since "connected".
    const std::string expect = Sync("filled");
    size_t want[3] = {};
    CHILD_CHECK(std::sscanf(expect.c_str(), "expect %zu %zu %zu", &want[0], &want[1], &want[2]) ==
                3);
    const opc::OPCHANDLE watched[] = {kState, kDose, kCurrent};
    // Every sample comes in: the initial value plus one entry per new sample.
    CHILD_CHECK(Eventually(
        [&] {
            for (int i = 0; i < 3; ++i)
                if (watch->Values(watched[i]).size() < want[i] + 1) return false;
            return true;
        },
        30000));
    // A few more update periods, for a sample sent twice to show.
    ::usleep(500 * 1000);
    Report("counts " + std::to_string(watch->Values(kState).size() - 1) + " " +
           std::to_string(watch->Values(kDose).size() - 1) + " " +
           std::to_string(watch->Values(kCurrent).size() - 1));
    CLEAN();
    Report("held");
    for (;;) ::pause();
}

}  // namespace

// Plays `scenario` when it is one of these; false otherwise.
bool OpcGroupChildScenario(const std::string& scenario) {
    if (scenario != "opc-group-watch") return false;
    opc::RegisterOpcDaInterfaces();
    if (const char* drop = std::getenv("NORVALT_HOST_DROP"); drop && std::string(drop) == "1")
        CHILD_CHECK(::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0);
    g_blocks = plat::CoTaskMemLiveBlocks();
    WatchPost();
    return true;
}

}  // namespace hosttest
