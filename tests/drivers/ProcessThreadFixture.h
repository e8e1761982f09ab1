// The fixture of the poll-thread tests: a simulated line on COM7 stepped under a fake clock, and
// a small driver on the base's own behaviour to poll on it.
#pragma once
#include <gtest/gtest.h>

#include "platform/time/clock.h"
#include "service/core/controllers/ControllerClasses.h"
#include "service/core/controllers/PollThread.h"
#include "service/drivers/TRKX.h"
#include "tests/support/SimulatedPort.h"
#include "tools/zrnsim/Station.h"

namespace polltest {

using namespace drv;

// A small driver on the base's own behaviour, standing in for a firmware class: it keeps a
// dose, a price and the counters, reads 'D' and 'S', and writes through the base routines.
class TestTork : public TBasicTork {
  public:
    explicit TestTork(const TorkCreateArgs& args) : TBasicTork(args) {}

    void DefineVariables(uint8_t) override {
        DefineVar(drv::VarRec::ControllerVersion);
        DefineVar(drv::VarRec::FirmwareVersion);
        DefineVar(drv::VarRec::DozeV);
        DefineVar(drv::VarRec::CurrentV);
        DefineVar(drv::VarRec::TotalV);
        DefineVar(drv::VarRec::ProductivityNeverStale);
        DefineVar(drv::VarRec::StateWithFlags);
        has_money_ = true;
        DefineMoneyVariables();  // PriceV, DozeM, CurrentM
        BuildItemNames(address_, 0, 0);
    }
    void ReReadVarValue(uint8_t code) override {
        int64_t v = 0;
        switch (code) {
            case tlb::cvCurrentV:
                if (ReadCounter('D', 13, 8, v)) SetVarRaw(code, LQ_FRESH, plat::NowLocal(), v);
                return;
            case tlb::cvTotalV: {
                TVarValue old = VarRecord(code);
                if (ReadCounter('S', 15, 10, v)) {
                    SetVarRaw(code, LQ_FRESH, plat::NowLocal(), v);
                    FlowUpdate(old, VarRecord(code));
                }
                return;
            }
            case tlb::cvDozeV:
            case tlb::cvDozeM:
            case tlb::cvLiterPrice: {           // this family has no price read
                TVarValue r = VarRecord(code);  // kept as written: stored again as it is
                SetVarRaw(code, LQ_FRESH, plat::NowLocal(), r.value);
                return;
            }
            default:
                TBasicTork::ReReadVarValue(code);
        }
    }
    int32_t SetVarValue(uint8_t code, int64_t value) override {
        if (throw_on_write) throw Exception("driver failure");
        switch (code) {
            case tlb::cvDozeV:
                return WriteDose(value, 3, 2, true, false);
            case tlb::cvDozeM:
                SetVarRaw(code, LQ_FRESH, plat::NowLocal(), value);
                return 0;
            case tlb::cvLiterPrice:
                return WritePrice(value);
            default:
                return -3;
        }
    }
    void ParseReply(char status, char, DATE time) override {
        const int s = status & 0x6F;
        int state = s == 0x01                ? 0
                    : s == 0x20 || s == 0x60 ? 1
                    : s == 0x02 || s == 0x22 ? 7
                    : s == 0x08              ? 80
                                             : 177;
        SetStateValue(state, time);
    }
    // For the price test: the controller's price is read with 'C'.
    bool throw_on_write = false;
};

inline ComPtr<TBasicTork> MakeTestTork(const TorkCreateArgs& args) {
    return ComPtr<TBasicTork>(TBasicTork::Make<TestTork>(args).Get());
}

// A two-sided controller's post: side 2, position 1, with the post-number variables that the
// hierarchical layout leaves out.
class SideTork : public TestTork {
  public:
    using TestTork::TestTork;
    void DefineVariables(uint8_t v) override {
        TestTork::DefineVariables(v);
        DefineVar(drv::VarRec::BasePost);
        DefineVar(drv::VarRec::SidePost);
        DefineVar(drv::VarRec::Side);
        DefineVar(drv::VarRec::USSTimeout);  // on the post branch
        BuildItemNames(address_, 2, 1);
    }
};

inline ComPtr<TBasicTork> MakeSideTork(const TorkCreateArgs& args) {
    return ComPtr<TBasicTork>(TBasicTork::Make<SideTork>(args).Get());
}

inline constexpr int kCom = 7;

class PollThread : public testsupport::SimulatedPortTest {
  protected:
    PollThread() : SimulatedPortTest(kCom) {}
    // Steps as the thread runs them: a cycle that raises ends that step only.
    void ThreadSteps(int n) {
        for (int i = 0; i < n; ++i) {
            try {
                thread_->PollStep();
            } catch (...) {
            }
        }
    }
    // A test controller of family 40 at address 6, found by a new thread.
    TestTork* FindTestTork() {
        RegisterTorkClass(TorkClass::T40, &MakeTestTork);
        station_->Add(6, 40, 74);
        MakeThread();
        auto* t = dynamic_cast<TestTork*>(StepUntilFound(6));
        AfterFirstRound();
        return t;
    }
    // Steps until every address was probed once: from then on the line runs as for good.
    void AfterFirstRound() {
        for (int i = 0; i < 200 && !thread_->AllProbed(); ++i) ThreadSteps(1);
        ASSERT_TRUE(thread_->AllProbed());
    }
    void TearDown() override {
        RegisterTorkClass(TorkClass::T40, nullptr);
        SearchMode() = 0;
        SimulatedPortTest::TearDown();
    }
};

}  // namespace polltest
