// An 8-post control unit's scan steps against the same reads by the bare client, both over one
// pty served by the field-bus simulator. The model's overhead is the gap between the two rates.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/BenchLine.h"
#include "fieldbus/core/ModbusClient.h"
#include "fieldbus/devices/Post.h"
#include "fieldbus/devices/QMU.h"
#include "platform/registry/registry.h"
#include "platform/sysroot/sysroot.h"
#include "tools/fbsim/Server.h"
#include "tools/fbsim/Sim.h"

namespace {

class BarePort : public mb::IDevicePort {
  public:
    explicit BarePort(mb::CModbus* m) : m_(m) {}
    mb::CModbus* PortModbus() override { return m_; }
    mb::CLogFile* PortLog() override { return nullptr; }
    const mb::HostCallbacks* PortHost() override { return &host_; }
    int32_t CaptureCount(uint8_t) override { return 0; }

  private:
    mb::CModbus* m_;
    mb::HostCallbacks host_;
};

class Rig : public bench::PtyRoot {
  public:
    Rig() {
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        fbsim::UnitSetup setup;
        setup.side1 = 8;
        setup.active_status = 0x21;
        for (int k = 1; k <= 8; ++k) {
            fbsim::PostSetup p;
            p.number = static_cast<uint16_t>(k);
            setup.posts.push_back(p);
        }
        fbsim::AddUnit(engine_, setup);
        server_ = std::make_unique<fbsim::RtuServer>(engine_, master_);
        long error = 0;
        if (!client_.Open(7, 19200, 0, error)) std::abort();
        port_ = std::make_unique<BarePort>(&client_);
        unit_ = std::make_unique<mb::CQMUDevice>(port_.get(), 1, "QMU1", 5u << 16 | 63, -1);
        unit_->Init();
        for (mb::CPost* p : unit_->Posts()) {
            p->SetActive(true);
            p->Init();
            p->ClearReinit();
        }
    }
    ~Rig() {
        unit_.reset();
        client_.Close();
        server_.reset();
    }
    mb::CLocalModbus client_;
    std::unique_ptr<mb::CQMUDevice> unit_;

  private:
    fbsim::Engine engine_;
    std::unique_ptr<fbsim::RtuServer> server_;
    std::unique_ptr<BarePort> port_;
};

Rig& TheRig() {
    static Rig rig;
    return rig;
}

// One post's scan step each iteration, round the eight posts.
void BM_UnitScanSteps(benchmark::State& state) {
    Rig& rig = TheRig();
    size_t i = 0;
    for (auto _ : state) rig.unit_->Posts()[i++ % 8]->Scan();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UnitScanSteps)->MinTime(2.0)->UseRealTime();

// The state read a scan step makes, by the bare client.
void BM_BareStateReads(benchmark::State& state) {
    Rig& rig = TheRig();
    std::vector<uint16_t> out;
    size_t i = 0;
    for (auto _ : state) {
        const uint16_t ch = static_cast<uint16_t>(i++ % 8 + 1);
        rig.client_.ReadHoldingRegisters(1, static_cast<uint16_t>(ch * 256 + 12), 4, out);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareStateReads)->MinTime(2.0)->UseRealTime();

}  // namespace
