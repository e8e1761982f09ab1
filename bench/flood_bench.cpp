// What one client can do to the others, against the real service in its own process and two
// simulated controllers on one pseudo-terminal line (COM1, addresses 1 and 2):
// - BM_FloodedLine: a client process floods SetState on post 1 without asking for results;
//   the exchanges per second that post 2 gets on the line are counted with and without the
//   flood (ratio_flooded, goal >= 0.9), while a second client process keeps writing post 2's
//   dose and waiting for each result (other_ok, other_failed, other_max_ms). Post 1 is put in
//   the state the flood asks for (waiting for the key) before either count.
// - BM_EnumeratorStorm: client processes loop IEnumString::Next(0x7FFFFFFF, ...) on browse
//   enumerators; the service's resident memory before, right after and a while after.
//
// The bench runs this same program again as its clients (--client=NAME).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/com/classes.h"
#include "platform/registry/registry.h"
#include "platform/rpc/client.h"
#include "platform/sysroot/sysroot.h"
#include "platform/types/cotaskmem.h"
#include "service/typelib/OpcDaProxy.h"
#include "service/typelib/TypeLibProxy.h"
#include "tools/RawPty.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Frame.h"
#include "tools/zrnsim/Station.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using plat::ComPtr;
using plat::HRESULT;

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

// --- the client processes ------------------------------------------------------------------

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Waits until both posts report a real state, then writes post 2's dose and waits for each
// result; "report" on the standard input prints what happened since the last report.
// The service may still be starting: its socket is tried for a minute.
template <class I>
ComPtr<I> Create(const plat::CLSID& clsid) {
    ComPtr<I> p;
    HRESULT hr = plat::E_FAIL;
    for (int i = 0; i < 600 && !p; ++i) {
        hr = plat::CreateInstance(clsid, p);
        if (!p) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!p) std::fprintf(stderr, "flood_bench client: create %08X\n", static_cast<unsigned>(hr));
    return p;
}

