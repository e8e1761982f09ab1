// TOPCServer: browsing the item tree and the items' properties (IOPCBrowseServerAddressSpace,
// IOPCItemProperties).
#include "service/host/OPCServer.h"

#include <string>
#include <vector>

#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/core/items/ItemTree.h"
#include "service/host/Enum.h"
#include "service/host/HostCalls.h"
#include "service/host/OPCServerKit.h"

namespace drv {

namespace {

// Whether `full` lies below the position `pos` ("" is the root); sets the name relative to it.
bool BelowPosition(const std::string& full, const std::string& pos, std::string& relative) {
    if (pos.empty()) {
        relative = full;
        return true;
    }
    if (full.size() <= pos.size() + 1 || full.compare(0, pos.size(), pos) != 0 ||
        full[pos.size()] != '.')
        return false;
    relative = full.substr(pos.size() + 1);
    return true;
}

std::string Join(const std::string& pos, const std::string& name) {
    return pos.empty() ? name : pos + "." + name;
}

}  // namespace

// --- IOPCBrowseServerAddressSpace ---------------------------------------------------------------

HRESULT TOPCServer::QueryOrganization(opc::OPCNAMESPACETYPE* pNameSpaceType) {
    if (!pNameSpaceType) return plat::E_POINTER;
    *pNameSpaceType = opc::OPC_NS_HIERARCHIAL;
    return plat::S_OK;
}

HRESULT TOPCServer::ChangeBrowsePosition(opc::OPCBROWSEDIRECTION dwBrowseDirection,
                                         const char16_t* szString) {
    return SafeCall([&]() -> HRESULT {
        const std::string name = plat::WideToUtf8(Arg(szString));
        WriteGuard g(core_->lock);
        std::string& pos = core_->browse_position;
        switch (dwBrowseDirection) {
            case opc::OPC_BROWSE_UP: {
                if (pos.empty()) return plat::E_FAIL;
                const int32_t parent = GetParentID(FindItemID(pos));
                pos = parent < 0 ? std::string() : GetItemFullName(parent);
                return plat::S_OK;
            }
            case opc::OPC_BROWSE_DOWN: {
                const std::string target = Join(pos, name);
                if (name.empty() || FindItemID(target) < 0) return plat::E_FAIL;
                pos = target;
                return plat::S_OK;
            }
            case opc::OPC_BROWSE_TO:
                if (!name.empty() && FindItemID(name) < 0) return plat::E_FAIL;
                pos = name;
                return plat::S_OK;
            default:
                return plat::E_INVALIDARG;
        }
    });
}

HRESULT TOPCServer::BrowseOPCItemIDs(opc::OPCBROWSETYPE dwBrowseFilterType,
                                     const char16_t* szFilterCriteria,
                                     plat::VARTYPE vtDataTypeFilter, uint32_t dwAccessRightsFilter,
                                     opc::IEnumString** ppIEnumString) {
    (void)szFilterCriteria;
    (void)vtDataTypeFilter;
    if (!ppIEnumString) return plat::E_POINTER;
    *ppIEnumString = nullptr;
    if (dwBrowseFilterType != opc::OPC_BRANCH && dwBrowseFilterType != opc::OPC_LEAF &&
        dwBrowseFilterType != opc::OPC_FLAT)
        return plat::E_INVALIDARG;
    WaitForClientName();
    return SafeCall([&]() -> HRESULT {
        std::string pos;
        uint8_t kind;
        {
            ReadGuard g(core_->lock);
            pos = core_->browse_position;
            kind = core_->client_kind;
        }
        const int32_t pos_id = pos.empty() ? -1 : FindItemID(pos);
        std::vector<std::u16string> names;
        const int32_t count = ItemTableCount();
        for (int32_t id = 0; id < count; ++id) {
            ComPtr<TItem> item = GetItem(id);
            if (!item || item->RefusesClient(kind, 0)) continue;
            const bool leaf = item->IsLeaf();
            if (leaf && dwAccessRightsFilter != 0) {
                auto* l = static_cast<TLeafItem*>(item.Get());
                if ((l->AccessRights() & dwAccessRightsFilter) == 0) continue;
            }
            std::string relative;
            // decisions HOST-40
            if (dwBrowseFilterType == opc::OPC_FLAT) {
                if (!BelowPosition(item->FullName(), pos, relative)) continue;
            } else {
                if (leaf != (dwBrowseFilterType == opc::OPC_LEAF)) continue;
                if (item->ParentID() != pos_id) continue;
                if (!BelowPosition(item->FullName(), pos, relative)) continue;
            }
            names.push_back(plat::Utf8ToWide(relative));
        }
        const bool empty = names.empty();
        *ppIEnumString = TEnumString::Create(std::move(names)).Detach();
        return empty ? plat::S_FALSE : plat::S_OK;
    });
}

HRESULT TOPCServer::GetItemID(const char16_t* szItemDataID, char16_t** szItemID) {
    if (!szItemID) return plat::E_POINTER;
    *szItemID = nullptr;
    return SafeCall([&]() -> HRESULT {
        const std::string name = plat::WideToUtf8(Arg(szItemDataID));
        std::string pos;
        {
            ReadGuard g(core_->lock);
            pos = core_->browse_position;
        }
        if (name.empty()) return TaskString(pos, szItemID);
        const std::string full = Join(pos, name);
        if (FindItemID(full) < 0) return plat::E_FAIL;
        return TaskString(full, szItemID);
    });
}

HRESULT TOPCServer::BrowseAccessPaths(const char16_t* szItemID,
                                      opc::IEnumString** ppIEnumAccessPaths) {
    (void)szItemID;
    if (!ppIEnumAccessPaths) return plat::E_POINTER;
    *ppIEnumAccessPaths = TEnumString::Create({}).Detach();
    return plat::S_OK;
}

// --- IOPCItemProperties --------------------------------------------------------------------------

HRESULT TOPCServer::QueryAvailableProperties(const char16_t* szItemID, uint32_t* pdwCount,
                                             uint32_t** ppPropertyIDs, char16_t*** ppDescriptions,
                                             plat::VARTYPE** ppvtDataTypes) {
    if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes) return plat::E_POINTER;
    *pdwCount = 0;
    *ppPropertyIDs = nullptr;
    *ppDescriptions = nullptr;
    *ppvtDataTypes = nullptr;
    return SafeCall([&]() -> HRESULT {
        ComPtr<TLeafItem> leaf = GetItemAs<TLeafItem>(FindLeafID(plat::WideToUtf8(Arg(szItemID))));
        if (!leaf) return plat::OPC_E_UNKNOWNITEMID;
        return leaf->QueryAvailableProperties(*pdwCount, *ppPropertyIDs, *ppDescriptions,
                                              *ppvtDataTypes);
    });
}

