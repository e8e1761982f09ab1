// Threads, waits and counting semaphores.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/time/clock.h"

namespace plat {

// Kernel thread id of the caller (never 0); what logs and lock owners record.
uint32_t CurrentThreadId();

// Thread priorities, best effort: where the scheduler refuses, the first refusal is reported
// through the returned text once per process and the thread runs at normal priority.
enum class ThreadPriority { Normal, AboveNormal, Highest, TimeCritical };
bool SetCurrentThreadPriority(ThreadPriority p, std::string* refusal = nullptr);
void SetCurrentThreadName(const std::string& name);

// Waits on `cv` until `pred` holds or `timeout_ms` of the process clock has passed (a fake
// clock lets the time-out pass as a sleep). Returns pred().
template <class Pred>
bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint32_t timeout_ms,
             Pred pred) {
    return SysClock().WaitFor(cv, lk, timeout_ms, pred);
}

// Counting semaphore with a maximum, as the service's hand-overs expect.
class Semaphore {
  public:
    Semaphore(uint32_t initial, uint32_t maximum) : count_(initial), max_(maximum) {}
    // False (and nothing released) when the count would pass the maximum.
    bool Release(uint32_t n = 1);
    // True when a unit was taken before the time-out.
    bool Wait(uint32_t timeout_ms);
    void WaitForever();
    uint32_t Count();

  private:
    std::mutex m_;
    std::condition_variable cv_;
    uint32_t count_;
    uint32_t max_;
};

}  // namespace plat