int MeasureClient() {
    ComPtr<tlb::INorvalt> n = Create<tlb::INorvalt>(tlb::CLSID_TORK);
    if (!n) return 2;
    for (int i = 0; i < 600; ++i) {
        tlb::TState a{}, b{};
        n->GetState(1, &a);
        n->GetState(2, &b);
        if (a.Value == tlb::csIdle && b.Value == tlb::csIdle) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Post 1 waits for the key before anything is measured: the flood's first command puts it
    // there, and a waiting post is polled more often than an idle one by design.
    int32_t id = 0, res = -1;
    n->SetVarValue(1, tlb::cvDozeV, plat::Currency{100000}, &id);
    if (tlb::IsCmdID(id)) n->GetResult(id, &res);
    if (res == 0) n->SetState(1, tlb::csWaitingKey, &id);
    if (res == 0 && tlb::IsCmdID(id)) n->GetResult(id, &res);
    Say(res == 0 ? "ready" : "start " + std::to_string(res));
    std::mutex m;
    long ok = 0, failed = 0;
    double max_ms = 0;
    std::atomic<bool> quit{false};
    std::thread writer([&] {
        for (int i = 0; !quit.load(); ++i) {
            const auto t0 = Clock::now();
            int32_t id = 0, res = -1;
            n->SetVarValue(2, tlb::cvDozeV, plat::Currency{(1 + i % 5) * 10000}, &id);
            if (tlb::IsCmdID(id)) n->GetResult(id, &res);
            const double ms = Seconds(t0, Clock::now()) * 1000;
            {
                std::lock_guard lk(m);
                ++(res == 0 ? ok : failed);
                max_ms = std::max(max_ms, ms);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    });
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
        std::lock_guard lk(m);
        Say("report " + std::to_string(ok) + " " + std::to_string(failed) + " " +
            std::to_string(static_cast<long>(max_ms)));
        ok = failed = 0;
        max_ms = 0;
    }
    quit = true;
    writer.join();
    return 0;
}

// SetState(1, waiting for the key) as fast as the service answers, never asking for a result,
// until the standard input closes.
int FloodClient() {
    ComPtr<tlb::INorvalt> n = Create<tlb::INorvalt>(tlb::CLSID_TORK);
    if (!n) return 2;
    std::atomic<bool> quit{false};
    std::thread stop([&] {
        char line[16];
        while (std::fgets(line, sizeof line, stdin)) {
        }
        quit = true;
    });
    long ids = 0, refused = 0;
    Say("flooding");
    while (!quit.load()) {
        int32_t id = 0;
        n->SetState(1, tlb::csWaitingKey, &id);
        ++(tlb::IsCmdID(id) ? ids : refused);
    }
    stop.join();
    Say("done " + std::to_string(ids) + " " + std::to_string(refused));
    return 0;
}

// Threads looping IEnumString::Next with the largest count on flat browse enumerators.
int StormClient() {
    ComPtr<opc::IOPCBrowseServerAddressSpace> b =
        Create<opc::IOPCBrowseServerAddressSpace>(tlb::CLSID_DA2);
    if (!b) return 2;
    const int threads = EnvInt("FLOOD_BENCH_STORM_THREADS", 16);
    const int ms = EnvInt("FLOOD_BENCH_STORM_MS", 6000);
    std::atomic<long> calls{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            opc::IEnumString* e = nullptr;
            if (b->BrowseOPCItemIDs(opc::OPC_FLAT, u"", plat::VT_EMPTY, 0, &e) != plat::S_OK || !e)
                return;
            // Room for every name the service has: the proxy hands back only what came.
            std::vector<char16_t*> out(65536);
            const auto until = Clock::now() + std::chrono::milliseconds(ms);
            while (Clock::now() < until) {
                uint32_t got = 0;
                e->Next(0x7FFFFFFF, out.data(), &got);
                for (uint32_t i = 0; i < got && i < out.size(); ++i) plat::CoTaskMemFree(out[i]);
                e->Reset();
                ++calls;
            }
            e->Release();
        });
    for (auto& t : pool) t.join();
    Say("done " + std::to_string(calls.load()));
    return 0;
}

// --- the harness -------------------------------------------------------------------------------

// A process started with pipes on its standard input and output.
class Child {
  public:
    // `out`: a file for the standard output and error instead of the pipe (a program that
    // writes more than the harness reads).
    Child(const std::vector<std::string>& args, const std::vector<std::string>& env_add,
          const std::string& out_file = {}) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        if (out_file.empty()) {
            posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        } else {
            posix_spawn_file_actions_addopen(&fa, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0644);
            posix_spawn_file_actions_adddup2(&fa, 1, 2);
        }
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string_view v(*e);
            if (v.starts_with("NORVALT_") || v.starts_with("LISTEN_")) continue;
            env.emplace_back(v);
        }
        env.insert(env.end(), env_add.begin(), env_add.end());
        std::vector<char*> a, e;
        std::vector<std::string> argv = args;
        for (auto& s : argv) a.push_back(s.data());
        a.push_back(nullptr);
        for (auto& s : env) e.push_back(s.data());
        e.push_back(nullptr);
        if (posix_spawn(&pid_, a[0], &fa, nullptr, a.data(), e.data()) != 0) std::abort();
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~Child() {
        CloseInput();
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            Wait(10000);
        }
        ::close(from_);
    }
    pid_t Pid() const { return pid_; }
    std::string ReadLine(int ms) {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (auto nl = buf_.find('\n'); nl != std::string::npos) {
                std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return line;
            }
            const int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now())
                    .count());
            if (left <= 0) return {};
            pollfd p{from_, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0) continue;
            char b[512];
            const ssize_t n = ::read(from_, b, sizeof b);
            if (n <= 0) return {};
            buf_.append(b, static_cast<size_t>(n));
        }
    }
    void Send(const std::string& line) {
        const std::string l = line + "\n";
        (void)!::write(to_, l.data(), l.size());
    }
    void CloseInput() {
        if (to_ >= 0) ::close(to_);
        to_ = -1;
    }
    int Wait(int ms) {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (!reaped_ && Clock::now() < until) {
            int st = 0;
            if (::waitpid(pid_, &st, WNOHANG) == pid_) {
                reaped_ = true;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return reaped_ ? 0 : -1;
    }

  private:
    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    std::string buf_;
    bool reaped_ = false;
};

std::string Self() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

// Resident memory of a process, in MiB.
double RssMiB(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (f >> key) {
        if (key == "VmRSS:") {
            double kb = 0;
            f >> kb;
            return kb / 1024.0;
        }
        f.ignore(1 << 20, '\n');
    }
    return 0;
}

// A private root, the simulated line and the service serving it.
class Rig {
  public:
    Rig() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "norvalt-flood-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
        root_ = tmpl;
        plat::SetSystemRoot(root_);
        env_ = {"NORVALT_ROOT=" + root_};
        std::string name;
        if (!tools::OpenRawPty(master_, slave_, name)) std::abort();
        plat::reg::WriteString(plat::reg::Hive::LocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM",
                               "COM1", name);
        for (int a : {1, 2}) station_->Add(a, 40, 74);
        runner_ = std::make_unique<zrnsim::LineRunner>(station_, master_);
        runner_->SetTrace([this](const zrnsim::TraceEvent& ev) {
            if (ev.kind != zrnsim::TraceEvent::Received) return;
            zrnsim::Request r;
            if (zrnsim::ParseRequest(ev.bytes, r) == zrnsim::FrameError::None && r.address < 32)
                ++frames_[r.address];
        });
        runner_->Start();
        Child install({NORVALT_SERVICE_EXE, "/INSTALL", "/SILENT", "/PROTOCOL=4"}, env_,
                      root_ + "/install.out");
        install.CloseInput();
        if (install.Wait(60000) != 0) std::abort();
        plat::reg::WriteString(plat::reg::Hive::LocalMachine, "Software\\Norvalt\\Drv",
                               "Parameters", "PROTOCOL=2 PORT=CUST COM1=ZRN9600 EXITTIMEOUT=0");
        service_ = std::make_unique<Child>(std::vector<std::string>{NORVALT_SERVICE_EXE}, env_,
                                           root_ + "/service.out");
    }
    ~Rig() {
        ::kill(service_->Pid(), SIGTERM);
        service_->Wait(60000);
        service_.reset();
        runner_->Stop();
        ::close(master_);
        ::close(slave_);
        plat::SetSystemRoot("");
        // FLOOD_BENCH_KEEP=1 leaves the root with the service's logs for a look.
        std::error_code ec;
        if (EnvInt("FLOOD_BENCH_KEEP", 0) == 0)
            std::filesystem::remove_all(root_, ec);
        else
            std::fprintf(stderr, "flood_bench: root kept at %s\n", root_.c_str());
    }
    std::unique_ptr<Child> Client(const std::string& role,
                                  const std::vector<std::string>& extra = {}) {
        std::vector<std::string> env = env_;
        env.insert(env.end(), extra.begin(), extra.end());
        return std::make_unique<Child>(std::vector<std::string>{Self(), "--client=" + role}, env);
    }
    uint64_t Frames(int address) const { return frames_[address].load(); }
    pid_t ServicePid() const { return service_->Pid(); }

  private:
    std::string root_;
    std::vector<std::string> env_;
    int master_ = -1, slave_ = -1;
    std::shared_ptr<zrnsim::Station> station_ = std::make_shared<zrnsim::Station>();
    std::unique_ptr<zrnsim::LineRunner> runner_;
    std::atomic<uint64_t> frames_[32] = {};
    std::unique_ptr<Child> service_;
};

