// The fixture of the controller-family-40 tests and of the shared driver routines' tests that
// run on such a port: a simulated line on COM5, stepped under a fake clock.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "service/core/commands/CommandRegistry.h"
#include "service/core/items/ItemTree.h"
#include "service/drivers/TRK40.h"
#include "tests/support/SimulatedPort.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

namespace drvtest {

using namespace drv;

inline constexpr int kCom = 5;

class Tork40 : public testsupport::SimulatedPortTest {
  protected:
    Tork40() : SimulatedPortTest(kCom) {}
    void SetUp() override {
        SimulatedPortTest::SetUp();
        MakeThread();
    }

    TTork40* Probe(int address) {
        for (int i = 0; i < 2000 && !thread_->GetDevice(address); ++i) thread_->PollStep();
        return dynamic_cast<TTork40*>(thread_->GetDevice(address));
    }
    // A controller found, named and idle.
    TTork40* Ready(int address, int family = 40, int version = 74) {
        controller_ = station_->Add(address, family, version);
        TTork40* t = Probe(address);
        if (t) t->ReReadVarValue(tlb::cvCurrentV);
        return t;
    }
    std::vector<std::string> Commands(int address) {
        std::vector<std::string> out;
        for (const std::string& f : Wire(address)) out.push_back(f.substr(0, 1));
        return out;
    }
    static int64_t Units(TBasicTork* t, uint8_t code) { return t->VarValue(code) / 10000; }
    static bool Has(int address, const char* name) {
        return FindLeafID("Post" + std::to_string(address) + "." + name) != -1;
    }
    void StepUntil(const std::function<bool()>& done, int max_steps = 400) {
        for (int i = 0; i < max_steps && !done(); ++i) thread_->PollStep();
    }
    // Steps until the command `id` has completed; its result (the id itself if it never did).
    int32_t Run(int32_t id) {
        EXPECT_TRUE(IsCmdID(id));
        int32_t v = id;
        StepUntil([&] { return !CmdIsPending(v = id); }, 50);
        return v;
    }

    zrnsim::Controller* controller_ = nullptr;
};

}  // namespace drvtest
