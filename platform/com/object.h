// A ready-made IUnknown for objects that implement a fixed set of interfaces.
#pragma once
#include <atomic>
#include <cstdint>
#include <utility>

#include "platform/com/unknown.h"

namespace plat {

// Implements IUnknown for the listed interfaces: one atomic count, QueryInterface answers
// IUnknown and the IID of every listed interface. A base interface answers only when it is
// listed too (ComObject<INorvaltEventsEx, INorvaltEvents>); listing it costs nothing because
// interfaces are inherited virtually. The object is deleted when the count falls to 0; it
// starts at 0, so hand it to a ComPtr at once (MakeCom).
template <class... Is>
class ComObject : public virtual Is... {
  public:
    HRESULT QueryInterface(const IID& iid, void** out) override {
        if (!out) return E_POINTER;
        *out = FindInterface(iid);
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    uint32_t AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    uint32_t Release() override {
        uint32_t n = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (n == 0) delete this;
        return n;
    }
    // The count as it stands (tests and diagnostics).
    uint32_t RefCount() const { return refs_.load(std::memory_order_acquire); }

  protected:
    ComObject() = default;
    ~ComObject() override = default;
    // Extend to answer further IIDs (tear-offs, private interfaces); call the base last.
    virtual void* FindInterface(const IID& iid) {
        if (iid == IID_IUnknown) return static_cast<IUnknown*>(this);
        void* p = nullptr;
        ((p == nullptr && iid == Is::GetIID() ? void(p = static_cast<Is*>(this)) : void()), ...);
        return p;
    }

  private:
    std::atomic<uint32_t> refs_{0};
};

// Builds a T and hands out its first reference.
template <class T, class... Args>
ComPtr<T> MakeCom(Args&&... args) {
    return ComPtr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace plat
