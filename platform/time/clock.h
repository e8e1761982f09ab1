// One replaceable clock for the whole process, so that long time-outs are testable with a fake.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <type_traits>

namespace plat {

// A wait's condition: any callable returning bool, seen through a reference (the callable must
// outlive the wait, as a lambda argument does), so that a wait takes one without allocating.
class WaitCondition {
  public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, WaitCondition>>>
    WaitCondition(F&& f)  // NOLINT(google-explicit-constructor): lambdas convert at the call
        : obj_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o) { return static_cast<bool>((*static_cast<std::decay_t<F>*>(o))()); }) {}
    bool operator()() const { return call_(obj_); }

  private:
    void* obj_;
    bool (*call_)(void*);
};

// How a wait for input on a descriptor ended.
enum class Readiness {
    Readable,  // input is there
    TimedOut,  // nothing came within the wait
    Failed,    // the descriptor reported an error or hang-up (or the wait was interrupted) at once
};

class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start; wraps at 2^32. Compare with TickDiff only.
    virtual uint32_t TickCount() = 0;
    // Milliseconds on the same monotonic clock, never wrapping and never 0: the measure of
    // "how long ago" for times kept longer than a time-out. Wall clock steps and zone changes
    // do not move it. By default from PerfCounter.
    // decisions PLAT-TIME-2
    virtual uint64_t TickCount64();
    // Monotonic high-resolution counter and its frequency (counts per second).
    virtual int64_t PerfCounter() = 0;
    virtual int64_t PerfFrequency() = 0;
    // UTC as 100 ns units since 1601-01-01 (FILETIME scale).
    virtual uint64_t UtcNow100ns() = 0;
    virtual void Sleep(uint32_t ms) = 0;

    // The waiter's own time-out: waits on `cv` until `cond` holds or `timeout_ms` have passed;
    // returns cond(). A fake clock polls the condition, sleeping through the clock between
    // looks, so that the time-out passes as a sleep would (at once when it advances by itself).
    // decisions PLAT-TIME-1
    virtual bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk,
                         uint32_t timeout_ms, WaitCondition cond);
    // Waiting on others: waits on `cv` until `cond` holds or `timeout_ms` have passed since the
    // tick `since`; returns cond(). The wait never moves the clock: a fake one is watched in
    // short real slices, so that a notification ends the wait as promptly as a test's move of
    // time.
    virtual bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lk,
                           uint32_t since, uint32_t timeout_ms, WaitCondition cond);
    // Up to `timeout_ms` for input on `fd` (a negative one only waits). A fake clock cannot see
    // input arrive in its time: it sleeps the whole wait and reports TimedOut.
    virtual Readiness WaitReadable(int fd, uint32_t timeout_ms);
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
inline uint64_t GetTickCount64() {
    return SysClock().TickCount64();
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
// otherwise Sleep blocks until Advance has moved time past its deadline. StepWall moves the
// wall clock (UTC) alone, as an operator's or NTP's correction does.
class FakeClock final : public Clock {
  public:
    explicit FakeClock(bool auto_advance = true, uint32_t start_tick = 1000,
                       uint64_t start_utc100ns = 133'000'000'000'000'000ull);
    uint32_t TickCount() override { return tick_.load(); }
    uint64_t TickCount64() override { return tick64_.load(); }
    int64_t PerfCounter() override { return perf_ns_.load(); }
    int64_t PerfFrequency() override { return 1000000000; }
    uint64_t UtcNow100ns() override { return utc_.load(); }
    void Sleep(uint32_t ms) override;
    bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint32_t timeout_ms,
                 WaitCondition cond) override;
    bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint32_t since,
                   uint32_t timeout_ms, WaitCondition cond) override;
    Readiness WaitReadable(int fd, uint32_t timeout_ms) override;

    void Advance(uint32_t ms);
    // Moves the 32-bit tick to `tick`; the 64-bit count moves forward by as much.
    void SetTick(uint32_t tick);
    // Steps the wall clock by delta (100 ns units, either way); the ticks stay.
    void StepWall(int64_t delta100ns);

  private:
    bool auto_;
    std::atomic<uint32_t> tick_;
    std::atomic<uint64_t> tick64_;
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
