// What the parts of TGroup share (private to service/host): task-memory arrays for the
// answers and the tests on values and qualities.
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "platform/com/error.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/variant.h"
#include "service/core/base/SyncLock.h"
#include "service/core/items/ItemTree.h"

namespace drv {

// A task-memory array of n trivially built elements (room for one when n is 0).
template <class T>
inline T* TaskArray(size_t n) {
    void* p = plat::CoTaskMemAlloc((n ? n : 1) * sizeof(T));
    if (!p) throw std::bad_alloc();
    T* a = static_cast<T*>(p);
    for (size_t i = 0; i < n; ++i) new (&a[i]) T();
    return a;
}

// Holds a task-memory array until it is handed out; frees (and destroys) it otherwise.
template <class T>
class TaskHold {
  public:
    explicit TaskHold(size_t n) : p_(TaskArray<T>(n)), n_(n) {}
    ~TaskHold() {
        if (!p_) return;
        for (size_t i = 0; i < n_; ++i) p_[i].~T();
        plat::CoTaskMemFree(p_);
    }
    TaskHold(const TaskHold&) = delete;
    TaskHold& operator=(const TaskHold&) = delete;
    T* Get() const { return p_; }
    T& operator[](size_t i) const { return p_[i]; }
    T* Release() { return std::exchange(p_, nullptr); }

  private:
    T* p_;
    size_t n_;
};

// A copy of `field` taken under `lock`'s read side.
template <class T>
T ReadUnder(TSyncLock& lock, const T& field) {
    ReadGuard g(lock);
    return field;
}

// The checks an array method makes first: both out pointers given (and cleared), a count and
// the in array.
template <class R>
plat::HRESULT CheckArrayCall(R** results, plat::HRESULT** errors, uint32_t count, const void* in) {
    if (!results || !errors) return plat::E_POINTER;
    *results = nullptr;
    *errors = nullptr;
    if (count == 0) return plat::E_INVALIDARG;
    if (!in) return plat::E_POINTER;
    return plat::S_OK;
}

// An entry of any quality but good (top two bits 11) makes the whole answer's quality S_FALSE.
inline bool GoodQuality(uint16_t quality) {
    // decisions HOST-57
    return (quality & 0xC0) == 0xC0;
}

// Whether the leaf's newest sample was made or re-stamped after the tick `since`
// (plat::GetTickCount64): a wall clock stepped back meanwhile must not hide the answer.
// decisions HOST-65
inline bool ReadySince(TLeafItem& leaf, uint64_t since) {
    return leaf.NextSample() > leaf.Shift() && leaf.UpdateTick() > since;
}

// The value types a client may write.
inline bool WritableType(plat::VARTYPE vt) {
    switch (vt) {
        case plat::VT_I2:
        case plat::VT_I4:
        case plat::VT_R4:
        case plat::VT_R8:
        case plat::VT_CY:
        case plat::VT_BSTR:
        case plat::VT_BOOL:
        case plat::VT_I1:
        case plat::VT_UI1:
        case plat::VT_UI2:
        case plat::VT_UI4:
        case plat::VT_I8:
        case plat::VT_UI8:
            return true;
        default:
            return false;
    }
}

}  // namespace drv
