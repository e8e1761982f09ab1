// Logical threads, and the threads waiting for a reply by logical thread.
#include <algorithm>
#include <random>

#include "platform/rpc/internal.h"

namespace plat::rpc {

// --- Logical threads
// -------------------------------------------------------------------------------

namespace {

uint64_t Rotl(uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

// SipHash-2-4 of one 64-bit word: a keyed function whose outputs tell nothing of the key, so a
// peer that sees some logical-thread tags cannot work out another one.
uint64_t SipHash(const uint64_t key[2], uint64_t m) {
    uint64_t v0 = key[0] ^ 0x736f6d6570736575ull, v1 = key[1] ^ 0x646f72616e646f6dull;
    uint64_t v2 = key[0] ^ 0x6c7967656e657261ull, v3 = key[1] ^ 0x7465646279746573ull;
    auto round = [&] {
        v0 += v1, v1 = Rotl(v1, 13), v1 ^= v0, v0 = Rotl(v0, 32);
        v2 += v3, v3 = Rotl(v3, 16), v3 ^= v2;
        v0 += v3, v3 = Rotl(v3, 21), v3 ^= v0;
        v2 += v1, v1 = Rotl(v1, 17), v1 ^= v2, v2 = Rotl(v2, 32);
    };
    const uint64_t b = uint64_t{8} << 56;
    v3 ^= m, round(), round(), v0 ^= m;
    v3 ^= b, round(), round(), v0 ^= b;
    v2 ^= 0xff;
    round(), round(), round(), round();
    return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace

constinit thread_local uint64_t t_causality = 0;

uint64_t NewCausality() {
    static const auto* key = [] {
        auto* k = new uint64_t[2];
        std::random_device rd;  // the kernel's random source
        k[0] = (uint64_t{rd()} << 32) ^ rd();
        k[1] = (uint64_t{rd()} << 32) ^ rd();
        return k;
    }();
    static std::atomic<uint64_t> counter{0};
    uint64_t c = SipHash(key, counter.fetch_add(1, std::memory_order_relaxed));
    return c ? c : 1;
}

WaiterRegistry& WaiterRegistry::Get() {
    static auto* r = new WaiterRegistry;
    return *r;
}

void WaiterRegistry::Push(uint64_t c, Waiter* w) {
    std::lock_guard lk(m_);
    by_causality_[c].push_back(w);
}

void WaiterRegistry::Pop(uint64_t c, Waiter* w) {
    std::deque<Incoming> left;
    {
        std::lock_guard lk(m_);
        auto it = by_causality_.find(c);
        if (it != by_causality_.end()) {
            std::erase(it->second, w);
            if (it->second.empty()) by_causality_.erase(it);
        }
        std::lock_guard wl(w->m);
        left.swap(w->incoming);
    }
    for (Incoming& in : left) Pool::Get().Submit(std::move(in));
}

bool WaiterRegistry::TryDeliver(Incoming& in) {
    std::lock_guard lk(m_);
    auto it = by_causality_.find(in.hdr.causality);
    if (it == by_causality_.end() || it->second.empty()) return false;
    // The innermost call of this logical thread on the request's connection; its thread
    // waits in its own innermost call, which serves the request.
    const Connection* from = in.conn.get();
    auto& stack = it->second;
    auto on = std::find_if(stack.rbegin(), stack.rend(),
                           [&](const Waiter* w) { return w->conn == from; });
    if (on == stack.rend()) return false;
    const std::thread::id thread = (*on)->thread;
    Waiter* w =
        *std::find_if(stack.rbegin(), on + 1, [&](const Waiter* x) { return x->thread == thread; });
    std::lock_guard wl(w->m);
    w->incoming.push_back(std::move(in));
    w->signalled.store(true, std::memory_order_release);
    w->cv.notify_one();
    return true;
}

}  // namespace plat::rpc
