// The item store: writes that host threads queue for a device and its bus thread executes,
// oldest first. Every operation holds the writer side of the queue's lock throughout, but
// never while calling the host.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "fieldbus/core/HostCalls.h"
#include "fieldbus/core/RWLock.h"
#include "platform/types/hresult.h"
#include "platform/types/variant.h"

namespace mb {

class CLogFile;
class CDeviceItem;

// Result of a write the device could not run because it went away.
inline constexpr int32_t kResultDeviceOffline = HostCode(WriteResult::kOffline);

class CWriteQueue {
  public:
    // Writes one device may hold at once; further ones are refused.
    static constexpr size_t kMaxEntries = 1024;

    // Neither `host` nor `log` is owned; both may be null and must outlive the queue. A host
    // without pCmdNewID gives every write the id 0.
    CWriteQueue(const HostCallbacks* host, CLogFile* log, std::string owner = {});
    CWriteQueue(const CWriteQueue&) = delete;
    CWriteQueue& operator=(const CWriteQueue&) = delete;

    // Queues a copy of `value` under a new command id. A value that cannot be copied
    // (DISP_E_BADVARTYPE), a full queue (E_OUTOFMEMORY), a host that gives no id (E_FAIL) or
    // a failure code instead of one (returned as it is) queues nothing; only S_OK sets `id`.
    plat::HRESULT Push(CDeviceItem* item, const plat::Variant& value, int32_t& id);
    // Takes the oldest write.
    bool Pop(CDeviceItem*& item, plat::Variant& value, int32_t& id);
    // Folds the queued writes of `item` into the one being executed: the newest queued value
    // and its id replace `value` and `id`, and every superseded id (the caller's among them)
    // is appended to `superseded` rather than answered, so that it can get the result of the
    // write that actually runs. False when nothing of `item` was queued.
    bool TakeForVariable(CDeviceItem* item, plat::Variant& value, int32_t& id,
                         std::vector<int32_t>& superseded);
    // Empties the queue and answers every write in it with `result` (oldest first).
    size_t FailAll(int32_t result);
    // The item of the oldest write; false when empty.
    bool PeekOldest(CDeviceItem*& item);
    size_t GetCount();
    bool IsNotEmpty() { return GetCount() != 0; }

    CRWLock& Lock() { return lock_; }

  private:
    struct Entry {
        CDeviceItem* item;
        plat::Variant value;
        int32_t id;
    };

    CRWLock lock_;
    const CHostCalls host_;
    CLogFile* log_;
    std::deque<Entry> entries_;  // back = newest, front = oldest
    // Places kept for writes whose id the host is giving (Push).
    size_t reserved_ = 0;
};

// VARTYPEs a queued value may carry; anything else fails to copy.
bool IsCopyableType(plat::VARTYPE vt);

}  // namespace mb
