#include "service/core/base/ChangeRing.h"

#include <cstring>

#include "platform/thread/thread.h"

namespace drv {

void TChangeRing::Init() {
    std::lock_guard<std::mutex> lk(cs_);
    head_ = 0;
    std::memset(slots_, 0, sizeof slots_);
}

void TChangeRing::Done() {
    // Wake anybody still waiting so that shutdown does not hang on a time-out.
    cv_.notify_all();
}

void TChangeRing::Push(int32_t value) {
    {
        std::lock_guard<std::mutex> lk(cs_);
        slots_[head_ & kMask] = value;
        ++head_;
    }
    cv_.notify_all();
}

int TChangeRing::Wait(uint32_t& mark, uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lk(cs_);
    if (head_ != mark) {
        mark = head_;
        return Moved;
    }
    const uint32_t old = mark;
    if (!plat::WaitFor(cv_, lk, timeout_ms, [&] { return head_ != old; })) return TimedOut;
    mark = old + 1;
    return Moved;
}

int TChangeRing::Read(uint32_t& cursor, int32_t& value) {
    std::lock_guard<std::mutex> lk(cs_);
    uint32_t d = head_ - cursor;
    if (d == 0) return Nothing;
    if (d > kSize) {
        cursor = head_;
        return Overrun;
    }
    value = slots_[cursor & kMask];
    return Value;
}

uint32_t TChangeRing::Head() {
    std::lock_guard<std::mutex> lk(cs_);
    return head_;
}

TChangeRing& ChangeRing() {
    static TChangeRing ring;
    return ring;
}

}  // namespace drv
