// One replaceable clock for the whole process, so that long time-outs are testable with a fake.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace plat {

class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start; wraps at 2^32. Compare with TickDiff only.
    virtual uint32_t TickCount() = 0;
    // Monotonic high-resolution counter and its frequency (counts per second).
    virtual int64_t PerfCounter() = 0;
    virtual int64_t PerfFrequency() = 0;
    // UTC as 100 ns units since 1601-01-01 (FILETIME scale).
    virtual uint64_t UtcNow100ns() = 0;
    virtual void Sleep(uint32_t ms) = 0;
    // True when time moves only as a test says; waits must then poll the clock.
    virtual bool IsFake() const { return false; }
};

// The process's clock (the real one unless a test installed another).
Clock& SysClock();
// Installs a clock; nullptr restores the real one. Not thread-safe against running users:
// tests install before starting threads.
void SetClock(Clock* clock);

// Unsigned difference, safe across the 32-bit wrap.
inline uint32_t TickDiff(uint32_t later, uint32_t earlier) {
    return later - earlier;
}

inline uint32_t GetTickCount() {
    return SysClock().TickCount();
}
inline void Sleep(uint32_t ms) {
    SysClock().Sleep(ms);
}

class RealClock final : public Clock {
  public:
    uint32_t TickCount() override;
    int64_t PerfCounter() override;
    int64_t PerfFrequency() override { return 1000000000; }
    uint64_t UtcNow100ns() override;
    void Sleep(uint32_t ms) override;
};

// Test clock. In auto-advance mode Sleep moves time forward by the slept amount at once;
// otherwise Sleep blocks until Advance has moved time past its deadline.
class FakeClock final : public Clock {
  public:
    explicit FakeClock(bool auto_advance = true, uint32_t start_tick = 1000,
                       uint64_t start_utc100ns = 133'000'000'000'000'000ull);
    uint32_t TickCount() override { return tick_.load(); }
    int64_t PerfCounter() override { return perf_ns_.load(); }
    int64_t PerfFrequency() override { return 1000000000; }
    uint64_t UtcNow100ns() override { return utc_.load(); }
    void Sleep(uint32_t ms) override;
    bool IsFake() const override { return true; }

    void Advance(uint32_t ms);
    void SetTick(uint32_t tick) { tick_.store(tick); }

  private:
    bool auto_;
    std::atomic<uint32_t> tick_;
    std::atomic<int64_t> perf_ns_{0};
    std::atomic<uint64_t> utc_;
    std::mutex m_;
    std::condition_variable cv_;
};

// Installs a fake clock for a scope.
class ScopedFakeClock {
  public:
    explicit ScopedFakeClock(bool auto_advance = true) : clock_(auto_advance) { SetClock(&clock_); }
    ~ScopedFakeClock() { SetClock(nullptr); }
    FakeClock& operator*() { return clock_; }
    FakeClock* operator->() { return &clock_; }

  private:
    FakeClock clock_;
};

}  // namespace plat
