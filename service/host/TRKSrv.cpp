#include "service/host/TRKSrv.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <map>
#include <stdexcept>
#include <utility>

#include "platform/com/callcontext.h"
#include "platform/com/error.h"
#include "platform/time/clock.h"
#include "platform/types/wstr.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/controllers/ControllerBase.h"
#include "service/core/items/DeviceItems.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/PortManager.h"
#include "service/core/ports/SystemItems.h"
#include "service/core/posts/PostItems.h"
#include "service/core/posts/PostVariables.h"
#include "service/host/AdvThread.h"
#include "service/host/HostCalls.h"

namespace drv {

namespace {

// One line per call; a client that calls without end has them counted under the call's name (the
// words before the first number), not written one by one (decisions CORE-58).
void Log(const std::string& text) {
    const std::string line = "TRKSrv " + text;
    size_t end = line.size();
    for (size_t i = 0; i + 1 < line.size(); ++i)
        if (line[i] == ' ' &&
            (std::isdigit(static_cast<unsigned char>(line[i + 1])) || line[i + 1] == '-')) {
            end = i;
            break;
        }
    WriteProtocolLine(line, PL_INFO, std::string_view(line).substr(0, end));
}

// --- station list -------------------------------------------------------------------------------

struct StationList {
    TSyncLock lock{"Stations"};
    std::vector<ComPtr<IRef>> slots;
};

StationList& Stations() {
    static StationList* l = new StationList;
    return *l;
}

std::atomic<int> g_live_stations{0};
// Set by DoneStations, cleared by InitStations.
std::atomic<bool> g_stations_done{false};
// How long the service stop waits for event threads still inside client calls.
constexpr uint32_t kShutdownWaitMs = 30000;

// --- client quotas ------------------------------------------------------------------------------

struct ClientQuota {
    std::mutex m;
    std::map<std::string, std::array<int, 2>> used;
};

ClientQuota& Quota() {
    static ClientQuota* q = new ClientQuota;  // places may be given back by late threads
    return *q;
}

constexpr int kQuotaLimit[2] = {kMaxStationsPerClient, kMaxEventThreadsPerClient};

// The quota key of the caller: its connection's peer, "" for this process.
std::string CallingClient() {
    const plat::CallContext& ctx = plat::GetCallContext();
    return ctx.transported ? ctx.peer : std::string();
}

bool StationsExistProbe() {
    StationList& l = Stations();
    ReadGuard g(l.lock);
    return std::any_of(l.slots.begin(), l.slots.end(),
                       [](const ComPtr<IRef>& r) { return bool(r); });
}

void OnPostItemAdded(const std::string& full_name) {
    if (ParsePostItemName(full_name).post >= 1) InvalidatePostCache();
}

bool ValidVariable(int32_t variable) {
    return variable >= 0 && variable <= kLastPostIndex;
}

// A value more than a step outside a writable variable's range can only end in OPC_E_RANGE;
// it is answered here, because the rounding on the item's way turns values of that size
// (any Currency a client may send) into doubles that no longer fit a 64-bit integer. Rights
// are left to the item, so that its own error codes keep their order.
bool FarOutOfRange(TLeafItem& item, int64_t value, int privilege) {
    auto* var = dynamic_cast<TVarItem*>(&item);
    if (!var) return false;
    const TVariableInfoEx& d = var->Descriptor();
    if (!d.IsWriteable || (RestrictUsers().load() && privilege < d.WriteLevel)) return false;
    const int64_t step = std::max<int64_t>(d.Step.int64, 1);
    return value < d.MinValue.int64 - step || value > d.MaxValue.int64 + step;
}

}  // namespace

bool ChargeClient(const std::string& client, TChargeKind kind, std::shared_ptr<void>& place) {
    place.reset();
    if (client.empty()) return true;
    const size_t k = static_cast<size_t>(kind);
    ClientQuota& q = Quota();
    {
        std::lock_guard lk(q.m);
        std::array<int, 2>& used = q.used[client];
        if (used[k] >= kQuotaLimit[k]) {
            if (used[0] == 0 && used[1] == 0) q.used.erase(client);
            return false;
        }
        ++used[k];
    }
    place = std::shared_ptr<void>(nullptr, [client, k](void*) {
        ClientQuota& q = Quota();
        std::lock_guard lk(q.m);
        auto it = q.used.find(client);
        if (it == q.used.end()) return;
        --it->second[k];
        if (it->second[0] == 0 && it->second[1] == 0) q.used.erase(it);
    });
    return true;
}

int ClientCharges(const std::string& client, TChargeKind kind) {
    ClientQuota& q = Quota();
    std::lock_guard lk(q.m);
    auto it = q.used.find(client);
    return it == q.used.end() ? 0 : it->second[static_cast<size_t>(kind)];
}

// --- TStation
// -------------------------------------------------------------------------------------

TStation::TStation() {
    g_live_stations.fetch_add(1);
}

TStation::~TStation() {
    try {
        DropSinks();
    } catch (...) {
        ProtocolCurrentException("TRKSrv ~TStation");
    }
    g_live_stations.fetch_sub(1);
}

int TStation::LiveCount() {
    return g_live_stations.load();
}

ComPtr<TStation> TStation::Create() {
    if (StoppingFn stopping = CoreHooks().service_stopping.load(); stopping && stopping()) {
        WriteProtocolLine("TRKSrv Process is stopping", PL_EXTERNAL);
        throw plat::ComError(plat::CO_E_SERVER_STOPPING, "Process is stopping");
    }
    if (g_stations_done.load())
        throw plat::ComError(plat::CO_E_SERVER_STOPPING, "Process is stopping");
    const std::string client = CallingClient();
    std::shared_ptr<void> charge;
    if (!ChargeClient(client, TChargeKind::Station, charge)) {
        WriteProtocolLine("TRKSrv Create refused: " + client + " holds " +
                              std::to_string(kMaxStationsPerClient) + " stations",
                          PL_EXTERNAL);
        // decisions HOST-33
        throw plat::ComError(plat::E_OUTOFMEMORY, "Too many stations for one client (" +
                                                      std::to_string(kMaxStationsPerClient) + ")");
    }
    ComPtr<TStation> s(new TStation);
    s->client_ = client;
    s->charge_ = std::move(charge);
    s->AfterConstruction();
    // The caller of the creation: a client over the transport, or this process.
    s->privilege_ = plat::GetCallContext().admin ? 1 : 0;
    {
        StationList& l = Stations();
        WriteGuard g(l.lock);
        // A free slot is taken again, so that the list does not grow with every client.
        auto free =
            std::find_if(l.slots.begin(), l.slots.end(), [](const ComPtr<IRef>& r) { return !r; });
        if (free == l.slots.end()) free = l.slots.insert(l.slots.end(), ComPtr<IRef>());
        *free = ComPtr<IRef>(static_cast<IRef*>(s.Get()));
        s->list_index_ = static_cast<int>(free - l.slots.begin());
    }
    Log("Create " + std::to_string(s->list_index_) + " privilege " + std::to_string(s->privilege_));
    const uint32_t start = plat::GetTickCount();
    // The saved names of a fixed address space stand for the ports until these are up.
    while (!PortsStarted() && !AddrSpaceLoaded() &&
           plat::TickDiff(plat::GetTickCount(), start) < 5000)
        plat::Sleep(30);
    return s;
}

void* TStation::FindInterface(const IID& iid) {
    if (iid == tlb::IID_INorvalt) return static_cast<tlb::INorvalt*>(this);
    return TMyInterfacedObject::FindInterface(iid);
}

uint32_t TStation::Release() {
    const int index = list_index_;
    const uint32_t n = TMyInterfacedObject::Release();
    if (n == 1) ReleaseListSlot(Stations(), index, this);
    return n;
}

HRESULT TStation::StateJumpValid(int16_t Post, tlb::TVariableEnum StFrom, tlb::TVariableEnum StTo,
                                 int32_t* Res) {
    if (!Res) return plat::E_POINTER;
    return SafeCall(OutOfMemoryText::kSet, [&] {
        Log("StateJumpValid " + std::to_string(Post) + " " + std::to_string(StFrom) + " " +
            std::to_string(StTo));
        *Res = tlb::E_UNKNOWNPOST;
        ComPtr<TLeafItem> item = PostItem(Post, kFirstPostIndex);
        if (!item) return plat::S_OK;
        auto is = [&](int from, int to) { return StFrom == from && StTo == to; };
        using namespace tlb;
        bool valid = is(csIdle, csWaitingKey) || is(csWaitingKey, csIdle) ||
                     is(csWaitingKey, csWorking) || is(csWorking, csIdle) ||
                     is(csWorking, csPaused) || is(csPaused, csIdle) ||
                     is(csPaused, csWaitingKey) || is(csControllerError, csIdle);
        // No controller of the native protocol carries out a stop request (its classes answer
        // it with OPC_E_RANGE or -2), so a client is not offered one.
        // decisions HOST-70
        if (static_cast<int>(StTo) == csIdle && dynamic_cast<TBasicTork*>(item.Get()))
            valid = false;
        *Res = valid ? 0 : tlb::E_INCOMPATIBLESTATE;
        return plat::S_OK;
    });
}

HRESULT TStation::GetState(int16_t Post, tlb::TState* State) {
    if (!State) return plat::E_POINTER;
    return SafeCall(OutOfMemoryText::kSet, [&] {
        Log("GetState " + std::to_string(Post));
        *State = {tlb::csNone, 0};
        if (ComPtr<TLeafItem> item = PostItem(Post, kFirstPostIndex))
            *State = ReadStateValue(*item);
        return plat::S_OK;
    });
}

HRESULT TStation::SetState(int16_t Post, tlb::TStateEnum AState, tlb::TCmdID* Res) {
    if (!Res) return plat::E_POINTER;
    return SafeCall(OutOfMemoryText::kSet, [&] {
        Log("SetState " + std::to_string(Post) + " " + std::to_string(AState));
        *Res = tlb::E_UNKNOWNPOST;
        if (ComPtr<TLeafItem> item = PostItem(Post, kFirstPostIndex))
            *Res = item->Write(plat::Variant::I4(AState), privilege_, 1, plat::LOCALE_EN_US);
        Log("SetState Res " + std::to_string(*Res));
        return plat::S_OK;
    });
}

HRESULT TStation::ReReadVarValue(int16_t Post, tlb::TVariableEnum Variable, int32_t* Res) {
    if (!Res) return plat::E_POINTER;
    return SafeCall(OutOfMemoryText::kSet, [&] {
        Log("ReReadVarValue " + std::to_string(Post) + " " + std::to_string(Variable));
        *Res = tlb::E_BADVARIABLE;
        // decisions HOST-29
        ComPtr<TLeafItem> item = ValidVariable(Variable) ? PostItem(Post, Variable) : nullptr;
        if (!item) return plat::S_OK;
        item->RequestRefresh();
        *Res = 0;
        return plat::S_OK;
    });
}

HRESULT TStation::GetVariablesCount(int16_t Post, int32_t* Count, int32_t* Res) {
    if (!Count || !Res) return plat::E_POINTER;
    return SafeCall(OutOfMemoryText::kSet, [&] {
        Log("GetVariablesCount " + std::to_string(Post));
        *Count = 0;
        *Res = tlb::E_UNKNOWNPOST;
        TPostRecord r;
        if (!GetPostRecord(Post, r) || !r.Has(kFirstPostIndex)) return plat::S_OK;
        *Count = r.count;
        *Res = 0;
        return plat::S_OK;
    });
}

HRESULT TStation::GetVariable(int16_t Post, int32_t Number, tlb::TVariableInfo* Info,
                              int32_t* Result) {
    if (!Info || !Result) return plat::E_POINTER;
    return SafeCall(OutOfMemoryText::kSet, [&] {
        Log("GetVariable " + std::to_string(Post) + " " + std::to_string(Number));
        *Info = tlb::TVariableInfo{};
        *Result = tlb::E_UNKNOWNPOST;
        TPostRecord r;
        if (!GetPostRecord(Post, r) || !r.Has(kFirstPostIndex)) return plat::S_OK;
        if (Number < 0 || Number >= r.count) {
            *Result = plat::E_INVALIDARG;
            return plat::S_OK;
        }
        *Info = StationVar(r.codes[static_cast<size_t>(Number)]).info;
        *Result = 0;
        return plat::S_OK;
    });
}

HRESULT TStation::SetVarValue(int16_t Post, tlb::TVariableEnum Variable, plat::Currency AValue,
                              tlb::TCmdID* Result) {
    if (!Result) return plat::E_POINTER;
    return SafeCall(OutOfMemoryText::kSet, [&] {
        Log("SetVarValue " + std::to_string(Post) + " " + std::to_string(Variable) + " " +
            std::to_string(AValue.int64));
        *Result = tlb::E_BADVARIABLE;
        ComPtr<TLeafItem> item = ValidVariable(Variable) ? PostItem(Post, Variable) : nullptr;
        if (item && FarOutOfRange(*item, AValue.int64, privilege_))
            *Result = tlb::OPC_E_RANGE;
        else if (item)
            *Result = item->Write(plat::Variant::Cy(AValue), privilege_, 1, plat::LOCALE_EN_US);
        Log("SetVarValue Res " + std::to_string(*Result));
        return plat::S_OK;
    });
}

HRESULT TStation::GetVarValue(int16_t Post, tlb::TVariableEnum Variable, tlb::TVariableValue* Val,
                              int32_t* Result) {
    if (!Val || !Result) return plat::E_POINTER;
    return SafeCall(OutOfMemoryText::kSet, [&] {
        Log("GetVarValue " + std::to_string(Post) + " " + std::to_string(Variable));
        *Val = {};
        *Result = tlb::E_BADVARIABLE;
        ComPtr<TLeafItem> item = ValidVariable(Variable) ? PostItem(Post, Variable) : nullptr;
        if (item) *Result = ReadVariableValue(*item, *Val);
        return plat::S_OK;
    });
}

HRESULT TStation::TryResult(tlb::TCmdID CmdID, tlb::TCmdID* Result) {
    if (!Result) return plat::E_POINTER;
    return SafeCall(OutOfMemoryText::kSet, [&] {
        *Result = CmdQuery(CmdID);
        Log("TryResult " + std::to_string(CmdID) + " " + std::to_string(*Result));
        return plat::S_OK;
    });
}

HRESULT TStation::GetResult(tlb::TCmdID CmdID, tlb::TCmdID* Result) {
    if (!Result) return plat::E_POINTER;
    return SafeCall(OutOfMemoryText::kSet, [&] {
        Log("GetResult " + std::to_string(CmdID));
        *Result = CmdWait(CmdID);
        Log("GetResult Res " + std::to_string(*Result));
        return plat::S_OK;
    });
}

HRESULT TStation::GetVarInterval(int16_t, tlb::TVariableEnum, uint32_t* IdleInterval,
                                 uint32_t* WorkInterval, int32_t* Result) {
    if (!IdleInterval || !WorkInterval || !Result) return plat::E_POINTER;
    *IdleInterval = 1000;
    *WorkInterval = 100;
    *Result = 0;
    return plat::S_OK;
}

HRESULT TStation::SetVarInterval(int16_t, tlb::TVariableEnum, uint32_t, uint32_t, int32_t* Result) {
    if (!Result) return plat::E_POINTER;
    *Result = plat::E_NOTIMPL;
    return plat::S_OK;
}

HRESULT TStation::BandUsed(double* Result) {
    if (!Result) return plat::E_POINTER;
    *Result = 1.0;
    return plat::S_OK;
}

HRESULT TStation::RegisterSinkInterface(tlb::INorvaltEvents* Sink) {
    return SafeCall(OutOfMemoryText::kSet, [&] {
        Log("RegisterSinkInterface");
        if (!Sink) return plat::E_POINTER;
        return RegisterSink(ComPtr<tlb::INorvaltEvents>(Sink), nullptr);
    });
}

HRESULT TStation::RegisterSinkInterfaceEx(tlb::INorvaltEventsEx* Sink) {
    return SafeCall(OutOfMemoryText::kSet, [&] {
        Log("RegisterSinkInterfaceEx");
        if (!Sink) return plat::E_POINTER;
        return RegisterSink(nullptr, ComPtr<tlb::INorvaltEventsEx>(Sink));
    });
}

// decisions HOST-32
HRESULT TStation::UnRegisterSinkInterface() {
    return SafeCall(OutOfMemoryText::kSet, [&] {
        Log("UnRegisterSinkInterface");
        DropSinks();
        return plat::S_OK;
    });
}

HRESULT TStation::RegisterSink(ComPtr<tlb::INorvaltEvents> sink, ComPtr<tlb::INorvaltEventsEx> ex) {
    if (g_stations_done.load()) return plat::CO_E_SERVER_STOPPING;
    // Counted until the thread has ended, so a client that registers again and again while
    // its old threads are still inside its calls runs out of places, not the service of threads.
    std::shared_ptr<void> charge;
    if (!ChargeClient(client_, TChargeKind::EventThread, charge)) {
        WriteProtocolLine("TRKSrv RegisterSinkInterface refused: " + client_ + " holds " +
                              std::to_string(kMaxEventThreadsPerClient) + " event threads",
                          PL_EXTERNAL);
        return plat::E_OUTOFMEMORY;
    }
    auto fresh = std::make_shared<TAdvThread>(sink, ex);
    fresh->SetCharge(std::move(charge));
    std::shared_ptr<TAdvThread> old;
    {
        std::lock_guard lk(sink_mutex_);
        old = std::exchange(thread_, fresh);
        sink_ = std::move(sink);
        sink_ex_ = std::move(ex);
        // The new thread waits for the old one before its first event, so the client never
        // hears two threads at once; nobody waits here while holding the lock.
        fresh->Start(old);
    }
    if (old) old->Terminate();
    return plat::S_OK;
}

void TStation::DropSinks() {
    std::shared_ptr<TAdvThread> old;
    ComPtr<tlb::INorvaltEvents> sink;
    ComPtr<tlb::INorvaltEventsEx> ex;
    {
        std::lock_guard lk(sink_mutex_);
        old = std::move(thread_);
        sink = std::move(sink_);
        ex = std::move(sink_ex_);
    }
    // Never waits on the client: the release that brought us here may be what its reply has to
    // pass. A thread inside a sink call ends by itself when the call returns.
    if (old && !old->Stop())
        Log("event thread left to end after the client's call " + std::to_string(list_index_));
    // The sinks are released here, after the thread let go of its own references (unless it is
    // still inside a call, which holds them until it returns).
}

bool TStation::EventThreadRunning() {
    std::lock_guard lk(sink_mutex_);
    return thread_ && !thread_->Finished() && !thread_->Terminated();
}

// --- unit operations ----------------------------------------------------------------------------

void InitStations() {
    g_stations_done.store(false);
    {
        StationList& l = Stations();
        WriteGuard g(l.lock);
        l.slots.clear();
    }
    ClearPostCache();
    InvalidatePostCache();
    SetStationsExistProbe(&StationsExistProbe);
    SetPostItemAddedHook(&OnPostItemAdded);
}

void DoneStations() {
    SetStationsExistProbe(nullptr);
    SetPostItemAddedHook(nullptr);
    std::vector<ComPtr<IRef>> taken;
    {
        StationList& l = Stations();
        WriteGuard g(l.lock);
        taken.swap(l.slots);
    }
    g_stations_done.store(true);
    for (ComPtr<IRef>& ref : taken) {
        if (!ref) continue;
        if (auto* station = dynamic_cast<TStation*>(ref->Self()))
            station->UnRegisterSinkInterface();
        ref = nullptr;
    }
    // Threads left inside client calls end when the calls do (at once once the transport has
    // stopped); none may outlive the stop.
    if (!TAdvThread::WaitAllEnded(kShutdownWaitMs))
        WriteProtocolLine("TRKSrv " + std::to_string(TAdvThread::Running()) +
                              " event threads still inside client calls at the stop",
                          PL_CRITICAL);
    ClearPostCache();
}

bool StationsInUse() {
    {
        StationList& l = Stations();
        WriteGuard g(l.lock);
        if (std::any_of(l.slots.begin(), l.slots.end(),
                        [](const ComPtr<IRef>& r) { return bool(r); }))
            return true;
        l.slots.clear();
    }
    for (int post : PostsWithState()) {
        ComPtr<TLeafItem> item = PostItem(post, kFirstPostIndex);
        if (!item) continue;
        const int32_t s = ReadStateValue(*item).Value;
        if (s == tlb::csWaitingKey || s == tlb::csWorking || s == tlb::csPaused) return true;
    }
    return false;
}

int StationListCount() {
    StationList& l = Stations();
    ReadGuard g(l.lock);
    return static_cast<int>(std::count_if(l.slots.begin(), l.slots.end(),
                                          [](const ComPtr<IRef>& r) { return bool(r); }));
}

void SetServiceStoppingProbe(StoppingFn fn) {
    CoreHooks().service_stopping.store(fn);
}

void AddStationHooks(TCoreHooks& hooks) {
    hooks.stations_exist = &StationsExistProbe;
    hooks.post_item_added = &OnPostItemAdded;
}

plat::ComPtr<plat::IClassFactory> MakeStationFactory() {
    return plat::MakeCom<plat::FunctionClassFactory>([](const IID& iid, void** out) -> HRESULT {
        ComPtr<TStation> station = TStation::Create();
        return station->QueryInterface(iid, out);
    });
}

uint32_t RegisterStationClass() {
    plat::ComPtr<plat::IClassFactory> f = MakeStationFactory();
    return plat::RegisterClassObject(tlb::CLSID_TORK, f.Get());
}

}  // namespace drv
