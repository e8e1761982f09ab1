// Reference-counted interfaces. Interfaces derive virtually from IUnknown so that one object
// implementing several interfaces has one count and one QueryInterface.
#pragma once
#include <cstdint>
#include <utility>

#include "platform/types/guid.h"
#include "platform/types/hresult.h"

namespace plat {

struct IUnknown {
    static const IID& GetIID();
    virtual HRESULT QueryInterface(const IID& iid, void** out) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

  protected:
    virtual ~IUnknown() = default;
};

inline const IID IID_IUnknown = GuidOf("{00000000-0000-0000-C000-000000000046}");
inline const IID& IUnknown::GetIID() {
    return IID_IUnknown;
}

// Intrusive smart pointer for anything with AddRef/Release.
template <class T>
class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference.
    ComPtr(T* p) : p_(p) {
        if (p_) p_->AddRef();
    }
    ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <class U>
    ComPtr(const ComPtr<U>& o) : ComPtr(static_cast<T*>(o.Get())) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& o) {
        ComPtr(o).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& o) noexcept {
        ComPtr(std::move(o)).Swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) {
        Reset();
        return *this;
    }

    // Adopts a reference the caller already owns.
    static ComPtr Attach(T* p) {
        ComPtr r;
        r.p_ = p;
        return r;
    }
    // Hands the reference to the caller.
    T* Detach() { return std::exchange(p_, nullptr); }
    void Reset() {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    void Swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    bool operator==(const ComPtr& o) const { return p_ == o.p_; }
    bool operator==(std::nullptr_t) const { return p_ == nullptr; }

  private:
    T* p_ = nullptr;
};

// QueryInterface into a typed pointer; Q declares `static const IID& GetIID()`.
template <class Q>
ComPtr<Q> QueryAs(IUnknown* unk) {
    void* out = nullptr;
    if (!unk || Failed(unk->QueryInterface(Q::GetIID(), &out)) || !out) return {};
    return ComPtr<Q>::Attach(static_cast<Q*>(out));
}

}  // namespace plat
