// A 170-character display-board text plus a link check, over a pseudo-terminal against a
// simulated board with a scripted turnaround. A pty moves bytes at once, so "line_ms" is what the
// same frames would take on a 9600-baud line (10 bits a byte) and "budget_ms" is 1.15 times that
// plus the turnarounds; "ratio" is the measured time over line time plus turnarounds.
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
#include "fieldbus/core/Convel.h"
#include "fieldbus/devices/RowTable.h"
#include "platform/registry/registry.h"
#include "platform/sysroot/sysroot.h"
#include "tools/boardsim/BoardSim.h"

namespace {

constexpr int kCom = 7;
constexpr uint32_t kBaud = 9600;
constexpr uint32_t kTurnaroundMs = 5;

class BoardLine : public bench::PtyRoot {
  public:
    BoardLine() {
        bus_ = std::make_unique<boardsim::BoardBus>(master_);
        boardsim::BoardScript script;
        script.turnaround_ms = kTurnaroundMs;
        bus_->SetScript(2, script);
        if (port_.Open(kCom, kBaud, 0) != 0) std::abort();
    }
    ~BoardLine() {
        port_.Close();
        bus_.reset();
    }
    mb::CLocalConvel& Port() { return port_; }

  private:
    std::unique_ptr<boardsim::BoardBus> bus_;
    mb::CLocalConvel port_;
};

size_t FrameBytes(const std::vector<uint8_t>& header_and_data) {
    return mb::convel::EncodeFrame(header_and_data).size();
}

void BM_TextAndLinkCheck(benchmark::State& state) {
    BoardLine line;
    std::vector<uint8_t> text;
    mb::BoardTextBytes(std::u16string(170, u'Ж'), true, text);
    double ms = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (line.Port().Request(1, 2, 0x12, text) != 0 || line.Port().CheckLink(2) != 0) {
            state.SkipWithError("board did not answer");
            break;
        }
        ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                  .count();
    }
    // The frames both ways: text block and its answer, link check and its answer.
    std::vector<uint8_t> request = {2, 1, 0, 0, 0x12, 0x80};
    request.insert(request.end(), text.begin(), text.end());
    const size_t bytes = FrameBytes(request) + FrameBytes({0, 0, 2, 1, 0x12, 0x80}) +
                         FrameBytes({2, 1, 0, 0, 1, 0x80, 0xAA, 0xBB, 0xCC, 0xDF}) +
                         FrameBytes({0, 0, 2, 1, 1, 0x80, 0xAA, 0xBB, 0xCC, 0xDF, 0x00});
    const double line_ms = bytes * 10.0 * 1000.0 / kBaud;
    const double turnaround = 2.0 * kTurnaroundMs;
    const double per_iter =
        state.iterations() > 0 ? ms / static_cast<double>(state.iterations()) : 0;
    state.counters["line_ms"] = line_ms;
    state.counters["budget_ms"] = 1.15 * line_ms + turnaround;
    state.counters["measured_ms"] = per_iter;
    state.counters["ratio"] = per_iter / (line_ms + turnaround);
}
BENCHMARK(BM_TextAndLinkCheck)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace
