// Modbus round trips over a pseudo-terminal against libmodbus, and the client's own CPU cost.
// A pty moves bytes at once, so every millisecond of a round trip is either the client's timing
// (write wait, answer polling, closing pause) or its overhead; "line_ms" is what the same frames
// would take on a real line at that rate (11 bits a byte), for comparison.
#include <benchmark/benchmark.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchLine.h"
#include "fieldbus/core/ModbusClient.h"
#include "platform/registry/registry.h"
#include "platform/sysroot/sysroot.h"
#include "tests/fieldbus/LibmodbusPeer.h"

namespace {

constexpr int kCom = 7;

class Line : public bench::PtyRoot {
  public:
    explicit Line(uint32_t baud) {
        peer_ = std::make_unique<fbtest::LibmodbusPeer>(master_, 5);
        long error = 0;
        if (!client_.Open(kCom, baud, 0, error)) std::abort();
    }
    ~Line() {
        client_.Close();
        peer_.reset();
    }
    mb::CLocalModbus& Client() { return client_; }

  private:
    std::unique_ptr<fbtest::LibmodbusPeer> peer_;
    mb::CLocalModbus client_;
};

void BM_ReadRegisters(benchmark::State& state) {
    const uint32_t baud = static_cast<uint32_t>(state.range(0));
    const uint16_t count = static_cast<uint16_t>(state.range(1));
    Line line(baud);
    std::vector<uint16_t> words;
    double latency = 0;
    for (auto _ : state) {
        if (line.Client().ReadHoldingRegisters(5, 0, count, words) != 0) {
            state.SkipWithError("read failed");
            break;
        }
        latency += line.Client().LastLatencyMs();
    }
    const double bytes = 8 + (5 + 2.0 * count);
    state.counters["line_ms"] = bytes * 11 * 1000 / baud;
    state.counters["answer_latency_ms"] =
        benchmark::Counter(latency, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ReadRegisters)
    ->Args({19200, 1})
    ->Args({19200, 60})
    ->Args({115200, 1})
    ->Args({115200, 60})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_WriteRegisters(benchmark::State& state) {
    Line line(115200);
    std::vector<uint16_t> words(static_cast<size_t>(state.range(0)), 0x1234);
    for (auto _ : state)
        if (line.Client().WriteMultipleRegisters(5, 0, words) != 0) {
            state.SkipWithError("write failed");
            break;
        }
    state.counters["line_ms"] = (9 + 2.0 * words.size() + 8) * 11 * 1000 / 115200;
}
BENCHMARK(BM_WriteRegisters)->Arg(1)->Arg(60)->Unit(benchmark::kMillisecond)->UseRealTime();

// The CPU side of a frame: CRC of the largest answer and its hex dump for the trace.
void BM_Crc16(benchmark::State& state) {
    std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x5A);
    for (auto _ : state) benchmark::DoNotOptimize(mb::Crc16(frame));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16)->Arg(8)->Arg(255);

void BM_HexText(benchmark::State& state) {
    std::vector<uint8_t> frame(255, 0xA5);
    for (auto _ : state) benchmark::DoNotOptimize(mb::HexText(frame));
}
BENCHMARK(BM_HexText);

}  // namespace
