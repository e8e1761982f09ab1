// A flow sensor's scan step against the two bare register reads it is made of, on the same
// pseudo-terminal with libmodbus behind it: "ratio" is scan steps per second over read pairs
// per second (the model's own cost shows as the shortfall from 1). The grounding monitor's
// steps show what its 10 ms pause between measurements costs a port.
#include <benchmark/benchmark.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchLine.h"
#include "fieldbus/core/ModbusClient.h"
#include "fieldbus/devices/DeviceKit.h"
#include "fieldbus/devices/FQ5.h"
#include "fieldbus/devices/GRQ.h"
#include "platform/registry/registry.h"
#include "platform/sysroot/sysroot.h"
#include "tests/fieldbus/LibmodbusPeer.h"

namespace {

constexpr int kCom = 7;

mb::HostCallbacks& BenchHost() {
    static mb::HostCallbacks host = [] {
        mb::HostCallbacks h;
        h.pItemFind = [](const char16_t*, int16_t*, int32_t*) -> int32_t { return 1; };
        h.pItemCreate = [](mb::IModbusItem*, const char16_t*, plat::VARTYPE, uint8_t, int32_t,
                           const char*, int32_t* out) -> int32_t {
            static int32_t next = 10;
            *out = ++next;
            return next;
        };
        return h;
    }();
    return host;
}

class Line : public bench::PtyRoot, public mb::IDevicePort {
  public:
    Line() {
        peer_ = std::make_unique<fbtest::LibmodbusPeer>(master_, 5, 300);
        long error = 0;
        if (!client_.Open(kCom, 115200, 0, error)) std::abort();
    }
    ~Line() override {
        client_.Close();
        peer_.reset();
    }
    mb::CModbus* PortModbus() override { return &client_; }
    mb::CLogFile* PortLog() override { return nullptr; }
    const mb::HostCallbacks* PortHost() override { return &BenchHost(); }
    int32_t CaptureCount(uint8_t) override { return 0; }
    mb::CLocalModbus& Client() { return client_; }

  private:
    std::unique_ptr<fbtest::LibmodbusPeer> peer_;
    mb::CLocalModbus client_;
};

double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Alternating rounds of bare read pairs and scan steps, so that both see the same load.
void BM_FQ5ScanVersusBareReads(benchmark::State& state) {
    Line line;
    mb::CFQ5Device fq5(&line, 5, "Post5");
    fq5.Scan();  // identification
    std::vector<uint16_t> w;
    constexpr int kRound = 20;
    double bare_s = 0, scan_s = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kRound; ++i) {
            line.Client().ReadHoldingRegisters(5, 0, 11, w);
            line.Client().ReadHoldingRegisters(5, 18, 4, w);
        }
        bare_s += Seconds(t0);
        t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kRound; ++i) fq5.Scan();
        scan_s += Seconds(t0);
    }
    const double n = static_cast<double>(state.iterations()) * kRound;
    state.counters["bare_pairs_per_s"] = n / bare_s;
    state.counters["scan_steps_per_s"] = n / scan_s;
    state.counters["ratio"] = bare_s / scan_s;
    if (fq5.GetErrorCount() != 0) state.SkipWithError("the sensor did not answer");
}
BENCHMARK(BM_FQ5ScanVersusBareReads)->Unit(benchmark::kMillisecond)->UseRealTime();

// A monitor whose state a client keeps asking for: most steps fall before the next due
// measurement and pause 10 ms, which is what the port pays while this device is picked.
void BM_GRQScanWhileAsked(benchmark::State& state) {
    Line line;
    mb::CGRQDevice grq(&line, 5, "GRQ5");
    grq.Scan();
    auto* v = mb::kit::Var(grq.Slot(0));
    int idle = 0, steps = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        v->RequestRead();
        idle += grq.Scan() == 0 ? 1 : 0;
        ++steps;
    }
    const double s = Seconds(t0);
    state.counters["idle_share"] = static_cast<double>(idle) / steps;
    // The port's time spent in the pause, and what a picked monitor leaves of a second for
    // the rest of the line.
    state.counters["paused_share_of_time"] = idle * mb::CGRQDevice::kIdleSleepMs / 1000.0 / s;
    state.counters["steps_per_s"] = steps / s;
}
BENCHMARK(BM_GRQScanWhileAsked)->Unit(benchmark::kMillisecond)->UseRealTime();

// What the pause costs the rest of the line: a flow sensor's steps a second alone, and when the
// bus thread's picks alternate between it and a monitor a client keeps asking (both models on
// the one peer; only the time matters here).
void BM_FQ5BesideAskedGRQ(benchmark::State& state) {
    Line line;
    mb::CFQ5Device fq5(&line, 5, "Post5");
    mb::CGRQDevice grq(&line, 5, "GRQ5");
    fq5.Scan();
    grq.Scan();
    auto* v = mb::kit::Var(grq.Slot(0));
    constexpr int kRound = 20;
    double alone_s = 0, shared_s = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kRound; ++i) fq5.Scan();
        alone_s += Seconds(t0);
        t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kRound; ++i) {
            fq5.Scan();
            v->RequestRead();
            grq.Scan();
        }
        shared_s += Seconds(t0);
    }
    const double n = static_cast<double>(state.iterations()) * kRound;
    state.counters["fq5_steps_per_s_alone"] = n / alone_s;
    state.counters["fq5_steps_per_s_shared"] = n / shared_s;
    state.counters["ratio"] = alone_s / shared_s;
}
BENCHMARK(BM_FQ5BesideAskedGRQ)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
