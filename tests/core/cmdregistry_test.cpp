#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/com/callcontext.h"
#include "platform/registry/registry.h"
#include "platform/time/clock.h"
#include "service/core/base/ChangeRing.h"
#include "service/core/base/Errors.h"
#include "service/core/base/SyncLock.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/logs/ProtocolLog.h"
#include "tests/support/TempRoot.h"

using namespace drv;
using namespace std::chrono_literals;

namespace {

constexpr int32_t kFull = static_cast<int32_t>(0x8007000Eu);

class CmdRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ChangeRing().Init();
        CmdRegistryInit();
    }
    void TearDown() override { CmdRegistryDone(); }

    // Issues ids until the registry is full; returns how many were issued.
    static uint32_t IssueUntilFull() {
        uint32_t n = 0;
        while (CmdNewID() != kFull) ++n;
        return n;
    }
};

std::mutex g_hook_mutex;
std::vector<std::pair<std::string, int>> g_hooked;
void RecordHook(const std::string& text, int level) {
    std::lock_guard<std::mutex> lk(g_hook_mutex);
    g_hooked.emplace_back(text, level);
}

}  // namespace

TEST_F(CmdRegistryTest, IssuesRoundRobinWrapsAndReportsFull) {
    EXPECT_EQ(CmdNewID(), 0x7FFF0001);
    EXPECT_EQ(CmdNewID(), 0x7FFF0002);
    for (int32_t want = 0x7FFF0003; want != kCmdBegin;) {
        ASSERT_EQ(CmdNewID(), want);
        want = want == kCmdEnd ? kCmdBegin : want + 1;
    }
    // After 0x7FFFFFFF the next candidate is the first entry.
    EXPECT_EQ(CmdNewID(), kCmdBegin);

    // All 65536 entries pending: full, and the refusal changes nothing.
    EXPECT_EQ(CmdNewID(), kFull);
    EXPECT_EQ(CmdNewID(), kFull);
    EXPECT_EQ(CmdQuery(0x7FFF1234), 0x7FFF1234);

    // A result of 0 frees the entry; it is the only one, so it comes back at once.
    CmdSetResult(0x7FFF1234, 0);
    EXPECT_EQ(CmdNewID(), 0x7FFF1234);
    // Any other result keeps the entry taken.
    CmdSetResult(0x7FFF1234, 42);
    EXPECT_EQ(CmdNewID(), kFull);
    EXPECT_EQ(CmdQuery(0x7FFF1234), 42);
}

TEST_F(CmdRegistryTest, AFreedIdReturnsOnlyAfterAFullRound) {
    const TCmdID first = CmdNewID();
    ASSERT_EQ(first, 0x7FFF0001);
    CmdSetResult(first, 0);
    EXPECT_EQ(CmdQuery(first), 0);
    // Not reused next: the search goes on from the last issued id.
    EXPECT_EQ(CmdNewID(), 0x7FFF0002);
    // 0x7FFF0003..0x7FFFFFFF and 0x7FFF0000 come before it again.
    for (uint32_t i = 0; i < kCmdCount - 2; ++i) ASSERT_NE(CmdNewID(), first) << i;
    EXPECT_EQ(CmdNewID(), first);
    EXPECT_EQ(CmdNewID(), kFull);
}

TEST_F(CmdRegistryTest, ConcurrentIssuesAreUnique) {
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::vector<TCmdID>> got(kThreads);
    std::latch go(kThreads);
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([&, t] {
            go.arrive_and_wait();
            for (int i = 0; i < kEach; ++i) got[t].push_back(CmdNewID());
        });
    for (auto& t : ts) t.join();
    std::set<TCmdID> all;
    for (auto& v : got)
        for (TCmdID id : v) {
            EXPECT_TRUE(IsCmdID(id));
            all.insert(id);
        }
    EXPECT_EQ(all.size(), size_t{kThreads * kEach});
}

