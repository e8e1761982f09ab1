#include "fieldbus/core/WriteQueue.h"

#include <exception>
#include <new>

#include "fieldbus/core/LogFile.h"

namespace mb {

bool IsCopyableType(plat::VARTYPE vt) {
    switch (vt) {
        case plat::VT_EMPTY:
        case plat::VT_NULL:
        case plat::VT_I1:
        case plat::VT_I2:
        case plat::VT_I4:
        case plat::VT_I8:
        case plat::VT_UI1:
        case plat::VT_UI2:
        case plat::VT_UI4:
        case plat::VT_UI8:
        case plat::VT_INT:
        case plat::VT_UINT:
        case plat::VT_R4:
        case plat::VT_R8:
        case plat::VT_CY:
        case plat::VT_DATE:
        case plat::VT_BSTR:
        case plat::VT_BOOL:
        case plat::VT_ERROR:
            return true;
        default:
            return false;
    }
}

CWriteQueue::CWriteQueue(const HostCallbacks* host, CLogFile* log, std::string owner)
    : lock_(log, std::move(owner)), host_(host), log_(log) {}

plat::HRESULT CWriteQueue::Push(CDeviceItem* item, const plat::Variant& value, int32_t& id) {
    id = 0;
    // A value that cannot be copied is refused before an id is taken: an empty value would be
    // written to the device as if the client had sent it.
    plat::HRESULT hr = plat::S_OK;
    plat::Variant copy;
    if (!IsCopyableType(value.vt)) {
        hr = plat::DISP_E_BADVARTYPE;
    } else {
        try {
            copy = value;
        } catch (const std::bad_alloc&) {
            hr = plat::E_OUTOFMEMORY;
        }
    }
    if (plat::Failed(hr)) {
        if (log_ != nullptr)
            log_->Warning("{954EF75E-0273-4c6d-BE7F-3072E88BA78C} %X", static_cast<unsigned>(hr));
        return hr;
    }
    {
        CWriteGuard g(lock_);
        if (entries_.size() + reserved_ >= kMaxEntries) {
            if (log_ != nullptr) log_->Warning("write queue full %s", lock_.OwnerName().c_str());
            return plat::E_OUTOFMEMORY;
        }
        // The place is kept while the host gives the id, so a full queue still refuses before
        // one is taken.
        ++reserved_;
    }
    // The host is asked with the lock free: its command registry has locks of its own, and the
    // bus thread (or another client) must not wait behind them.
    int32_t new_id = 0;
    // Without an id nobody could ever collect the write's result.
    const bool got =
        host_.Lacks(&HostCallbacks::pCmdNewID) ||
        host_.CmdNewID(new_id, log_, "{D3971E7B-AAB1-4e06-94CC-CB7955B2C093} pCmdNewID");
    bool queued = false;
    {
        CWriteGuard g(lock_);
        --reserved_;
        // A failure code instead of an id is the host's refusal (its registry is full, or the
        // caller holds its share): the write is answered with it and not queued.
        if (got && new_id >= 0) {
            try {
                entries_.push_back(Entry{item, std::move(copy), new_id});
                queued = true;
            } catch (const std::bad_alloc&) {
            }
        }
    }
    if (!got) return plat::E_FAIL;
    if (new_id < 0) return new_id;
    if (!queued) {
        host_.CmdSetResult(new_id, plat::E_OUTOFMEMORY, log_);
        return plat::E_OUTOFMEMORY;
    }
    id = new_id;
    return plat::S_OK;
}

bool CWriteQueue::Pop(CDeviceItem*& item, plat::Variant& value, int32_t& id) {
    CWriteGuard g(lock_);
    if (entries_.empty()) return false;
    Entry& e = entries_.front();
    item = e.item;
    value = std::move(e.value);
    id = e.id;
    entries_.pop_front();
    return true;
}

bool CWriteQueue::TakeForVariable(CDeviceItem* item, plat::Variant& value, int32_t& id,
                                  std::vector<int32_t>& superseded) {
    CWriteGuard g(lock_);
    bool found = false;
    // Newest to oldest: the newest value wins.
    for (size_t i = entries_.size(); i-- > 0;) {
        Entry& e = entries_[i];
        if (e.item != item) continue;
        if (!found) {
            value = std::move(e.value);
            superseded.push_back(id);
            id = e.id;
            found = true;
        } else {
            superseded.push_back(e.id);
        }
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return found;
}

size_t CWriteQueue::FailAll(int32_t result) {
    std::deque<Entry> taken;
    {
        CWriteGuard g(lock_);
        taken.swap(entries_);
    }
    for (const Entry& e : taken) host_.CmdSetResult(e.id, result, log_);
    return taken.size();
}

bool CWriteQueue::PeekOldest(CDeviceItem*& item) {
    CWriteGuard g(lock_);
    if (entries_.empty()) return false;
    item = entries_.front().item;
    return true;
}

size_t CWriteQueue::GetCount() {
    CWriteGuard g(lock_);
    return entries_.size();
}

}  // namespace mb
