// The item store's lock and write queue: writer preference, wait reports, folding, refusals
// and many host threads against the bus thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "fieldbus/core/RWLock.h"
#include "fieldbus/core/WriteQueue.h"
#include "platform/time/clock.h"
#include "tests/fieldbus/StoreKit.h"
#include "tests/support/TempRoot.h"

using namespace fbtest;
using mb::CRWLock;
using mb::CWriteQueue;
using plat::Variant;

namespace {

class StoreTest : public ::testing::Test {
  protected:
    testsupport::TempRoot root_;
    MemoryLog log_;
    RecordingHost host_;
};

TEST_F(StoreTest, WaitingWritersAllGoBeforeWaitingReaders) {
    CRWLock lock(&log_, "dev");
    lock.WriteLock();
    std::mutex m;
    std::vector<std::string> order;
    std::vector<int32_t> state_seen_by_readers;
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&] {
            lock.WriteLock();
            {
                std::lock_guard<std::mutex> lk(m);
                order.push_back("W");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            lock.Unlock();
        });
    ASSERT_TRUE(Eventually([&] { return lock.WaitingWriters() == 2; }));
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&] {
            lock.ReadLock();
            {
                std::lock_guard<std::mutex> lk(m);
                order.push_back("R");
                state_seen_by_readers.push_back(lock.State());
            }
            lock.Unlock();
        });
    ASSERT_TRUE(Eventually([&] { return lock.WaitingReaders() == 3; }));
    lock.Unlock();
    for (auto& t : threads) t.join();
    EXPECT_EQ(order, (std::vector<std::string>{"W", "W", "R", "R", "R"}));
    // The readers were let in together, all three at once.
    ASSERT_FALSE(state_seen_by_readers.empty());
    EXPECT_GE(state_seen_by_readers.front(), 1);
    EXPECT_EQ(lock.State(), 0);
}

TEST_F(StoreTest, ReadersShareTheLockAndAWaitingWriterStopsNewOnes) {
    CRWLock lock(&log_, "dev");
    lock.ReadLock();
    lock.ReadLock();
    EXPECT_EQ(lock.State(), 2);
    std::thread writer([&] {
        lock.WriteLock();
        lock.Unlock();
    });
    ASSERT_TRUE(Eventually([&] { return lock.WaitingWriters() == 1; }));
    std::thread reader([&] {
        lock.ReadLock();
        lock.Unlock();
    });
    ASSERT_TRUE(Eventually([&] { return lock.WaitingReaders() == 1; }));
    lock.Unlock();
    lock.Unlock();
    writer.join();
    reader.join();
    EXPECT_EQ(lock.State(), 0);
}

TEST_F(StoreTest, AnUnlockOfAFreeLockLeavesNoPhantomReader) {
    CRWLock lock(&log_, "dev");
    lock.Unlock();
    ASSERT_EQ(lock.State(), 0) << "a stray unlock would bar every writer for good";
    lock.WriteLock();
    EXPECT_EQ(lock.State(), -1);
    lock.Unlock();
    EXPECT_EQ(lock.State(), 0);
}

