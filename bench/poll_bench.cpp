// One port with 31 simulated controllers on an in-process line: how much of a poll step is
// our own code, against the waits the exchanges themselves need (character times and the
// controllers' answer times).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>

#include "bench/BenchLine.h"
#include "platform/registry/registry.h"
#include "platform/sysroot/sysroot.h"
#include "service/core/controllers/PollThread.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/EmulatorTable.h"
#include "service/drivers/Drivers.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

namespace {

// 31 controllers, each added by `add`.
void PollSweep(benchmark::State& state, void (*add)(zrnsim::Station&, int address)) {
    auto root = std::filesystem::temp_directory_path() / "norvalt-bench-poll";
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    plat::SetSystemRoot(root.string());
    plat::reg::WriteString(plat::reg::Hive::LocalMachine, drv::kDrvKey, "Parameters", "PROTOCOL=4");
    drv::InstallDrivers();
    drv::InitNameSpace();
    auto station = std::make_shared<zrnsim::Station>();
    for (int a = 1; a <= 31; ++a) add(*station, a);
    auto emu = plat::MakeCom<zrnsim::HwEmu>(station);
    drv::SetEmulator(12, drv::ComPtr<tlb::IHWEmu>(emu.Get()));
    auto thread = drv::TProcessThread::CreateStopped(11, 9600, true, 0, false);
    // Find every controller first; the measured steps then serve them.
    for (int i = 0; i < 2000 && thread->PostCount() < 31; ++i) thread->PollStep();
    const drv::TZrnTimes before = thread->Port().Times();
    for (auto _ : state) thread->PollStep();
    const drv::TZrnTimes& after = thread->Port().Times();
    const double ours = after.DrvCalc - before.DrvCalc;
    const double waits = (after.Line - before.Line) + (after.SlaveCalc - before.SlaveCalc) +
                         (after.NoAnswerPackets - before.NoAnswerPackets);
    state.counters["posts"] = thread->PostCount();
    state.counters["own_s"] = ours;
    state.counters["wait_s"] = waits;
    state.counters["overhead_ratio"] = waits > 0 ? ours / waits : 0;
    thread.reset();
    drv::SetEmulator(12, nullptr);
    drv::DoneNameSpace();
    plat::SetSystemRoot("");
    std::filesystem::remove_all(root);
}
void BM_PollSweepOverhead(benchmark::State& state) {
    PollSweep(state, [](zrnsim::Station& s, int a) { s.Add(a, 77, 5); });
}
BENCHMARK(BM_PollSweepOverhead)->Iterations(310)->Unit(benchmark::kMillisecond);

// Loading-rack controllers only, and the 40, 46 and FF classes side by side: the table-driven
// classes must cost no more of a step than the 40 does.
void BM_PollSweep40(benchmark::State& state) {
    PollSweep(state, [](zrnsim::Station& s, int a) { s.Add(a, 40, 74); });
}
BENCHMARK(BM_PollSweep40)->Iterations(310)->Unit(benchmark::kMillisecond);

void BM_PollSweep40_46_FF(benchmark::State& state) {
    PollSweep(state, [](zrnsim::Station& s, int a) {
        zrnsim::Controller* c = a % 3 == 0   ? s.Add(a, 40, 74)
                                : a % 3 == 1 ? s.Add(a, 46, 105)
                                             : s.Add(a, 90, 12);
        c->SetParam(37, c->Family() == 46 ? 0x40 : c->Param(37));
        c->SetPrice(2 * 10000);
    });
}
BENCHMARK(BM_PollSweep40_46_FF)->Iterations(310)->Unit(benchmark::kMillisecond);

// Family 10 nozzle groups of eight (the last of seven): the group table and the indicated
// nozzle must not make a step dearer than the 40's.
void BM_PollSweep10Groups(benchmark::State& state) {
    PollSweep(state, [](zrnsim::Station& s, int a) {
        zrnsim::Controller* c = s.Add(a, 10, 105);
        const int base = (a - 1) / 8 * 8 + 1;
        for (int p = 0; p < 8; ++p)
            c->SetExtParam(static_cast<uint8_t>(0x80 + 16 * p),
                           static_cast<uint8_t>(base + p <= 31 ? base + p : 0));
        c->SetPrice(2 * 10000);
    });
}
BENCHMARK(BM_PollSweep10Groups)->Iterations(310)->Unit(benchmark::kMillisecond);

// Controllers at 1, 2 and 3 on a pseudo-terminal at 9600 baud, without echo: answered
// exchanges per second of the time they took, against what an exchange has to take, the wait
// before its read (both frames' character times and 15 ms). due_ratio is 1 when the read
// returns as soon as the answer is there.
class PtyLine : public bench::PtyRoot {
  public:
    int Far() const { return master_; }
};

void BM_PollLineWithoutEcho(benchmark::State& state) {
    constexpr uint32_t kBaud = 9600;
    PtyLine line;
    plat::reg::WriteString(plat::reg::Hive::LocalMachine, drv::kDrvKey, "Parameters", "PROTOCOL=4");
    drv::InstallDrivers();
    drv::InitNameSpace();
    auto station = std::make_shared<zrnsim::Station>();
    for (int a = 1; a <= 3; ++a) station->Add(a, 77, 5);

    std::mutex m;
    size_t request_size = 0;
    uint64_t answered = 0, requests = 0;
    double due_ms = 0;  // sum of the waits the answered exchanges need
    bool counting = false;
    zrnsim::LineRunner runner(station, line.Far());
    runner.SetTrace([&](const zrnsim::TraceEvent& e) {
        std::lock_guard lk(m);
        if (e.kind == zrnsim::TraceEvent::Received) {
            request_size = e.bytes.size();
            if (counting) ++requests;
        }
        if (e.kind != zrnsim::TraceEvent::Sent || !counting) return;
        ++answered;
        due_ms +=
            std::round(static_cast<double>(request_size + e.bytes.size()) * 11000.0 / kBaud + 15.0);
    });
    runner.Start();
    auto thread = drv::TProcessThread::CreateStopped(6, kBaud, false, 0, false);  // COM7
    for (int i = 0; i < 500 && thread->PostCount() < 3; ++i) thread->PollStep();
    {
        std::lock_guard lk(m);
        counting = true;
    }
    // The port's own accounting: from the write of a request to the end of its read, for the
    // exchanges that got an answer (probes of the empty addresses are left out).
    const drv::TZrnTimes before = thread->Port().Times();
    for (auto _ : state) thread->PollStep();
    const drv::TZrnTimes& after = thread->Port().Times();
    const double spent = (after.Line - before.Line) + (after.SlaveCalc - before.SlaveCalc);
    runner.Stop();
    std::lock_guard lk(m);
    state.counters["posts"] = thread->PostCount();
    state.counters["unanswered"] = static_cast<double>(requests - answered);
    state.counters["exchanges_per_s"] = spent > 0 ? static_cast<double>(answered) / spent : 0;
    state.counters["due_ratio"] = spent > 0 ? due_ms / 1000.0 / spent : 0;
    thread.reset();
    drv::DoneNameSpace();
}
BENCHMARK(BM_PollLineWithoutEcho)->Iterations(300)->Unit(benchmark::kMillisecond);

}  // namespace
