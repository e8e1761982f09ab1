// Posts of a control unit against the simulator: state commands, deliveries, doses and the
// error texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "fieldbus/core/StringTable.h"
#include "fieldbus/devices/Post.h"
#include "fieldbus/devices/QMU.h"
#include "platform/time/clock.h"
#include "tests/fieldbus/QmuKit.h"

using namespace fbtest;
using mb::CPost;
using plat::Variant;

namespace {

class PostTest : public SimLineTest {
  protected:
    void Start(fbsim::UnitSetup setup) {
        fbsim::AddUnit(engine_, setup);
        unit_ = std::make_unique<mb::CQMUDevice>(&port_, 1, "QMU1",
                                                 uint32_t{setup.version} << 16 | setup.build, -1);
        ASSERT_TRUE(unit_->Init());
        post_ = unit_->Posts()[0];
        ASSERT_TRUE(post_->Init());
        post_->ClearReinit();
    }
    int32_t Write(const std::string& item, Variant v) {
        static int32_t id = 100;
        mb::CVariable* var = tree_.Var("QMU1.Post1." + item);
        EXPECT_NE(var, nullptr) << item;
        if (var == nullptr) return -12345;
        post_->WriteItem(var, v, ++id);
        auto r = rec_.Results();
        return !r.empty() && r.back().first == id ? r.back().second : -12345;
    }
    int State() { return tree_.IntValue("QMU1.Post1.State"); }
    static constexpr uint16_t kRaw = 256 + 15;

    std::unique_ptr<mb::CQMUDevice> unit_;
    CPost* post_ = nullptr;
};

TEST_F(PostTest, AStateCommandAndTheKeyStartADelivery) {
    Start(Unit(1));
    EXPECT_EQ(State(), 0);
    Sent();
    EXPECT_EQ(Write("State", Variant::I4(1)), 0);
    const auto sent = Sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0],
              "0110010F00010200"
              "10")
        << "16 at channel * 256 + 15";
    fbsim::PressKey(engine_, 1, 1);
    post_->Scan();
    EXPECT_EQ(State(), 7);
    EXPECT_FALSE(post_->CanCapture()) << "no capture while the post works";
}

TEST_F(PostTest, RefusedStates) {
    Start(Unit(1));
    Sent();
    EXPECT_EQ(Write("State", Variant::I4(7)), plat::OPC_E_RANGE) << "idle -> working";
    // States without a raw form must not become raw 0 and stop a delivery.
    SetReg(1, kRaw, 32);
    post_->Scan();
    ASSERT_EQ(State(), 7);
    Sent();
    EXPECT_EQ(Write("State", Variant::I4(3)), plat::OPC_E_RANGE);
    EXPECT_EQ(Write("State", Variant::I4(255)), plat::OPC_E_RANGE);
    EXPECT_EQ(Write("State", Variant::I4(1)), plat::OPC_E_RANGE) << "working -> waiting";
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(Reg(1, kRaw), 32);
}

TEST_F(PostTest, TheFreeStateFlagAllowsEveryJump) {
    auto setup = Unit(1, 5, 63);
    setup.posts[0].option = 31 | 0x40;
    Start(setup);
    EXPECT_EQ(Write("State", Variant::I4(7)), 0);
    EXPECT_EQ(Reg(1, kRaw), 32);
}

TEST_F(PostTest, DosesAreCheckedWholeAndHeldWhileInactive) {
    Start(Unit(1));
    Sent();
    // 65541 has 5 in its low 16 bits.
    EXPECT_EQ(Write("DozeV", Variant::I4(65541)), plat::OPC_E_RANGE);
    EXPECT_EQ(Write("DozeV", Variant::I4(1001)), plat::OPC_E_RANGE);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(Write("DozeV", Variant::I4(25)), 0);
    EXPECT_EQ(fbsim::RegistersText(
                  {Reg(1, 256 + 46), Reg(1, 256 + 47), Reg(1, 256 + 48), Reg(1, 256 + 49)}),
              "00000025");

    post_->SetActive(false);
    Sent();
    EXPECT_EQ(Write("DozeV", Variant::I4(40)), 0) << "held, answered at once";
    EXPECT_TRUE(Sent().empty());
    post_->Scan();
    EXPECT_TRUE(Sent().size() <= 2) << "an inactive post stops after the queued work";
    post_->SetActive(true);
    post_->Scan();
    EXPECT_EQ(fbsim::RegistersText(
                  {Reg(1, 256 + 46), Reg(1, 256 + 47), Reg(1, 256 + 48), Reg(1, 256 + 49)}),
              "00000040");
}

