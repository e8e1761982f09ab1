// Device scheduling: aging, the pick of the next online device and the re-probe pick.
#include <gtest/gtest.h>

#include <vector>

#include "fieldbus/core/Device.h"
#include "fieldbus/core/DeviceList.h"
#include "fieldbus/core/DeviceState.h"

namespace {

using mb::CDevice;
using mb::CDeviceList;
using mb::CDeviceState;

struct Fleet {
    CDeviceList list;
    std::vector<CDevice*> d;
    explicit Fleet(int n) {
        for (int i = 0; i < n; ++i) {
            auto dev = std::make_unique<CDevice>(static_cast<uint8_t>(i + 1));
            d.push_back(dev.get());
            list.Add(std::move(dev));
        }
    }
};

TEST(DeviceState, StatesAndFlags) {
    CDeviceState s;
    EXPECT_EQ(s.GetState(), 1);
    EXPECT_TRUE(s.IsOnline()) << "a bare state starts online";
    EXPECT_EQ(s.SetState(-1), 0);
    EXPECT_TRUE(s.IsOffline());
    EXPECT_FALSE(s.IsOnline());
    EXPECT_EQ(s.SetState(6), 1) << "the previous offline flag";
    EXPECT_TRUE(s.IsOnline());
    EXPECT_EQ(s.SetState(3), 0);
    EXPECT_TRUE(s.IsOffline()) << "codes other than 0, 6, 16 are offline";
    EXPECT_EQ(s.SetState(0), 1);
    EXPECT_EQ(s.SetState(16), 0);

    s.AddReadBack();
    s.DoneReadBack();
    s.DoneReadBack();
    EXPECT_EQ(s.ReadBacksPending(), 0) << "never below zero";
    EXPECT_EQ(CDevice(9).GetState(), 16);
}

TEST(DeviceList, AgingBonuses) {
    Fleet f(3);
    f.d[0]->SetState(0);
    f.d[0]->SetWritesQueued();
    f.d[1]->SetState(6);
    f.d[2]->SetState(16);
    EXPECT_EQ(f.list.Age(), 3);
    EXPECT_EQ(f.d[0]->GetCounter(), 1 + 9 + 5 + 3);
    EXPECT_EQ(f.d[1]->GetCounter(), 1 + 1);
    EXPECT_EQ(f.d[2]->GetCounter(), 1);

    f.d[2]->AddReadBack();
    f.d[1]->SetState(-1);
    f.list.Age();
    EXPECT_EQ(f.d[2]->GetCounter(), 1 + 1 + 9 + 2);
    EXPECT_EQ(f.d[1]->GetCounter(), 3) << "offline devices age without bonuses";
}

TEST(DeviceList, PickNextPrefersTheLargestCounterAndTheEarlierOnTies) {
    Fleet f(3);
    CDevice* out = nullptr;
    ASSERT_TRUE(f.list.PickNext(out));
    EXPECT_EQ(out, f.d[0]) << "equal counters: the earliest";
    EXPECT_EQ(f.d[0]->GetCounter(), 0);
    ASSERT_TRUE(f.list.PickNext(out));
    EXPECT_EQ(out, f.d[1]);
    ASSERT_TRUE(f.list.PickNext(out));
    EXPECT_EQ(out, f.d[2]);

    // A device with queued writes jumps the queue.
    f.d[2]->SetWritesQueued();
    ASSERT_TRUE(f.list.PickNext(out));
    EXPECT_EQ(out, f.d[2]);
}

TEST(DeviceList, OfflineAndOnlineAreKeptApart) {
    Fleet f(3);
    f.d[1]->SetState(-1);
    CDevice* out = nullptr;
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(f.list.PickNext(out));
        EXPECT_NE(out, f.d[1]);
        ASSERT_TRUE(f.list.PickOffline(out));
        EXPECT_EQ(out, f.d[1]);
    }
    f.d[0]->SetState(-1);
    f.d[2]->SetState(-1);
    EXPECT_FALSE(f.list.PickNext(out));
    EXPECT_EQ(out, nullptr);
    f.d[0]->SetState(16);
    f.d[1]->SetState(16);
    f.d[2]->SetState(16);
    EXPECT_FALSE(f.list.PickOffline(out));

    CDeviceList empty;
    EXPECT_FALSE(empty.PickNext(out));
    EXPECT_FALSE(empty.PickOffline(out));
}

TEST(DeviceList, EveryOfflineDeviceGetsItsReProbe) {
    Fleet f(4);
    for (CDevice* d : f.d) d->SetState(-1);
    std::vector<int> picks(4, 0);
    for (int round = 0; round < 40; ++round) {
        for (int i = 0; i < 5; ++i) f.list.Age();  // the bus thread's rounds between re-probes
        CDevice* out = nullptr;
        ASSERT_TRUE(f.list.PickOffline(out));
        ++picks[out->GetAddress() - 1];
    }
    for (int i = 0; i < 4; ++i) EXPECT_EQ(picks[i], 10) << "device " << i + 1;
    // Only the returned device loses its counter.
    f.list.Age();
    CDevice* out = nullptr;
    f.d[0]->SetCounter(10);
    f.d[1]->SetCounter(5);
    f.d[2]->SetCounter(20);
    f.d[3]->SetCounter(1);
    ASSERT_TRUE(f.list.PickOffline(out));
    EXPECT_EQ(out, f.d[2]);
    EXPECT_EQ(f.d[0]->GetCounter(), 10);
    EXPECT_EQ(f.d[2]->GetCounter(), 0);
}

TEST(DeviceList, CountersSaturate) {
    Fleet f(1);
    f.d[0]->SetState(-1);
    f.d[0]->SetCounter(0x7FFFFFFF);
    f.list.Age();
    EXPECT_EQ(f.d[0]->GetCounter(), 0x7FFFFFFF);
}

class Tracked : public CDevice {
  public:
    Tracked(uint8_t a, std::vector<int>& gone) : CDevice(a), gone_(gone) {}
    ~Tracked() override { gone_.push_back(GetAddress()); }

  private:
    std::vector<int>& gone_;
};

TEST(DeviceList, OwnershipFindAndRemove) {
    std::vector<int> gone;
    {
        CDeviceList list;
        auto* a = new Tracked(1, gone);
        auto* b = new Tracked(2, gone);
        EXPECT_TRUE(list.Add(std::unique_ptr<CDevice>(a)));
        EXPECT_TRUE(list.Add(std::unique_ptr<CDevice>(b)));
        EXPECT_TRUE(list.Add(std::make_unique<Tracked>(3, gone)));
        EXPECT_FALSE(list.Add(nullptr));
        EXPECT_FALSE(list.Add(std::unique_ptr<CDevice>(a))) << "already there";
        EXPECT_EQ(list.Size(), 3u);

        EXPECT_EQ(list.FindByAddress(2), b);
        b->MarkForRemoval();
        EXPECT_EQ(list.FindByAddress(2), nullptr) << "flagged for removal";
        EXPECT_EQ(list.FindByAddress(9), nullptr);

        b->SetState(-1);
        EXPECT_EQ(list.CountActive(), 2);

        auto taken = list.Remove(b);
        EXPECT_EQ(taken.get(), b);
        EXPECT_EQ(list.Remove(b), nullptr);
        taken.reset();
        EXPECT_EQ(gone, std::vector<int>{2});
        EXPECT_FALSE(list.IsEmpty());
    }
    EXPECT_EQ(gone, (std::vector<int>{2, 1, 3})) << "the list destroys from the front";
}

}  // namespace
