// A device's write queue under load: 4 host threads push while the bus thread pops, against
// the plain alternative of a mutex around a deque. Both take ids from the same counter.
#include <benchmark/benchmark.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "fieldbus/core/WriteQueue.h"

namespace {

constexpr int kPushers = 4;
constexpr int kEach = 20000;

struct Plain {
    struct Entry {
        mb::CDeviceItem* item;
        plat::Variant value;
        int32_t id;
    };
    std::mutex m;
    std::deque<Entry> q;
    bool Push(mb::CDeviceItem* item, const plat::Variant& v, int32_t id) {
        std::lock_guard<std::mutex> lk(m);
        q.push_back(Entry{item, v, id});
        return true;
    }
    bool Pop(mb::CDeviceItem*& item, plat::Variant& v, int32_t& id) {
        std::lock_guard<std::mutex> lk(m);
        if (q.empty()) return false;
        item = q.front().item;
        v = std::move(q.front().value);
        id = q.front().id;
        q.pop_front();
        return true;
    }
};

template <class PushFn, class PopFn>
void Run(PushFn push, PopFn pop) {
    std::atomic<int> pushers_left{kPushers};
    std::thread bus([&] {
        mb::CDeviceItem* item = nullptr;
        plat::Variant v;
        int32_t id = 0;
        long got = 0;
        while (got < long(kPushers) * kEach) {
            if (pop(item, v, id))
                ++got;
            else
                std::this_thread::yield();
        }
    });
    std::vector<std::thread> hosts;
    for (int t = 0; t < kPushers; ++t)
        hosts.emplace_back([&] {
            for (int i = 0; i < kEach;) {
                if (push(plat::Variant::I4(i)))
                    ++i;
                else
                    std::this_thread::yield();
            }
            --pushers_left;
        });
    for (auto& h : hosts) h.join();
    bus.join();
}

std::atomic<int32_t> g_bench_ids{0};

void BM_WriteQueuePushPop(benchmark::State& state) {
    mb::HostCallbacks host;
    host.pCmdNewID = [] { return ++g_bench_ids; };
    mb::CWriteQueue q(&host, nullptr, "bench");
    for (auto _ : state) {
        Run(
            [&](const plat::Variant& v) {
                int32_t id = 0;
                return q.Push(nullptr, v, id) == plat::S_OK;
            },
            [&](mb::CDeviceItem*& item, plat::Variant& v, int32_t& id) {
                return q.Pop(item, v, id);
            });
    }
    state.SetItemsProcessed(state.iterations() * kPushers * kEach);
}
BENCHMARK(BM_WriteQueuePushPop)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MutexDequePushPop(benchmark::State& state) {
    std::atomic<int32_t> ids{0};
    std::function<int32_t()> new_id = [&] { return ++ids; };
    Plain q;
    for (auto _ : state) {
        Run([&](const plat::Variant& v) { return q.Push(nullptr, v, new_id()); },
            [&](mb::CDeviceItem*& item, plat::Variant& v, int32_t& id) {
                return q.Pop(item, v, id);
            });
    }
    state.SetItemsProcessed(state.iterations() * kPushers * kEach);
}
BENCHMARK(BM_MutexDequePushPop)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
