// Object transport: synchronous call round trips and callbacks per second, beside a bare
// length-prefixed request/response over the same kind of socket (AF_UNIX stream) between the
// same two processes. The ratio of the two is the transport's cost (BM_CallToBareRatio prints
// it). The server and the bare echo run in a child forked before any thread starts, as the
// service runs apart from its clients.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/com/classes.h"
#include "platform/com/object.h"
#include "platform/rpc/client.h"
#include "platform/rpc/marshal.h"
#include "platform/rpc/server.h"
#include "platform/sysroot/sysroot.h"

namespace bench {

using plat::ComPtr;
using plat::HRESULT;

struct IBenchSink : public virtual plat::IUnknown {
    static const plat::IID& GetIID() {
        static const plat::IID iid = plat::GuidOf("{9A0E2C11-3B4D-4E5F-8061-72839AB4C5D6}");
        return iid;
    }
    virtual HRESULT Tick(int32_t i) = 0;
};

struct IBenchEcho : public virtual plat::IUnknown {
    static const plat::IID& GetIID() {
        static const plat::IID iid = plat::GuidOf("{9A0E2C12-3B4D-4E5F-8061-72839AB4C5D6}");
        return iid;
    }
    virtual HRESULT Echo(int32_t in, int32_t* out) = 0;
    virtual HRESULT Advise(IBenchSink* sink) = 0;
    // Calls the advised sink n times while the caller waits.
    virtual HRESULT Burst(int32_t n) = 0;
    // The same from a thread of the server's own (an event thread), joined before it returns.
    virtual HRESULT BurstFromThread(int32_t n) = 0;
};

}  // namespace bench

#define BENCH_ISINK(M) M(Tick, 1)
NORVALT_RPC_INTERFACE(bench::IBenchSink, BENCH_ISINK)
#define BENCH_IECHO(M) M(Echo, 2) M(Advise, 1) M(Burst, 1) M(BurstFromThread, 1)
NORVALT_RPC_INTERFACE(bench::IBenchEcho, BENCH_IECHO)