TEST_F(CmdRegistryTest, PendingCommandTimesOutAfter20sAndDropsALateResult) {
    plat::ScopedFakeClock clock(false);
    clock->SetTick(0xFFFFF000u);  // the time-out spans the tick's wrap
    const TCmdID id = CmdNewID();
    int32_t v = id;
    EXPECT_TRUE(CmdIsPending(v));
    EXPECT_EQ(v, id);
    EXPECT_FALSE(CmdIsDead(id));

    clock->Advance(20000);
    EXPECT_EQ(CmdQuery(id), id) << "exactly 20000 ms is not yet a time-out";

    const uint32_t head = ChangeRing().Head();
    clock->Advance(1);
    EXPECT_EQ(CmdQuery(id), tlb::E_TIMEOUT);
    // The entry now holds -7, and the time-out woke the waiters once.
    EXPECT_EQ(CmdQuery(id), tlb::E_CANCELLED);
    EXPECT_TRUE(CmdIsDead(id));
    ASSERT_EQ(ChangeRing().Head(), head + 1);
    uint32_t cursor = head;
    int32_t pushed = 0;
    ASSERT_EQ(ChangeRing().Read(cursor, pushed), TChangeRing::Value);
    EXPECT_EQ(pushed, TChangeRing::kCommandMarker);

    // A result after the time-out is dropped, but still wakes waiters.
    CmdSetResult(id, 0);
    EXPECT_EQ(CmdQuery(id), tlb::E_CANCELLED);
    EXPECT_EQ(ChangeRing().Head(), head + 2);
    v = id;
    EXPECT_FALSE(CmdIsPending(v));
    EXPECT_EQ(v, tlb::E_CANCELLED);
    // Timed out is taken for good: it is not issued again.
    EXPECT_NE(CmdNewID(), id);
}

TEST_F(CmdRegistryTest, ValuesOutsideTheRangeAreFinalResults) {
    for (int32_t v : {-3, 0, 1, kCmdBegin - 1, static_cast<int32_t>(0x80000000u), kFull}) {
        EXPECT_EQ(CmdQuery(v), v);
        EXPECT_EQ(CmdWait(v), v);
        EXPECT_TRUE(CmdIsDead(v));
        int32_t w = v;
        EXPECT_FALSE(CmdIsPending(w));
        EXPECT_EQ(w, v);
    }
}

TEST_F(CmdRegistryTest, FirstResultWinsAndDeadMeansCancelledOrTimeout) {
    const TCmdID a = CmdNewID(), b = CmdNewID(), c = CmdNewID();
    const uint32_t head = ChangeRing().Head();
    CmdSetResult(a, 42);
    CmdSetResult(a, 7);  // the command already completed: ignored
    CmdSetResult(b, tlb::E_TIMEOUT);
    CmdSetResult(c, tlb::E_CANCELLED);
    EXPECT_EQ(ChangeRing().Head(), head + 4) << "every completion wakes waiters";
    EXPECT_EQ(CmdQuery(a), 42);
    EXPECT_FALSE(CmdIsDead(a));
    EXPECT_TRUE(CmdIsDead(b));
    EXPECT_TRUE(CmdIsDead(c));
    EXPECT_EQ(CmdWait(a), 42);
}

TEST_F(CmdRegistryTest, BadIdIsIgnoredBeforeTheFirstIssueAndRaisedAfter) {
    testsupport::TempRoot root;
    ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, "\\Software\\Norvalt\\Drv",
                                     "Parameters", "PROTOCOL=0"),
              plat::ERROR_SUCCESS);
    InitProtocol("\\Software\\Norvalt\\Drv", "Parameters");
    SetProtocolHook(RecordHook);
    {
        std::lock_guard<std::mutex> lk(g_hook_mutex);
        g_hooked.clear();
    }

    const uint32_t head = ChangeRing().Head();
    EXPECT_NO_THROW(CmdSetResult(5, 0));
    EXPECT_NO_THROW(CmdSetResult(0x7FFF0001, 3));
    EXPECT_EQ(ChangeRing().Head(), head) << "nothing at all happens before the first issue";

    const TCmdID id = CmdNewID();
    EXPECT_EQ(CmdQuery(id), id) << "the early result must not have been stored";
    try {
        CmdSetResult(5, 0);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Bad CmdID");
    }
    // The C entry point swallows it and leaves the table alone.
    CmdSetResultC(5, 0);
    CmdSetResultC(-1, 0);
    EXPECT_EQ(CmdQuery(id), id);
    CmdSetResultC(id, 9);
    EXPECT_EQ(CmdQuery(id), 9);

    SetProtocolHook(nullptr);
    DoneProtocol();
    std::lock_guard<std::mutex> lk(g_hook_mutex);
    int tagged = 0;
    for (auto& [text, level] : g_hooked)
        if (text.ends_with(":A7A1C48C-602B-4525-B3A7-08F15D1CA4AA")) {
            ++tagged;
            EXPECT_EQ(level, PL_CRITICAL);
        }
    EXPECT_EQ(tagged, 3);
}

