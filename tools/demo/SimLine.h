// What the demo and the main job's client share: a simulated line on a pseudo-terminal, the
// stop signal and the time stamp of their output.
#pragma once
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/registry/registry.h"
#include "tools/RawPty.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

namespace demo {

inline std::atomic<bool> g_stop{false};
inline void OnSignal(int) {
    g_stop = true;
}

inline std::string Now() {
    auto t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", std::localtime(&t));
    return buf;
}

// A simulated line: a pseudo-terminal whose far end the simulator serves, registered as COMn.
struct SimLine {
    int com;
    int master = -1, slave = -1;
    std::shared_ptr<zrnsim::Station> station = std::make_shared<zrnsim::Station>();
    std::unique_ptr<zrnsim::LineRunner> runner;

    explicit SimLine(int com_number) : com(com_number) {
        std::string name;
        if (!tools::OpenRawPty(master, slave, name)) throw std::runtime_error("openpty failed");
        if (plat::reg::WriteString(plat::reg::Hive::LocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                   "COM" + std::to_string(com), name) != plat::ERROR_SUCCESS)
            throw std::runtime_error("cannot register COM" + std::to_string(com));
    }
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;
    void Start() {
        runner = std::make_unique<zrnsim::LineRunner>(station, master);
        runner->Start();
    }
    ~SimLine() {
        if (runner) runner->Stop();
        ::close(master);
        ::close(slave);
    }
};

}  // namespace demo