namespace bench {

const plat::CLSID kClsid = plat::GuidOf("{9A0E2C13-3B4D-4E5F-8061-72839AB4C5D6}");

class EchoObject final : public plat::ComObject<IBenchEcho> {
  public:
    HRESULT Echo(int32_t in, int32_t* out) override {
        *out = in + 1;
        return plat::S_OK;
    }
    HRESULT Advise(IBenchSink* s) override {
        sink = s;
        return plat::S_OK;
    }
    HRESULT Burst(int32_t n) override {
        for (int32_t i = 0; i < n; ++i)
            if (plat::Failed(sink->Tick(i))) return plat::E_FAIL;
        return plat::S_OK;
    }
    HRESULT BurstFromThread(int32_t n) override {
        HRESULT hr = plat::S_OK;
        std::thread([&] { hr = Burst(n); }).join();
        return hr;
    }
    ComPtr<IBenchSink> sink;
    static inline std::atomic<EchoObject*> last{nullptr};
};

class Sink final : public plat::ComObject<IBenchSink> {
  public:
    HRESULT Tick(int32_t i) override {
        ticks.store(i, std::memory_order_relaxed);
        return plat::S_OK;
    }
    std::atomic<int32_t> ticks{0};
};

bool ReadAll(int fd, void* b, size_t n) {
    auto* p = static_cast<char*>(b);
    while (n) {
        ssize_t k = ::recv(fd, p, n, 0);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// The floor's far end: answers each 64-byte length-prefixed message with itself.
void BareEcho(int fd) {
    char buf[64];
    uint32_t len;
    while (ReadAll(fd, &len, 4) && len <= sizeof buf && ReadAll(fd, buf, len)) {
        char out[68];
        std::memcpy(out, &len, 4);
        std::memcpy(out + 4, buf, len);
        if (::send(fd, out, 4 + len, MSG_NOSIGNAL) != static_cast<ssize_t>(4 + len)) break;
    }
}

// The child: serves the echo object and the bare echo until the parent goes.
[[noreturn]] void ServeChild(const std::string& dir, int bare_fd, int ready_fd) {
    plat::SetSystemRoot(dir);
    plat::rpc::RegisterInterfaces<IBenchSink, IBenchEcho>();
    auto factory = plat::MakeCom<plat::FunctionClassFactory>([](const plat::IID& iid, void** out) {
        auto e = plat::MakeCom<EchoObject>();
        EchoObject::last = e.Get();
        return e->QueryInterface(iid, out);
    });
    plat::RegisterClassObject(kClsid, factory.Get());
    plat::rpc::Server server;
    plat::rpc::ServerOptions o;
    o.socket_path = dir + "/bench.sock";
    o.socket_activation = false;
    o.tcp_enabled = false;
    if (server.Start(o) != plat::S_OK) ::_exit(1);
    std::thread([bare_fd] { BareEcho(bare_fd); }).detach();
    char c = 1;
    (void)!::write(ready_fd, &c, 1);
    // The parent closes its end when it is done (or dies).
    while (::read(ready_fd, &c, 1) > 0) {
    }
    ::_exit(0);
}

// One server process, one client connection, an advised sink and a bare socket pair to the
// same process, for the whole program.
struct Setup {
    Setup() {
        char tmpl[] = "/tmp/norvalt-rpcbench-XXXXXX";
        dir = ::mkdtemp(tmpl);
        plat::SetSystemRoot(dir);
        int bare[2], ready[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, bare) != 0 ||
            ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ready) != 0)
            std::abort();
        child = ::fork();
        if (child < 0) std::abort();
        if (child == 0) {
            ::close(bare[0]);
            ::close(ready[0]);
            ServeChild(dir, bare[1], ready[1]);
        }
        ::close(bare[1]);
        ::close(ready[1]);
        bare_fd = bare[0];
        ready_fd = ready[0];
        char c;
        if (::read(ready_fd, &c, 1) != 1) std::abort();

        plat::rpc::RegisterInterfaces<IBenchSink, IBenchEcho>();
        void* p = nullptr;
        if (plat::rpc::CreateOnLocalServer(dir + "/bench.sock", kClsid, IBenchEcho::GetIID(), &p) !=
            plat::S_OK)
            std::abort();
        echo = ComPtr<IBenchEcho>::Attach(static_cast<IBenchEcho*>(p));
        sink = plat::MakeCom<Sink>();
        echo->Advise(sink.Get());
    }
    ~Setup() {
        echo = nullptr;
        plat::rpc::DisconnectAll();
        ::close(ready_fd);
        ::close(bare_fd);
        int status;
        ::waitpid(child, &status, 0);
        std::filesystem::remove_all(dir);
    }
    // One bare round trip of a 64-byte message.
    void BarePing() {
        char msg[68] = {};
        const uint32_t len = 64;
        std::memcpy(msg, &len, 4);
        char reply[68];
        ::send(bare_fd, msg, sizeof msg, MSG_NOSIGNAL);
        ReadAll(bare_fd, reply, sizeof reply);
        benchmark::DoNotOptimize(reply);
    }

    std::string dir;
    pid_t child = -1;
    int bare_fd = -1;
    int ready_fd = -1;
    ComPtr<IBenchEcho> echo;
    ComPtr<Sink> sink;
};

Setup& Get() {
    static Setup s;
    return s;
}

void BM_RpcCall(benchmark::State& state) {
    IBenchEcho* e = Get().echo.Get();
    int32_t v = 0;
    for (auto _ : state) {
        e->Echo(v, &v);
        benchmark::DoNotOptimize(v);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RpcCall)->UseRealTime();

// Callbacks made by the server while the client waits in its call: served on the waiting thread.
void BM_RpcCallbackDuringCall(benchmark::State& state) {
    IBenchEcho* e = Get().echo.Get();
    const int32_t burst = 100;
    for (auto _ : state) e->Burst(burst);
    state.SetItemsProcessed(state.iterations() * burst);
}
BENCHMARK(BM_RpcCallbackDuringCall)->UseRealTime();

// Callbacks from a server thread of its own: served by the client's pool.
void BM_RpcCallbackFromServerThread(benchmark::State& state) {
    IBenchEcho* e = Get().echo.Get();
    const int32_t burst = 100;
    for (auto _ : state) e->BurstFromThread(burst);
    state.SetItemsProcessed(state.iterations() * burst);
}
BENCHMARK(BM_RpcCallbackFromServerThread)->UseRealTime();

// The floor: a 64-byte length-prefixed request answered by the other process.
void BM_BarePingPong(benchmark::State& state) {
    Setup& s = Get();
    for (auto _ : state) s.BarePing();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BarePingPong)->UseRealTime();

// A call's time over a bare round trip's, measured alternately in the same run so that both see
// the same machine load. The goal is at most 2.
void BM_CallToBareRatio(benchmark::State& state) {
    Setup& s = Get();
    IBenchEcho* e = s.echo.Get();
    using Clock = std::chrono::steady_clock;
    Clock::duration call{}, bare{};
    int32_t v = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        for (int i = 0; i < 200; ++i) s.BarePing();
        auto t1 = Clock::now();
        for (int i = 0; i < 200; ++i) e->Echo(v, &v);
        auto t2 = Clock::now();
        bare += t1 - t0;
        call += t2 - t1;
    }
    benchmark::DoNotOptimize(v);
    state.counters["ratio"] = static_cast<double>(call.count()) / static_cast<double>(bare.count());
}
BENCHMARK(BM_CallToBareRatio)->UseRealTime()->Iterations(50);

}  // namespace bench
