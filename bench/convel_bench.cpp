// A 170-character display-board text plus a link check against a simulated board with a scripted
// turnaround, over a relay that paces the bytes as a 9600-baud line does (11 bit times a byte,
// both ways). "line_ms" is what the frames of one round take on that line, "budget_ms" 1.15 times
// that plus the turnarounds, "ratio" the measured time over line time plus turnarounds.
// "relay_ms" is the relay alone carrying the same bytes (its sleeps overshoot, some 10 % over the
// line time) and "own_ms" what is left for the port: measured minus relay minus turnarounds.
// decisions BUILD-7
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fieldbus/core/Convel.h"
#include "fieldbus/devices/RowTable.h"
#include "tests/support/PacedLink.h"
#include "tests/support/TempRoot.h"
#include "tools/boardsim/BoardSim.h"

namespace {

constexpr int kCom = 7;
constexpr uint32_t kBaud = 9600;
constexpr double kBitsPerByte = 11.0;
constexpr uint32_t kTurnaroundMs = 5;

// Declared in the order they must come up: root, line, board, port.
struct BoardLine {
    BoardLine() {
        boardsim::BoardScript script;
        script.turnaround_ms = kTurnaroundMs;
        bus.SetScript(2, script);
        if (port.Open(kCom, kBaud, 0) != 0) std::abort();
    }
    ~BoardLine() { port.Close(); }

    testsupport::TempRoot root;
    testsupport::PacedLink link{kCom, kBaud};
    boardsim::BoardBus bus{link.FarFd()};
    mb::CLocalConvel port;
};

// What the relay itself takes to carry `bytes` bytes one way in one burst, ms: the pacing plus
// its own sleep overshoot, which a real line does not have.
double RelayMs(size_t bytes) {
    testsupport::TempRoot root;
    testsupport::PacedLink link(kCom, kBaud);
    const int fd = ::open(link.PortPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) std::abort();
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    const std::string out(bytes, 'U');
    const auto t0 = std::chrono::steady_clock::now();
    if (::write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) std::abort();
    size_t got = 0;
    char buf[512];
    while (got < bytes) {
        pollfd p{link.FarFd(), POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) break;
        const ssize_t n = ::read(link.FarFd(), buf, sizeof buf);
        if (n > 0) got += static_cast<size_t>(n);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    ::close(fd);
    return ms;
}

size_t FrameBytes(const std::vector<uint8_t>& header_and_data) {
    return mb::convel::EncodeFrame(header_and_data).size();
}

void BM_TextAndLinkCheckPaced(benchmark::State& state) {
    BoardLine line;
    std::vector<uint8_t> text;
    mb::BoardTextBytes(std::u16string(170, u'Ж'), true, text);
    double ms = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (line.port.Request(1, 2, 0x12, text) != 0 || line.port.CheckLink(2) != 0) {
            state.SkipWithError("board did not answer");
            break;
        }
        ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                  .count();
    }
    // The frames both ways: text block and its answer, link check and its answer.
    std::vector<uint8_t> request = text;
    static constexpr uint8_t kHeader[] = {2, 1, 0, 0, 0x12, 0x80};
    request.insert(request.begin(), std::begin(kHeader), std::end(kHeader));
    const size_t bytes = FrameBytes(request) + FrameBytes({0, 0, 2, 1, 0x12, 0x80}) +
                         FrameBytes({2, 1, 0, 0, 1, 0x80, 0xAA, 0xBB, 0xCC, 0xDF}) +
                         FrameBytes({0, 0, 2, 1, 1, 0x80, 0xAA, 0xBB, 0xCC, 0xDF, 0x00});
    const double line_ms = static_cast<double>(bytes) * kBitsPerByte * 1000.0 / kBaud;
    const double turnaround = 2.0 * kTurnaroundMs;
    const double per_iter =
        state.iterations() > 0 ? ms / static_cast<double>(state.iterations()) : 0;
    state.counters["bytes"] = static_cast<double>(bytes);
    state.counters["line_ms"] = line_ms;
    state.counters["budget_ms"] = 1.15 * line_ms + turnaround;
    state.counters["measured_ms"] = per_iter;
    state.counters["ratio"] = per_iter / (line_ms + turnaround);
    // The same bytes through the relay alone: what of the measured time is the relay's.
    const double relay_ms = RelayMs(bytes);
    state.counters["relay_ms"] = relay_ms;
    state.counters["own_ms"] = per_iter - relay_ms - turnaround;
}
BENCHMARK(BM_TextAndLinkCheckPaced)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace
