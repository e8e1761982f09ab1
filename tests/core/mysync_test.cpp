#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <thread>
#include <vector>

#include "platform/time/clock.h"
#include "service/core/base/ChangeRing.h"
#include "service/core/base/Errors.h"
#include "service/core/base/SyncLock.h"
#include "tests/support/Eventually.h"

using namespace drv;
using namespace std::chrono_literals;

namespace {

// Spins (yielding) until cond holds; fails the test after a generous bound instead of hanging.
template <class F>
bool Eventually(F cond) {
    return testsupport::Eventually(cond, 10000, 0s);
}

}  // namespace

TEST(SyncLock, WriterReentersEvenWhileHoldingReadAccess) {
    TSyncLock lock("reentry");
    lock.BeginWrite();
    lock.BeginRead();   // read inside write gets in at once
    lock.BeginWrite();  // and write again must not wait for our own read
    lock.EndWrite();
    lock.EndRead();
    EXPECT_NE(lock.WriterThread(), 0u) << "EndRead must leave the write lock in place";
    lock.EndWrite();
    EXPECT_EQ(lock.WriterThread(), 0u);
    // Another thread can now take the lock.
    auto other = std::async(std::launch::async, [&] {
        lock.BeginWrite();
        lock.EndWrite();
    });
    ASSERT_EQ(other.wait_for(10s), std::future_status::ready);
}

TEST(SyncLock, EndWriteAdmitsWaitingReadersTogetherBeforeAWaitingWriter) {
    TSyncLock lock("handover");
    lock.BeginWrite();

    std::latch readers_in(2);
    std::latch release_first(1), release_second(1);
    std::atomic<bool> writer_in{false};
    std::atomic<int> inside{0};
    std::thread r1([&] {
        lock.BeginRead();
        inside++;
        readers_in.count_down();
        release_first.wait();
        inside--;
        lock.EndRead();
    });
    std::thread r2([&] {
        lock.BeginRead();
        inside++;
        readers_in.count_down();
        release_second.wait();
        inside--;
        lock.EndRead();
    });
    ASSERT_TRUE(Eventually([&] { return lock.WaitingReaders() == 2; }));
    std::thread w([&] {
        lock.BeginWrite();
        EXPECT_EQ(inside.load(), 0) << "writer entered while readers were inside";
        writer_in = true;
        lock.EndWrite();
    });
    ASSERT_TRUE(Eventually([&] { return lock.WaitingWriters() == 1; }));

    lock.EndWrite();
    readers_in.wait();  // both readers are in together
    EXPECT_EQ(lock.Readers(), 2);
    EXPECT_FALSE(writer_in.load());

    release_first.count_down();
    ASSERT_TRUE(Eventually([&] { return lock.Readers() == 1; }));
    EXPECT_FALSE(writer_in.load()) << "writer must wait for the last reader";
    release_second.count_down();
    r1.join();
    r2.join();
    w.join();
    EXPECT_TRUE(writer_in.load());
    EXPECT_EQ(lock.WriterThread(), 0u);
}

TEST(SyncLock, NewReaderEntersWhileAWriterWaits) {
    TSyncLock lock("readers-first");
    lock.BeginRead();
    std::atomic<bool> writer_in{false};
    std::thread w([&] {
        lock.BeginWrite();
        writer_in = true;
        lock.EndWrite();
    });
    ASSERT_TRUE(Eventually([&] { return lock.WaitingWriters() == 1; }));
    auto reader = std::async(std::launch::async, [&] {
        bool got = lock.TryBeginRead();
        if (got) lock.EndRead();
        return got;
    });
    EXPECT_TRUE(reader.get());
    EXPECT_FALSE(writer_in.load());
    lock.EndRead();
    w.join();
    EXPECT_TRUE(writer_in.load());
}

TEST(SyncLock, TryBeginReadFailsWithoutWaitingWhileAnotherThreadWrites) {
    TSyncLock lock("try");
    lock.BeginWrite();
    auto got = std::async(std::launch::async, [&] { return lock.TryBeginRead(); });
    EXPECT_FALSE(got.get());
    EXPECT_TRUE(lock.TryBeginRead());  // the writer itself may read
    lock.EndRead();
    lock.EndWrite();
}