TEST_F(PostTest, InactiveWritesActivateFirstAndDosesWaitForTheDelivery) {
    Start(Unit(1));
    post_->SetActive(false);
    SetReg(1, kRaw, 16);
    auto sim = engine_.Find(1);
    engine_.With([&] { sim->status = 0x00; });
    EXPECT_EQ(Write("State", Variant::I4(0)), mb::kWriteLocked) << "still inactive";
    EXPECT_EQ(mlog_.Count("ActPst Post1"), 1u);
    EXPECT_EQ(Reg(1, kRaw), 0) << "idle was written first";
    engine_.With([&] { sim->status = 0x01; });
    EXPECT_EQ(Write("State", Variant::I4(1)), 0) << "activated by the write";
    EXPECT_TRUE(post_->IsActive());
    EXPECT_EQ(Reg(1, kRaw), 16);
    SetReg(1, kRaw, 32);
    post_->Scan();
    EXPECT_EQ(Write("DozeV", Variant::I4(5)), mb::kResultCaptured) << "not while dispensing";
}

TEST_F(PostTest, ALockedPostSendsTheUnitToItsActivationCheck) {
    Start(Unit(1));
    auto sim = engine_.Find(1);
    engine_.With([&] {
        sim->refuse[256 + 3] = 0x48;
        sim->status = 0x00;  // the unit names no active post
    });
    Sent();
    EXPECT_FALSE(post_->Init());
    const auto sent = Sent();
    EXPECT_NE(std::find(sent.begin(), sent.end(), "0107"), sent.end()) << "status read";
    EXPECT_FALSE(post_->IsActive());
}

TEST_F(PostTest, IdleOnlyAfterThreeEqualTotals) {
    Start(Unit(1));
    SetReg(1, kRaw, 32);
    post_->Scan();
    ASSERT_EQ(State(), 7);
    SetReg(1, kRaw, 0);
    post_->Scan();
    EXPECT_EQ(State(), 7);
    post_->Scan();
    EXPECT_EQ(State(), 7);
    post_->Scan();
    EXPECT_EQ(State(), 0) << "the third equal total";
}

// The tick count moves only as the test says; the line's waits and stopwatches stay real, so the
// exchange with the simulator is timed as always while the post's own hold is not.
class TickClock final : public plat::Clock {
  public:
    TickClock() { plat::SetClock(this); }
    ~TickClock() override { plat::SetClock(nullptr); }
    uint32_t TickCount() override { return tick_.load(); }
    int64_t PerfCounter() override { return real_.PerfCounter(); }
    int64_t PerfFrequency() override { return real_.PerfFrequency(); }
    uint64_t UtcNow100ns() override { return real_.UtcNow100ns(); }
    void Sleep(uint32_t ms) override { real_.Sleep(ms); }
    void Advance(uint32_t ms) { tick_.fetch_add(ms); }

  private:
    plat::RealClock real_;
    std::atomic<uint32_t> tick_{0xFFFFF000u};  // close to the wrap
};

TEST_F(PostTest, TheDispensingFlagHoldsFiveSecondsOnThePlatformClock) {
    Start(Unit(1));
    TickClock clock;
    SetReg(1, kRaw, 32);
    post_->Scan();  // reads the working state
    post_->Scan();  // sees it: the flag is set
    EXPECT_TRUE(post_->Dispensing());
    EXPECT_EQ(mlog_.Count("Start Post1"), 1u);
    clock.Advance(4999);
    post_->Scan();
    EXPECT_TRUE(post_->Dispensing()) << "held 5000 ms, across the tick count's wrap";
    EXPECT_EQ(mlog_.Count("Start Post1"), 1u) << "one start while it holds";
    SetReg(1, kRaw, 0);
    clock.Advance(1);
    post_->Scan();
    EXPECT_FALSE(post_->Dispensing()) << "cleared 5000 ms after the scan that set it";
}

