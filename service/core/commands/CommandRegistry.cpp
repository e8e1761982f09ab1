#include "service/core/commands/CommandRegistry.h"

#include <atomic>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/com/callcontext.h"
#include "platform/time/clock.h"
#include "platform/types/hresult.h"
#include "service/core/base/ChangeRing.h"
#include "service/core/base/Errors.h"
#include "service/core/base/SyncLock.h"
#include "service/core/logs/ProtocolLog.h"

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
    // The client the entry counts against (its slot + 1, 0: none) and the neighbours in that
    // client's list, oldest issue first (table index + 1, 0: none).
    uint32_t client;
    uint32_t prev, next;
};

// What one client holds: its entries in the order they were issued to it.
struct Client {
    std::string key;
    uint32_t held = 0;
    uint32_t head = 0, tail = 0;  // table index + 1
};

// Fixed for the process's life: issuing, completing and querying never allocate (only a
// client's first entry makes its slot).
Entry g_table[kCmdCount];
// Written under the write lock; CmdSetResult peeks at it without the lock.
std::atomic<int32_t> g_last{0};
TSyncLock g_lock;
bool g_lock_live = false;
// Clients that hold entries, under the write lock. A slot lives while its client holds any.
std::vector<Client> g_clients;
std::vector<uint32_t> g_free_clients;
std::unordered_map<std::string, uint32_t> g_client_slot;

uint32_t IndexOf(int32_t id) {
    return static_cast<uint32_t>(id - kCmdBegin);
}

Entry& At(int32_t id) {
    return g_table[IndexOf(id)];
}

// The entry no longer counts against its client. Write lock held.
void Uncharge(uint32_t n) {
    Entry& e = g_table[n];
    if (e.client == 0) return;
    const uint32_t slot = e.client - 1;
    Client& c = g_clients[slot];
    if (e.prev)
        g_table[e.prev - 1].next = e.next;
    else
        c.head = e.next;
    if (e.next)
        g_table[e.next - 1].prev = e.prev;
    else
        c.tail = e.prev;
    e.client = e.prev = e.next = 0;
    if (--c.held == 0) {
        g_client_slot.erase(c.key);
        c = Client{};
        g_free_clients.push_back(slot);
    }
}

void Charge(uint32_t n, uint32_t slot) {
    Entry& e = g_table[n];
    Client& c = g_clients[slot];
    e.client = slot + 1;
    e.prev = c.tail;
    e.next = 0;
    if (c.tail)
        g_table[c.tail - 1].next = n + 1;
    else
        c.head = n + 1;
    c.tail = n + 1;
    ++c.held;
}

// Entries issued more than two time-outs ago may be taken back (a result comes within the
// time-out, and is kept one time-out longer): they no longer count. Write lock held.
void ForgetOldEntries(uint32_t slot, uint32_t now) {
    while (g_clients[slot].held != 0) {
        const uint32_t n = g_clients[slot].head - 1;
        if (plat::TickDiff(now, g_table[n].start_tick) <= 2 * kCmdTimeoutMs) return;
        Uncharge(n);  // may free the slot: the loop then ends on held == 0
    }
}

// The key of the calling client: the peer its call came from (a local process, or a TCP
// connection); empty for a caller that is not counted (the service's own process).
std::string ClientKey() {
    const plat::CallContext& ctx = plat::GetCallContext();
    return ctx.transported ? ctx.peer : std::string();
}

// The client's slot, made when it holds nothing yet. Write lock held.
uint32_t SlotFor(const std::string& key) {
    if (auto it = g_client_slot.find(key); it != g_client_slot.end()) return it->second;
    uint32_t slot;
    if (!g_free_clients.empty()) {
        slot = g_free_clients.back();
        g_free_clients.pop_back();
    } else {
        slot = static_cast<uint32_t>(g_clients.size());
        g_clients.emplace_back();
    }
    g_clients[slot].key = key;
    g_client_slot.emplace(key, slot);
    return slot;
}

// True when the client holds its whole share; its entries old enough to be taken back are
// forgotten first. Write lock held.
bool AtShare(const std::string& key, uint32_t now) {
    auto it = g_client_slot.find(key);
    if (it == g_client_slot.end()) return false;
    const uint32_t slot = it->second;
    ForgetOldEntries(slot, now);
    // decisions CORE-11
    return g_clients[slot].key == key && g_clients[slot].held >= kCmdClientShare;
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
    g_clients.clear();
    g_free_clients.clear();
    g_client_slot.clear();
    g_last.store(0);
    g_lock.Init(kLockName);
    g_lock_live = true;
}

void CmdRegistryDone() {
    if (!g_lock_live) return;
    g_lock_live = false;
    g_lock.Done();
}

// decisions CORE-9
TCmdID CmdNewID() {
    try {
        WriteGuard wg(g_lock);
        int32_t last = g_last.load(std::memory_order_relaxed);
        if (last < kCmdBegin) last = kCmdBegin;
        const int32_t start = last;
        const uint32_t now = plat::GetTickCount();
        // A client at its share is answered before anything is looked at, so one client
        // cannot take the entries every other client needs.
        const std::string key = ClientKey();
        if (!key.empty() && AtShare(key, now)) return plat::E_OUTOFMEMORY;
        // Failed and timed-out commands keep their entries; when nothing else is free the one
        // that finished longest ago (and at least a time-out ago) is taken back, so failures
        // cannot use up the table for good.
        int32_t oldest = 0;
        int64_t oldest_ago = kCmdTimeoutMs;
        auto issue = [&](int32_t id) {
            Entry& e = At(id);
            // A taken-back entry stops counting against the client it was issued to before.
            Uncharge(IndexOf(id));
            e.status = kCmdPending;
            e.start_tick = now;
            e.issued = 1;
            if (!key.empty()) Charge(IndexOf(id), SlotFor(key));
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
            // A command completed with 0 frees its entry at once.
            if (result == 0) Uncharge(IndexOf(id));
        }
    }
    ChangeRing().Push(TChangeRing::kCommandMarker);
}

// decisions CORE-10
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

// decisions CORE-12
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
