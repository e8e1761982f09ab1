// A native port on an in-process simulated line, run step by step under a fake clock: the
// fixture of the poll-thread and driver tests.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/time/clock.h"
#include "service/core/controllers/PollThread.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/EmulatorTable.h"
#include "service/core/ports/PortManager.h"
#include "tests/support/TempRoot.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Frame.h"
#include "tools/zrnsim/Station.h"

namespace testsupport {

// What reached the controller at `address` since the station's last ClearRequests: command
// letter and data of each well-formed request.
inline std::vector<std::string> WireOf(const zrnsim::Station& station, int address) {
    std::vector<std::string> out;
    for (const zrnsim::LogEntry& e : station.Requests()) {
        zrnsim::Request r;
        if (e.address != address || zrnsim::ParseRequest(e.frame, r) != zrnsim::FrameError::None)
            continue;
        out.push_back(std::string(1, static_cast<char>(r.command)) + r.data);
    }
    return out;
}

class SimulatedPortTest : public ::testing::Test {
  protected:
    explicit SimulatedPortTest(int com) : com_(com) {}

    void SetUp() override {
        ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, drv::kDrvKey, "Parameters",
                                         "PROTOCOL=4"),
                  plat::ERROR_SUCCESS);
        drv::InitProtocol(drv::kDrvKey, "Parameters");
        drv::InitNameSpace();
        station_ = std::make_shared<zrnsim::Station>();
        emu_ = plat::MakeCom<zrnsim::HwEmu>(station_);
        drv::SetEmulator(com_, drv::ComPtr<tlb::IHWEmu>(emu_.Get()));
    }
    void TearDown() override {
        thread_.reset();
        drv::SetEmulator(com_, nullptr);
        drv::DoneNameSpace();
        drv::DoneProtocol();
    }

    void MakeThread(int shift = 0) {
        thread_ = drv::TProcessThread::CreateStopped(com_ - 1, 9600, true, shift, false);
    }
    void Steps(int n) {
        for (int i = 0; i < n; ++i) thread_->PollStep();
    }
    // Steps until the address holds a controller (or gives up).
    drv::TBasicTork* StepUntilFound(int address, int max_steps = 2000) {
        for (int i = 0; i < max_steps && !thread_->GetDevice(address); ++i) thread_->PollStep();
        return thread_->GetDevice(address);
    }
    // A parameter write ("x" + parameter + value) and read ("X" + parameter) as Wire shows them.
    static std::string W(int param, int byte) {
        return "x" + zrnsim::ByteToNibbles(static_cast<uint8_t>(param)) +
               zrnsim::ByteToNibbles(static_cast<uint8_t>(byte));
    }
    static std::string R(int param) {
        return "X" + zrnsim::ByteToNibbles(static_cast<uint8_t>(param));
    }
    // What reached a controller since the last ClearRequests: command letter and data.
    std::vector<std::string> Wire(int address) { return WireOf(*station_, address); }

    const int com_;
    TempRoot root_;
    plat::ScopedFakeClock clock_;
    std::shared_ptr<zrnsim::Station> station_;
    drv::ComPtr<zrnsim::HwEmu> emu_;
    std::unique_ptr<drv::TProcessThread> thread_;
};

}  // namespace testsupport
