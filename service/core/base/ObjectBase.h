// Reference-counted base object, the lock-protected reference array and the id counter.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/com/unknown.h"
#include "service/core/base/SyncLock.h"

namespace drv {

using plat::ComPtr;
using plat::HRESULT;
using plat::IID;

class TMyInterfacedObject;

// Internal interface without an id: yields the object behind a reference.
struct IRef : public virtual plat::IUnknown {
    virtual TMyInterfacedObject* Self() = 0;
};

// Base of every reference-counted object of the service. Objects start with a count of 1
// while they are being built (a reference taken and dropped inside a constructor must not
// destroy them); New<T>() drops that guard reference once the constructor has run.
class TMyInterfacedObject : public IRef {
  public:
    HRESULT QueryInterface(const IID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    TMyInterfacedObject* Self() override { return this; }

    int32_t RefCount() const { return ref_count_.load(); }
    // Destroys the object; refused with an exception while references remain.
    void Destroy();
    // Drops the construction guard; New<T>() calls it.
    void AfterConstruction() { ref_count_.fetch_sub(1); }

    // Live objects of this base in the process (leak checks in tests).
    static int64_t LiveObjects() { return live_.load(); }

  protected:
    TMyInterfacedObject() { live_.fetch_add(1); }
    ~TMyInterfacedObject() override { live_.fetch_sub(1); }
    // Subclasses extend the interface table: answer their own IIDs, then call the base.
    virtual void* FindInterface(const IID& iid);

  private:
    std::atomic<int32_t> ref_count_{1};
    static inline std::atomic<int64_t> live_{0};
};

// Builds a T and hands out the first counted reference.
template <class T, class... Args>
ComPtr<T> New(Args&&... args) {
    T* obj = new T(std::forward<Args>(args)...);
    obj->AfterConstruction();
    return ComPtr<T>(obj);
}

// A named, lock-protected array of references indexed by a small integer.
class TSafeIntfArray {
  public:
    static constexpr size_t kGrowStep = 32;

    explicit TSafeIntfArray(const std::string& name);
    ~TSafeIntfArray();
    TSafeIntfArray(const TSafeIntfArray&) = delete;
    TSafeIntfArray& operator=(const TSafeIntfArray&) = delete;

    void SetAt(int index, ComPtr<IRef> ref);
    int Add(ComPtr<IRef> ref);
    ComPtr<IRef> Extract(int index);
    int Count();
    bool Exists(int index);
    // The caller's own reference and the object behind it; both null when there is none.
    ComPtr<IRef> Get(int index, TMyInterfacedObject** object = nullptr);
    // Typed access to the object in a slot (null when empty or of another class).
    template <class T>
    ComPtr<T> GetAs(int index) {
        TMyInterfacedObject* obj = nullptr;
        ComPtr<IRef> ref = Get(index, &obj);
        return ComPtr<T>(dynamic_cast<T*>(obj));
    }
    // Slot capacity (grows in steps of 32, never shrinks).
    size_t Capacity();
    TSyncLock& Lock() { return lock_; }

  private:
    // After slot `index` was emptied: the used end moves down past the empty slots below it.
    void Emptied(size_t index);
    void GrowFor(size_t index);

    TSyncLock lock_;
    std::vector<ComPtr<IRef>> items_;
    // One past the last non-null slot, kept as slots fill and empty: Count and Add never scan.
    size_t used_ = 0;
};

// Interlocked id counter; the first id is 1.
class TSafeIDGen {
  public:
    int32_t NextID() { return counter_.fetch_add(1) + 1; }
    int32_t Current() const { return counter_.load(); }

  private:
    std::atomic<int32_t> counter_{0};
};

// Frees a plain object and clears the variable; nothing when it is already null.
template <class T>
void FreeAndNilObject(T*& p) {
    T* q = std::exchange(p, nullptr);
    if constexpr (std::is_base_of_v<TMyInterfacedObject, T>) {
        if (q) q->Destroy();
    } else {
        delete q;
    }
}

}  // namespace drv
