// Named reader/writer lock and the process-wide ring of changed item ids.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace drv {

// Reader/writer lock. The writer may re-enter and may also read; a new reader enters
// whenever no writer holds the lock, and every hand-over prefers the waiting readers.
// Waits never give up; they wake every 5000 ms to re-check.
class TSyncLock {
  public:
    TSyncLock() = default;
    explicit TSyncLock(const std::string& name) { Init(name); }
    ~TSyncLock();
    TSyncLock(const TSyncLock&) = delete;
    TSyncLock& operator=(const TSyncLock&) = delete;

    void Init(const std::string& name);
    void Done();

    void BeginRead();
    bool TryBeginRead();
    void EndRead();
    void BeginWrite();
    void EndWrite();

    const std::string& Name() const { return name_; }
    // Inspection for tests and diagnostics.
    uint32_t WriterThread() const { return writer_.load(); }
    int Readers();
    int WaitingReaders();
    int WaitingWriters();
    uint64_t WriteEntries();

    static constexpr size_t kMaxName = 38;
    static constexpr uint32_t kWaitSliceMs = 5000;

  private:
    void HandToNextWriter();

    std::mutex cs_;
    std::condition_variable readers_cv_;
    std::condition_variable writers_cv_;
    bool initialised_ = false;
    std::atomic<uint32_t> writer_{0};
    uint32_t write_start_tick_ = 0;
    uint64_t write_entries_ = 0;
    int readers_ = 0;
    int depth_ = 0;
    int waiting_readers_ = 0;
    int waiting_writers_ = 0;
    // Bumped at each hand-over to the waiting readers; a reader waits for it to move.
    uint64_t reader_grant_ = 0;
    std::string name_;
};

// RAII helpers.
class ReadGuard {
  public:
    explicit ReadGuard(TSyncLock& l) : l_(l) { l_.BeginRead(); }
    ~ReadGuard() { l_.EndRead(); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

  private:
    TSyncLock& l_;
};

class WriteGuard {
  public:
    explicit WriteGuard(TSyncLock& l) : l_(l) { l_.BeginWrite(); }
    ~WriteGuard() { l_.EndWrite(); }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;

  private:
    TSyncLock& l_;
};

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
