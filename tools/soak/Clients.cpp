// The soak's client processes: the soak program started again with --client KIND. Each binds
// over the transport as a station's programs would and reports on standard output, one line a
// second: "C issued completed refused timedout maxms calls" (cumulative) and "F text" for what
// broke a rule. A client that cannot reach the service retries for a minute, then ends 3.
#include "tools/soak/Clients.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/classes.h"
#include "platform/com/clipboard.h"
#include "platform/com/connpt.h"
#include "platform/com/object.h"
#include "platform/rpc/client.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/typelib/OpcDaProxy.h"
#include "service/typelib/TypeLib.h"
#include "service/typelib/TypeLibProxy.h"

namespace soak {
namespace {

using Clock = std::chrono::steady_clock;
using plat::HRESULT;

std::mutex g_out;
void Line(const std::string& s) {
    std::lock_guard lk(g_out);
    std::fputs((s + "\n").c_str(), stdout);
    std::fflush(stdout);
}

double Ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Counters every client reports.
struct Counts {
    std::atomic<long> issued{0}, completed{0}, refused{0}, timedout{0}, calls{0};
    std::atomic<long> max_ms{0};
    void Result(double ms, int32_t res) {
        ++completed;
        if (res == -1) ++timedout;
        long v = static_cast<long>(ms);
        for (long m = max_ms; v > m && !max_ms.compare_exchange_weak(m, v);) {
        }
        if (ms > kResultBoundMs)
            Line("F command result after " + std::to_string(v) + " ms (result " +
                 std::to_string(res) + ")");
    }
    void Report() {
        Line("C " + std::to_string(issued) + " " + std::to_string(completed) + " " +
             std::to_string(refused) + " " + std::to_string(timedout) + " " +
             std::to_string(max_ms) + " " + std::to_string(calls));
    }
};
Counts g_counts;

void Reporter() {
    std::thread([] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            g_counts.Report();
        }
    }).detach();
}

