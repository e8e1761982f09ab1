// TGroup: its items (IOPCItemMgt).
#include "service/host/OPCGroup.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "platform/com/error.h"
#include "platform/time/clock.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/core/base/ValueConvert.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/host/Enum.h"
#include "service/host/GroupKit.h"
#include "service/host/HostCalls.h"

namespace drv {

// --- IOPCItemMgt ---------------------------------------------------------------------------------

std::shared_ptr<TGItem> TGroup::ItemAt(opc::OPCHANDLE handle) {
    if (handle < items_.size()) {
        if (items_[handle]) {
            if (ProtocolThreshold() <= PL_DETAIL)
                Log("Server handle ok " + std::to_string(handle), PL_DETAIL);
            return items_[handle];
        }
        Log("Server handle ok but GItem = nil " + std::to_string(handle), PL_INFO);
        return nullptr;
    }
    Log("Server handle BAD " + std::to_string(handle), PL_INFO);
    return nullptr;
}

HRESULT TGroup::ResolveDef(const opc::OPCITEMDEF& def, ComPtr<TLeafItem>& leaf, std::string& name) {
    name = def.szItemID ? plat::WideToUtf8(def.szItemID) : std::string();
    leaf = GetItemAs<TLeafItem>(FindLeafID(name));
    // An item that refuses this kind of client is unknown to it.
    if (!leaf || leaf->RefusesClient(client_kind_, 0)) {
        leaf = nullptr;
        return plat::OPC_E_UNKNOWNITEMID;
    }
    return plat::S_OK;
}

// decisions HOST-50
HRESULT TGroup::AddItems(uint32_t dwCount, const opc::OPCITEMDEF* pItemArray,
                         opc::OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) {
    if (HRESULT hr = CheckArrayCall(ppAddResults, ppErrors, dwCount, pItemArray); hr != plat::S_OK)
        return hr;
    return SafeCall([&]() -> HRESULT {
        TaskHold<opc::OPCITEMRESULT> results(dwCount);
        TaskHold<HRESULT> errors(dwCount);
        std::vector<ComPtr<TLeafItem>> leaves(dwCount);
        std::vector<std::string> names(dwCount);
        for (uint32_t i = 0; i < dwCount; ++i)
            errors[i] = ResolveDef(pItemArray[i], leaves[i], names[i]);
        HRESULT hr = plat::S_OK;
        {
            WriteGuard g(lock_);
            for (uint32_t i = 0; i < dwCount; ++i) {
                if (plat::Succeeded(errors[i]) && items_.size() >= kMaxItemSlots) {
                    Log("AddItems refused: " + std::to_string(kMaxItemSlots) + " item handles",
                        PL_EXTERNAL);
                    errors[i] = plat::E_OUTOFMEMORY;
                }
                if (plat::Failed(errors[i])) {
                    hr = plat::S_FALSE;
                    continue;
                }
                auto item = std::make_shared<TGItem>(leaves[i], names[i], leaves[i]->ID());
                item->client_handle = pItemArray[i].hClient;
                item->requested_type = pItemArray[i].vtRequestedDataType;
                item->active = pItemArray[i].bActive ? 1 : 0;
                results[i].hServer = static_cast<opc::OPCHANDLE>(items_.size());
                results[i].vtCanonicalDataType = leaves[i]->CanonicalType();
                results[i].dwAccessRights = leaves[i]->AccessRights();
                items_.push_back(std::move(item));
            }
        }
        *ppAddResults = results.Release();
        *ppErrors = errors.Release();
        return hr;
    });
}

HRESULT TGroup::ValidateItems(uint32_t dwCount, const opc::OPCITEMDEF* pItemArray,
                              opc::BOOL bBlobUpdate, opc::OPCITEMRESULT** ppValidationResults,
                              HRESULT** ppErrors) {
    (void)bBlobUpdate;
    if (HRESULT hr = CheckArrayCall(ppValidationResults, ppErrors, dwCount, pItemArray);
        hr != plat::S_OK)
        return hr;
    return SafeCall([&]() -> HRESULT {
        TaskHold<opc::OPCITEMRESULT> results(dwCount);
        TaskHold<HRESULT> errors(dwCount);
        HRESULT hr = plat::S_OK;
        for (uint32_t i = 0; i < dwCount; ++i) {
            ComPtr<TLeafItem> leaf;
            std::string name;
            errors[i] = ResolveDef(pItemArray[i], leaf, name);
            if (plat::Failed(errors[i])) {
                hr = plat::S_FALSE;
                continue;
            }
            results[i].vtCanonicalDataType = leaf->CanonicalType();
            results[i].dwAccessRights = leaf->AccessRights();
            Log("ValidOK " + name, PL_DETAIL);
        }
        *ppValidationResults = results.Release();
        *ppErrors = errors.Release();
        return hr;
    });
}

template <class F>
HRESULT TGroup::PerHandle(uint32_t count, const opc::OPCHANDLE* handles, HRESULT** errors,
                          F&& apply) {
    if (!errors) return plat::E_POINTER;
    *errors = nullptr;
    if (count == 0) return plat::E_INVALIDARG;
    if (!handles) return plat::E_POINTER;
    return SafeCall([&]() -> HRESULT {
        TaskHold<HRESULT> out(count);
        HRESULT hr = plat::S_OK;
        // Removed items are dropped after the lock: their cursors go with them.
        std::vector<std::shared_ptr<TGItem>> dropped;
        {
            WriteGuard g(lock_);
            for (uint32_t i = 0; i < count; ++i) {
                std::shared_ptr<TGItem> item = ItemAt(handles[i]);
                out[i] = item ? apply(i, handles[i], item, dropped) : plat::OPC_E_INVALIDHANDLE;
                if (out[i] != plat::S_OK) hr = plat::S_FALSE;
            }
        }
        dropped.clear();
        *errors = out.Release();
        return hr;
    });
}

HRESULT TGroup::RemoveItems(uint32_t dwCount, const opc::OPCHANDLE* phServer, HRESULT** ppErrors) {
    return PerHandle(dwCount, phServer, ppErrors,
                     [&](uint32_t, opc::OPCHANDLE h, std::shared_ptr<TGItem>& item,
                         std::vector<std::shared_ptr<TGItem>>& dropped) {
                         dropped.push_back(std::move(item));
                         items_[h].reset();
                         return plat::S_OK;
                     });
}

HRESULT TGroup::SetActiveState(uint32_t dwCount, const opc::OPCHANDLE* phServer, opc::BOOL bActive,
                               HRESULT** ppErrors) {
    return PerHandle(dwCount, phServer, ppErrors,
                     [&](uint32_t, opc::OPCHANDLE, std::shared_ptr<TGItem>& item, auto&) {
                         item->active = bActive ? 1 : 0;
                         return plat::S_OK;
                     });
}

HRESULT TGroup::SetClientHandles(uint32_t dwCount, const opc::OPCHANDLE* phServer,
                                 const opc::OPCHANDLE* phClient, HRESULT** ppErrors) {
    if (dwCount && !phClient) return plat::E_POINTER;
    return PerHandle(dwCount, phServer, ppErrors,
                     [&](uint32_t i, opc::OPCHANDLE, std::shared_ptr<TGItem>& item, auto&) {
                         item->client_handle = phClient[i];
                         return plat::S_OK;
                     });
}

HRESULT TGroup::SetDatatypes(uint32_t dwCount, const opc::OPCHANDLE* phServer,
                             const plat::VARTYPE* pRequestedDatatypes, HRESULT** ppErrors) {
    if (dwCount && !pRequestedDatatypes) return plat::E_POINTER;
    return PerHandle(dwCount, phServer, ppErrors,
                     [&](uint32_t i, opc::OPCHANDLE, std::shared_ptr<TGItem>& item, auto&) {
                         item->requested_type = pRequestedDatatypes[i];
                         return plat::S_OK;
                     });
}

HRESULT TGroup::SetItemBufferEnableAndTimeStampControl(uint32_t dwCount, const uint32_t* phServer,
                                                       const int32_t* pbEnable,
                                                       const int32_t* ptsEarly,
                                                       HRESULT** ppErrors) {
    if (dwCount && (!pbEnable || !ptsEarly)) return plat::E_POINTER;
    return PerHandle(dwCount, phServer, ppErrors,
                     [&](uint32_t i, opc::OPCHANDLE, std::shared_ptr<TGItem>& item, auto&) {
                         item->buffer_enable = pbEnable[i] ? 1 : 0;
                         item->timestamp_control = ptsEarly[i] ? 1 : 0;
                         return plat::S_OK;
                     });
}

HRESULT TGroup::CreateEnumerator(const IID& riid, void** ppUnk) {
    if (!ppUnk) return plat::E_POINTER;
    *ppUnk = nullptr;
    if (riid != opc::IID_IEnumOPCItemAttributes) return plat::E_INVALIDARG;
    return SafeCall([&]() -> HRESULT {
        std::vector<TItemAttributes> attrs;
        {
            WriteGuard g(lock_);
            for (size_t h = 0; h < items_.size(); ++h) {
                const auto& item = items_[h];
                if (!item) continue;
                TItemAttributes a;
                a.item_id = plat::Utf8ToWide(item->name);
                a.active = item->active != 0;
                a.client_handle = item->client_handle;
                a.server_handle = static_cast<opc::OPCHANDLE>(h);
                a.requested_type = item->requested_type;
                if (ComPtr<TLeafItem> leaf = item->GetLeaf(false, false)) {
                    a.access_rights = leaf->AccessRights();
                    a.canonical_type = leaf->CanonicalType();
                }
                attrs.push_back(std::move(a));
            }
        }
        return TEnumOPCItemAttributes::Create(std::move(attrs))->QueryInterface(riid, ppUnk);
    });
}

}  // namespace drv
