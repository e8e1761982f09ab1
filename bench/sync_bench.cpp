// Acquire/release of the named lock and push/read of the change ring, alone and contended.
#include <benchmark/benchmark.h>

#include "service/core/base/ChangeRing.h"
#include "service/core/base/SyncLock.h"

namespace {

drv::TSyncLock g_lock("bench");
drv::TChangeRing g_ring;

void BM_LockRead(benchmark::State& state) {
    for (auto _ : state) {
        g_lock.BeginRead();
        g_lock.EndRead();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LockRead)->Threads(1)->Threads(4)->Threads(8)->UseRealTime();

void BM_LockWrite(benchmark::State& state) {
    for (auto _ : state) {
        g_lock.BeginWrite();
        g_lock.EndWrite();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LockWrite)->Threads(1)->Threads(4)->Threads(8)->UseRealTime();

// Seven readers to one writer, the item tree's usual mix.
void BM_LockMixed(benchmark::State& state) {
    bool writer = state.thread_index() == 0;
    for (auto _ : state) {
        if (writer) {
            g_lock.BeginWrite();
            g_lock.EndWrite();
        } else {
            g_lock.BeginRead();
            g_lock.EndRead();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LockMixed)->Threads(8)->UseRealTime();

void BM_RingPush(benchmark::State& state) {
    if (state.thread_index() == 0) g_ring.Init();
    int32_t v = 0;
    for (auto _ : state) g_ring.Push(v++);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RingPush)->Threads(1)->Threads(4)->UseRealTime();

// One pusher, the rest reading with their own cursors.
void BM_RingPushRead(benchmark::State& state) {
    if (state.thread_index() == 0) g_ring.Init();
    uint32_t cursor = 0;
    int32_t value = 0;
    int32_t v = 0;
    for (auto _ : state) {
        if (state.thread_index() == 0) {
            g_ring.Push(v++);
        } else {
            int r = g_ring.Read(cursor, value);
            if (r == drv::TChangeRing::Value) ++cursor;
            benchmark::DoNotOptimize(value);
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RingPushRead)->Threads(2)->Threads(8)->UseRealTime();

}  // namespace