TEST_F(PostTest, TheTotalMustStayTheSame) {
    Start(Unit(1));
    SetReg(1, kRaw, 32);
    post_->Scan();
    SetReg(1, kRaw, 0);
    post_->Scan();
    post_->Scan();
    SetReg(1, 256 + 21, 0x3939);  // the total still moves
    post_->Scan();
    EXPECT_EQ(State(), 7);
    post_->Scan();
    EXPECT_EQ(State(), 7);
    post_->Scan();
    EXPECT_EQ(State(), 0);
}

TEST_F(PostTest, DozeMicroKeepsTheHighByte) {
    Start(Unit(1));
    EXPECT_FLOAT_EQ(tree_.Value("QMU1.Post1.DozeMicro").fltVal, 5.0f);
    SetReg(1, 256 + 9, 0xAB05);
    EXPECT_EQ(Write("DozeMicro", Variant::R8(12.7)), 0);
    EXPECT_EQ(Reg(1, 256 + 9), 0xAB12);
    EXPECT_EQ(Write("DozeMicro", Variant::I4(100)), plat::OPC_E_RANGE);
    EXPECT_EQ(Write("DozeMicro", Variant::R8(0.5)), plat::OPC_E_RANGE);
}

TEST_F(PostTest, BadQualityAndSnapSensor) {
    Start(Unit(1));
    post_->SetBadQuality();
    EXPECT_EQ(State(), 169);
    EXPECT_EQ(tree_.QualityOf("QMU1.Post1.State"), mb::kQualityGood);
    SetReg(1, kRaw, 32);
    post_->Scan();
    SetReg(1, 256 + 12, 0x01);
    SetReg(1, kRaw, 0);
    post_->Scan();
    EXPECT_EQ(mlog_.Count("277B7CA3-переливPost1"), 1u);
    EXPECT_EQ(tree_.Value("QMU1.Post1.OverFill"), Variant::Bool(true));
}

TEST_F(PostTest, TheStateReturnsWithTheLinkThoughTheRawStateStayed) {
    Start(Unit(1));
    ASSERT_EQ(State(), 0);
    post_->SetBadQuality();
    ASSERT_EQ(State(), 169);
    post_->Scan();
    EXPECT_EQ(State(), 0) << "the first good read after the fault shows the raw state";
    EXPECT_EQ(tree_.QualityOf("QMU1.Post1.State"), mb::kQualityGood);
    // The unit's re-initialisation (a probe after the fault, a new address) likewise.
    post_->SetBadQuality();
    ASSERT_TRUE(post_->Init());
    EXPECT_EQ(State(), 0);
}

TEST_F(PostTest, ErrorTexts) {
    Start(Unit(1));
    auto text = [](uint32_t id) {
        std::string t;
        EXPECT_TRUE(mb::LoadText(id, 1049, t)) << id;
        return t;
    };
    EXPECT_EQ(post_->DefineErrorText(3, 1049), text(4070));
    EXPECT_EQ(post_->DefineErrorText(0x1003, 1049),
              text(4072) + ": " + mb::SubstituteNumber(text(4099), 3));
    const std::string last = post_->DefineErrorText(0x1085, 1049);
    EXPECT_EQ(last, text(4072) + ": 0x85");
    EXPECT_EQ(post_->DefineErrorText(0x3600, 1049), text(4064));
    EXPECT_EQ(post_->DefineErrorText(0x4000, 1049), text(4064));
}

TEST(PostStates, RawMaps) {
    EXPECT_EQ(mb::RawToPostState(0x45), 1);
    EXPECT_EQ(mb::RawToPostState(0x50), 80);
    EXPECT_EQ(mb::RawToPostState(0x60), 177);
    EXPECT_EQ(mb::RawToPostState(0x70), -1);
    EXPECT_EQ(mb::PostStateToRaw(80), 48);
    EXPECT_EQ(mb::PostStateToRaw(3), -1);
}

}  // namespace