TEST(SyncLock, ManyThreadsNeverSeeAWriterBesideOthers) {
    TSyncLock lock("stress");
    std::atomic<int> readers{0}, writers{0};
    std::atomic<bool> violation{false};
    long shared = 0;
    constexpr int kThreads = 8, kRounds = 2000;
    std::latch start(kThreads);
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < kRounds; ++i) {
                if ((i + t) % 4 == 0) {
                    lock.BeginWrite();
                    lock.BeginWrite();  // re-entry under contention
                    if (writers.fetch_add(1) != 0 || readers.load() != 0) violation = true;
                    ++shared;
                    writers.fetch_sub(1);
                    lock.EndWrite();
                    lock.EndWrite();
                } else {
                    lock.BeginRead();
                    readers.fetch_add(1);
                    if (writers.load() != 0) violation = true;
                    volatile long seen = shared;
                    (void)seen;
                    readers.fetch_sub(1);
                    lock.EndRead();
                }
            }
        });
    }
    for (auto& t : ts) t.join();
    EXPECT_FALSE(violation.load());
    EXPECT_EQ(shared, kThreads * kRounds / 4);
    EXPECT_EQ(lock.Readers(), 0);
    EXPECT_EQ(lock.WriterThread(), 0u);
}

TEST(SyncLock, MisuseIsRefusedWithItsTag) {
    TSyncLock lock("0123456789012345678901234567890123456789-cut");
    EXPECT_EQ(lock.Name().size(), TSyncLock::kMaxName);
    EXPECT_THROW(lock.EndRead(), Exception);
    EXPECT_THROW(lock.EndWrite(), Exception);
    try {
        lock.Init("again");
        FAIL() << "second Init accepted";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "46B8CBBC-2B1B-4E55-9EDC-45AF6A56A1F4");
    }
    std::latch held(1), done(1);
    std::thread w([&] {
        lock.BeginWrite();
        held.count_down();
        done.wait();
        lock.EndWrite();
    });
    held.wait();
    try {
        lock.Done();
        FAIL() << "Done accepted while another thread writes";
    } catch (const Exception& e) {
        std::string msg = e.what();
        EXPECT_EQ(msg.rfind("522AF905-E461-4571-81AA-2444057CA262 " + lock.Name() + " ThrID:", 0),
                  0u)
            << msg;
    }
    done.count_down();
    w.join();
    lock.Done();
    EXPECT_THROW(lock.Done(), Exception);
}

TEST(ChangeRing, OverrunMovesTheCursorToTheHead) {
    TChangeRing ring;
    ring.Init();
    uint32_t cursor = 0;
    int32_t v = -1;
    for (int i = 0; i < 4097; ++i) ring.Push(i);
    EXPECT_EQ(ring.Read(cursor, v), TChangeRing::Overrun);
    EXPECT_EQ(cursor, 4097u);
    EXPECT_EQ(ring.Read(cursor, v), TChangeRing::Nothing);
}

TEST(ChangeRing, ExactlyOneLapIsStillReadable) {
    TChangeRing ring;
    ring.Init();
    uint32_t cursor = 0;
    for (int i = 0; i < 4096; ++i) ring.Push(1000 + i);
    int32_t v = 0;
    for (int i = 0; i < 4096; ++i) {
        ASSERT_EQ(ring.Read(cursor, v), TChangeRing::Value) << i;
        EXPECT_EQ(v, 1000 + i);
        ++cursor;  // the reader advances itself
    }
    EXPECT_EQ(ring.Read(cursor, v), TChangeRing::Nothing);
    // One more lap overwrites the slots in order.
    ring.Push(-2);
    ASSERT_EQ(ring.Read(cursor, v), TChangeRing::Value);
    EXPECT_EQ(v, -2);
    uint32_t stale = 0;
    EXPECT_EQ(ring.Read(stale, v), TChangeRing::Overrun);
}

TEST(ChangeRing, WaitReturnsAtOnceForAnOldMarkAndTimesOutOnFakeTime) {
    TChangeRing ring;
    ring.Init();
    ring.Push(5);
    ring.Push(6);
    uint32_t mark = 0;
    EXPECT_EQ(ring.Wait(mark, 1000), TChangeRing::Moved);
    EXPECT_EQ(mark, 2u);

    plat::ScopedFakeClock clock;  // auto-advancing: a 20 s wait costs no real time
    uint32_t start = plat::GetTickCount();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ring.Wait(mark, 20000), TChangeRing::TimedOut);
    EXPECT_GE(plat::TickDiff(plat::GetTickCount(), start), 20000u);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}

TEST(ChangeRing, WaitWakesOnAPushFromAnotherThread) {
    TChangeRing ring;
    ring.Init();
    uint32_t mark = ring.Head();
    std::latch waiting(1);
    auto waiter = std::async(std::launch::async, [&] {
        waiting.count_down();
        return ring.Wait(mark, 60000);
    });
    waiting.wait();
    ring.Push(42);
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), TChangeRing::Moved);
    EXPECT_EQ(mark, 1u);
}
