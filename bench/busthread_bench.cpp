// Polls per second of one device by the bus thread, against a libmodbus master polling the same
// libmodbus slave on the same line with the client's closing pause (4 character times, at least
// 2 ms) after each answer. "paced" runs over a relay with real line timing (11 bits a byte);
// "unpaced" over a bare pseudo-terminal, where the bus thread's own waits dominate.
#include <benchmark/benchmark.h>
#include <modbus.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fieldbus/core/App.h"
#include "fieldbus/core/PortThread.h"
#include "tests/fieldbus/LibmodbusPeer.h"
#include "tests/support/PacedLink.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempRoot.h"

namespace {

constexpr int kCom = 7;
constexpr auto kWindow = std::chrono::seconds(3);
using Clock = std::chrono::steady_clock;
uint16_t g_count = 1;
std::atomic<bool> g_found{false};

// Completed polls and the times of the first and the last one: the rate is taken between
// them, so a window does not count a poll it cut in half.
struct PollCount {
    std::atomic<int> polls{0};
    std::atomic<int64_t> first_{0}, last_{0};
    void Reset() {
        polls = 0;
        first_ = last_ = 0;
    }
    void Add() {
        const int64_t now = Clock::now().time_since_epoch().count();
        if (polls.fetch_add(1) == 0) first_ = now;
        last_ = now;
    }
    double PerSecond() const {
        const int n = polls.load();
        const double span = static_cast<double>(last_.load() - first_.load()) * Clock::period::num /
                            Clock::period::den;
        return n > 1 && span > 0 ? (n - 1) / span : 0;
    }
};
PollCount g_bus;
std::atomic<bool> g_counting{false};

class PollDevice : public mb::CDevice {
  public:
    using CDevice::CDevice;
    int Scan() override {
        std::vector<uint16_t> regs;
        const int code = Port()->PortModbus()->ReadHoldingRegisters(GetAddress(), 0, g_count, regs);
        if (code == mb::kMbOk) {
            g_found = true;
            if (g_counting.load()) g_bus.Add();
        }
        return code;
    }
};

std::unique_ptr<mb::CDevice> MakePoll(mb::IDevicePort* port, const mb::DetectedDevice& found) {
    return std::make_unique<PollDevice>(found.address, port);
}
const std::vector<mb::DeviceModel> kModels = {
    {mb::kProtocolModbus, 0x30, false, "Post%i", "FQ5", true, &MakePoll}};

double MasterPollsPerSecond(const std::string& path, uint32_t baud, uint16_t count) {
    modbus_t* ctx = modbus_new_rtu(path.c_str(), static_cast<int>(baud), 'N', 8, 1);
    if (ctx == nullptr || modbus_connect(ctx) != 0) return 0;
    modbus_set_slave(ctx, 1);
    const auto pause = std::chrono::microseconds(std::max<int64_t>(44000000LL / baud, 2000));
    std::vector<uint16_t> regs(count);
    PollCount polls;
    const auto end = Clock::now() + kWindow;
    while (Clock::now() < end) {
        if (modbus_read_registers(ctx, 0, count, regs.data()) == count) polls.Add();
        std::this_thread::sleep_for(pause);
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return polls.PerSecond();
}

double BusThreadPollsPerSecond(uint32_t baud) {
    int32_t status = 0;
    mb::CPortThread port(mb::App().NewBusContext(), 0, kCom, baud, 0, 0, &status, false, nullptr,
                         &kModels);
    if (!port.Ready() || !port.Start()) return 0;
    g_found = false;
    g_bus.Reset();
    const auto found_by = Clock::now() + std::chrono::seconds(30);
    while (!g_found.load() && Clock::now() < found_by)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    g_counting = true;
    std::this_thread::sleep_for(kWindow);
    g_counting = false;
    port.Stop();
    return g_bus.PerSecond();
}

template <class Line>
void Run(benchmark::State& state, Line& line, const std::string& path, uint32_t baud) {
    // Address 1, the first probed, so that the device is found at once.
    fbtest::LibmodbusPeer peer(line.FarFd(), 1, 128);
    peer.SetSlaveId(0x30);
    double master = 0, bus = 0;
    for (auto _ : state) {
        master = MasterPollsPerSecond(path, baud, g_count);
        bus = BusThreadPollsPerSecond(baud);
    }
    state.counters["bus_polls_s"] = bus;
    state.counters["libmodbus_polls_s"] = master;
    state.counters["ratio"] = master > 0 ? bus / master : 0;
}

void Setup() {
    static bool done = [] {
        static mb::SearchFlag search{0};
        MBInitialize(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, &search);
        return true;
    }();
    (void)done;
}

void BM_Paced(benchmark::State& state) {
    Setup();
    testsupport::TempRoot root;
    const auto baud = static_cast<uint32_t>(state.range(0));
    g_count = static_cast<uint16_t>(state.range(1));
    testsupport::PacedLink link(kCom, baud);
    Run(state, link, link.PortPath(), baud);
}

void BM_Unpaced(benchmark::State& state) {
    Setup();
    testsupport::TempRoot root;
    const auto baud = static_cast<uint32_t>(state.range(0));
    g_count = static_cast<uint16_t>(state.range(1));
    testsupport::PtyPair pty(kCom);
    Run(state, pty, pty.SlavePath(), baud);
}

// decisions BUILD-14
// The cost of a line whose far end never answers: the bus thread probes every address in turn
// and waits out each answer time-out. The process's CPU time and context switches over the
// window are the bus thread's (the benchmark's own thread sleeps).
void BM_SilentLine(benchmark::State& state) {
    Setup();
    testsupport::TempRoot root;
    testsupport::PtyPair pty(kCom);
    const auto window = std::chrono::seconds(state.range(0));
    // The far end takes the requests and never answers.
    std::atomic<bool> stop{false};
    std::thread sink([&] {
        char buf[256];
        while (!stop.load()) {
            pollfd p{pty.FarFd(), POLLIN, 0};
            if (::poll(&p, 1, 1000) > 0 && ::read(pty.FarFd(), buf, sizeof buf) <= 0) break;
        }
    });
    double cpu_percent = 0, switches_s = 0;
    for (auto _ : state) {
        int32_t status = 0;
        mb::CPortThread port(mb::App().NewBusContext(), 0, kCom, 19200, 0, 0, &status, false,
                             nullptr, &kModels);
        if (!port.Ready() || !port.Start()) {
            state.SkipWithError("port not started");
            break;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));  // past the start
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(window);
        ::getrusage(RUSAGE_SELF, &after);
        const double real = std::chrono::duration<double>(Clock::now() - t0).count();
        auto secs = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
        const double cpu = secs(after.ru_utime) + secs(after.ru_stime) - secs(before.ru_utime) -
                           secs(before.ru_stime);
        cpu_percent = 100 * cpu / real;
        switches_s = static_cast<double>(after.ru_nvcsw + after.ru_nivcsw - before.ru_nvcsw -
                                         before.ru_nivcsw) /
                     real;
        port.Stop();
    }
    stop = true;
    sink.join();
    state.counters["cpu_percent"] = cpu_percent;
    state.counters["switches_s"] = switches_s;
}
BENCHMARK(BM_SilentLine)->Arg(30)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK(BM_Paced)
    ->ArgsProduct({{19200, 115200}, {1, 60}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_Unpaced)
    ->ArgsProduct({{19200, 115200}, {1, 60}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
