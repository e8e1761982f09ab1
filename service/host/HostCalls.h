// What the host's client-facing objects share (private to service/host): the guard around each
// method a client calls, and the release of an object's slot in its list.
#pragma once
#include <cstddef>
#include <new>
#include <utility>

#include "platform/com/error.h"
#include "service/core/base/ObjectBase.h"
#include "service/core/base/SyncLock.h"

namespace drv {

// How a method reports running out of memory: the OPC objects return E_OUTOFMEMORY alone, the
// station also sets the error text, as for every other exception.
enum class OutOfMemoryText { kNone, kSet };

// An exception becomes the method's failing HRESULT with its text.
template <class F>
// decisions HOST-64
plat::HRESULT SafeCall(OutOfMemoryText oom, F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        if (oom == OutOfMemoryText::kNone) return plat::E_OUTOFMEMORY;
        return plat::HresultFromCurrentException();
    } catch (...) {
        return plat::HresultFromCurrentException();
    }
}
template <class F>
plat::HRESULT SafeCall(F&& body) {
    return SafeCall(OutOfMemoryText::kNone, std::forward<F>(body));
}

// Clears `self`'s slot `index` in `list` (a `lock` and its `slots`) when the list holds the
// last reference. The object is released outside the lock: its destructor ends its thread.
template <class List, class Object>
void ReleaseListSlot(List& list, int index, Object* self) {
    ComPtr<IRef> taken;
    {
        WriteGuard g(list.lock);
        if (index < 0 || static_cast<size_t>(index) >= list.slots.size()) return;
        ComPtr<IRef>& slot = list.slots[static_cast<size_t>(index)];
        // Compared by address only: when the slot no longer holds us we may be gone already.
        if (!slot || slot->Self() != static_cast<TMyInterfacedObject*>(self)) return;
        if (self->RefCount() != 1) return;
        taken = std::move(slot);
    }
}

}  // namespace drv
