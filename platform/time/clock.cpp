#include "platform/time/clock.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include <poll.h>

namespace plat {

namespace {
RealClock g_real;
std::atomic<Clock*> g_clock{&g_real};
}  // namespace

Clock& SysClock() {
    return *g_clock.load(std::memory_order_acquire);
}
void SetClock(Clock* clock) {
    g_clock.store(clock ? clock : &g_real, std::memory_order_release);
}

bool Clock::WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk,
                    uint32_t timeout_ms, WaitCondition cond) {
    return cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), cond);
}

bool Clock::WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint32_t since,
                      uint32_t timeout_ms, WaitCondition cond) {
    // Elapsed time by this clock's ticks: each wait runs to the end as they read now.
    for (;;) {
        if (cond()) return true;
        const uint32_t spent = TickDiff(TickCount(), since);
        if (spent >= timeout_ms) return false;
        cv.wait_for(lk, std::chrono::milliseconds(timeout_ms - spent));
    }
}

uint64_t Clock::TickCount64() {
    const int64_t per_ms = std::max<int64_t>(PerfFrequency() / 1000, 1);
    return static_cast<uint64_t>(PerfCounter() / per_ms) + 1;
}

Readiness Clock::WaitReadable(int fd, uint32_t timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<uint32_t>(timeout_ms, INT32_MAX)));
    if (n > 0 && (p.revents & POLLIN)) return Readiness::Readable;
    return n == 0 ? Readiness::TimedOut : Readiness::Failed;
}

uint32_t RealClock::TickCount() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(ms.count());
}

int64_t RealClock::PerfCounter() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint64_t RealClock::UtcNow100ns() {
    // 1601-01-01 to 1970-01-01 in 100 ns units.
    constexpr uint64_t kEpochDelta = 116444736000000000ull;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return kEpochDelta + static_cast<uint64_t>(ns.count() / 100);
}

void RealClock::Sleep(uint32_t ms) {
    if (ms == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

FakeClock::FakeClock(bool auto_advance, uint32_t start_tick, uint64_t start_utc100ns)
    : auto_(auto_advance), tick_(start_tick), tick64_(start_tick + 1ull), utc_(start_utc100ns) {}

void FakeClock::SetTick(uint32_t tick) {
    {
        std::lock_guard<std::mutex> lk(m_);
        tick64_.fetch_add(TickDiff(tick, tick_.exchange(tick)));
    }
    cv_.notify_all();
}

void FakeClock::StepWall(int64_t delta100ns) {
    utc_.fetch_add(static_cast<uint64_t>(delta100ns));
}

void FakeClock::Advance(uint32_t ms) {
    {
        std::lock_guard<std::mutex> lk(m_);
        tick_.fetch_add(ms);
        tick64_.fetch_add(ms);
        perf_ns_.fetch_add(static_cast<int64_t>(ms) * 1000000);
        utc_.fetch_add(static_cast<uint64_t>(ms) * 10000);
    }
    cv_.notify_all();
}

void FakeClock::Sleep(uint32_t ms) {
    if (auto_) {
        Advance(ms);
        std::this_thread::yield();
        return;
    }
    std::unique_lock<std::mutex> lk(m_);
    uint32_t start = tick_.load();
    cv_.wait(lk, [&] { return TickDiff(tick_.load(), start) >= ms; });
}

bool FakeClock::WaitFor(std::condition_variable&, std::unique_lock<std::mutex>& lk,
                        uint32_t timeout_ms, WaitCondition cond) {
    const uint32_t start = TickCount();
    while (!cond()) {
        const uint32_t elapsed = TickDiff(TickCount(), start);
        if (elapsed >= timeout_ms) return false;
        lk.unlock();
        Sleep(std::min<uint32_t>(timeout_ms - elapsed, 10));
        lk.lock();
    }
    return true;
}

bool FakeClock::WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lk,
                          uint32_t since, uint32_t timeout_ms, WaitCondition cond) {
    for (;;) {
        if (cond()) return true;
        if (TickDiff(TickCount(), since) >= timeout_ms) return false;
        cv.wait_for(lk, std::chrono::milliseconds(2));
    }
}

Readiness FakeClock::WaitReadable(int, uint32_t timeout_ms) {
    Sleep(timeout_ms);
    return Readiness::TimedOut;
}

}  // namespace plat
