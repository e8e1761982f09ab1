#include "platform/types/cotaskmem.h"

#include <atomic>
#include <cstdlib>

namespace plat {

namespace {
std::atomic<size_t> g_live{0};
std::atomic<size_t> g_limit{0x7FFFFFFF};
}  // namespace

void* CoTaskMemAlloc(size_t cb) {
    if (cb > g_limit.load(std::memory_order_relaxed)) return nullptr;
    void* p = std::malloc(cb == 0 ? 1 : cb);
    if (p) g_live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void CoTaskMemFree(void* pv) {
    if (!pv) return;
    std::free(pv);
    g_live.fetch_sub(1, std::memory_order_relaxed);
}

void* CoTaskMemRealloc(void* pv, size_t cb) {
    if (!pv) return CoTaskMemAlloc(cb);
    if (cb == 0) {
        CoTaskMemFree(pv);
        return nullptr;
    }
    if (cb > g_limit.load(std::memory_order_relaxed)) return nullptr;
    return std::realloc(pv, cb);  // the block count is unchanged either way
}

size_t CoTaskMemLiveBlocks() {
    return g_live.load(std::memory_order_relaxed);
}

size_t CoTaskMemSetLimit(size_t max_cb) {
    return g_limit.exchange(max_cb);
}

}  // namespace plat
