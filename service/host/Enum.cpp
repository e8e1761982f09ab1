#include "service/host/Enum.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/types/cotaskmem.h"

namespace drv {

char16_t* WideToTaskMem(const std::u16string& text) {
    auto* p = static_cast<char16_t*>(plat::CoTaskMemAlloc((text.size() + 1) * sizeof(char16_t)));
    if (!p) return nullptr;
    std::copy(text.begin(), text.end(), p);
    p[text.size()] = u'\0';
    return p;
}

// --- cursor -------------------------------------------------------------------------------------

HRESULT TEnumCursor::CheckNext(uint32_t celt, const void* rgelt, const uint32_t* pceltFetched) {
    if (celt < 1) return kEnumRangeError;
    if (!rgelt) return plat::E_POINTER;
    // decisions HOST-39
    if (!pceltFetched && celt != 1) return plat::E_INVALIDARG;
    return plat::S_OK;
}

void TEnumCursor::Take(uint32_t celt, size_t& first, size_t& n) {
    std::lock_guard lk(m_);
    first = pos_;
    n = std::min<size_t>(celt, count_ - pos_);
    pos_ += n;
}

void TEnumCursor::GiveBack(size_t n) {
    std::lock_guard lk(m_);
    pos_ -= std::min(n, pos_);
}

HRESULT TEnumCursor::Skip(uint32_t celt) {
    std::lock_guard lk(m_);
    if (celt > count_ - pos_) {
        pos_ = count_;
        return plat::S_FALSE;
    }
    pos_ += celt;
    return plat::S_OK;
}

void TEnumCursor::Reset() {
    std::lock_guard lk(m_);
    pos_ = 0;
}

size_t TEnumCursor::Position() {
    std::lock_guard lk(m_);
    return pos_;
}

namespace {

// Places a clone's cursor where the original's stands.
void MoveTo(TEnumCursor& c, size_t pos) {
    if (pos) c.Skip(static_cast<uint32_t>(std::min<size_t>(pos, UINT32_MAX)));
}

}  // namespace

// --- IEnumUnknown -------------------------------------------------------------------------------

ComPtr<TEnumUnknown> TEnumUnknown::Create(std::vector<ComPtr<plat::IUnknown>> entries) {
    auto* e = new TEnumUnknown(std::make_shared<const List>(std::move(entries)));
    e->AfterConstruction();
    return ComPtr<TEnumUnknown>(e);
}

void* TEnumUnknown::FindInterface(const IID& iid) {
    if (iid == opc::IID_IEnumUnknown) return static_cast<opc::IEnumUnknown*>(this);
    return TMyInterfacedObject::FindInterface(iid);
}

HRESULT TEnumUnknown::Next(uint32_t celt, plat::IUnknown** rgelt, uint32_t* pceltFetched) {
    if (pceltFetched) *pceltFetched = 0;
    if (HRESULT hr = TEnumCursor::CheckNext(celt, rgelt, pceltFetched); plat::Failed(hr)) return hr;
    size_t first = 0, n = 0;
    cursor_.Take(celt, first, n);
    for (size_t i = 0; i < n; ++i) {
        plat::IUnknown* p = (*entries_)[first + i].Get();
        if (p) p->AddRef();
        rgelt[i] = p;
    }
    if (pceltFetched) *pceltFetched = static_cast<uint32_t>(n);
    return n == celt ? plat::S_OK : plat::S_FALSE;
}

HRESULT TEnumUnknown::Clone(opc::IEnumUnknown** ppenum) {
    if (!ppenum) return plat::E_POINTER;
    auto* e = new TEnumUnknown(entries_);
    e->AfterConstruction();
    ComPtr<TEnumUnknown> c(e);
    MoveTo(c->cursor_, cursor_.Position());
    *ppenum = c.Detach();
    return plat::S_OK;
}

// --- IEnumString --------------------------------------------------------------------------------

ComPtr<TEnumString> TEnumString::Create(std::vector<std::u16string> strings) {
    auto* e = new TEnumString(std::make_shared<const List>(std::move(strings)));
    e->AfterConstruction();
    return ComPtr<TEnumString>(e);
}

void* TEnumString::FindInterface(const IID& iid) {
    if (iid == opc::IID_IEnumString) return static_cast<opc::IEnumString*>(this);
    return TMyInterfacedObject::FindInterface(iid);
}

HRESULT TEnumString::Next(uint32_t celt, char16_t** rgelt, uint32_t* pceltFetched) {
    if (pceltFetched) *pceltFetched = 0;
    if (HRESULT hr = TEnumCursor::CheckNext(celt, rgelt, pceltFetched); plat::Failed(hr)) return hr;
    size_t first = 0, n = 0;
    cursor_.Take(celt, first, n);
    for (size_t i = 0; i < n; ++i) {
        rgelt[i] = WideToTaskMem((*strings_)[first + i]);
        if (!rgelt[i]) {
            for (size_t j = 0; j < i; ++j) {
                plat::CoTaskMemFree(rgelt[j]);
                rgelt[j] = nullptr;
            }
            cursor_.GiveBack(n);
            return plat::E_OUTOFMEMORY;
        }
    }
    if (pceltFetched) *pceltFetched = static_cast<uint32_t>(n);
    return n == celt ? plat::S_OK : plat::S_FALSE;
}

HRESULT TEnumString::Clone(opc::IEnumString** ppenum) {
    if (!ppenum) return plat::E_POINTER;
    auto* e = new TEnumString(strings_);
    e->AfterConstruction();
    ComPtr<TEnumString> c(e);
    MoveTo(c->cursor_, cursor_.Position());
    *ppenum = c.Detach();
    return plat::S_OK;
}

// --- IEnumOPCItemAttributes ---------------------------------------------------------------------

ComPtr<TEnumOPCItemAttributes> TEnumOPCItemAttributes::Create(std::vector<TItemAttributes> items) {
    auto* e = new TEnumOPCItemAttributes(std::make_shared<const List>(std::move(items)));
    e->AfterConstruction();
    return ComPtr<TEnumOPCItemAttributes>(e);
}

void* TEnumOPCItemAttributes::FindInterface(const IID& iid) {
    if (iid == opc::IID_IEnumOPCItemAttributes)
        return static_cast<opc::IEnumOPCItemAttributes*>(this);
    return TMyInterfacedObject::FindInterface(iid);
}

namespace {

bool CopyAttributes(const TItemAttributes& src, opc::OPCITEMATTRIBUTES& dst) {
    dst.szAccessPath = WideToTaskMem(src.access_path);
    dst.szItemID = WideToTaskMem(src.item_id);
    if (!src.blob.empty()) {
        dst.pBlob = static_cast<uint8_t*>(plat::CoTaskMemAlloc(src.blob.size()));
        if (dst.pBlob) {
            std::memcpy(dst.pBlob, src.blob.data(), src.blob.size());
            dst.dwBlobSize = static_cast<uint32_t>(src.blob.size());
        }
    }
    dst.bActive = src.active ? 1 : 0;
    dst.hClient = src.client_handle;
    dst.hServer = src.server_handle;
    dst.dwAccessRights = src.access_rights;
    dst.vtRequestedDataType = src.requested_type;
    dst.vtCanonicalDataType = src.canonical_type;
    dst.dwEUType = src.eu_type;
    dst.vEUInfo = src.eu_info;
    return dst.szAccessPath && dst.szItemID && (src.blob.empty() || dst.pBlob);
}

}  // namespace

HRESULT TEnumOPCItemAttributes::Next(uint32_t celt, opc::OPCITEMATTRIBUTES** ppItemArray,
                                     uint32_t* pceltFetched) {
    if (pceltFetched) *pceltFetched = 0;
    if (HRESULT hr = TEnumCursor::CheckNext(celt, ppItemArray, pceltFetched); plat::Failed(hr))
        return hr;
    *ppItemArray = nullptr;
    size_t first = 0, n = 0;
    cursor_.Take(celt, first, n);
    if (n > 0) {
        auto* out = static_cast<opc::OPCITEMATTRIBUTES*>(
            plat::CoTaskMemAlloc(n * sizeof(opc::OPCITEMATTRIBUTES)));
        if (!out) {
            cursor_.GiveBack(n);
            return plat::E_OUTOFMEMORY;
        }
        for (size_t i = 0; i < n; ++i) new (&out[i]) opc::OPCITEMATTRIBUTES();
        bool ok = true;
        for (size_t i = 0; i < n && ok; ++i) ok = CopyAttributes((*items_)[first + i], out[i]);
        if (!ok) {
            for (size_t i = 0; i < n; ++i) {
                opc::FreeItemAttributes(out[i]);
                out[i].~OPCITEMATTRIBUTES();
            }
            plat::CoTaskMemFree(out);
            cursor_.GiveBack(n);
            return plat::E_OUTOFMEMORY;
        }
        *ppItemArray = out;
    }
    if (pceltFetched) *pceltFetched = static_cast<uint32_t>(n);
    return n == celt ? plat::S_OK : plat::S_FALSE;
}

HRESULT TEnumOPCItemAttributes::Clone(opc::IEnumOPCItemAttributes** ppEnumItemAttributes) {
    if (!ppEnumItemAttributes) return plat::E_POINTER;
    auto* e = new TEnumOPCItemAttributes(items_);
    e->AfterConstruction();
    ComPtr<TEnumOPCItemAttributes> c(e);
    MoveTo(c->cursor_, cursor_.Position());
    *ppEnumItemAttributes = c.Detach();
    return plat::S_OK;
}

}  // namespace drv
