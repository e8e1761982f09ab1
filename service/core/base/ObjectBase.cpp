#include "service/core/base/ObjectBase.h"

#include <algorithm>

#include "service/core/base/Errors.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

void* TMyInterfacedObject::FindInterface(const IID& iid) {
    if (iid == plat::IID_IUnknown) return static_cast<plat::IUnknown*>(this);
    return nullptr;
}

HRESULT TMyInterfacedObject::QueryInterface(const IID& iid, void** out) {
    if (!out) return plat::E_POINTER;
    *out = FindInterface(iid);
    if (!*out) return plat::E_NOINTERFACE;
    AddRef();
    return plat::S_OK;
}

uint32_t TMyInterfacedObject::AddRef() {
    return static_cast<uint32_t>(ref_count_.fetch_add(1) + 1);
}

uint32_t TMyInterfacedObject::Release() {
    int32_t n = ref_count_.fetch_sub(1) - 1;
    if (n == 0) {
        try {
            Destroy();
        } catch (const std::exception& e) {
            ProtocolExceptionArgs(
                e, "{5839C156-3923-407F-90FA-020CFCEC697A",
                {plat::Variant::Str(std::to_string(reinterpret_cast<uintptr_t>(this))),
                 plat::Variant::I4(n)});
            throw;
        }
    }
    return static_cast<uint32_t>(n);
}

void TMyInterfacedObject::Destroy() {
    if (ref_count_.load() != 0) throw Exception("1A12CDF1-896E-413A-B38B-8419C0643202");
    delete this;
}

// --- TSafeIntfArray ----------------------------------------------------------

TSafeIntfArray::TSafeIntfArray(const std::string& name) : lock_(name + " Sync") {}

TSafeIntfArray::~TSafeIntfArray() {
    std::vector<ComPtr<IRef>> old;
    {
        WriteGuard g(lock_);
        old.swap(items_);
        used_ = 0;
    }
    // References are dropped outside the lock: a destructor may come back to this array.
}

void TSafeIntfArray::Emptied(size_t index) {
    // Only the last used slot moves the end; each empty slot passed here lies above the end
    // afterwards, so it is passed once before Add fills it again.
    if (index + 1 != used_) return;
    while (used_ > 0 && !items_[used_ - 1]) --used_;
}

void TSafeIntfArray::GrowFor(size_t index) {
    if (index >= items_.size()) items_.resize(index + kGrowStep);
}

void TSafeIntfArray::SetAt(int index, ComPtr<IRef> ref) {
    if (index < 0) throw Exception("TSafeIntfArray.SetAt: negative index");
    ComPtr<IRef> old;
    {
        WriteGuard g(lock_);
        const auto i = static_cast<size_t>(index);
        GrowFor(i);
        old = std::exchange(items_[i], std::move(ref));
        if (items_[i])
            used_ = std::max(used_, i + 1);
        else
            Emptied(i);
    }
}

int TSafeIntfArray::Add(ComPtr<IRef> ref) {
    WriteGuard g(lock_);
    const size_t index = used_;
    GrowFor(index);
    items_[index] = std::move(ref);
    if (items_[index]) used_ = index + 1;
    return static_cast<int>(index);
}

ComPtr<IRef> TSafeIntfArray::Extract(int index) {
    WriteGuard g(lock_);
    if (index < 0 || static_cast<size_t>(index) >= items_.size()) return {};
    ComPtr<IRef> out = std::exchange(items_[static_cast<size_t>(index)], nullptr);
    Emptied(static_cast<size_t>(index));
    return out;
}

int TSafeIntfArray::Count() {
    ReadGuard g(lock_);
    return static_cast<int>(used_);
}

bool TSafeIntfArray::Exists(int index) {
    ReadGuard g(lock_);
    return index >= 0 && static_cast<size_t>(index) < items_.size() &&
           items_[static_cast<size_t>(index)];
}

ComPtr<IRef> TSafeIntfArray::Get(int index, TMyInterfacedObject** object) {
    ComPtr<IRef> ref;
    {
        ReadGuard g(lock_);
        if (index >= 0 && static_cast<size_t>(index) < items_.size())
            ref = items_[static_cast<size_t>(index)];
    }
    if (object) *object = ref ? ref->Self() : nullptr;
    return ref;
}

size_t TSafeIntfArray::Capacity() {
    ReadGuard g(lock_);
    return items_.size();
}

}  // namespace drv
