#include "service/host/OPCGroup.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "platform/com/error.h"
#include "platform/time/clock.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/core/base/ChangeRing.h"
#include "service/core/base/ValueConvert.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/host/Enum.h"
#include "service/host/GroupKit.h"
#include "service/host/HostCalls.h"

namespace drv {

namespace {

TSafeIDGen g_group_handles;
std::atomic<int> g_live_groups{0};

// What the change ring carries to wake the advise thread after a state change.
constexpr int32_t kWakeValue = -10;

}  // namespace

// --- life ----------------------------------------------------------------------------------------

TGroup::TGroup(std::weak_ptr<IGroupOwner> owner, const TGroupArgs& args)
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
                      // decisions HOST-56
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
    std::shared_ptr<IGroupOwner> owner = owner_.lock();
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
    return ReadUnder(lock_, name_);
}

uint32_t TGroup::UpdateRate() {
    return ReadUnder(lock_, update_rate_);
}

opc::OPCHANDLE TGroup::ClientHandle() {
    return ReadUnder(lock_, client_handle_);
}

plat::LCID TGroup::Lcid() {
    return ReadUnder(lock_, lcid_);
}

bool TGroup::Active() {
    return ReadUnder(lock_, active_);
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
        std::shared_ptr<IGroupOwner> owner = owner_.lock();
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

}  // namespace drv