template <class I>
plat::ComPtr<I> Bind(const plat::CLSID& clsid) {
    plat::ComPtr<I> p;
    const auto until = Clock::now() + std::chrono::seconds(60);
    while (!plat::Succeeded(plat::CreateInstance(clsid, p)) && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (!p) {
        Line("F cannot bind: " + plat::GetErrorText());
        std::fflush(stdout);
        ::_exit(3);
    }
    return p;
}

class Sink : public plat::ComObject<tlb::INorvaltEventsEx, tlb::INorvaltEvents> {
  public:
    HRESULT PostFound(int8_t) override { return plat::S_OK; }
    HRESULT StateChanged(int8_t, tlb::TState) override { return plat::S_OK; }
    HRESULT VarValueChanged(int8_t, tlb::TVariableEnum, tlb::TVariableValue) override {
        return plat::S_OK;
    }
    HRESULT PostDeleted(int8_t) override { return plat::S_OK; }
    HRESULT PostWithoutChanges(int8_t, plat::DATE) override { return plat::S_OK; }
};

// Issues a command through `issue`; waits for its result and counts it.
template <class F>
void Command(tlb::INorvalt& n, F issue) {
    tlb::TCmdID id = 0;
    const auto t0 = Clock::now();
    const HRESULT hr = issue(&id);
    ++g_counts.issued;
    if (plat::Failed(hr) || !tlb::IsCmdID(id)) {
        ++g_counts.refused;
        return;
    }
    tlb::TCmdID res = 0;
    if (plat::Failed(n.GetResult(id, &res))) return;  // the service went away
    g_counts.Result(Ms(t0), res);
}

// A console: reads every post it is given and now and then runs a delivery on an idle one
// (dose, start; the simulator presses the key and the dose runs out).
void Tork(const std::vector<int>& posts, unsigned seed) {
    auto n = Bind<tlb::INorvalt>(tlb::CLSID_TORK);
    auto sink = plat::MakeCom<Sink>();
    n->RegisterSinkInterfaceEx(sink.Get());
    std::mt19937 rng(seed);
    for (int round = 0;; ++round) {
        for (int p : posts) {
            tlb::TState st{};
            tlb::TVariableValue v{};
            int32_t res = 0;
            n->GetState(static_cast<int16_t>(p), &st);
            n->GetVarValue(static_cast<int16_t>(p), tlb::cvTotalV, &v, &res);
            g_counts.calls += 2;
            if (round % 10 == 0 && st.Value == tlb::csIdle && rng() % 3 == 0) {
                const int64_t dose = 10000 * (1 + static_cast<int64_t>(rng() % 3));
                Command(*n, [&](tlb::TCmdID* id) {
                    return n->SetVarValue(static_cast<int16_t>(p), tlb::cvDozeV,
                                          plat::Currency{dose}, id);
                });
                Command(*n, [&](tlb::TCmdID* id) {
                    return n->SetState(static_cast<int16_t>(p), tlb::csWaitingKey, id);
                });
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
}

// Floods one post with dose writes without waiting; every id's result is polled until final.
void Flood(int post) {
    auto n = Bind<tlb::INorvalt>(tlb::CLSID_TORK);
    std::map<tlb::TCmdID, Clock::time_point> open;
    for (;;) {
        for (int k = 0; k < 50; ++k) {
            tlb::TCmdID id = 0;
            const HRESULT hr = n->SetVarValue(static_cast<int16_t>(post), tlb::cvDozeV,
                                              plat::Currency{10000 + k}, &id);
            ++g_counts.issued;
            if (plat::Failed(hr) || !tlb::IsCmdID(id))
                ++g_counts.refused;
            else
                open.emplace(id, Clock::now());
        }
        for (auto it = open.begin(); it != open.end();) {
            tlb::TCmdID res = 0;
            if (plat::Failed(n->TryResult(it->first, &res))) return;
            ++g_counts.calls;
            if (tlb::IsCmdID(res) && Ms(it->second) <= kResultBoundMs) {
                ++it;
                continue;
            }
            g_counts.Result(Ms(it->second), res);
            it = open.erase(it);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

struct Group {
    plat::ComPtr<plat::IUnknown> unk;
    std::vector<opc::OPCHANDLE> handles;
};

Group AddGroup(opc::IOPCServer& server, const std::vector<std::string>& items, uint32_t rate) {
    Group g;
    opc::OPCHANDLE h = 0;
    uint32_t revised = 0;
    void* unk = nullptr;
    if (server.AddGroup(u"soak", 1, rate, 1, nullptr, nullptr, 1033, &h, &revised,
                        plat::IID_IUnknown, &unk) != plat::S_OK ||
        !unk) {
        Line("F AddGroup failed");
        ::_exit(1);
    }
    g.unk = plat::ComPtr<plat::IUnknown>::Attach(static_cast<plat::IUnknown*>(unk));
    auto mgt = plat::QueryAs<opc::IOPCItemMgt>(g.unk.Get());
    std::vector<std::u16string> ids;
    for (auto& n : items) ids.push_back(plat::Utf8ToWide(n));
    std::vector<opc::OPCITEMDEF> defs(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        defs[i].szItemID = ids[i].data();
        defs[i].bActive = 1;
        defs[i].hClient = static_cast<opc::OPCHANDLE>(i + 1);
    }
    opc::OPCITEMRESULT* res = nullptr;
    HRESULT* err = nullptr;
    mgt->AddItems(static_cast<uint32_t>(defs.size()), defs.data(), &res, &err);
    for (size_t i = 0; res && err && i < items.size(); ++i) {
        if (err[i] == plat::S_OK) g.handles.push_back(res[i].hServer);
        plat::CoTaskMemFree(res[i].pBlob);
    }
    plat::CoTaskMemFree(res);
    plat::CoTaskMemFree(err);
    return g;
}

class DataSink : public plat::ComObject<opc::IOPCDataCallback, opc::IAdviseSink> {
  public:
    HRESULT OnDataChange(uint32_t, opc::OPCHANDLE, HRESULT, HRESULT, uint32_t,
                         const opc::OPCHANDLE*, const plat::Variant*, const uint16_t*,
                         const plat::FILETIME*, const HRESULT*) override {
        ++g_counts.calls;
        return plat::S_OK;
    }
    HRESULT OnReadComplete(uint32_t, opc::OPCHANDLE, HRESULT, HRESULT, uint32_t,
                           const opc::OPCHANDLE*, const plat::Variant*, const uint16_t*,
                           const plat::FILETIME*, const HRESULT*) override {
        ++g_counts.calls;
        return plat::S_OK;
    }
    HRESULT OnWriteComplete(uint32_t, opc::OPCHANDLE, HRESULT, uint32_t, const opc::OPCHANDLE*,
                            const HRESULT*) override {
        return plat::S_OK;
    }
    HRESULT OnCancelComplete(uint32_t, opc::OPCHANDLE) override { return plat::S_OK; }
    HRESULT OnDataChange(const opc::FORMATETC*, const opc::STGMEDIUM*) override {
        ++g_counts.calls;
        return plat::S_OK;
    }
    HRESULT OnViewChange(uint32_t, int32_t) override { return plat::S_OK; }
    HRESULT OnRename(plat::IUnknown*) override { return plat::S_OK; }
    HRESULT OnSave() override { return plat::S_OK; }
    HRESULT OnClose() override { return plat::S_OK; }
};

// An OPC client with one active group: "sync" reads from cache and device, "async" takes data
// changes and asynchronous reads, "da1" takes the DA 1.0 data-and-time stream and refreshes.
void Opc(const std::string& mode, const std::vector<std::string>& items) {
    opc::RegisterOpcDaInterfaces();
    auto server = Bind<opc::IOPCServer>(tlb::CLSID_DA2);
    Group g = AddGroup(*server, items, mode == "sync" ? 1000 : 250);
    auto sink = plat::MakeCom<DataSink>();
    uint32_t conn = 0;
    if (mode == "async") {
        plat::IConnectionPoint* cp = nullptr;
        if (auto c = plat::QueryAs<plat::IConnectionPointContainer>(g.unk.Get());
            c && c->FindConnectionPoint(opc::IID_IOPCDataCallback, &cp) == plat::S_OK && cp) {
            cp->Advise(static_cast<opc::IOPCDataCallback*>(sink.Get()), &conn);
            cp->Release();
        }
    } else if (mode == "da1") {
        opc::FORMATETC f;
        f.cfFormat = plat::RegisterClipboardFormat(u"OPCSTMFORMATDATATIME");
        if (auto d = plat::QueryAs<opc::IDataObject>(g.unk.Get()))
            d->DAdvise(&f, 0, static_cast<opc::IAdviseSink*>(sink.Get()), &conn);
    }
    const auto n = static_cast<uint32_t>(g.handles.size());
    for (int round = 0;; ++round) {
        if (mode == "sync") {
            auto io = plat::QueryAs<opc::IOPCSyncIO>(g.unk.Get());
            opc::OPCITEMSTATE* st = nullptr;
            HRESULT* err = nullptr;
            const auto src = round % 10 == 0 ? opc::OPC_DS_DEVICE : opc::OPC_DS_CACHE;
            if (plat::Failed(io->Read(src, n, g.handles.data(), &st, &err)) && !st) return;
            for (uint32_t i = 0; st && i < n; ++i) st[i].~OPCITEMSTATE();
            plat::CoTaskMemFree(st);
            plat::CoTaskMemFree(err);
        } else if (mode == "async") {
            auto io = plat::QueryAs<opc::IOPCAsyncIO2>(g.unk.Get());
            uint32_t cancel = 0;
            HRESULT* err = nullptr;
            io->Read(n, g.handles.data(), static_cast<uint32_t>(round), &cancel, &err);
            plat::CoTaskMemFree(err);
        } else {
            auto io = plat::QueryAs<opc::IOPCAsyncIO>(g.unk.Get());
            uint32_t trans = 0;
            if (io) io->Refresh(conn, opc::OPC_DS_CACHE, &trans);
        }
        ++g_counts.calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

// Binds everything a client can hold, then reads until the soak kills it.
void Victim(const std::vector<std::string>& items) {
    opc::RegisterOpcDaInterfaces();
    auto n = Bind<tlb::INorvalt>(tlb::CLSID_TORK);
    auto sink = plat::MakeCom<Sink>();
    n->RegisterSinkInterfaceEx(sink.Get());
    auto server = Bind<opc::IOPCServer>(tlb::CLSID_DA2);
    Group g = AddGroup(*server, items, 100);
    auto data = plat::MakeCom<DataSink>();
    plat::IConnectionPoint* cp = nullptr;
    uint32_t conn = 0;
    if (auto c = plat::QueryAs<plat::IConnectionPointContainer>(g.unk.Get());
        c && c->FindConnectionPoint(opc::IID_IOPCDataCallback, &cp) == plat::S_OK && cp) {
        cp->Advise(static_cast<opc::IOPCDataCallback*>(data.Get()), &conn);
        cp->Release();
    }
    for (int round = 0;; ++round) {
        tlb::TState st{};
        n->GetState(1, &st);
        if (round % 25 == 0) {
            tlb::TCmdID id = 0;  // left open by the kill
            n->SetVarValue(9, tlb::cvDozeV, plat::Currency{20000}, &id);
        }
        ++g_counts.calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

int RunClient(const std::string& kind, const std::vector<std::string>& args) {
    tlb::RegisterTypeLibInterfaces();
    Reporter();
    std::vector<int> posts;
    for (auto& a : args) posts.push_back(std::atoi(a.c_str()));
    if (kind == "tork") Tork(posts, static_cast<unsigned>(::getpid()));
    if (kind == "flood") Flood(posts.empty() ? 9 : posts[0]);
    if (kind == "victim") Victim(args);
    if (kind == "sync" || kind == "async" || kind == "da1") Opc(kind, args);
    Line("F the service went away");
    std::fflush(stdout);
    ::_exit(4);
}

}  // namespace soak
