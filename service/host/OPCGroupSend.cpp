// TGroup: the callback step (transactions and subscription answers to the client).
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
#include "service/host/OPCErrors.h"

namespace drv {

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
        if (leaf && !ReadySince(*leaf, t.start_tick64)) return false;
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
                // decisions HOST-52
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
        // decisions HOST-58
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
    if (std::shared_ptr<IGroupOwner> owner = owner_.lock())
        owner->CheckClientCall("OnDataChange1", hr);
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
    std::shared_ptr<IGroupOwner> owner = owner_.lock();
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
        // decisions HOST-45
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
        owner->CheckClientCall(method, hr);
    else if (plat::Failed(hr))
        // decisions HOST-49
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
