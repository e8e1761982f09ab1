#include <gtest/gtest.h>

#include "service/core/controllers/ControllerClasses.h"
#include "tests/support/SimulatedPort.h"

using namespace drv;

TEST(ProgramTable, Selection) {
    auto m = FindProgram(20, 78);
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.cls, TorkClass::T20);
    EXPECT_EQ(FindProgram(20, 101).cls, TorkClass::T46);
    EXPECT_EQ(FindProgram(20, 104).cls, TorkClass::T46);
    m = FindProgram(20, 99);
    EXPECT_FALSE(m.found);
    EXPECT_EQ(m.newest, 101) << "99 is older than the newest known 101: an old controller";
    m = FindProgram(20, 120);
    EXPECT_FALSE(m.found);
    EXPECT_GT(120, m.newest);
    EXPECT_TRUE(FindProgram(1, 44).found) << "a row without the newest flag still matches";
    m = FindProgram(1, 50);
    EXPECT_FALSE(m.found);
    EXPECT_EQ(m.newest, 69);
    EXPECT_EQ(FindProgram(41, 4).cls, TorkClass::T40);
    EXPECT_EQ(FindProgram(90, 3).cls, TorkClass::T46);
    EXPECT_EQ(FindProgram(90, 18).cls, TorkClass::TFF);
    EXPECT_EQ(FindProgram(32, 69).cls, TorkClass::T30);
    EXPECT_FALSE(FindProgram(77, 1).found);
    EXPECT_FALSE(FindProgram(77, 1).family_known) << "an unlisted family shows an old controller";
}

namespace {

int MakeCount = 0;

ComPtr<TBasicTork> CountingNothing(const TorkCreateArgs&) {
    ++MakeCount;
    return {};
}

class ProbeWithoutDrivers : public testsupport::SimulatedPortTest {
  protected:
    ProbeWithoutDrivers() : SimulatedPortTest(9) {}
    void TearDown() override {
        RegisterTorkClass(TorkClass::T40, nullptr);
        SimulatedPortTest::TearDown();
    }
};

}  // namespace

// This test program links no driver library: a known and an unknown controller are both
// probed, no class and no fallback can be made, and the port keeps polling without them.
TEST_F(ProbeWithoutDrivers, ControllersStayOutAndThePortGoesOn) {
    EXPECT_FALSE(CreateTork(TorkClass::T40, TorkCreateArgs{}));
    EXPECT_FALSE(CreateTorkX(TorkCreateArgs{}, false, "", false));
    RegisterTorkClass(TorkClass::T40, &CountingNothing);
    station_->Add(1, 40, 72);
    station_->Add(2, 77, 5);
    MakeThread();
    MakeCount = 0;
    Steps(200);
    EXPECT_GT(MakeCount, 1) << "the known controller is probed again and again";
    EXPECT_EQ(thread_->GetDevice(1), nullptr);
    EXPECT_EQ(thread_->GetDevice(2), nullptr);
    EXPECT_EQ(thread_->PostCount(), 0);
}
