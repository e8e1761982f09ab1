#include "platform/thread/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace plat {

uint32_t CurrentThreadId() {
    thread_local uint32_t tid = static_cast<uint32_t>(::syscall(SYS_gettid));
    return tid;
}

bool SetCurrentThreadPriority(ThreadPriority p, std::string* refusal) {
    if (p == ThreadPriority::Normal) return true;
    static std::atomic<bool> refused_once{false};
    sched_param sp{};
    int policy = SCHED_FIFO;
    int lo = sched_get_priority_min(policy), hi = sched_get_priority_max(policy);
    switch (p) {
        case ThreadPriority::AboveNormal:
            sp.sched_priority = lo;
            break;
        case ThreadPriority::Highest:
            sp.sched_priority = (lo + hi) / 2;
            break;
        default:
            sp.sched_priority = hi - 1;
            break;
    }
    int rc = pthread_setschedparam(pthread_self(), policy, &sp);
    if (rc == 0) return true;
    // Without the capability, a lower nice value is the next best thing; it may fail too.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()), -5) == 0) return true;
    if (refusal && !refused_once.exchange(true))
        *refusal = std::string("thread priority not raised: ") + std::strerror(rc);
    return false;
}

void SetCurrentThreadName(const std::string& name) {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

bool Semaphore::Release(uint32_t n) {
    {
        std::lock_guard<std::mutex> lk(m_);
        if (n > max_ || count_ > max_ - n) return false;
        count_ += n;
    }
    if (n == 1)
        cv_.notify_one();
    else
        cv_.notify_all();
    return true;
}

bool Semaphore::Wait(uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lk(m_);
    if (!WaitFor(cv_, lk, timeout_ms, [&] { return count_ > 0; })) return false;
    --count_;
    return true;
}

void Semaphore::WaitForever() {
    std::unique_lock<std::mutex> lk(m_);
    cv_.wait(lk, [&] { return count_ > 0; });
    --count_;
}

uint32_t Semaphore::Count() {
    std::lock_guard<std::mutex> lk(m_);
    return count_;
}

}  // namespace plat
