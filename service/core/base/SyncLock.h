// Named reader/writer lock, with its read and write guards. The ring of changed item ids is in
// ChangeRing.h.
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

}  // namespace drv
