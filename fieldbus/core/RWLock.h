// Reader/writer lock of a device's write queue. Writers go first: once a writer waits, no new
// reader enters, and a leaving holder hands the lock to a waiting writer before any reader.
// A waiting writer never gives up; it reports every second it waits to the log.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/thread/thread.h"

namespace mb {

class CLogFile;

class CRWLock {
  public:
    // `log` may be null; `owner` names the lock in the wait reports.
    explicit CRWLock(CLogFile* log = nullptr, std::string owner = {});
    CRWLock(const CRWLock&) = delete;
    CRWLock& operator=(const CRWLock&) = delete;

    void WriteLock();
    void ReadLock();
    // Leaves whichever side the caller holds. An unlock of a free lock changes nothing.
    void Unlock();

    void SetOwnerName(std::string name);
    std::string OwnerName() const;

    // > 0 readers inside, -1 a writer inside, 0 free.
    int32_t State() const;
    int32_t WaitingReaders() const;
    int32_t WaitingWriters() const;

    static constexpr uint32_t kReportSliceMs = 1000;

  private:
    // Brief spin before sleeping: queue operations are short, and a sleep-and-handover per
    // collision would cost far more than the operation.
    bool TryWriteLockSpin();

    CLogFile* log_;
    mutable std::mutex guard_;
    std::string owner_;
    plat::Semaphore readers_sem_{0, 0x7FFFFFFF};
    plat::Semaphore writers_sem_{0, 0x7FFFFFFF};
    int32_t waiting_readers_ = 0;
    int32_t waiting_writers_ = 0;
    int32_t state_ = 0;
};

// Holds the writer side for a scope.
class CWriteGuard {
  public:
    explicit CWriteGuard(CRWLock& lock) : lock_(lock) { lock_.WriteLock(); }
    ~CWriteGuard() { lock_.Unlock(); }
    CWriteGuard(const CWriteGuard&) = delete;
    CWriteGuard& operator=(const CWriteGuard&) = delete;

  private:
    CRWLock& lock_;
};

}  // namespace mb
