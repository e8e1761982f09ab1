#include "service/host/OPCGroup.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "platform/com/error.h"
#include "platform/time/clock.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/core/CmdRegistry.h"
#include "service/core/Convert.h"
#include "service/core/TxtProt.h"
#include "service/host/Enum.h"
#include "service/host/HostCalls.h"
#include "service/host/OPCServer.h"

namespace drv {

namespace {

TSafeIDGen g_group_handles;
std::atomic<int> g_live_groups{0};

// What the change ring carries to wake the advise thread after a state change.
constexpr int32_t kWakeValue = -10;

// A task-memory array of n trivially built elements (room for one when n is 0).
template <class T>
T* TaskArray(size_t n) {
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

// An entry of any quality but good (top two bits 11) makes the whole answer's quality S_FALSE.
bool GoodQuality(uint16_t quality) {
    return (quality & 0xC0) == 0xC0;
}

// Whether the leaf's newest sample is newer than `since`.
bool ReadySince(TLeafItem& leaf, plat::DATE since) {
    return leaf.NextSample() > leaf.Shift() && leaf.GetTimestamp() > since;
}

// The value types a client may write.
bool WritableType(plat::VARTYPE vt) {
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

}  // namespace

// --- life ----------------------------------------------------------------------------------------

TGroup::TGroup(std::weak_ptr<TServerCore> owner, const TGroupArgs& args)
    : owner_(std::move(owner)),
      client_kind_(args.client_kind),
      privilege_(args.privilege),
      server_index_(args.server_index),
      server_handle_(static_cast<opc::OPCHANDLE>(g_group_handles.NextID())),
      client_handle_(args.client_handle),
      name_(args.name),
      update_rate_(std::max(args.requested_rate, kMinCreateRate)),
      rate_revised_(args.requested_rate < kMinCreateRate),
      active_(args.active),
      time_bias_(args.time_bias),
      percent_deadband_(args.percent_deadband),
      lcid_(args.lcid),
      // Registered here as well as at start-up: a group never serves a format without a number.
      formats_(opc::RegisterDa1Formats()),
      callback_point_(static_cast<plat::IConnectionPointContainer*>(this), 1,
                      [this](opc::IOPCDataCallback* sink, bool connect) {
                          return OnCallbackSink(sink, connect);
                      }) {
    if (name_.empty()) name_ = plat::Utf8ToWide("Group" + std::to_string(server_handle_));
    lock_.Init("Group " + std::to_string(server_handle_));
    last_update_tick_ = last_callback_tick_ = plat::GetTickCount() - update_rate_;
    g_live_groups.fetch_add(1);
}

TGroup::~TGroup() {
    callback_point_.DisconnectAll();
    callback_ = nullptr;
    for (auto& slot : advise_) slot.sink = nullptr;
    items_.clear();
    g_live_groups.fetch_sub(1);
}

int TGroup::LiveCount() {
    return g_live_groups.load();
}

uint32_t TGroup::Release() {
    // Taken before the count drops: afterwards the group may be gone.
    std::shared_ptr<TServerCore> owner = owner_.lock();
    const uint32_t n = TMyInterfacedObject::Release();
    if (n == 1 && owner) owner->DropGroupIfLast(this);
    return n;
}

void* TGroup::FindInterface(const IID& iid) {
    if (iid == opc::IID_IOPCItemMgt) return static_cast<opc::IOPCItemMgt*>(this);
    if (iid == opc::IID_IOPCGroupStateMgt) return static_cast<opc::IOPCGroupStateMgt*>(this);
    if (iid == opc::IID_IOPCGroupStateMgt2) return static_cast<opc::IOPCGroupStateMgt2*>(this);
    if (iid == opc::IID_IOPCSyncIO) return static_cast<opc::IOPCSyncIO*>(this);
    if (iid == opc::IID_IOPCAsyncIO) return static_cast<opc::IOPCAsyncIO*>(this);
    if (iid == opc::IID_IOPCAsyncIO2) return static_cast<opc::IOPCAsyncIO2*>(this);
    if (iid == opc::IID_IDataObject) return static_cast<opc::IDataObject*>(this);
    if (iid == tlb::IID_IOPCItemSamplingMgtExt)
        return static_cast<tlb::IOPCItemSamplingMgtExt*>(this);
    if (iid == plat::IID_IConnectionPointContainer)
        return static_cast<plat::IConnectionPointContainer*>(this);
    return TMyInterfacedObject::FindInterface(iid);
}

void TGroup::Log(const std::string& text, int level) {
    WriteProtocolLine("OPCGroup " + std::to_string(server_handle_) + " " + text, level);
}

void TGroup::Wake() {
    ChangeRing().Push(kWakeValue);
}

std::u16string TGroup::Name() {
    ReadGuard g(lock_);
    return name_;
}

uint32_t TGroup::UpdateRate() {
    ReadGuard g(lock_);
    return update_rate_;
}

opc::OPCHANDLE TGroup::ClientHandle() {
    ReadGuard g(lock_);
    return client_handle_;
}

plat::LCID TGroup::Lcid() {
    ReadGuard g(lock_);
    return lcid_;
}

bool TGroup::Active() {
    ReadGuard g(lock_);
    return active_;
}

size_t TGroup::PendingTransactions() {
    ReadGuard g(lock_);
    return transactions_.size();
}

// --- IOPCGroupStateMgt ---------------------------------------------------------------------------

HRESULT TGroup::GetState(uint32_t* pUpdateRate, opc::BOOL* pActive, char16_t** ppName,
                         int32_t* pTimeBias, float* pPercentDeadband, plat::LCID* pLCID,
                         opc::OPCHANDLE* phClientGroup, opc::OPCHANDLE* phServerGroup) {
    if (!pUpdateRate || !pActive || !ppName || !pTimeBias || !pPercentDeadband || !pLCID ||
        !phClientGroup || !phServerGroup)
        return plat::E_POINTER;
    *ppName = nullptr;
    std::u16string name;
    {
        ReadGuard g(lock_);
        *pUpdateRate = update_rate_;
        *pActive = active_ ? 1 : 0;
        *pTimeBias = time_bias_;
        *pPercentDeadband = percent_deadband_;
        *pLCID = lcid_;
        *phClientGroup = client_handle_;
        *phServerGroup = server_handle_;
        name = name_;
    }
    *ppName = WideToTaskMem(name);
    return *ppName ? plat::S_OK : plat::E_OUTOFMEMORY;
}

HRESULT TGroup::SetState(const uint32_t* pRequestedUpdateRate, uint32_t* pRevisedUpdateRate,
                         const opc::BOOL* pActive, const int32_t* pTimeBias,
                         const float* pPercentDeadband, const plat::LCID* pLCID,
                         const opc::OPCHANDLE* phClientGroup) {
    bool rate_changed = false;
    {
        WriteGuard g(lock_);
        if (pRequestedUpdateRate) {
            update_rate_ = std::max(*pRequestedUpdateRate, kMinStateRate);
            rate_changed = true;
        }
        if (pActive) active_ = *pActive != 0;
        if (pTimeBias) time_bias_ = *pTimeBias;
        if (pPercentDeadband) percent_deadband_ = *pPercentDeadband;
        if (pLCID) lcid_ = *pLCID;
        if (phClientGroup) client_handle_ = *phClientGroup;
        if (pRevisedUpdateRate) *pRevisedUpdateRate = update_rate_;
    }
    if (rate_changed) Wake();
    return plat::S_OK;
}

HRESULT TGroup::SetName(const char16_t* szName) {
    if (!szName) return plat::E_INVALIDARG;
    WriteGuard g(lock_);
    name_ = szName;
    return plat::S_OK;
}

HRESULT TGroup::CloneGroup(const char16_t* szName, const IID& riid, void** ppUnk) {
    if (!ppUnk) return plat::E_POINTER;
    *ppUnk = nullptr;
    return SafeCall([&]() -> HRESULT {
        std::shared_ptr<TServerCore> owner = owner_.lock();
        if (!owner) return plat::E_FAIL;
        TGroupArgs args;
        args.name = szName ? std::u16string(szName) : std::u16string();
        args.client_kind = client_kind_;
        args.privilege = privilege_;
        args.server_index = server_index_;
        std::vector<std::shared_ptr<TGItem>> copies;
        {
            ReadGuard g(lock_);
            args.active = active_;
            args.requested_rate = update_rate_;
            args.client_handle = client_handle_;
            args.time_bias = time_bias_;
            args.percent_deadband = percent_deadband_;
            args.lcid = lcid_;
            copies.reserve(items_.size());
            // Each copy gets its own cursor; the handles stay the same.
            for (const auto& item : items_)
                copies.emplace_back(item ? TGItem::CreateCopy(*item) : nullptr);
        }
        ComPtr<TGroup> clone = New<TGroup>(owner_, args);
        {
            WriteGuard g(clone->lock_);
            clone->items_ = std::move(copies);
        }
        // Only a group the client gets is kept.
        if (!clone->FindInterface(riid)) return plat::E_NOINTERFACE;
        HRESULT hr = owner->AdoptGroup(clone);
        if (plat::Failed(hr)) return hr;
        hr = clone->QueryInterface(riid, ppUnk);
        if (plat::Failed(hr)) return hr;
        Log("CloneGroup " + plat::WideToUtf8(clone->Name()));
        return plat::S_OK;
    });
}

HRESULT TGroup::SetKeepAlive(uint32_t dwKeepAliveTime, uint32_t* pdwRevisedKeepAliveTime) {
    if (!pdwRevisedKeepAliveTime) return plat::E_POINTER;
    {
        WriteGuard g(lock_);
        keep_alive_ = dwKeepAliveTime;
        *pdwRevisedKeepAliveTime = keep_alive_;
    }
    Wake();
    return plat::S_OK;
}

HRESULT TGroup::GetKeepAlive(uint32_t* pdwKeepAliveTime) {
    if (!pdwKeepAliveTime) return plat::E_POINTER;
    ReadGuard g(lock_);
    *pdwKeepAliveTime = keep_alive_;
    return plat::S_OK;
}

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

HRESULT TGroup::AddItems(uint32_t dwCount, const opc::OPCITEMDEF* pItemArray,
                         opc::OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) {
    if (!ppAddResults || !ppErrors) return plat::E_POINTER;
    *ppAddResults = nullptr;
    *ppErrors = nullptr;
    if (dwCount == 0) return plat::E_INVALIDARG;
    if (!pItemArray) return plat::E_POINTER;
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
    if (!ppValidationResults || !ppErrors) return plat::E_POINTER;
    *ppValidationResults = nullptr;
    *ppErrors = nullptr;
    if (dwCount == 0) return plat::E_INVALIDARG;
    if (!pItemArray) return plat::E_POINTER;
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

// --- IOPCSyncIO ----------------------------------------------------------------------------------

HRESULT TGroup::Read(opc::OPCDATASOURCE dwSource, uint32_t dwCount, const opc::OPCHANDLE* phServer,
                     opc::OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
    if (!ppItemValues || !ppErrors) return plat::E_POINTER;
    *ppItemValues = nullptr;
    *ppErrors = nullptr;
    if (dwCount == 0) return plat::E_INVALIDARG;
    if (!phServer) return plat::E_POINTER;
    return SafeCall([&]() -> HRESULT {
        TaskHold<opc::OPCITEMSTATE> states(dwCount);
        TaskHold<HRESULT> errors(dwCount);
        if (dwSource == opc::OPC_DS_DEVICE && client_kind_ == kClientFriend) {
            // The request time is taken before the refresh is asked for: an answer that comes
            // at once is new.
            const plat::DATE since = plat::NowLocal();
            const uint32_t start = plat::GetTickCount();
            std::vector<ComPtr<TLeafItem>> leaves;
            {
                ReadGuard g(lock_);
                for (uint32_t i = 0; i < dwCount; ++i)
                    if (phServer[i] < items_.size() && items_[phServer[i]])
                        if (ComPtr<TLeafItem> leaf = items_[phServer[i]]->GetLeaf(false, false))
                            leaves.push_back(std::move(leaf));
            }
            for (auto& leaf : leaves) leaf->RequestRefresh();
            while (plat::TickDiff(plat::GetTickCount(), start) < kDeviceReadLimitMs) {
                if (std::all_of(leaves.begin(), leaves.end(),
                                [&](const ComPtr<TLeafItem>& l) { return ReadySince(*l, since); }))
                    break;
                plat::Sleep(kDeviceLookMs);
            }
        }
        HRESULT hr = plat::S_OK;
        WriteGuard g(lock_);
        for (uint32_t i = 0; i < dwCount; ++i) {
            opc::OPCITEMSTATE& st = states[i];
            std::shared_ptr<TGItem> item = ItemAt(phServer[i]);
            ComPtr<TLeafItem> leaf = item ? item->GetLeaf(true, false) : nullptr;
            if (item) st.hClient = item->client_handle;
            if (!leaf) {
                errors[i] = plat::OPC_E_INVALIDITEMID;
                st.wQuality = OPC_QUALITY_OUT_OF_SERVICE;
                st.ftTimeStamp = GetNowFileTime();
                hr = plat::S_FALSE;
                continue;
            }
            if (dwSource == opc::OPC_DS_CACHE && (!active_ || !item->active)) {
                errors[i] = plat::E_FAIL;
                st.wQuality = OPC_QUALITY_OUT_OF_SERVICE;
                st.ftTimeStamp = GetNowFileTime();
                hr = plat::S_FALSE;
                continue;
            }
            errors[i] = leaf->ReadCurrent(item->requested_type, lcid_, st.vDataValue, st.wQuality,
                                          st.ftTimeStamp);
            leaf->Touch(0);
            if (plat::Failed(errors[i])) hr = plat::S_FALSE;
        }
        *ppItemValues = states.Release();
        *ppErrors = errors.Release();
        return hr;
    });
}

std::vector<int32_t> TGroup::WriteLeaves(const std::vector<ComPtr<TLeafItem>>& leaves,
                                         const std::vector<std::string>& names,
                                         const plat::Variant* values, uint32_t count,
                                         const std::vector<bool>& valid, const char* log_tag) {
    plat::LCID lcid;
    {
        ReadGuard g(lock_);
        lcid = lcid_;
    }
    std::vector<int32_t> results(count, plat::OPC_E_INVALIDHANDLE);
    for (uint32_t i = 0; i < count; ++i) {
        if (!valid[i]) continue;
        if (!WritableType(values[i].vt)) {
            results[i] = plat::DISP_E_TYPEMISMATCH;
        } else if (!leaves[i]) {
            results[i] = plat::OPC_E_INVALIDHANDLE;
        } else {
            try {
                results[i] = leaves[i]->WriteChecked(values[i], privilege_, client_kind_, lcid);
            } catch (const std::bad_alloc&) {
                results[i] = plat::E_OUTOFMEMORY;
            } catch (...) {
                results[i] = plat::HresultFromCurrentException();
            }
        }
        ProtocolArgs(std::string(log_tag) + std::to_string(results[i]) + " " + names[i],
                     {values[i]}, PL_INFO);
    }
    return results;
}

HRESULT TGroup::Write(uint32_t dwCount, const opc::OPCHANDLE* phServer,
                      const plat::Variant* pItemValues, HRESULT** ppErrors) {
    if (!ppErrors) return plat::E_POINTER;
    *ppErrors = nullptr;
    if (dwCount == 0) return plat::E_INVALIDARG;
    if (!phServer || !pItemValues) return plat::E_POINTER;
    return SafeCall([&]() -> HRESULT {
        TaskHold<HRESULT> errors(dwCount);
        // The leaves are found under the shared lock; the writes run outside it.
        std::vector<ComPtr<TLeafItem>> leaves(dwCount);
        std::vector<std::string> names(dwCount);
        std::vector<bool> valid(dwCount, true);
        {
            ReadGuard g(lock_);
            for (uint32_t i = 0; i < dwCount; ++i) {
                const opc::OPCHANDLE h = phServer[i];
                if (h < items_.size() && items_[h]) {
                    leaves[i] = items_[h]->GetLeaf(false, false);
                    names[i] = items_[h]->name;
                }
            }
        }
        std::vector<int32_t> results =
            WriteLeaves(leaves, names, pItemValues, dwCount, valid, "ItemSyncWrite result ");
        HRESULT hr = plat::S_OK;
        for (uint32_t i = 0; i < dwCount; ++i) {
            // A command id is replaced by the command's outcome (or its time-out).
            if (IsCmdID(results[i])) results[i] = CmdWait(results[i]);
            errors[i] = results[i];
            if (results[i] != 0) hr = plat::S_FALSE;
        }
        *ppErrors = errors.Release();
        return hr;
    });
}

// --- IOPCAsyncIO2 --------------------------------------------------------------------------------

HRESULT TGroup::OnCallbackSink(opc::IOPCDataCallback* sink, bool connect) {
    ComPtr<opc::IOPCDataCallback> old;
    {
        WriteGuard g(lock_);
        if (connect) {
            if (callback_) return plat::CONNECT_E_ADVISELIMIT;
            callback_ = ComPtr<opc::IOPCDataCallback>(sink);
            // Changes that came before were consumed with nobody to tell: the new callback
            // starts from the current values.
            send_current_ = true;
        } else if (callback_.Get() == sink) {
            old = std::move(callback_);
        }
    }
    return plat::S_OK;  // `old` goes outside the lock: its release may be a remote call
}

bool TGroup::HasCallback() {
    ReadGuard g(lock_);
    return bool(callback_);
}

HRESULT TGroup::EnumConnectionPoints(plat::IEnumConnectionPoints** out) {
    return plat::EnumConnectionPointsIn({&callback_point_}, out);
}

HRESULT TGroup::FindConnectionPoint(const IID& iid, plat::IConnectionPoint** out) {
    return plat::FindConnectionPointIn(iid, {&callback_point_}, out);
}

HRESULT TGroup::Queue(TTransaction t) {
    t.start_tick = plat::GetTickCount();
    t.start_time = plat::NowLocal();
    WriteGuard g(lock_);
    if (transactions_.size() >= kMaxTransactions) {
        Log("Transaction refused: " + std::to_string(kMaxTransactions) + " waiting", PL_EXTERNAL);
        return plat::E_OUTOFMEMORY;
    }
    transactions_.push_back(std::move(t));
    return plat::S_OK;
}

HRESULT TGroup::QueueRead(uint32_t count, const opc::OPCHANDLE* handles, bool device,
                          const uint32_t* trans_id, uint32_t da1_connection, uint32_t* cancel_id,
                          HRESULT** errors) {
    return SafeCall([&]() -> HRESULT {
        TaskHold<HRESULT> out(count);
        TTransaction t;
        t.kind = kTransRead;
        t.device = device;
        t.da1_connection = da1_connection;
        HRESULT hr = plat::S_OK;
        std::vector<ComPtr<TLeafItem>> refresh;
        {
            ReadGuard g(lock_);
            for (uint32_t i = 0; i < count; ++i) {
                const opc::OPCHANDLE h = handles[i];
                if (h < items_.size() && items_[h]) {
                    out[i] = plat::S_OK;
                    t.handles.push_back(h);
                    if (t.device)
                        if (ComPtr<TLeafItem> leaf = items_[h]->GetLeaf(false, false))
                            refresh.push_back(std::move(leaf));
                } else {
                    out[i] = plat::OPC_E_INVALIDHANDLE;
                    hr = plat::S_FALSE;
                }
            }
        }
        *cancel_id = ++trans_counter_;
        t.trans_id = trans_id ? *trans_id : *cancel_id;
        if (!t.handles.empty()) {
            const HRESULT q = Queue(std::move(t));
            if (plat::Failed(q)) return q;
            for (auto& leaf : refresh) leaf->RequestRefresh();
        }
        *errors = out.Release();
        return hr;
    });
}

HRESULT TGroup::QueueWrite(uint32_t count, const opc::OPCHANDLE* handles,
                           const plat::Variant* values, const uint32_t* trans_id,
                           uint32_t da1_connection, uint32_t* cancel_id, HRESULT** errors) {
    return SafeCall([&]() -> HRESULT {
        TaskHold<HRESULT> out(count);
        std::vector<ComPtr<TLeafItem>> leaves(count);
        std::vector<std::string> names(count);
        std::vector<bool> valid(count, false);
        std::vector<opc::OPCHANDLE> clients(count, 0);
        {
            ReadGuard g(lock_);
            if (transactions_.size() >= kMaxTransactions) return plat::E_OUTOFMEMORY;
            for (uint32_t i = 0; i < count; ++i) {
                const opc::OPCHANDLE h = handles[i];
                if (h < items_.size() && items_[h]) {
                    valid[i] = true;
                    leaves[i] = items_[h]->GetLeaf(false, false);
                    names[i] = items_[h]->name;
                    clients[i] = items_[h]->client_handle;
                }
            }
            *cancel_id = 0;
        }
        std::vector<int32_t> results =
            WriteLeaves(leaves, names, values, count, valid, "ItemAsyncWrite result ");
        TTransaction t;
        t.kind = kTransWrite;
        t.da1_connection = da1_connection;
        HRESULT hr = plat::S_OK;
        for (uint32_t i = 0; i < count; ++i) {
            if (!valid[i]) {
                out[i] = plat::OPC_E_INVALIDHANDLE;
                hr = plat::S_FALSE;
                continue;
            }
            // The entry is accepted; its outcome comes with the write completion.
            out[i] = plat::S_OK;
            t.handles.push_back(handles[i]);
            t.client_handles.push_back(clients[i]);
            t.results.push_back(results[i]);
        }
        const uint32_t id = ++trans_counter_;
        t.trans_id = trans_id ? *trans_id : id;
        if (!t.handles.empty()) {
            const HRESULT q = Queue(std::move(t));
            if (plat::Failed(q)) return q;
        }
        *cancel_id = id;
        *errors = out.Release();
        return hr;
    });
}

HRESULT TGroup::QueueRefresh(opc::OPCDATASOURCE source, const uint32_t* trans_id,
                             uint32_t da1_connection, uint32_t* cancel_id) {
    return SafeCall([&]() -> HRESULT {
        TTransaction t;
        t.kind = kTransRefresh;
        t.device = source == opc::OPC_DS_DEVICE && client_kind_ == kClientFriend;
        t.da1_connection = da1_connection;
        std::vector<ComPtr<TLeafItem>> refresh;
        {
            ReadGuard g(lock_);
            if (!active_) return plat::E_FAIL;
            for (size_t h = 0; h < items_.size(); ++h) {
                if (!items_[h] || !items_[h]->active) continue;
                t.handles.push_back(static_cast<opc::OPCHANDLE>(h));
                if (t.device)
                    if (ComPtr<TLeafItem> leaf = items_[h]->GetLeaf(false, false))
                        refresh.push_back(std::move(leaf));
            }
        }
        *cancel_id = ++trans_counter_;
        t.trans_id = trans_id ? *trans_id : *cancel_id;
        // A refresh of nothing would never be answered.
        if (t.handles.empty()) return plat::E_FAIL;
        const HRESULT q = Queue(std::move(t));
        if (plat::Failed(q)) return q;
        for (auto& leaf : refresh) leaf->RequestRefresh();
        return plat::S_OK;
    });
}

HRESULT TGroup::Read(uint32_t dwCount, const opc::OPCHANDLE* phServer, uint32_t dwTransactionID,
                     uint32_t* pdwCancelID, HRESULT** ppErrors) {
    if (!pdwCancelID || !ppErrors) return plat::E_POINTER;
    *ppErrors = nullptr;
    if (dwCount == 0) return plat::E_INVALIDARG;
    if (!phServer) return plat::E_POINTER;
    // Nobody would get the answer.
    if (!HasCallback()) return plat::CONNECT_E_NOCONNECTION;
    return QueueRead(dwCount, phServer, client_kind_ == kClientFriend, &dwTransactionID, 0,
                     pdwCancelID, ppErrors);
}

HRESULT TGroup::Write(uint32_t dwCount, const opc::OPCHANDLE* phServer,
                      const plat::Variant* pItemValues, uint32_t dwTransactionID,
                      uint32_t* pdwCancelID, HRESULT** ppErrors) {
    if (!pdwCancelID || !ppErrors) return plat::E_POINTER;
    *ppErrors = nullptr;
    if (dwCount == 0) return plat::E_INVALIDARG;
    if (!phServer || !pItemValues) return plat::E_POINTER;
    if (!HasCallback()) return plat::CONNECT_E_NOCONNECTION;
    return QueueWrite(dwCount, phServer, pItemValues, &dwTransactionID, 0, pdwCancelID, ppErrors);
}

HRESULT TGroup::Refresh2(opc::OPCDATASOURCE dwSource, uint32_t dwTransactionID,
                         uint32_t* pdwCancelID) {
    if (!pdwCancelID) return plat::E_POINTER;
    if (!HasCallback()) return plat::CONNECT_E_NOCONNECTION;
    return QueueRefresh(dwSource, &dwTransactionID, 0, pdwCancelID);
}

// --- IOPCAsyncIO (DA 1.0) ------------------------------------------------------------------------

int TGroup::Da1Slot(uint32_t connection) const {
    if (connection == 0) return -1;
    for (int s = 0; s < kSlotCount; ++s)
        if (advise_[s].sink && advise_[s].connection == connection) return s;
    return -1;
}

HRESULT TGroup::Read(uint32_t dwConnection, opc::OPCDATASOURCE dwSource, uint32_t dwCount,
                     const opc::OPCHANDLE* phServer, uint32_t* pTransactionID, HRESULT** ppErrors) {
    if (!pTransactionID || !ppErrors) return plat::E_POINTER;
    *ppErrors = nullptr;
    *pTransactionID = 0;
    if (dwCount == 0) return plat::E_INVALIDARG;
    if (!phServer) return plat::E_POINTER;
    {
        // Only a data connection takes values.
        ReadGuard g(lock_);
        const int slot = Da1Slot(dwConnection);
        if (slot != kSlotData && slot != kSlotDataTime) return plat::CONNECT_E_NOCONNECTION;
    }
    return QueueRead(dwCount, phServer,
                     dwSource == opc::OPC_DS_DEVICE && client_kind_ == kClientFriend, nullptr,
                     dwConnection, pTransactionID, ppErrors);
}

HRESULT TGroup::Write(uint32_t dwConnection, uint32_t dwCount, const opc::OPCHANDLE* phServer,
                      const plat::Variant* pItemValues, uint32_t* pTransactionID,
                      HRESULT** ppErrors) {
    if (!pTransactionID || !ppErrors) return plat::E_POINTER;
    *ppErrors = nullptr;
    *pTransactionID = 0;
    if (dwCount == 0) return plat::E_INVALIDARG;
    if (!phServer || !pItemValues) return plat::E_POINTER;
    {
        // Only the write-complete connection takes write results.
        ReadGuard g(lock_);
        if (Da1Slot(dwConnection) != kSlotWriteComplete) return plat::CONNECT_E_NOCONNECTION;
    }
    return QueueWrite(dwCount, phServer, pItemValues, nullptr, dwConnection, pTransactionID,
                      ppErrors);
}

HRESULT TGroup::Refresh(uint32_t dwConnection, opc::OPCDATASOURCE dwSource,
                        uint32_t* pTransactionID) {
    if (!pTransactionID) return plat::E_POINTER;
    *pTransactionID = 0;
    {
        ReadGuard g(lock_);
        const int slot = Da1Slot(dwConnection);
        if (slot != kSlotData && slot != kSlotDataTime) return plat::CONNECT_E_NOCONNECTION;
    }
    return QueueRefresh(dwSource, nullptr, dwConnection, pTransactionID);
}

HRESULT TGroup::Cancel(uint32_t dwTransactionID) {
    (void)dwTransactionID;
    return plat::E_FAIL;
}

// --- IDataObject (DA 1.0) ------------------------------------------------------------------------

HRESULT TGroup::GetData(const opc::FORMATETC*, opc::STGMEDIUM*) {
    return plat::E_NOTIMPL;
}
HRESULT TGroup::GetDataHere(const opc::FORMATETC*, opc::STGMEDIUM*) {
    return plat::E_NOTIMPL;
}
HRESULT TGroup::QueryGetData(const opc::FORMATETC*) {
    return plat::E_NOTIMPL;
}
HRESULT TGroup::GetCanonicalFormatEtc(const opc::FORMATETC*, opc::FORMATETC*) {
    return plat::E_NOTIMPL;
}
HRESULT TGroup::SetData(const opc::FORMATETC*, const opc::STGMEDIUM*, opc::BOOL) {
    return plat::E_NOTIMPL;
}
HRESULT TGroup::EnumFormatEtc(uint32_t, plat::IUnknown** ppenumFormatEtc) {
    if (ppenumFormatEtc) *ppenumFormatEtc = nullptr;
    return plat::E_NOTIMPL;
}
HRESULT TGroup::EnumDAdvise(plat::IUnknown** ppenumAdvise) {
    if (ppenumAdvise) *ppenumAdvise = nullptr;
    return plat::E_NOTIMPL;
}

HRESULT TGroup::DAdvise(const opc::FORMATETC* pformatetc, uint32_t advf, opc::IAdviseSink* pAdvSink,
                        uint32_t* pdwConnection) {
    (void)advf;
    if (!pdwConnection) return plat::E_POINTER;
    *pdwConnection = 0;
    if (!pformatetc || !pAdvSink) return plat::E_POINTER;
    const opc::CLIPFORMAT f = pformatetc->cfFormat;
    int slot = -1;
    // A format whose registration failed is 0 and matches nothing.
    if (f != 0 && f == formats_.data) slot = kSlotData;
    if (f != 0 && f == formats_.data_time) slot = kSlotDataTime;
    if (f != 0 && f == formats_.write_complete) slot = kSlotWriteComplete;
    if (slot < 0) return plat::DV_E_FORMATETC;
    {
        WriteGuard g(lock_);
        if (advise_[slot].sink) return plat::CONNECT_E_ADVISELIMIT;
        advise_[slot].sink = ComPtr<opc::IAdviseSink>(pAdvSink);
        if (++advise_counter_ == 0) ++advise_counter_;
        advise_[slot].connection = advise_counter_;
        *pdwConnection = advise_counter_;
        // As with a data callback: a new data sink starts from the current values.
        if (slot != kSlotWriteComplete) send_current_ = true;
    }
    Wake();
    return plat::S_OK;
}

HRESULT TGroup::DUnadvise(uint32_t dwConnection) {
    ComPtr<opc::IAdviseSink> old;
    {
        WriteGuard g(lock_);
        const int slot = Da1Slot(dwConnection);
        if (slot < 0) return plat::OLE_E_NOCONNECTION;
        old = std::move(advise_[slot].sink);
        advise_[slot].connection = 0;
    }
    return plat::S_OK;  // `old` goes outside the lock: its release may be a remote call
}

HRESULT TGroup::Cancel2(uint32_t dwCancelID) {
    (void)dwCancelID;
    return plat::E_FAIL;
}

HRESULT TGroup::SetEnable(opc::BOOL bEnable) {
    {
        WriteGuard g(lock_);
        enabled_ = bEnable != 0;
    }
    Wake();
    return plat::S_OK;
}

HRESULT TGroup::GetEnable(opc::BOOL* pbEnable) {
    if (!pbEnable) return plat::E_POINTER;
    ReadGuard g(lock_);
    *pbEnable = enabled_ ? 1 : 0;
    return plat::S_OK;
}

// --- the callback step ---------------------------------------------------------------------------

bool TGroup::TransactionReady(const TTransaction& t) {
    if (t.handles.empty()) return false;
    if (t.kind == kTransWrite) {
        // Looked at without blocking: every command has ended or timed out.
        for (int32_t r : t.results) {
            int32_t v = r;
            if (CmdIsPending(v)) return false;
        }
        return true;
    }
    if (!t.device) return true;
    for (opc::OPCHANDLE h : t.handles) {
        if (h >= items_.size() || !items_[h]) continue;
        ComPtr<TLeafItem> leaf = items_[h]->GetLeaf(false, false);
        if (leaf && !ReadySince(*leaf, t.start_time)) return false;
    }
    return true;
}

void TGroup::ReadTransaction(const TTransaction& t, TAnswer& answer, bool expired) {
    answer.trans_id = t.trans_id;
    answer.kind = t.kind;
    answer.da1_connection = t.da1_connection;
    if (t.kind == kTransWrite) {
        for (size_t i = 0; i < t.handles.size(); ++i) {
            int32_t v = t.results[i];
            CmdIsPending(v);
            // Still pending when the transaction expired: reported as failed.
            if (IsCmdID(v)) v = plat::E_FAIL;
            SampleRead r;
            r.client_handle = t.client_handles[i];
            r.error = v;
            if (v != 0) answer.master_error = plat::S_FALSE;
            answer.reads.push_back(std::move(r));
        }
        return;
    }
    int counter = 0;
    for (opc::OPCHANDLE h : t.handles) {
        std::shared_ptr<TGItem> item = h < items_.size() ? items_[h] : nullptr;
        const size_t before = answer.reads.size();
        bool bad = false;
        if (!item) {
            TGItem::ReadNull(answer.reads, counter);
        } else {
            item->count_to_read = -1;
            item->Read(false, lcid_, answer.reads, counter, bad);
            answer.items.push_back(item);
        }
        for (size_t k = before; k < answer.reads.size(); ++k) {
            // The devices did not answer in time: the entry carries the cache and a failure.
            if (expired) answer.reads[k].error = plat::E_FAIL;
            if (answer.reads[k].error != plat::S_OK) answer.master_error = plat::S_FALSE;
            if (!GoodQuality(answer.reads[k].quality)) bad = true;
        }
        if (bad) answer.master_quality = plat::S_FALSE;
    }
}

bool TGroup::PrepareAnswer(TAnswer& answer, uint32_t& next_due) {
    const uint32_t now = plat::GetTickCount() + kDueSlackMs;
    // 1. Due test.
    bool due = false;
    bool keep_alive_due = false;
    if (!enabled_) {
        next_due = now + kIdleStepMs;
    } else {
        uint32_t due_tick = last_update_tick_ + update_rate_;
        if (keep_alive_) {
            const uint32_t ka = last_callback_tick_ + keep_alive_;
            keep_alive_due = static_cast<int32_t>(now - ka) >= 0;
            if (static_cast<int32_t>(ka - due_tick) < 0) due_tick = ka;
        }
        due = static_cast<int32_t>(now - due_tick) >= 0 || send_current_;
        if (!due)
            next_due = due_tick;
        else if (keep_alive_ && !keep_alive_due)
            next_due = last_callback_tick_ + keep_alive_;
    }
    // 2. Subscription update.
    if (due) {
        int counter = 0;
        for (const auto& item : items_) {
            if (!item) continue;
            const int n = item->UnreadCount(active_);
            // Too far behind (a client that does not take its updates): the older samples are
            // let go and the newest is sent.
            const bool overrun = n > kMaxUnsentSamples;
            if (overrun) {
                Log("Buffer overrun " + item->name + " " + std::to_string(n), PL_EXTERNAL);
                item->UnreadCount(false);
            }
            const bool current = n <= 0 && send_current_ && active_ && item->active;
            if (n <= 0 && !current) continue;
            item->count_to_read = item->buffer_enable && !current && !overrun ? n : -1;
            bool bad = false;
            const size_t before = answer.reads.size();
            item->Read(true, lcid_, answer.reads, counter, bad);
            for (size_t k = before; k < answer.reads.size(); ++k) {
                if (answer.reads[k].error != plat::S_OK) answer.master_error = plat::S_FALSE;
                if (!GoodQuality(answer.reads[k].quality)) bad = true;
            }
            if (bad) answer.master_quality = plat::S_FALSE;
            answer.items.push_back(item);
        }
        answer.current_values = send_current_;
        if (!answer.reads.empty() || keep_alive_due) {
            answer.subscription = true;
            answer.trans_id = 0;
            answer.kind = kTransRefresh;
            return true;
        }
        // No active item: there is no current value to start from.
        send_current_ = false;
    }
    // 3. Pending transactions: the expired ones are answered with a failure, waiting ones kept.
    const uint32_t tick = plat::GetTickCount();
    for (auto it = transactions_.begin(); it != transactions_.end(); ++it) {
        const bool expired = plat::TickDiff(tick, it->start_tick) > kTransactionLimitMs;
        if (expired) Log("Transaction " + std::to_string(it->trans_id) + " expired", PL_EXTERNAL);
        if (!expired && !TransactionReady(*it)) continue;
        ReadTransaction(*it, answer, expired);
        transactions_.erase(it);
        return true;
    }
    if (!transactions_.empty()) {
        // Waiting transactions are looked at again soon.
        const uint32_t soon = tick + kDeviceLookMs;
        if (static_cast<int32_t>(soon - next_due) < 0) next_due = soon;
    }
    return false;
}

bool TGroup::SendDa1(TAnswer& answer, int slot) {
    ComPtr<opc::IAdviseSink> sink;
    opc::Da1GroupHeader header;
    opc::FORMATETC format;
    {
        ReadGuard g(lock_);
        sink = advise_[slot].sink;
        header.hClientGroup = client_handle_;
    }
    if (!sink) return false;
    format.cfFormat = slot == kSlotData       ? formats_.data
                      : slot == kSlotDataTime ? formats_.data_time
                                              : formats_.write_complete;
    format.dwAspect = opc::DVASPECT_CONTENT;
    format.lindex = -1;
    format.tymed = opc::TYMED_HGLOBAL;
    header.dwTransactionID = answer.trans_id;
    opc::STGMEDIUM medium;
    medium.tymed = opc::TYMED_HGLOBAL;
    const size_t n = answer.reads.size();
    if (slot == kSlotWriteComplete) {
        header.hrStatus = answer.master_error;
        std::vector<opc::Da1WriteResult> results(n);
        for (size_t i = 0; i < n; ++i)
            results[i] = {answer.reads[i].client_handle, answer.reads[i].error};
        medium.hGlobal = opc::BuildDa1WriteCompleteBlock(header, results);
        Log("OnWriteComplete MErr=" + std::to_string(answer.master_error) +
            " Count=" + std::to_string(n));
    } else {
        // The stream has no per-item error: the block's status carries both.
        header.hrStatus = answer.master_error != plat::S_OK || answer.master_quality != plat::S_OK
                              ? plat::S_FALSE
                              : plat::S_OK;
        std::vector<opc::Da1Item> items(n);
        for (size_t i = 0; i < n; ++i) {
            items[i].hClient = answer.reads[i].client_handle;
            items[i].wQuality = answer.reads[i].quality;
            items[i].ftTimeStamp = answer.reads[i].time;
            items[i].value = std::move(answer.reads[i].value);
        }
        std::optional<std::vector<uint8_t>> block =
            opc::BuildDa1DataBlock(slot == kSlotDataTime, header, items);
        if (!block) {
            Log("Stream block too large, " + std::to_string(n) + " items", PL_EXTERNAL);
            return false;
        }
        medium.hGlobal = std::move(*block);
    }
    Log("OnDataChange1 Format=" + std::to_string(format.cfFormat) + " Count=" + std::to_string(n) +
        " Bytes=" + std::to_string(medium.hGlobal.size()));
    const HRESULT hr = sink->OnDataChange(&format, &medium);
    sink = nullptr;
    if (std::shared_ptr<TServerCore> owner = owner_.lock())
        owner->calls.Check("OnDataChange1", hr);
    else if (plat::Failed(hr))
        throw EClientError("OnDataChange1", hr);
    return true;
}

bool TGroup::SendAnswer(TAnswer& answer) {
    // DA 1.0: a transaction goes back to the connection it named; a subscription update goes to
    // the data-with-time sink, else the data sink, and only without either to the callback.
    int da1_slot = -1;
    ComPtr<opc::IOPCDataCallback> callback;
    opc::OPCHANDLE group_handle;
    {
        ReadGuard g(lock_);
        if (answer.da1_connection)
            da1_slot = Da1Slot(answer.da1_connection);
        else if (answer.subscription)
            da1_slot = advise_[kSlotDataTime].sink ? kSlotDataTime
                       : advise_[kSlotData].sink   ? kSlotData
                                                   : -1;
        callback = callback_;
        group_handle = client_handle_;
    }
    if (da1_slot >= 0) return SendDa1(answer, da1_slot);
    // A DA 1.0 transaction whose connection has gone is answered to nobody.
    if (answer.da1_connection) return false;
    if (!callback) return false;
    const uint32_t n = static_cast<uint32_t>(answer.reads.size());
    std::shared_ptr<TServerCore> owner = owner_.lock();
    TaskHold<opc::OPCHANDLE> handles(n);
    TaskHold<HRESULT> errors(n);
    for (uint32_t i = 0; i < n; ++i) {
        handles[i] = answer.reads[i].client_handle;
        errors[i] = answer.reads[i].error;
    }
    HRESULT hr;
    const char* method;
    const std::string counts = " Count=" + std::to_string(n);
    if (answer.kind == kTransWrite) {
        method = "OnWriteComplete";
        Log("OnWriteComplete MErr=" + std::to_string(answer.master_error) + counts);
        hr = callback->OnWriteComplete(answer.trans_id, group_handle, answer.master_error, n,
                                       handles.Get(), errors.Get());
    } else {
        Variant* values = AllocVariantArray(n);
        if (!values) throw std::bad_alloc();
        TaskHold<uint16_t> qualities(n);
        TaskHold<plat::FILETIME> times(n);
        for (uint32_t i = 0; i < n; ++i) {
            values[i] = std::move(answer.reads[i].value);
            qualities[i] = answer.reads[i].quality;
            times[i] = answer.reads[i].time;
        }
        method = answer.kind == kTransRead ? "OnReadComplete" : "OnDataChange";
        Log(std::string(method) + " MErr=" + std::to_string(answer.master_error) +
            " MQual=" + std::to_string(answer.master_quality) + counts);
        try {
            if (answer.kind == kTransRead)
                hr = callback->OnReadComplete(answer.trans_id, group_handle, answer.master_quality,
                                              answer.master_error, n, handles.Get(), values,
                                              qualities.Get(), times.Get(), errors.Get());
            else
                hr = callback->OnDataChange(answer.trans_id, group_handle, answer.master_quality,
                                            answer.master_error, n, handles.Get(), values,
                                            qualities.Get(), times.Get(), errors.Get());
        } catch (...) {
            FreeVariantArray(values, n);
            throw;
        }
        FreeVariantArray(values, n);
    }
    callback = nullptr;
    if (owner)
        owner->calls.Check(method, hr);
    else if (plat::Failed(hr))
        throw EClientError(method, hr);
    return true;
}

uint32_t TGroup::CallbackStep() {
    TAnswer answer;
    uint32_t next_due;
    bool send;
    {
        WriteGuard g(lock_);
        next_due_ = plat::GetTickCount() + kIdleStepMs;
        next_due = next_due_;
        send = PrepareAnswer(answer, next_due);
        next_due_ = next_due;
    }
    if (!send) return next_due;
    // Sent outside the lock: the client may call the group from inside its callback. A
    // failing callback raises before the commit below, so the same changes go again.
    SendAnswer(answer);
    WriteGuard g(lock_);
    const uint32_t now = plat::GetTickCount();
    // A keep-alive nobody took counts as made: it is not due again at once.
    last_callback_tick_ = now;
    if (answer.subscription) last_update_tick_ = now;
    if (answer.current_values) send_current_ = false;
    // With no callback connected the changes are consumed all the same: nobody holds them.
    for (const auto& item : answer.items) item->CommitCursor();
    // Something was sent: look again at once.
    next_due_ = now;
    return next_due_;
}

}  // namespace drv
