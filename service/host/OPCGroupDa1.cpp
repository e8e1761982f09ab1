// TGroup: the DA 1.0 interfaces (IOPCAsyncIO, IDataObject).
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
        // decisions HOST-55
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
    // decisions HOST-53
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

// decisions HOST-51
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

}  // namespace drv