// Exchanges per second of posts 1 and 2 over `s` seconds.
std::pair<double, double> Rates(const Rig& rig, int s) {
    const uint64_t one = rig.Frames(1), two = rig.Frames(2);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(s));
    const double t = Seconds(t0, Clock::now());
    return {static_cast<double>(rig.Frames(1) - one) / t,
            static_cast<double>(rig.Frames(2) - two) / t};
}

// "report ok failed max_ms"
void Report(Child& c, benchmark::State& state, const char* prefix) {
    c.Send("report");
    long ok = 0, failed = 0, max_ms = 0;
    std::sscanf(c.ReadLine(30000).c_str(), "report %ld %ld %ld", &ok, &failed, &max_ms);
    state.counters[std::string(prefix) + "_ok"] = static_cast<double>(ok);
    state.counters[std::string(prefix) + "_failed"] = static_cast<double>(failed);
    state.counters[std::string(prefix) + "_max_ms"] = static_cast<double>(max_ms);
}

void BM_FloodedLine(benchmark::State& state) {
    const int window = EnvInt("FLOOD_BENCH_SECONDS", 30);
    // Long enough for the first flooded commands to expire (20 s) and be drained.
    const int flood_window = EnvInt("FLOOD_BENCH_FLOOD_SECONDS", 40);
    for (auto _ : state) {
        Rig rig;
        auto measure = rig.Client("measure");
        if (measure->ReadLine(120000) != "ready") {
            state.SkipWithError("the posts did not come up");
            return;
        }
        Report(*measure, state, "quiet_other");
        const auto [quiet_one, quiet] = Rates(rig, window);
        Report(*measure, state, "quiet_other");
        auto flood = rig.Client("flood");
        if (flood->ReadLine(30000) != "flooding") {
            state.SkipWithError("the flooding client did not start");
            return;
        }
        // The commands pile up over the first seconds; what counts is the line afterwards.
        std::this_thread::sleep_for(std::chrono::seconds(5));
        Report(*measure, state, "other");
        const auto [flooded_one, flooded] = Rates(rig, flood_window);
        Report(*measure, state, "other");
        flood->CloseInput();
        long ids = 0, refused = 0;
        std::sscanf(flood->ReadLine(30000).c_str(), "done %ld %ld", &ids, &refused);
        state.counters["quiet_exch_per_s"] = quiet;
        state.counters["flooded_exch_per_s"] = flooded;
        state.counters["post1_quiet_exch_per_s"] = quiet_one;
        state.counters["post1_flooded_exch_per_s"] = flooded_one;
        state.counters["ratio_flooded"] = quiet > 0 ? flooded / quiet : 0;
        state.counters["flood_ids"] = static_cast<double>(ids);
        state.counters["flood_refused"] = static_cast<double>(refused);
        measure->CloseInput();
    }
}
BENCHMARK(BM_FloodedLine)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_EnumeratorStorm(benchmark::State& state) {
    const int clients = EnvInt("FLOOD_BENCH_STORM_CLIENTS", 4);
    for (auto _ : state) {
        Rig rig;
        auto measure = rig.Client("measure");
        if (measure->ReadLine(120000) != "ready") {
            state.SkipWithError("the posts did not come up");
            return;
        }
        const double before = RssMiB(rig.ServicePid());
        std::vector<std::unique_ptr<Child>> storm;
        for (int i = 0; i < clients; ++i) storm.push_back(rig.Client("storm"));
        long calls = 0;
        double peak = before;
        for (auto& c : storm) {
            // Sampled while the storm lasts; each client ends with its count.
            std::string line;
            for (int i = 0; i < 240 && (line = c->ReadLine(500)).empty(); ++i)
                peak = std::max(peak, RssMiB(rig.ServicePid()));
            long n = 0;
            std::sscanf(line.c_str(), "done %ld", &n);
            calls += n;
        }
        const double right_after = RssMiB(rig.ServicePid());
        storm.clear();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        state.counters["rss_before_mib"] = before;
        state.counters["rss_peak_mib"] = std::max(peak, right_after);
        state.counters["rss_after_mib"] = right_after;
        state.counters["rss_after_10s_mib"] = RssMiB(rig.ServicePid());
        state.counters["next_calls"] = static_cast<double>(calls);
        measure->CloseInput();
    }
}
BENCHMARK(BM_EnumeratorStorm)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--client=", 0) != 0) continue;
        tlb::RegisterTypeLibInterfaces();
        opc::RegisterOpcDaInterfaces();
        const std::string role = a.substr(9);
        int rc = 2;
        if (role == "measure") rc = MeasureClient();
        if (role == "flood") rc = FloodClient();
        if (role == "storm") rc = StormClient();
        plat::rpc::DisconnectAll();
        std::fflush(stdout);
        ::_exit(rc);
    }
    ::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
