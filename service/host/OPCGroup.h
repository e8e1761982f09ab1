// One OPC group of a server object: the client's items, the group's state, synchronous and
// asynchronous reads and writes, and the data callback driven by the server's advise thread.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/connpt.h"
#include "service/core/base/ObjectBase.h"
#include "service/core/items/ItemTree.h"
#include "service/host/Da1Stream.h"
#include "service/typelib/OpcDa.h"
#include "service/typelib/TypeLib.h"

namespace drv {

// Client kinds: not named yet, trusted, any other name.
enum : uint8_t { kClientUnnamed = 0, kClientFriend = 1, kClientOther = 2 };

class TGroup;

// What a group asks of the server that owns it. The group holds its owner weakly: a group the
// client still holds may outlive its server.
class IGroupOwner {
  public:
    virtual ~IGroupOwner() = default;
    // The owner lets go of `group` when it holds the last reference.
    virtual void DropGroupIfLast(TGroup* group) = 0;
    // Keeps a group made by one of its groups (CloneGroup) as AddGroup would keep it.
    virtual HRESULT AdoptGroup(const ComPtr<TGroup>& group) = 0;
    // Counts a call into the client's callback: a failure raises EClientError.
    virtual void CheckClientCall(std::string_view method, HRESULT hr) = 0;
};

// What AddGroup asks for.
struct TGroupArgs {
    std::u16string name;  // empty: "Group" + the server handle
    bool active = true;
    uint32_t requested_rate = 0;
    opc::OPCHANDLE client_handle = 0;
    int32_t time_bias = 0;
    float percent_deadband = 0;
    plat::LCID lcid = plat::LOCALE_EN_US;
    uint8_t client_kind = 0;  // copied from the server at creation
    uint8_t privilege = 0;    // the creating client's privilege, for writes
    int server_index = -1;    // the server's place in the server list (log lines)
};

// Transaction kinds: a refresh, a read, a write (answered by OnWriteComplete).
enum : uint8_t { kTransRefresh = 0, kTransRead = 1, kTransWrite = 2 };

class TGroup : public TMyInterfacedObject,
               public opc::IOPCItemMgt,
               public opc::IOPCGroupStateMgt2,
               public opc::IOPCSyncIO,
               public opc::IOPCAsyncIO,
               public opc::IOPCAsyncIO2,
               public opc::IDataObject,
               public tlb::IOPCItemSamplingMgtExt,
               public plat::IConnectionPointContainer {
  public:
    // The fastest update rate a group is created with (ms).
    static constexpr uint32_t kMinCreateRate = 50;
    // The fastest rate SetState gives (ms).
    static constexpr uint32_t kMinStateRate = 100;
    // A callback step with nothing to send looks again this much later (ms).
    static constexpr uint32_t kIdleStepMs = 10000;
    // The due test looks this far ahead (ms).
    static constexpr uint32_t kDueSlackMs = 10;
    // A transaction still unanswered after this long is answered with a failure (ms).
    // decisions HOST-44
    static constexpr uint32_t kTransactionLimitMs = 100000;
    // A friend's device read: a look every 30 ms, at most 10 s.
    static constexpr uint32_t kDeviceLookMs = 30;
    static constexpr uint32_t kDeviceReadLimitMs = 10000;
    // What one client can make a group hold: item slots (handles are never reused) and
    // transactions waiting for their answer.
    static constexpr size_t kMaxItemSlots = 65536;
    // Unsent samples one item may hold in its leaf's history (a client that never takes its
    // updates would otherwise keep every sample); beyond it the item skips to the newest.
    static constexpr int kMaxUnsentSamples = 1024;
    static constexpr size_t kMaxTransactions = 256;

    TGroup(std::weak_ptr<IGroupOwner> owner, const TGroupArgs& args);
    ~TGroup() override;

    // The release rule: when only the server's group array still holds the group, the group
    // leaves the array (as RemoveGroup does).
    uint32_t Release() override;

    // Driven by the server's advise thread, outside every lock of the server. Returns the
    // tick at which the group wants the next step. A failing client callback raises
    // EClientError; the changes it carried are sent again at the next due time.
    virtual uint32_t CallbackStep();

    opc::OPCHANDLE ServerHandle() const { return server_handle_; }
    std::u16string Name();
    uint32_t UpdateRate();
    bool RateRevised() const { return rate_revised_; }
    uint8_t ClientKind() const { return client_kind_; }
    opc::OPCHANDLE ClientHandle();
    plat::LCID Lcid();
    bool Active();
    // Transactions not yet answered (tests and diagnostics).
    size_t PendingTransactions();

    // Live groups in this process (tests and diagnostics).
    static int LiveCount();

    // IOPCGroupStateMgt / IOPCGroupStateMgt2
    HRESULT GetState(uint32_t* pUpdateRate, opc::BOOL* pActive, char16_t** ppName,
                     int32_t* pTimeBias, float* pPercentDeadband, plat::LCID* pLCID,
                     opc::OPCHANDLE* phClientGroup, opc::OPCHANDLE* phServerGroup) override;
    HRESULT SetState(const uint32_t* pRequestedUpdateRate, uint32_t* pRevisedUpdateRate,
                     const opc::BOOL* pActive, const int32_t* pTimeBias,
                     const float* pPercentDeadband, const plat::LCID* pLCID,
                     const opc::OPCHANDLE* phClientGroup) override;
    HRESULT SetName(const char16_t* szName) override;
    HRESULT CloneGroup(const char16_t* szName, const IID& riid, void** ppUnk) override;
    HRESULT SetKeepAlive(uint32_t dwKeepAliveTime, uint32_t* pdwRevisedKeepAliveTime) override;
    HRESULT GetKeepAlive(uint32_t* pdwKeepAliveTime) override;

    // IOPCItemMgt
    HRESULT AddItems(uint32_t dwCount, const opc::OPCITEMDEF* pItemArray,
                     opc::OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) override;
    HRESULT ValidateItems(uint32_t dwCount, const opc::OPCITEMDEF* pItemArray,
                          opc::BOOL bBlobUpdate, opc::OPCITEMRESULT** ppValidationResults,
                          HRESULT** ppErrors) override;
    HRESULT RemoveItems(uint32_t dwCount, const opc::OPCHANDLE* phServer,
                        HRESULT** ppErrors) override;
    HRESULT SetActiveState(uint32_t dwCount, const opc::OPCHANDLE* phServer, opc::BOOL bActive,
                           HRESULT** ppErrors) override;
    HRESULT SetClientHandles(uint32_t dwCount, const opc::OPCHANDLE* phServer,
                             const opc::OPCHANDLE* phClient, HRESULT** ppErrors) override;
    HRESULT SetDatatypes(uint32_t dwCount, const opc::OPCHANDLE* phServer,
                         const plat::VARTYPE* pRequestedDatatypes, HRESULT** ppErrors) override;
    HRESULT CreateEnumerator(const IID& riid, void** ppUnk) override;

    // IOPCSyncIO
    HRESULT Read(opc::OPCDATASOURCE dwSource, uint32_t dwCount, const opc::OPCHANDLE* phServer,
                 opc::OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override;
    HRESULT Write(uint32_t dwCount, const opc::OPCHANDLE* phServer,
                  const plat::Variant* pItemValues, HRESULT** ppErrors) override;

    // IOPCAsyncIO (DA 1.0): dwConnection names the advise connection that takes the answer.
    HRESULT Read(uint32_t dwConnection, opc::OPCDATASOURCE dwSource, uint32_t dwCount,
                 const opc::OPCHANDLE* phServer, uint32_t* pTransactionID,
                 HRESULT** ppErrors) override;
    HRESULT Write(uint32_t dwConnection, uint32_t dwCount, const opc::OPCHANDLE* phServer,
                  const plat::Variant* pItemValues, uint32_t* pTransactionID,
                  HRESULT** ppErrors) override;
    HRESULT Refresh(uint32_t dwConnection, opc::OPCDATASOURCE dwSource,
                    uint32_t* pTransactionID) override;
    HRESULT Cancel(uint32_t dwTransactionID) override;

    // IDataObject (DA 1.0): one advise sink per stream format.
    HRESULT GetData(const opc::FORMATETC* pformatetcIn, opc::STGMEDIUM* pmedium) override;
    HRESULT GetDataHere(const opc::FORMATETC* pformatetc, opc::STGMEDIUM* pmedium) override;
    HRESULT QueryGetData(const opc::FORMATETC* pformatetc) override;
    HRESULT GetCanonicalFormatEtc(const opc::FORMATETC* pformatectIn,
                                  opc::FORMATETC* pformatetcOut) override;
    HRESULT SetData(const opc::FORMATETC* pformatetc, const opc::STGMEDIUM* pmedium,
                    opc::BOOL fRelease) override;
    HRESULT EnumFormatEtc(uint32_t dwDirection, plat::IUnknown** ppenumFormatEtc) override;
    HRESULT DAdvise(const opc::FORMATETC* pformatetc, uint32_t advf, opc::IAdviseSink* pAdvSink,
                    uint32_t* pdwConnection) override;
    HRESULT DUnadvise(uint32_t dwConnection) override;
    HRESULT EnumDAdvise(plat::IUnknown** ppenumAdvise) override;

    // The stream formats this group serves (registered when the group was made).
    const opc::Da1Formats& Formats() const { return formats_; }

    // IOPCAsyncIO2
    HRESULT Read(uint32_t dwCount, const opc::OPCHANDLE* phServer, uint32_t dwTransactionID,
                 uint32_t* pdwCancelID, HRESULT** ppErrors) override;
    HRESULT Write(uint32_t dwCount, const opc::OPCHANDLE* phServer,
                  const plat::Variant* pItemValues, uint32_t dwTransactionID, uint32_t* pdwCancelID,
                  HRESULT** ppErrors) override;
    HRESULT Refresh2(opc::OPCDATASOURCE dwSource, uint32_t dwTransactionID,
                     uint32_t* pdwCancelID) override;
    HRESULT Cancel2(uint32_t dwCancelID) override;
    HRESULT SetEnable(opc::BOOL bEnable) override;
    HRESULT GetEnable(opc::BOOL* pbEnable) override;

    // IOPCItemSamplingMgtExt
    HRESULT SetItemBufferEnableAndTimeStampControl(uint32_t dwCount, const uint32_t* phServer,
                                                   const int32_t* pbEnable, const int32_t* ptsEarly,
                                                   HRESULT** ppErrors) override;

    // IConnectionPointContainer: one point, IOPCDataCallback.
    HRESULT EnumConnectionPoints(plat::IEnumConnectionPoints** out) override;
    HRESULT FindConnectionPoint(const IID& iid, plat::IConnectionPoint** out) override;

    // One entry of an answer: the group's handle on the item (null: a handle that named no
    // item) and what was read.
    struct TAnswer {
        uint32_t trans_id = 0;
        uint8_t kind = kTransRefresh;  // kTransRead: OnReadComplete; kTransWrite: OnWriteComplete
        bool subscription = false;
        // A DA 1.0 transaction: the advise connection that takes the answer (0: none).
        uint32_t da1_connection = 0;
        bool current_values = false;  // the values a newly connected callback starts from
        HRESULT master_quality = plat::S_OK;
        HRESULT master_error = plat::S_OK;
        std::vector<std::shared_ptr<TGItem>> items;
        std::vector<SampleRead> reads;
    };

  protected:
    void* FindInterface(const IID& iid) override;

    // Builds what is due under the group's lock (send steps 1-4): a subscription update, a
    // finished transaction or nothing. True when `answer` is to be sent.
    bool PrepareAnswer(TAnswer& answer, uint32_t& next_due);
    // Sends an answer outside the group's lock. A DA 1.0 sink would take it here; without
    // one, the data callback gets it. False when nobody was there to take it.
    virtual bool SendAnswer(TAnswer& answer);

    TSyncLock lock_;

  private:
    struct TTransaction {
        uint8_t kind = kTransRefresh;
        bool device = false;
        uint32_t trans_id = 0;
        uint32_t start_tick = 0;
        uint64_t start_tick64 = 0;    // what ReadySince measures against
        uint32_t da1_connection = 0;  // queued through IOPCAsyncIO
        std::vector<opc::OPCHANDLE> handles;
        // Writes: the client handle and the command id or result of each entry.
        std::vector<opc::OPCHANDLE> client_handles;
        std::vector<int32_t> results;
    };

    // The item of a server handle, or null; logs the look-up. Under the group's lock.
    std::shared_ptr<TGItem> ItemAt(opc::OPCHANDLE handle);
    HRESULT ResolveDef(const opc::OPCITEMDEF& def, ComPtr<TLeafItem>& leaf, std::string& name);
    template <class F>
    HRESULT PerHandle(uint32_t count, const opc::OPCHANDLE* handles, HRESULT** errors, F&& apply);
    HRESULT OnCallbackSink(opc::IOPCDataCallback* sink, bool connect);
    // The queueing cores shared by the DA 2.0 and DA 1.0 faces. `trans_id` null: the
    // transaction id is the cancel id (DA 1.0).
    HRESULT QueueRead(uint32_t count, const opc::OPCHANDLE* handles, bool device,
                      const uint32_t* trans_id, uint32_t da1_connection, uint32_t* cancel_id,
                      HRESULT** errors);
    HRESULT QueueWrite(uint32_t count, const opc::OPCHANDLE* handles, const plat::Variant* values,
                       const uint32_t* trans_id, uint32_t da1_connection, uint32_t* cancel_id,
                       HRESULT** errors);
    HRESULT QueueRefresh(opc::OPCDATASOURCE source, const uint32_t* trans_id,
                         uint32_t da1_connection, uint32_t* cancel_id);
    // The advise slot holding `connection` with a sink, or -1. Under the group's lock.
    int Da1Slot(uint32_t connection) const;
    // Sends `answer` as a stream block to the sink of `slot`. False when the slot is empty.
    bool SendDa1(TAnswer& answer, int slot);
    bool HasCallback();
    HRESULT Queue(TTransaction t);
    bool TransactionReady(const TTransaction& t);
    void ReadTransaction(const TTransaction& t, TAnswer& answer, bool expired);
    // Writes each (leaf, value) outside the group's lock; results are command ids or errors.
    std::vector<int32_t> WriteLeaves(const std::vector<ComPtr<TLeafItem>>& leaves,
                                     const std::vector<std::string>& names,
                                     const plat::Variant* values, uint32_t count,
                                     const std::vector<bool>& valid, const char* log_tag);
    void Log(const std::string& text, int level = 1);
    void Wake();

    const std::weak_ptr<IGroupOwner> owner_;
    const uint8_t client_kind_;
    const uint8_t privilege_;
    const int server_index_;
    const opc::OPCHANDLE server_handle_;
    opc::OPCHANDLE client_handle_;
    std::u16string name_;
    uint32_t update_rate_;
    bool rate_revised_;
    bool active_;
    int32_t time_bias_;
    float percent_deadband_;
    plat::LCID lcid_;
    uint32_t keep_alive_ = 0;
    uint32_t next_due_ = 0;
    uint32_t last_update_tick_ = 0;
    uint32_t last_callback_tick_ = 0;
    bool enabled_ = true;
    // A callback connected since the last update: it gets every active item's current value.
    bool send_current_ = false;
    // Taken by concurrent callers outside the exclusive lock.
    std::atomic<uint32_t> trans_counter_{0};
    // Index = server handle; a removed item leaves an empty slot.
    std::vector<std::shared_ptr<TGItem>> items_;
    std::vector<TTransaction> transactions_;
    ComPtr<opc::IOPCDataCallback> callback_;
    // DA 1.0 advise slots: data, data with time, write complete.
    enum { kSlotData = 0, kSlotDataTime = 1, kSlotWriteComplete = 2, kSlotCount = 3 };
    struct TAdviseSlot {
        ComPtr<opc::IAdviseSink> sink;
        uint32_t connection = 0;
    };
    const opc::Da1Formats formats_;
    std::array<TAdviseSlot, kSlotCount> advise_;
    // decisions HOST-54
    uint32_t advise_counter_ = 0;
    plat::ConnectionPoint<opc::IOPCDataCallback> callback_point_;
};

}  // namespace drv
