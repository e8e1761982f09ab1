#include "service/core/base/SyncLock.h"

#include <cstring>

#include "platform/thread/thread.h"
#include "platform/time/clock.h"
#include "service/core/base/Errors.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {

constexpr const char* kTagInit = "C633B62B-F521-40A5-B3FE-80B0D1196A7B";
constexpr const char* kTagDone = "6FA3230F-542F-4333-9FA4-E44F2F5E7FA4";
constexpr const char* kTagEndRead = "C5FCFF21-BB8D-41C4-B6FC-60440C334953";
// decisions CORE-2
constexpr const char* kTagBeginWrite = "5EB9F4CB-7E99-4750-9D12-9CD90F942DC6";
// decisions CORE-3
constexpr const char* kTagEndWrite = "D537B8B3-1740-483D-A293-E8ED69C25576";

// Runs `body`; an escaping exception is logged at level 3 under `tag` and passed on.
template <class F>
auto Logged(const char* tag, F&& body) {
    try {
        return body();
    } catch (...) {
        ProtocolCurrentException(tag);
        throw;
    }
}

const auto kSlice = std::chrono::milliseconds(TSyncLock::kWaitSliceMs);

}  // namespace

TSyncLock::~TSyncLock() {
    if (!initialised_) return;
    try {
        Done();
    } catch (...) {
        // Already logged by Done; a destructor must not throw.
    }
}

void TSyncLock::Init(const std::string& name) {
    Logged(kTagInit, [&] {
        std::lock_guard<std::mutex> lk(cs_);
        if (initialised_) throw Exception("46B8CBBC-2B1B-4E55-9EDC-45AF6A56A1F4");
        initialised_ = true;
        name_ = name.substr(0, kMaxName);
    });
}

void TSyncLock::Done() {
    Logged(kTagDone, [&] {
        std::lock_guard<std::mutex> lk(cs_);
        if (!initialised_) throw Exception("81FA761D-8E97-48AA-A63E-F589E9B7664E");
        uint32_t w = writer_.load();
        if (w != 0 && w != plat::CurrentThreadId())
            throw Exception("522AF905-E461-4571-81AA-2444057CA262 " + name_ +
                            " ThrID:" + std::to_string(w));
        initialised_ = false;
        writer_ = 0;
        write_start_tick_ = 0;
        write_entries_ = 0;
        readers_ = depth_ = waiting_readers_ = waiting_writers_ = 0;
        name_.clear();
    });
}

void TSyncLock::BeginRead() {
    const uint32_t me = plat::CurrentThreadId();
    std::unique_lock<std::mutex> lk(cs_);
    uint32_t w = writer_.load(std::memory_order_relaxed);
    if (w == 0 || w == me) {
        ++readers_;
        return;
    }
    ++waiting_readers_;
    const uint64_t grant = reader_grant_;
    // The releasing thread counts us in before it wakes us.
    while (reader_grant_ == grant) readers_cv_.wait_for(lk, kSlice);
}

bool TSyncLock::TryBeginRead() {
    const uint32_t me = plat::CurrentThreadId();
    std::lock_guard<std::mutex> lk(cs_);
    uint32_t w = writer_.load(std::memory_order_relaxed);
    if (w != 0 && w != me) return false;
    ++readers_;
    return true;
}

void TSyncLock::EndRead() {
    Logged(kTagEndRead, [&] {
        std::lock_guard<std::mutex> lk(cs_);
        if (readers_ <= 0) throw Exception("EndRead without BeginRead: " + name_);
        --readers_;
        if (depth_ != 0) return;
        if (readers_ == 0 && waiting_writers_ > 0) {
            HandToNextWriter();
        } else if (waiting_readers_ > 0) {
            readers_ += waiting_readers_;
            waiting_readers_ = 0;
            ++reader_grant_;
            readers_cv_.notify_all();
        }
    });
}

void TSyncLock::BeginWrite() {
    Logged(kTagBeginWrite, [&] {
        const uint32_t me = plat::CurrentThreadId();
        std::unique_lock<std::mutex> lk(cs_);
        uint32_t w = writer_.load(std::memory_order_relaxed);
        // The writer re-enters even while it also holds read access.
        if (w == me) {
            ++depth_;
            ++write_entries_;
            return;
        }
        if (readers_ == 0 && w == 0) {
            writer_ = me;
            depth_ = 1;
            ++write_entries_;
            write_start_tick_ = plat::GetTickCount() | 1;
            return;
        }
        ++waiting_writers_;
        // Woken writers compete with newcomers instead of being handed the lock while they
        // sleep: a hand-over to a sleeping thread stalls everybody until it is scheduled.
        while (!(readers_ == 0 && writer_.load(std::memory_order_relaxed) == 0))
            writers_cv_.wait_for(lk, kSlice);
        --waiting_writers_;
        writer_ = me;
        depth_ = 1;
        ++write_entries_;
        write_start_tick_ = plat::GetTickCount() | 1;
    });
}

void TSyncLock::EndWrite() {
    Logged(kTagEndWrite, [&] {
        const uint32_t me = plat::CurrentThreadId();
        std::lock_guard<std::mutex> lk(cs_);
        if (writer_.load(std::memory_order_relaxed) != me || depth_ <= 0)
            throw Exception("EndWrite by a thread that does not hold the write lock: " + name_);
        if (--depth_ != 0) return;
        writer_ = 0;
        write_start_tick_ = 0;
        if (waiting_readers_ > 0) {
            readers_ += waiting_readers_;
            waiting_readers_ = 0;
            ++reader_grant_;
            readers_cv_.notify_all();
        } else if (readers_ == 0 && waiting_writers_ > 0) {
            HandToNextWriter();
        }
    });
}

// decisions CORE-1
void TSyncLock::HandToNextWriter() {
    writers_cv_.notify_one();
}

int TSyncLock::Readers() {
    std::lock_guard<std::mutex> lk(cs_);
    return readers_;
}
int TSyncLock::WaitingReaders() {
    std::lock_guard<std::mutex> lk(cs_);
    return waiting_readers_;
}
int TSyncLock::WaitingWriters() {
    std::lock_guard<std::mutex> lk(cs_);
    return waiting_writers_;
}
uint64_t TSyncLock::WriteEntries() {
    std::lock_guard<std::mutex> lk(cs_);
    return write_entries_;
}

}  // namespace drv
