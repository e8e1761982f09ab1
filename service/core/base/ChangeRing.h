// The process-wide ring of changed item ids, by which the item tree wakes the event threads of
// the stations and the OPC groups.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace drv {

// Ring of the last 4096 pushed values (item ids, or the command-completion marker -2).
// Readers keep their own cursors; a push never blocks on them.
class TChangeRing {
  public:
    static constexpr uint32_t kSize = 4096;
    static constexpr uint32_t kMask = kSize - 1;
    static constexpr int32_t kCommandMarker = -2;

    enum ReadResult { Overrun = 0, Value = 1, Nothing = 2 };
    enum WaitResult { Moved = 0, TimedOut = 1 };

    void Init();
    void Done();

    void Push(int32_t value);
    // 0 when the ring has moved past `mark` (mark is updated), 1 on time-out.
    int Wait(uint32_t& mark, uint32_t timeout_ms);
    // 2 nothing new, 0 overrun (cursor set to head), 1 value (cursor not advanced).
    int Read(uint32_t& cursor, int32_t& value);
    uint32_t Head();

  private:
    std::mutex cs_;
    std::condition_variable cv_;
    uint32_t head_ = 0;
    int32_t slots_[kSize] = {};
};

// The process-wide ring; lives from the item tree's start to its end.
TChangeRing& ChangeRing();

}  // namespace drv
