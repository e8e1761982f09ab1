// One OPC group of 1,000 buffered items, each leaf with a new sample every 100 ms, its data
// callback in another process over the object transport. Measures one send step with its
// callback (the scan, the arrays, the call and its answer) against the 100 ms update rate
// (counter StepToRate; the goal is at most 0.25), and counts what the client received against
// what the leaves produced (Produced, Received, Lost: with buffering nothing may be lost).
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/classes.h"
#include "platform/com/connpt.h"
#include "platform/com/object.h"
#include "platform/registry/registry.h"
#include "platform/rpc/client.h"
#include "platform/rpc/server.h"
#include "platform/sysroot/sysroot.h"
#include "platform/time/clock.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/PortManager.h"
#include "service/host/OPCGroup.h"
#include "service/host/OPCServer.h"
#include "service/typelib/OpcDaProxy.h"

namespace {

using drv::ComPtr;
using plat::HRESULT;

constexpr int kLeaves = 1000;
constexpr uint32_t kRateMs = 100;
const plat::CLSID kSinkClsid = plat::GuidOf("{6C1E7A20-94B3-4D25-8E61-0F3B2A9D7C41}");

// What the client process has received, in memory shared with it.
struct Shared {
    std::atomic<uint64_t> entries{0};
    std::atomic<uint64_t> bad{0};  // entries with a failed read or a bad quality
};

// The client's data callback: counts entries.
class CountingSink final : public plat::ComObject<opc::IOPCDataCallback> {
  public:
    explicit CountingSink(Shared* s) : s_(s) {}
    HRESULT OnDataChange(uint32_t, opc::OPCHANDLE, HRESULT, HRESULT, uint32_t n,
                         const opc::OPCHANDLE*, const plat::Variant*, const uint16_t* q,
                         const plat::FILETIME*, const HRESULT* e) override {
        uint64_t bad = 0;
        for (uint32_t i = 0; i < n; ++i) bad += e[i] != plat::S_OK || q[i] != 192;
        s_->bad.fetch_add(bad);
        s_->entries.fetch_add(n);
        return plat::S_OK;
    }
    HRESULT OnReadComplete(uint32_t, opc::OPCHANDLE, HRESULT, HRESULT, uint32_t,
                           const opc::OPCHANDLE*, const plat::Variant*, const uint16_t*,
                           const plat::FILETIME*, const HRESULT*) override {
        return plat::S_OK;
    }
    HRESULT OnWriteComplete(uint32_t, opc::OPCHANDLE, HRESULT, uint32_t, const opc::OPCHANDLE*,
                            const HRESULT*) override {
        return plat::S_OK;
    }
    HRESULT OnCancelComplete(uint32_t, opc::OPCHANDLE) override { return plat::S_OK; }

  private:
    Shared* s_;
};

// The client process: serves its sink until the parent goes.
[[noreturn]] void ServeSink(const std::string& dir, Shared* shared, int ready_fd) {
    plat::SetSystemRoot(dir);
    opc::RegisterOpcDaInterfaces();
    auto factory =
        plat::MakeCom<plat::FunctionClassFactory>([shared](const plat::IID& iid, void** out) {
            return plat::MakeCom<CountingSink>(shared)->QueryInterface(iid, out);
        });
    plat::RegisterClassObject(kSinkClsid, factory.Get());
    plat::rpc::Server server;
    plat::rpc::ServerOptions o;
    o.socket_path = dir + "/sink.sock";
    o.socket_activation = false;
    o.tcp_enabled = false;
    if (server.Start(o) != plat::S_OK) ::_exit(1);
    char c = 1;
    (void)!::write(ready_fd, &c, 1);
    while (::read(ready_fd, &c, 1) > 0) {
    }
    ::_exit(0);
}

class BenchLeaf : public drv::TSoftLeafItem {
  public:
    explicit BenchLeaf(const std::string& name) : TSoftLeafItem(name, plat::VT_I4) {}
    uint8_t AccessRights() override { return 1; }
};

struct Setup {
    Setup() {
        char tmpl[] = "/tmp/norvalt-opcgroupbench-XXXXXX";
        dir = ::mkdtemp(tmpl);
        plat::SetSystemRoot(dir);
        void* mem = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                           MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (mem == MAP_FAILED) std::abort();
        shared = new (mem) Shared;
        int ready[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ready) != 0) std::abort();
        child = ::fork();
        if (child < 0) std::abort();
        if (child == 0) {
            ::close(ready[0]);
            ServeSink(dir, shared, ready[1]);
        }
        ::close(ready[1]);
        ready_fd = ready[0];
        char c;
        if (::read(ready_fd, &c, 1) != 1) std::abort();

        plat::reg::WriteString(plat::reg::Hive::LocalMachine, drv::kDrvKey, "Parameters",
                               "PROTOCOL=0 DISABLEALLPORTS=1");
        drv::InitProtocol(drv::kDrvKey, "Parameters");
        drv::InitNameSpace();
        const int32_t branch = drv::FindOrCreateBranch(-1, "", "Bench");
        std::vector<std::u16string> ids;
        for (int i = 0; i < kLeaves; ++i) {
            auto leaf = drv::New<BenchLeaf>("L" + std::to_string(i));
            leaf->AddToNS(branch);
            leaf->NewSample(plat::Variant::I4(0), drv::OPC_QUALITY_GOOD, plat::NowLocal());
            leaves.push_back(leaf);
            ids.push_back(plat::Utf8ToWide("Bench.L" + std::to_string(i)));
        }

