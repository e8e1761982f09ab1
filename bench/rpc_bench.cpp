// Object transport: synchronous call round trips and callbacks per second, beside a bare
// length-prefixed request/response over the same kind of socket (AF_UNIX stream). The ratio of
// the two is the transport's cost. Both ends live in this process but talk through the kernel,
// with the server's work on its own threads as in production.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

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
};

}  // namespace bench

#define BENCH_ISINK(M) M(Tick, 1)
NORVALT_RPC_INTERFACE(bench::IBenchSink, BENCH_ISINK)
#define BENCH_IECHO(M) M(Echo, 2) M(Advise, 1) M(Burst, 1)
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

// One server, one client connection and an advised sink for the whole program.
struct Setup {
    Setup() {
        char tmpl[] = "/tmp/norvalt-rpcbench-XXXXXX";
        dir = ::mkdtemp(tmpl);
        plat::SetSystemRoot(dir);
        plat::rpc::RegisterInterfaces<IBenchSink, IBenchEcho>();
        factory = plat::MakeCom<plat::FunctionClassFactory>([](const plat::IID& iid, void** out) {
            auto e = plat::MakeCom<EchoObject>();
            EchoObject::last = e.Get();
            return e->QueryInterface(iid, out);
        });
        plat::RegisterClassObject(kClsid, factory.Get());
        plat::rpc::ServerOptions o;
        o.socket_path = dir + "/bench.sock";
        o.socket_activation = false;
        o.tcp_enabled = false;
        if (server.Start(o) != plat::S_OK) std::abort();
        void* p = nullptr;
        if (plat::rpc::CreateOnLocalServer(o.socket_path, kClsid, IBenchEcho::GetIID(), &p) !=
            plat::S_OK)
            std::abort();
        echo = ComPtr<IBenchEcho>::Attach(static_cast<IBenchEcho*>(p));
        sink = plat::MakeCom<Sink>();
        echo->Advise(sink.Get());
        server_object = EchoObject::last.load();
    }
    ~Setup() {
        echo = nullptr;
        plat::rpc::DisconnectAll();
        server.Stop();
        std::filesystem::remove_all(dir);
    }
    std::string dir;
    ComPtr<plat::IClassFactory> factory;
    plat::rpc::Server server;
    ComPtr<IBenchEcho> echo;
    ComPtr<Sink> sink;
    EchoObject* server_object = nullptr;
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

// Callbacks from a server thread of its own (an event thread): served by the client's pool.
void BM_RpcCallbackFromServerThread(benchmark::State& state) {
    IBenchSink* s = Get().server_object->sink.Get();
    int32_t i = 0;
    for (auto _ : state) s->Tick(i++);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RpcCallbackFromServerThread)->UseRealTime();

// The floor: a 64-byte length-prefixed request answered by an echo thread.
void BM_BarePingPong(benchmark::State& state) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) std::abort();
    auto rd = [](int fd, void* b, size_t n) {
        auto* p = static_cast<char*>(b);
        while (n) {
            ssize_t k = ::recv(fd, p, n, 0);
            if (k <= 0) return false;
            p += k;
            n -= static_cast<size_t>(k);
        }
        return true;
    };
    std::thread echo([&] {
        char buf[64];
        uint32_t len;
        while (rd(sv[1], &len, 4) && len <= sizeof buf && rd(sv[1], buf, len)) {
            char out[68];
            std::memcpy(out, &len, 4);
            std::memcpy(out + 4, buf, len);
            if (::send(sv[1], out, 4 + len, MSG_NOSIGNAL) != static_cast<ssize_t>(4 + len)) break;
        }
    });
    char msg[68] = {};
    const uint32_t len = 64;
    std::memcpy(msg, &len, 4);
    char reply[68];
    for (auto _ : state) {
        ::send(sv[0], msg, sizeof msg, MSG_NOSIGNAL);
        rd(sv[0], reply, sizeof reply);
        benchmark::DoNotOptimize(reply);
    }
    ::shutdown(sv[0], SHUT_RDWR);
    echo.join();
    ::close(sv[0]);
    ::close(sv[1]);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BarePingPong)->UseRealTime();

}  // namespace bench
