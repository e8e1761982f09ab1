// The grounding monitor against a libmodbus slave: state texts, the capacitance's word order
// shared by the limits, degraded and bad qualities, and a measurement rate bounded by the
// interval and by what clients ask for.
#include <gtest/gtest.h>

#include <chrono>

#include "fieldbus/core/StringTable.h"
#include "fieldbus/devices/GRQ.h"
#include "platform/com/callcontext.h"
#include "tests/fieldbus/ModelHostKit.h"

using namespace fbtest;
using plat::Variant;

namespace {

class GRQTest : public ModelTest {
  protected:
    void TearDown() override {
        plat::SetProcessLocale(0);
        ModelTest::TearDown();
    }
    mb::CGRQDevice& Make() {
        auto d = std::make_unique<mb::CGRQDevice>(port_.get(), kAddress, "GRQ5");
        grq_ = d.get();
        device_ = std::move(d);
        return *grq_;
    }
    mb::CVariable* Item(size_t slot) { return V(grq_->Slot(slot)); }
    mb::CGRQDevice* grq_ = nullptr;
};

TEST_F(GRQTest, StateTextsAreRussianInBothLanguages) {
    for (plat::LCID lcid : {plat::LCID{1049}, plat::LCID{1033}}) {
        plat::SetProcessLocale(lcid);
        for (int state : {0, 1, 2, 3, 4, 5, 6}) {
            std::string ru;
            ASSERT_TRUE(mb::LoadText(4127 + state, 1049, ru));
            EXPECT_EQ(mb::CGRQDevice::StateText(state), ru) << lcid << " " << state;
        }
        EXPECT_EQ(mb::CGRQDevice::StateText(7), "Неизвестное состояние заземления");
        EXPECT_EQ(mb::CGRQDevice::StateText(255), "Неизвестное состояние заземления");
        EXPECT_EQ(mb::CGRQDevice::StateText(-1), "Неизвестное состояние заземления");
    }
    EXPECT_EQ(mb::CGRQDevice::StateText(2), "заземление подключено");
}

TEST_F(GRQTest, MeasurementAndLimitsShareTheWordOrder) {
    plat::SetProcessLocale(1033);
    // Capacity 1.0 (high half in the second register); limits 0.5 and 2.0 the same way.
    peer_->SetRegisters(0, {2, 0x0000, 0x3F80, 0x0000, 0x3F00, 0x0000, 0x4000});
    auto& d = Make();
    ASSERT_TRUE(d.Created());
    EXPECT_EQ(tree_.items.count("GRQ5.StateTxt"), 1u);
    d.Scan();
    EXPECT_EQ(Item(0)->Value(), Variant::I4(2));
    EXPECT_EQ(Item(1)->Value(), Variant::Str("заземление подключено"));
    EXPECT_EQ(Item(2)->Value(), Variant::R4(1.0f));
    EXPECT_EQ(Item(3)->Value(), Variant::R4(0.5f));
    EXPECT_EQ(Item(4)->Value(), Variant::R4(2.0f));
    EXPECT_EQ(Item(4)->Quality(), mb::kQualityGood);

    // A failed read after a good one: uncertain; offline: bad, and bad again.
    peer_->Silence(0);
    Item(0)->RequestRead();
    ASSERT_TRUE(Eventually([&] {
        d.Scan();
        return Item(0)->Quality() != mb::kQualityGood;
    }));
    EXPECT_EQ(Item(0)->Quality(), mb::kQualityUncertain);
    EXPECT_EQ(Item(2)->Quality(), mb::kQualityUncertain);
    EXPECT_EQ(Item(3)->Quality(), mb::kQualityGood) << "the limits are not measured";
    EXPECT_EQ(Item(0)->Value(), Variant::I4(2));
    d.SetBadQuality();
    EXPECT_EQ(Item(0)->Quality(), mb::kQualityBad);
    EXPECT_EQ(Item(4)->Quality(), mb::kQualityBad);
    d.SetBadQuality();
    EXPECT_EQ(Item(1)->Quality(), mb::kQualityBad);
}

TEST_F(GRQTest, MeasuresOnlyWhileAskedAndAtMostEvery100ms) {
    auto& d = Make();
    d.Scan();  // identification
    peer_->ClearSeen();
    auto t0 = std::chrono::steady_clock::now();
    while (MsSince(t0) < 300) d.Scan();
    EXPECT_EQ(peer_->Seen().size(), 0u) << "nobody asked";

    // A client keeps asking: one measurement per interval at most.
    t0 = std::chrono::steady_clock::now();
    while (MsSince(t0) < 500) {
        Item(2)->RequestRead();
        d.Scan();
    }
    const double ms = MsSince(t0);
    const size_t reads = peer_->CountSeen(0x03, 0);
    EXPECT_GE(reads, 1u);
    EXPECT_LE(reads, static_cast<size_t>(ms / mb::CGRQDevice::kIntervalMs) + 1) << ms;
    for (const auto& r : peer_->Seen()) EXPECT_EQ(r.count, 3);
}

// Nothing is writable; a write that got queued anyway is answered, not left waiting.
TEST_F(GRQTest, QueuedWriteIsAnswered) {
    auto& d = Make();
    d.Scan();
    const int32_t id = Item(0)->Write(Variant::I4(1));
    ASSERT_GT(id, 0);
    for (int i = 0; i < 3 && ResultOf(id) == 0x7FFFFFFF; ++i) d.Scan();
    EXPECT_EQ(ResultOf(id), plat::OPC_E_BADRIGHTS);
    EXPECT_FALSE(d.WritesQueued());
}

}  // namespace