TEST_F(StoreTest, AWriterBlockedTwoAndAHalfSecondsReportsTwice) {
    plat::ScopedFakeClock clock(false);
    CRWLock lock(&log_, "QMU 5");
    lock.WriteLock();
    std::atomic<bool> entered{false};
    std::thread writer([&] {
        lock.WriteLock();
        entered = true;
        lock.Unlock();
    });
    ASSERT_TRUE(Eventually([&] { return lock.WaitingWriters() == 1; }));
    const std::string line = "E:Превышение времени ожидания писателя QMU 5";
    clock->Advance(999);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(log_.Count(line), 0u);
    clock->Advance(1501);
    ASSERT_TRUE(Eventually([&] { return log_.Count(line) == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(log_.Count(line), 2u);
    EXPECT_FALSE(entered.load());
    lock.Unlock();
    // The writer sleeps through the fake clock between its looks at the semaphore.
    ASSERT_TRUE(Eventually([&] {
        clock->Advance(10);
        return entered.load();
    }));
    writer.join();
    EXPECT_EQ(log_.Count(line), 2u);
}

TEST_F(StoreTest, ThreeWritesOfOneVariableFoldIntoTheNewest) {
    CWriteQueue q(&host_.host, &log_, "dev");
    TestItem a("A"), b("B");
    int32_t id1 = 0, id2 = 0, id3 = 0, id4 = 0;
    ASSERT_EQ(q.Push(&a, Variant::I4(1), id1), plat::S_OK);
    ASSERT_EQ(q.Push(&b, Variant::I4(9), id2), plat::S_OK);
    ASSERT_EQ(q.Push(&a, Variant::I4(2), id3), plat::S_OK);
    ASSERT_EQ(q.Push(&a, Variant::I4(3), id4), plat::S_OK);
    EXPECT_EQ(q.GetCount(), 4u);

    mb::CDeviceItem* item = nullptr;
    Variant v;
    int32_t id = 0;
    ASSERT_TRUE(q.Pop(item, v, id));
    EXPECT_EQ(item, &a);
    EXPECT_EQ(v, Variant::I4(1));
    EXPECT_EQ(id, id1);

    std::vector<int32_t> superseded;
    ASSERT_TRUE(q.TakeForVariable(&a, v, id, superseded));
    EXPECT_EQ(v, Variant::I4(3));
    EXPECT_EQ(id, id4);
    EXPECT_EQ(superseded, (std::vector<int32_t>{id1, id3}));
    // Nobody is told anything before the surviving write has run.
    EXPECT_TRUE(host_.Results().empty());
    // Only the other variable's write is left.
    ASSERT_EQ(q.GetCount(), 1u);
    ASSERT_TRUE(q.PeekOldest(item));
    EXPECT_EQ(item, &b);
    EXPECT_FALSE(q.TakeForVariable(&a, v, id, superseded));
}

TEST_F(StoreTest, PushRefusesWhatItCannotQueueWithoutTakingAnId) {
    CWriteQueue q(&host_.host, &log_, "dev");
    TestItem a("A");
    int32_t id = -1;
    Variant odd;
    odd.vt = 0x4003;  // by-reference: nothing to copy from here
    EXPECT_EQ(q.Push(&a, odd, id), plat::DISP_E_BADVARTYPE);
    EXPECT_EQ(q.GetCount(), 0u);
    EXPECT_EQ(log_.Count("W:{954EF75E-0273-4c6d-BE7F-3072E88BA78C} 80020008"), 1u);

    host_.ThrowOnNextId();
    EXPECT_EQ(q.Push(&a, Variant::I4(5), id), plat::E_FAIL);
    EXPECT_EQ(q.GetCount(), 0u) << "a write under an undefined id can never be answered";
    EXPECT_EQ(log_.Count("E:{D3971E7B-AAB1-4e06-94CC-CB7955B2C093} pCmdNewID"), 1u);

    // Neither refusal used up an id.
    ASSERT_EQ(q.Push(&a, Variant::I4(6), id), plat::S_OK);
    EXPECT_EQ(id, 1);
    EXPECT_TRUE(host_.Results().empty());
}

// A host that is slow to give an id (its command registry busy with other clients) holds up
// the client asking, not the bus thread looking at the queue.
std::atomic<bool> g_id_asked{false};
std::atomic<bool> g_id_given{false};
int32_t SlowId() {
    g_id_asked = true;
    while (!g_id_given.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 42;
}

TEST_F(StoreTest, AHostSlowToGiveAnIdHoldsUpNoBusThread) {
    mb::HostCallbacks slow = host_.host;
    slow.pCmdNewID = &SlowId;
    CWriteQueue q(&slow, &log_, "dev");
    TestItem a("A");
    int32_t id = 0;
    std::thread client([&] { EXPECT_EQ(q.Push(&a, Variant::I4(1), id), plat::S_OK); });
    ASSERT_TRUE(Eventually([] { return g_id_asked.load(); }));
    auto bus = std::async(std::launch::async, [&] { return q.GetCount(); });
    const bool prompt = bus.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    g_id_given = true;
    client.join();
    EXPECT_TRUE(prompt) << "the bus thread waited for the host's id";
    EXPECT_EQ(bus.get(), 0u);
    EXPECT_EQ(id, 42);
    EXPECT_EQ(q.GetCount(), 1u);
}

TEST_F(StoreTest, AFullQueueRefusesFurtherWrites) {
    CWriteQueue q(&host_.host, &log_, "dev");
    TestItem a("A");
    int32_t id = 0;
    for (size_t i = 0; i < CWriteQueue::kMaxEntries; ++i)
        ASSERT_EQ(q.Push(&a, Variant::I4(int32_t(i)), id), plat::S_OK);
    EXPECT_EQ(q.Push(&a, Variant::I4(-1), id), plat::E_OUTOFMEMORY);
    EXPECT_EQ(q.GetCount(), CWriteQueue::kMaxEntries);
    EXPECT_EQ(q.FailAll(1117), CWriteQueue::kMaxEntries);
    EXPECT_EQ(host_.Results().size(), CWriteQueue::kMaxEntries);
    EXPECT_EQ(host_.Results().front(), std::make_pair(1, 1117));
    EXPECT_EQ(q.Push(&a, Variant::I4(-1), id), plat::S_OK);
}

TEST_F(StoreTest, EightPushersAgainstThePoppingBusThreadLoseAndDoubleNoId) {
    CWriteQueue q(&host_.host, &log_, "dev");
    constexpr int kPushers = 8;
    constexpr int kEach = 1500;
    std::vector<TestItem> items;
    for (int i = 0; i < kPushers; ++i) items.emplace_back("V" + std::to_string(i));
    std::vector<std::vector<int32_t>> pushed(kPushers);
    std::atomic<bool> done{false};
    std::vector<std::pair<mb::CDeviceItem*, Variant>> popped_values;
    std::vector<int32_t> popped;
    std::thread bus([&] {
        mb::CDeviceItem* item = nullptr;
        Variant v;
        int32_t id = 0;
        for (;;) {
            bool finished = done.load();
            if (q.Pop(item, v, id)) {
                popped.push_back(id);
                popped_values.emplace_back(item, v);
            } else if (finished) {
                break;
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::vector<std::thread> pushers;
    for (int t = 0; t < kPushers; ++t)
        pushers.emplace_back([&, t] {
            for (int i = 0; i < kEach;) {
                int32_t id = 0;
                plat::HRESULT hr = q.Push(&items[size_t(t)], Variant::I4(i), id);
                if (hr == plat::E_OUTOFMEMORY) {
                    std::this_thread::yield();
                    continue;
                }
                ASSERT_EQ(hr, plat::S_OK);
                pushed[size_t(t)].push_back(id);
                ++i;
            }
        });
    for (auto& p : pushers) p.join();
    done = true;
    bus.join();

    std::multiset<int32_t> all_pushed;
    for (auto& v : pushed) all_pushed.insert(v.begin(), v.end());
    std::multiset<int32_t> all_popped(popped.begin(), popped.end());
    ASSERT_EQ(all_popped.size(), size_t(kPushers * kEach));
    EXPECT_EQ(all_popped, all_pushed);
    EXPECT_EQ(std::set<int32_t>(popped.begin(), popped.end()).size(), popped.size())
        << "an id was given out twice";
    // Each pusher's writes come out in the order it made them.
    std::vector<int32_t> next(kPushers, 0);
    for (auto& [item, v] : popped_values) {
        size_t t = size_t(static_cast<TestItem*>(item) - items.data());
        ASSERT_LT(t, size_t(kPushers));
        EXPECT_EQ(v.lVal, next[t]++);
    }
}

}  // namespace
