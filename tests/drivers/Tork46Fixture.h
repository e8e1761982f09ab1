// The fixture of the controller-family-46 and FF tests: a simulated line on COM6, stepped
// under a fake clock.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "service/core/commands/CommandRegistry.h"
#include "service/core/items/ItemTree.h"
#include "service/drivers/TRK46.h"
#include "tests/support/SimulatedPort.h"
#include "tools/zrnsim/Station.h"

namespace tork46test {

using namespace drv;
using plat::Variant;

inline constexpr int kCom = 6;

class Tork46Ff : public testsupport::SimulatedPortTest {
  protected:
    Tork46Ff() : SimulatedPortTest(kCom) {}
    void SetUp() override {
        SimulatedPortTest::SetUp();
        MakeThread();
    }

    template <class T = TTork46>
    T* Probe(int address) {
        for (int i = 0; i < 2000 && !thread_->GetDevice(address); ++i) thread_->PollStep();
        return dynamic_cast<T*>(thread_->GetDevice(address));
    }
    // A controller with these configuration bytes, found, named and idle.
    template <class T = TTork46>
    T* Ready(int address, int family, int version,
             std::initializer_list<std::pair<int, int>> params = {}) {
        controller_ = station_->Add(address, family, version);
        if (!controller_) return nullptr;
        for (auto [p, v] : params)
            controller_->SetParam(static_cast<uint8_t>(p), static_cast<uint8_t>(v));
        T* t = Probe<T>(address);
        if (t) t->ReReadVarValue(tlb::cvCurrentV);
        return t;
    }
    std::vector<std::string> Commands(int address) {
        std::vector<std::string> out;
        for (const std::string& f : Wire(address)) out.push_back(f.substr(0, 1));
        return out;
    }
    static bool Has(int address, const std::string& name) {
        return FindLeafID("Post" + std::to_string(address) + "." + name) != -1;
    }
    void StepUntil(const std::function<bool()>& done, int max_steps = 400) {
        for (int i = 0; i < max_steps && !done(); ++i) thread_->PollStep();
    }
    int32_t Run(int32_t id) {
        EXPECT_TRUE(IsCmdID(id));
        int32_t v = id;
        StepUntil([&] { return !CmdIsPending(v = id); }, 50);
        return v;
    }
    int32_t Write(int address, const std::string& name, int32_t units) {
        auto item = GetItemAs<TLeafItem>(FindLeafID("Post" + std::to_string(address) + "." + name));
        EXPECT_TRUE(item) << name;
        if (!item) return -1000;
        return Run(item->Write(Variant::I4(units), 0, 0, 1033));
    }
    int32_t ItemState(int address) {
        auto item = GetItemAs<TLeafItem>(FindLeafID("Post" + std::to_string(address) + ".State"));
        return item ? item->PeekValue().lVal : -1000;
    }

    zrnsim::Controller* controller_ = nullptr;
};

inline constexpr int64_t U = 10000;  // one unit in fixed point

}  // namespace tork46test
