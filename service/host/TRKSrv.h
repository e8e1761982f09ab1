// Simplified post access: the TORK class object and its TStation objects, which give a client a
// post-number view of the item tree (through the post cache, PostCache.h), and the list of live
// stations.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/com/classes.h"
#include "service/core/base/CoreHooks.h"
#include "service/core/base/ObjectBase.h"
#include "service/core/items/ItemTree.h"
#include "service/host/PostCache.h"
#include "service/host/StationTable.h"
#include "service/typelib/TypeLib.h"

namespace drv {

class TAdvThread;

// --- client quotas ---------------------------------------------------------------------------

// What one client process (one transport connection) may make the service hold. A console
// needs one station with one event thread.
constexpr int kMaxStationsPerClient = 32;
constexpr int kMaxEventThreadsPerClient = 8;

enum class TChargeKind { Station = 0, EventThread = 1 };
// Takes a place of `kind` in the quota of `client` (the transport's peer name; "" for callers
// in this process, which have no quota) into `place`, given back when the last copy goes.
// False when the quota is full.
bool ChargeClient(const std::string& client, TChargeKind kind, std::shared_ptr<void>& place);
// Places of `kind` that `client` holds.
int ClientCharges(const std::string& client, TChargeKind kind);

// --- TStation -------------------------------------------------------------------------------

class TStation final : public TMyInterfacedObject, public tlb::INorvalt {
  public:
    // Initialize: refuses while the service stops ("Process is stopping") and beyond the
    // client's quota (E_OUTOFMEMORY), takes the privilege flag from the creating caller, joins
    // the station list and waits (at most 5000 ms) until the ports have been started.
    static ComPtr<TStation> Create();

    // INorvalt: every method answers S_OK and puts its outcome into the out parameters.
    HRESULT StateJumpValid(int16_t Post, tlb::TVariableEnum StFrom, tlb::TVariableEnum StTo,
                           int32_t* Res) override;
    HRESULT GetState(int16_t Post, tlb::TState* State) override;
    HRESULT SetState(int16_t Post, tlb::TStateEnum AState, tlb::TCmdID* Res) override;
    HRESULT ReReadVarValue(int16_t Post, tlb::TVariableEnum Variable, int32_t* Res) override;
    HRESULT GetVariablesCount(int16_t Post, int32_t* Count, int32_t* Res) override;
    HRESULT GetVariable(int16_t Post, int32_t Number, tlb::TVariableInfo* Info,
                        int32_t* Result) override;
    HRESULT SetVarValue(int16_t Post, tlb::TVariableEnum Variable, plat::Currency AValue,
                        tlb::TCmdID* Result) override;
    HRESULT GetVarValue(int16_t Post, tlb::TVariableEnum Variable, tlb::TVariableValue* Val,
                        int32_t* Result) override;
    HRESULT TryResult(tlb::TCmdID CmdID, tlb::TCmdID* Result) override;
    HRESULT GetResult(tlb::TCmdID CmdID, tlb::TCmdID* Result) override;
    HRESULT GetVarInterval(int16_t Post, tlb::TVariableEnum Variable, uint32_t* IdleInterval,
                           uint32_t* WorkInterval, int32_t* Result) override;
    HRESULT SetVarInterval(int16_t Post, tlb::TVariableEnum Variable, uint32_t IdleInterval,
                           uint32_t WorkInterval, int32_t* Result) override;
    HRESULT RegisterSinkInterface(tlb::INorvaltEvents* Sink) override;
    HRESULT RegisterSinkInterfaceEx(tlb::INorvaltEventsEx* Sink) override;
    HRESULT UnRegisterSinkInterface() override;
    HRESULT BandUsed(double* Result) override;

    // The station list holds one reference: when only it is left, the slot is cleared.
    uint32_t Release() override;

    bool Privileged() const { return privilege_ != 0; }
    int ListIndex() const { return list_index_; }
    // Whether an event thread is registered and still running.
    bool EventThreadRunning();

    // Live TStation objects in this process (tests and diagnostics).
    static int LiveCount();

  protected:
    void* FindInterface(const IID& iid) override;

  private:
    TStation();
    ~TStation() override;

    HRESULT RegisterSink(ComPtr<tlb::INorvaltEvents> sink, ComPtr<tlb::INorvaltEventsEx> ex);
    void DropSinks();

    int list_index_ = -1;
    uint8_t privilege_ = 0;
    std::string client_;  // the creating client's peer name, "" in this process
    std::shared_ptr<void> charge_;
    std::mutex sink_mutex_;  // registration changes
    ComPtr<tlb::INorvaltEvents> sink_;
    ComPtr<tlb::INorvaltEventsEx> sink_ex_;
    std::shared_ptr<TAdvThread> thread_;
};

// --- unit operations ------------------------------------------------------------------------

// Start-up: empties the list and the cache and fills the core's seams (stations-exist probe,
// post-item hook).
void InitStations();
// Service stop: stops every station's event thread, empties the list and the cache, clears the
// seams, and waits (bounded) until every event thread has ended; until the next InitStations no
// station is created and no sink registered. Stations that clients still hold keep answering
// (with unknown posts once the item tree is gone). Stop the transport first: an event thread
// still inside a call to a client then ends at once.
void DoneStations();
// A station object exists, or a post is waiting for the key, working or paused.
bool StationsInUse();
// Non-empty slots of the station list.
int StationListCount();

// The service module's stopping flag, a single entry of the host's table (base/CoreHooks.h).
void SetServiceStoppingProbe(StoppingFn fn);
// Adds the station list's entries to the host's table.
void AddStationHooks(TCoreHooks& hooks);

// The TORK class object in this process's class table; 0 when one is already registered.
uint32_t RegisterStationClass();
plat::ComPtr<plat::IClassFactory> MakeStationFactory();

}  // namespace drv
