// TGroup: synchronous and asynchronous reads and writes (IOPCSyncIO, IOPCAsyncIO2).
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

// --- IOPCSyncIO ----------------------------------------------------------------------------------

HRESULT TGroup::Read(opc::OPCDATASOURCE dwSource, uint32_t dwCount, const opc::OPCHANDLE* phServer,
                     opc::OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
    if (HRESULT hr = CheckArrayCall(ppItemValues, ppErrors, dwCount, phServer); hr != plat::S_OK)
        return hr;
    return SafeCall([&]() -> HRESULT {
        TaskHold<opc::OPCITEMSTATE> states(dwCount);
        TaskHold<HRESULT> errors(dwCount);
        if (dwSource == opc::OPC_DS_DEVICE && client_kind_ == kClientFriend) {
            // The request time is taken before the refresh is asked for: an answer that comes
            // at once is new.
            const uint64_t since = plat::GetTickCount64();
            const uint32_t start = plat::GetTickCount();
            std::vector<ComPtr<TLeafItem>> leaves;
            {
                ReadGuard g(lock_);
                for (uint32_t i = 0; i < dwCount; ++i)
                    if (phServer[i] < items_.size() && items_[phServer[i]])
                        if (ComPtr<TLeafItem> leaf = items_[phServer[i]]->GetLeaf(false, false))
                            leaves.push_back(std::move(leaf));
            }
            // decisions HOST-47
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

// decisions HOST-46
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
    t.start_tick64 = plat::GetTickCount64();
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

// decisions HOST-48
HRESULT TGroup::Refresh2(opc::OPCDATASOURCE dwSource, uint32_t dwTransactionID,
                         uint32_t* pdwCancelID) {
    if (!pdwCancelID) return plat::E_POINTER;
    if (!HasCallback()) return plat::CONNECT_E_NOCONNECTION;
    return QueueRefresh(dwSource, &dwTransactionID, 0, pdwCancelID);
}

}  // namespace drv