        opc::RegisterOpcDaInterfaces();
        drv::TGroupArgs a;
        a.name = u"bench";
        a.requested_rate = kRateMs;
        a.client_kind = drv::kClientFriend;
        group = drv::New<drv::TGroup>(std::weak_ptr<drv::TServerCore>(), a);
        std::vector<opc::OPCITEMDEF> defs(kLeaves);
        for (int i = 0; i < kLeaves; ++i) {
            defs[i].szItemID = ids[i].data();
            defs[i].bActive = 1;
            defs[i].hClient = static_cast<opc::OPCHANDLE>(i);
        }
        opc::OPCITEMRESULT* res = nullptr;
        HRESULT* err = nullptr;
        if (group->AddItems(kLeaves, defs.data(), &res, &err) != plat::S_OK) std::abort();
        std::vector<uint32_t> handles(kLeaves);
        for (int i = 0; i < kLeaves; ++i) handles[i] = res[i].hServer;
        plat::CoTaskMemFree(res);
        plat::CoTaskMemFree(err);
        const std::vector<int32_t> on(kLeaves, 1), early(kLeaves, 0);
        if (group->SetItemBufferEnableAndTimeStampControl(kLeaves, handles.data(), on.data(),
                                                          early.data(), &err) != plat::S_OK)
            std::abort();
        plat::CoTaskMemFree(err);

        void* p = nullptr;
        if (plat::rpc::CreateOnLocalServer(dir + "/sink.sock", kSinkClsid,
                                           opc::IOPCDataCallback::GetIID(), &p) != plat::S_OK)
            std::abort();
        auto sink = ComPtr<opc::IOPCDataCallback>::Attach(static_cast<opc::IOPCDataCallback*>(p));
        plat::IConnectionPoint* cp = nullptr;
        if (group->FindConnectionPoint(opc::IID_IOPCDataCallback, &cp) != plat::S_OK) std::abort();
        uint32_t cookie = 0;
        if (cp->Advise(sink.Get(), &cookie) != plat::S_OK) std::abort();
        cp->Release();
        // The connected callback's first update: the current values.
        last_step = std::chrono::steady_clock::now();
        group->CallbackStep();
        if (shared->entries.load() != kLeaves) std::abort();
        shared->entries.store(0);
    }
    ~Setup() {
        group = nullptr;
        leaves.clear();
        drv::DoneNameSpace();
        drv::DoneProtocol();
        plat::rpc::DisconnectAll();
        ::close(ready_fd);
        int status;
        ::waitpid(child, &status, 0);
        std::filesystem::remove_all(dir);
    }

    // A new sample on every leaf, then the group's next update period.
    void ProduceAndWait() {
        ++value;
        for (auto& leaf : leaves)
            leaf->NewSample(plat::Variant::I4(value), drv::OPC_QUALITY_GOOD, plat::NowLocal());
        produced += kLeaves;
        std::this_thread::sleep_until(last_step + std::chrono::milliseconds(kRateMs));
    }

    std::string dir;
    pid_t child = -1;
    int ready_fd = -1;
    Shared* shared = nullptr;
    std::vector<ComPtr<BenchLeaf>> leaves;
    ComPtr<drv::TGroup> group;
    std::chrono::steady_clock::time_point last_step;
    int32_t value = 0;
    uint64_t produced = 0;
};

Setup& Get() {
    static Setup s;
    return s;
}

// Each iteration: the leaves' new samples and the wait for the update period (not timed),
// then the send step with its callback (timed).
void BM_GroupSendStep1000Items(benchmark::State& state) {
    Setup& s = Get();
    using Clock = std::chrono::steady_clock;
    Clock::duration total{};
    int64_t steps = 0;
    for (auto _ : state) {
        s.ProduceAndWait();
        const auto t0 = Clock::now();
        s.group->CallbackStep();
        const auto t1 = Clock::now();
        s.last_step = t0;
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        total += t1 - t0;
        ++steps;
    }
    // An update still due (a step that found the group not yet due) goes out here.
    for (int i = 0; i < 20 && s.shared->entries.load() < s.produced; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kRateMs));
        s.group->CallbackStep();
    }
    const double mean = std::chrono::duration<double>(total).count() / std::max<int64_t>(steps, 1);
    state.counters["StepToRate"] = mean / (kRateMs / 1000.0);
    state.counters["Produced"] = static_cast<double>(s.produced);
    state.counters["Received"] = static_cast<double>(s.shared->entries.load());
    state.counters["Lost"] =
        static_cast<double>(s.produced) - static_cast<double>(s.shared->entries.load());
    state.counters["BadEntries"] = static_cast<double>(s.shared->bad.load());
}
BENCHMARK(BM_GroupSendStep1000Items)
    ->UseManualTime()
    ->Iterations(30)
    ->Unit(benchmark::kMillisecond);

}  // namespace
