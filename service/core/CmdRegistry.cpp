#include "service/core/CmdRegistry.h"

#include <atomic>
#include <cstring>

#include "platform/time/clock.h"
#include "platform/types/hresult.h"
#include "service/core/Errors.h"
#include "service/core/MySync.h"
#include "service/core/TxtProt.h"

namespace drv {

namespace {

constexpr const char* kLockName = "8A1452F2-3647-4F12-A92E-35436613A486";
constexpr const char* kTagNewID = "158B7BE3-9CE5-4469-9E24-D37016428DE7";
constexpr const char* kTagBadID = "A7A1C48C-602B-4525-B3A7-08F15D1CA4AA";

struct Entry {
    int32_t status;
    uint32_t start_tick;
    // When the command completed or timed out; read only for a final status.
    uint32_t end_tick;
    // Zero until the entry is first issued: such an id answers as unknown, not as success.
    uint8_t issued;
};

// Fixed for the process's life: issuing, completing and querying never allocate.
Entry g_table[kCmdCount];
// Written under the write lock; CmdSetResult peeks at it without the lock.
std::atomic<int32_t> g_last{0};
TSyncLock g_lock;
bool g_lock_live = false;

Entry& At(int32_t id) {
    return g_table[static_cast<uint32_t>(id - kCmdBegin)];
}

bool Expired(const Entry& e, uint32_t now) {
    return plat::TickDiff(now, e.start_tick) > kCmdTimeoutMs;
}

// A pending entry past its time-out becomes -7; true when it did. Write lock held.
bool ExpireLocked(Entry& e, uint32_t now) {
    if (e.status != kCmdPending || !Expired(e, now)) return false;
    e.status = tlb::E_CANCELLED;
    e.end_tick = e.start_tick + kCmdTimeoutMs;
    return true;
}

// How long ago a taken entry finished, or -1 while it may still get a result (pending and not
// yet past its time-out). Write lock held.
int64_t FinishedAgo(const Entry& e, uint32_t now) {
    if (e.status == kCmdPending) {
        if (!Expired(e, now)) return -1;
        return int64_t{plat::TickDiff(now, e.start_tick)} - kCmdTimeoutMs;
    }
    return plat::TickDiff(now, e.end_tick);
}

// The entry's status; for a pending entry past its time-out the entry becomes -7 and -1 is
// returned. `notify` pushes the wake-up marker for the other waiters.
int32_t ReadStatus(int32_t id, bool notify) {
    Entry& e = At(id);
    int32_t status;
    {
        ReadGuard rg(g_lock);
        if (!e.issued) return kCmdUnknown;
        status = e.status;
        if (status != kCmdPending || !Expired(e, plat::GetTickCount())) return status;
    }
    bool changed = false;
    {
        WriteGuard wg(g_lock);
        changed = ExpireLocked(e, plat::GetTickCount());
    }
    if (changed && notify) ChangeRing().Push(TChangeRing::kCommandMarker);
    return tlb::E_TIMEOUT;
}

}  // namespace

void CmdRegistryInit() {
    if (g_lock_live) g_lock.Done();
    std::memset(g_table, 0, sizeof g_table);
    g_last.store(0);
    g_lock.Init(kLockName);
    g_lock_live = true;
}

void CmdRegistryDone() {
    if (!g_lock_live) return;
    g_lock_live = false;
    g_lock.Done();
}

TCmdID CmdNewID() {
    try {
        WriteGuard wg(g_lock);
        int32_t last = g_last.load(std::memory_order_relaxed);
        if (last < kCmdBegin) last = kCmdBegin;
        const int32_t start = last;
        const uint32_t now = plat::GetTickCount();
        // Failed and timed-out commands keep their entries; when nothing else is free the one
        // that finished longest ago (and at least a time-out ago) is taken back, so failures
        // cannot use up the table for good.
        int32_t oldest = 0;
        int64_t oldest_ago = kCmdTimeoutMs;
        auto issue = [&](int32_t id) {
            Entry& e = At(id);
            e.status = kCmdPending;
            e.start_tick = now;
            e.issued = 1;
            g_last.store(id, std::memory_order_relaxed);
            return id;
        };
        do {
            last = last == kCmdEnd ? kCmdBegin : last + 1;
            Entry& e = At(last);
            if (!e.issued || e.status == 0) return issue(last);
            if (int64_t ago = FinishedAgo(e, now); ago > oldest_ago) {
                oldest = last;
                oldest_ago = ago;
            }
        } while (last != start);
        if (oldest != 0) return issue(oldest);
        return plat::E_OUTOFMEMORY;
    } catch (...) {
        ProtocolCurrentException(kTagNewID);
        throw;
    }
}

void CmdSetResult(TCmdID id, int32_t result) {
    if (g_last.load(std::memory_order_relaxed) < kCmdBegin) return;
    if (!IsCmdID(id)) {
        WriteProtocolLine(kTagBadID, PL_CRITICAL);
        throw Exception("Bad CmdID");
    }
    {
        WriteGuard wg(g_lock);
        Entry& e = At(id);
        if (e.status == kCmdPending) {
            e.status = result;
            e.end_tick = plat::GetTickCount();
        }
    }
    ChangeRing().Push(TChangeRing::kCommandMarker);
}

int32_t CmdQuery(int32_t value) {
    if (!IsCmdID(value)) return value;
    int32_t status = ReadStatus(value, true);
    return status == kCmdPending ? value : status;
}

bool CmdIsPending(int32_t& value) {
    value = CmdQuery(value);
    return IsCmdID(value);
}

int32_t CmdWait(int32_t value) {
    if (!IsCmdID(value)) return value;
    // The mark is taken before the first look, so a completion in between is not missed.
    uint32_t mark = ChangeRing().Head();
    for (;;) {
        int32_t status = ReadStatus(value, false);
        if (status != kCmdPending) return status;
        ChangeRing().Wait(mark, kCmdWaitSliceMs);
    }
}

bool CmdIsDead(int32_t value) {
    if (!IsCmdID(value)) return true;
    // The age counts even when no client has asked yet: an expired command must not run.
    const int32_t status = ReadStatus(value, true);
    return status == tlb::E_CANCELLED || status == tlb::E_TIMEOUT || status == kCmdUnknown;
}

}  // namespace drv

extern "C" void CmdSetResultC(int32_t id, int32_t result) noexcept {
    try {
        drv::CmdSetResult(id, result);
    } catch (...) {
        try {
            drv::ProtocolCurrentException("CmdSetResultC");
        } catch (...) {
        }
    }
}