TEST_F(CmdRegistryTest, WaitIsWokenByACompletionFromAnotherThread) {
    const TCmdID id = CmdNewID();
    std::latch started(1);
    auto waiter = std::async(std::launch::async, [&] {
        started.count_down();
        return CmdWait(id);
    });
    started.wait();
    // Neither the wait itself nor an unrelated ring entry ends it.
    EXPECT_EQ(waiter.wait_for(50ms), std::future_status::timeout);
    ChangeRing().Push(17);
    EXPECT_EQ(waiter.wait_for(50ms), std::future_status::timeout);

    std::thread worker([&] { CmdSetResult(id, 1234); });
    worker.join();
    // Well within the 10 s recheck: the completion's wake-up ended the wait.
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 1234);
}

TEST_F(CmdRegistryTest, WaitTimesOutOnFakeTime) {
    plat::ScopedFakeClock clock;  // every sleep advances time at once
    const TCmdID id = CmdNewID();
    const uint32_t t0 = plat::GetTickCount();
    const uint32_t head = ChangeRing().Head();
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(CmdWait(id), tlb::E_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_GT(plat::TickDiff(plat::GetTickCount(), t0), kCmdTimeoutMs);
    EXPECT_EQ(CmdQuery(id), tlb::E_CANCELLED);
    EXPECT_EQ(ChangeRing().Head(), head) << "a time-out found by a waiter is not pushed";
}

TEST_F(CmdRegistryTest, FailedCommandsDoNotExhaustTheTable) {
    plat::ScopedFakeClock clock(false);
    clock->SetTick(0xFFFF0000u);  // the ages span the tick's wrap
    for (uint32_t i = 0; i < kCmdCount; ++i) ASSERT_TRUE(IsCmdID(CmdNewID()));
    ASSERT_EQ(CmdNewID(), kFull);

    // Every command fails (a field-bus port that refuses writes); one of them earlier, and
    // one is never answered at all.
    constexpr TCmdID kEarly = 0x7FFF0100, kSilent = 0x7FFF0005;
    clock->Advance(500);
    CmdSetResult(kEarly, 1117);
    clock->Advance(500);
    for (int32_t id = kCmdBegin;; ++id) {
        if (id != kEarly && id != kSilent) CmdSetResult(id, 1117);
        if (id == kCmdEnd) break;
    }
    EXPECT_EQ(CmdQuery(kEarly), 1117);

    // Finished within the last 20 s: the results are still kept for their clients.
    clock->Advance(19500);
    EXPECT_EQ(CmdNewID(), kFull);
    EXPECT_EQ(CmdQuery(kEarly), 1117);

    // The earliest failure is the first entry to be taken back, and it is pending again.
    clock->Advance(1);
    EXPECT_EQ(CmdNewID(), kEarly);
    EXPECT_EQ(CmdQuery(kEarly), kEarly);
    EXPECT_FALSE(CmdIsDead(kEarly));
    EXPECT_EQ(CmdNewID(), kFull) << "the others finished 500 ms later";
    clock->Advance(500);
    const TCmdID next = CmdNewID();
    EXPECT_TRUE(IsCmdID(next));
    EXPECT_NE(next, kSilent) << "the unanswered one timed out later than the failures";
    CmdSetResult(next, 1117);
    EXPECT_EQ(CmdQuery(next), 1117) << "a reissued entry takes its new result";
}

TEST_F(CmdRegistryTest, UnansweredCommandIsTakenBackTwentySecondsAfterItsTimeOut) {
    plat::ScopedFakeClock clock(false);
    for (uint32_t i = 0; i < kCmdCount; ++i) ASSERT_TRUE(IsCmdID(CmdNewID()));
    constexpr TCmdID kSilent = 0x7FFF0005;
    // Nobody answers kSilent (and nobody asks); the rest fail after it timed out.
    clock->Advance(30000);
    for (int32_t id = kCmdBegin;; ++id) {
        if (id != kSilent) CmdSetResult(id, 1117);
        if (id == kCmdEnd) break;
    }
    clock->Advance(9999);  // kSilent timed out 19999 ms ago, the others failed 9999 ms ago
    EXPECT_EQ(CmdNewID(), kFull);
    clock->Advance(2);
    EXPECT_EQ(CmdNewID(), kSilent);
    EXPECT_EQ(CmdQuery(kSilent), kSilent);
    EXPECT_EQ(CmdNewID(), kFull);
}

TEST_F(CmdRegistryTest, IdNeverIssuedIsUnknownNotSuccess) {
    EXPECT_EQ(CmdQuery(0x7FFF0005), kCmdUnknown);
    const TCmdID a = CmdNewID(), b = CmdNewID();
    CmdSetResult(a, 0);
    EXPECT_EQ(CmdQuery(a), 0) << "success is kept for the client until the entry is reissued";
    EXPECT_EQ(CmdQuery(b), b);
    for (int32_t never : {0x7FFF0005, kCmdEnd, kCmdBegin}) {
        EXPECT_EQ(CmdQuery(never), kCmdUnknown) << never;
        EXPECT_EQ(CmdWait(never), kCmdUnknown) << never;
        EXPECT_TRUE(CmdIsDead(never)) << never;
        int32_t v = never;
        EXPECT_FALSE(CmdIsPending(v));
    }
    // A late result for an id nobody was given changes nothing.
    CmdSetResult(0x7FFF0005, 3);
    EXPECT_EQ(CmdQuery(0x7FFF0005), kCmdUnknown);
}

// Each client of the transport holds at most its share of the table: beyond it that client is
// refused at once, while other clients and the service itself are still served.
TEST_F(CmdRegistryTest, OneClientCannotTakeTheIdsOthersNeed) {
    plat::ScopedFakeClock clock(false);
    plat::CallContext flooder;
    flooder.transported = true;
    flooder.peer = "unix:pid=7 uid=1000";
    plat::CallContext other = flooder;
    other.peer = "unix:pid=8 uid=1000";
    std::vector<TCmdID> held;
    {
        plat::CallContextScope in(flooder);
        for (uint32_t i = 0; i < kCmdCount; ++i) {
            const TCmdID id = CmdNewID();
            if (!IsCmdID(id)) break;
            held.push_back(id);
        }
        ASSERT_EQ(held.size(), kCmdClientShare);
        EXPECT_EQ(CmdNewID(), kFull);
        // Success frees the entry at once; a failure keeps it while its result is kept.
        CmdSetResult(held[0], 0);
        EXPECT_TRUE(IsCmdID(CmdNewID()));
        CmdSetResult(held[1], 1117);
        EXPECT_EQ(CmdNewID(), kFull);
    }
    {
        plat::CallContextScope in(other);
        EXPECT_TRUE(IsCmdID(CmdNewID())) << "another client is served";
    }
    EXPECT_TRUE(IsCmdID(CmdNewID())) << "and so is the service itself";
    // Two time-outs after issue every entry may be taken back: the share is free again.
    clock->Advance(2 * kCmdTimeoutMs + 1);
    plat::CallContextScope in(flooder);
    EXPECT_TRUE(IsCmdID(CmdNewID()));
}
