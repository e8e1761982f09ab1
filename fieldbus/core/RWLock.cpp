#include "fieldbus/core/RWLock.h"

#include <thread>

#include "fieldbus/core/LogFile.h"
#include "platform/time/clock.h"

namespace mb {

CRWLock::CRWLock(CLogFile* log, std::string owner) : log_(log), owner_(std::move(owner)) {}

void CRWLock::SetOwnerName(std::string name) {
    std::lock_guard<std::mutex> lk(guard_);
    owner_ = std::move(name);
}

std::string CRWLock::OwnerName() const {
    std::lock_guard<std::mutex> lk(guard_);
    return owner_;
}

int32_t CRWLock::State() const {
    std::lock_guard<std::mutex> lk(guard_);
    return state_;
}
int32_t CRWLock::WaitingReaders() const {
    std::lock_guard<std::mutex> lk(guard_);
    return waiting_readers_;
}
int32_t CRWLock::WaitingWriters() const {
    std::lock_guard<std::mutex> lk(guard_);
    return waiting_writers_;
}

// decisions FB-32
bool CRWLock::TryWriteLockSpin() {
    for (int i = 0; i < 64; ++i) {
        {
            std::lock_guard<std::mutex> lk(guard_);
            if (state_ == 0) {
                state_ = -1;
                return true;
            }
            // Someone is already queued for the hand-over: do not overtake it.
            if (waiting_writers_ > 0) return false;
        }
        std::this_thread::yield();
    }
    return false;
}

void CRWLock::WriteLock() {
    {
        std::lock_guard<std::mutex> lk(guard_);
        if (state_ == 0) {
            state_ = -1;
            return;
        }
    }
    if (TryWriteLockSpin()) return;
    // Reports fall on a fixed schedule from the start of the wait, so a late wake-up still
    // gives one line per second waited.
    uint32_t start = 0;
    {
        std::lock_guard<std::mutex> lk(guard_);
        if (state_ == 0) {
            state_ = -1;
            return;
        }
        start = plat::GetTickCount();
        ++waiting_writers_;
    }
    uint32_t next_report = kReportSliceMs;
    for (;;) {
        uint32_t waited = plat::TickDiff(plat::GetTickCount(), start);
        if (waited >= next_report) {
            if (log_ != nullptr)
                log_->Error("Превышение времени ожидания писателя %s", OwnerName().c_str());
            next_report += kReportSliceMs;
            continue;
        }
        // The releaser has already made the state -1 on our behalf.
        if (writers_sem_.Wait(next_report - waited)) return;
    }
}

void CRWLock::ReadLock() {
    {
        std::lock_guard<std::mutex> lk(guard_);
        if (state_ >= 0 && waiting_writers_ == 0) {
            ++state_;
            return;
        }
        ++waiting_readers_;
    }
    readers_sem_.WaitForever();
}

void CRWLock::Unlock() {
    uint32_t wake_readers = 0;
    bool wake_writer = false;
    {
        std::lock_guard<std::mutex> lk(guard_);
        if (state_ > 0) {
            --state_;
        } else if (state_ < 0) {
            ++state_;
        } else {
            // Unbalanced: counting it up would leave a phantom reader that bars every writer.
            // decisions FB-31
            if (log_ != nullptr) log_->Error("CRWLock::Unlock of a free lock %s", owner_.c_str());
            return;
        }
        if (state_ == 0) {
            if (waiting_writers_ > 0) {
                --waiting_writers_;
                state_ = -1;
                wake_writer = true;
            } else if (waiting_readers_ > 0) {
                state_ = waiting_readers_;
                wake_readers = static_cast<uint32_t>(waiting_readers_);
                waiting_readers_ = 0;
            }
        }
    }
    if (wake_writer) writers_sem_.Release(1);
    if (wake_readers > 0) readers_sem_.Release(wake_readers);
}

}  // namespace mb