HRESULT TOPCServer::GetItemProperties(const char16_t* szItemID, uint32_t dwCount,
                                      const uint32_t* pdwPropertyIDs, plat::Variant** ppvData,
                                      HRESULT** ppErrors) {
    if (!ppvData || !ppErrors || (dwCount && !pdwPropertyIDs)) return plat::E_POINTER;
    *ppvData = nullptr;
    *ppErrors = nullptr;
    return SafeCall([&]() -> HRESULT {
        ComPtr<TLeafItem> leaf = GetItemAs<TLeafItem>(FindLeafID(plat::WideToUtf8(Arg(szItemID))));
        if (!leaf) return plat::OPC_E_UNKNOWNITEMID;
        plat::LCID lcid;
        {
            ReadGuard g(core_->lock);
            lcid = core_->locale;
        }
        return leaf->GetItemProperties(dwCount, pdwPropertyIDs, lcid, *ppvData, *ppErrors);
    });
}

HRESULT TOPCServer::LookupItemIDs(const char16_t* szItemID, uint32_t dwCount,
                                  const uint32_t* pdwPropertyIDs, char16_t*** ppszNewItemIDs,
                                  HRESULT** ppErrors) {
    (void)szItemID;
    (void)pdwPropertyIDs;
    if (!ppszNewItemIDs || !ppErrors) return plat::E_POINTER;
    *ppszNewItemIDs = nullptr;
    *ppErrors = nullptr;
    const size_t n = dwCount ? dwCount : 1;
    auto* ids = static_cast<char16_t**>(plat::CoTaskMemAlloc(n * sizeof(char16_t*)));
    auto* errors = static_cast<HRESULT*>(plat::CoTaskMemAlloc(n * sizeof(HRESULT)));
    if (!ids || !errors) {
        plat::CoTaskMemFree(ids);
        plat::CoTaskMemFree(errors);
        return plat::E_OUTOFMEMORY;
    }
    // No property has an item id of its own.
    for (uint32_t i = 0; i < dwCount; ++i) {
        ids[i] = nullptr;
        errors[i] = plat::E_FAIL;
    }
    *ppszNewItemIDs = ids;
    *ppErrors = errors;
    return dwCount ? plat::S_FALSE : plat::S_OK;
}

}  // namespace drv
