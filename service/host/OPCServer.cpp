#include "service/host/OPCServer.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/com/callcontext.h"
#include "platform/com/error.h"
#include "platform/thread/thread.h"
#include "platform/time/clock.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/core/base/ChangeRing.h"
#include "service/core/base/ValueConvert.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/host/Enum.h"
#include "service/host/HostCalls.h"
#include "service/host/OPCServerKit.h"

namespace drv {

namespace {

constexpr const char* kTagAdvisePass = "{8C2E51A7-4B90-4D3F-A6E1-93D07F5B2C64}";
constexpr const char* kTagAdviseFatal = "OPC Advise Thread fatal";
constexpr const char* kVendorInfo = "Norvalt hardware monitoring service, OPC DA 2.0";
constexpr uint32_t kShutdownSleepMs = 2000;

std::atomic<int> g_server_counter{0};
std::atomic<int> g_live_servers{0};
std::atomic<int> g_advise_running{0};

// --- server list -------------------------------------------------------------------------------

struct ServerList {
    ServerList() : start_stamp(GetNowFileTime()) {}
    // decisions HOST-35
    TSyncLock lock{"OPCServers"};
    std::vector<ComPtr<IRef>> slots;
    const plat::FILETIME start_stamp;
};

ServerList& Servers() {
    static ServerList* l = new ServerList;  // servers may go after static destruction began
    return *l;
}
// The unit's start stamp is taken when the program loads.
[[maybe_unused]] const bool g_list_made = (Servers(), true);

// --- client quota ------------------------------------------------------------------------------

struct Quota {
    std::mutex m;
    std::map<std::string, int> used;
};

Quota& ServerQuota() {
    static Quota* q = new Quota;
    return *q;
}

// A place in the caller's quota of server objects, given back when the last copy goes; null
// for callers in this process (no quota). Throws when the quota is full.
std::shared_ptr<void> ChargeServer() {
    const plat::CallContext& ctx = plat::GetCallContext();
    if (!ctx.transported) return nullptr;
    const std::string client = ctx.peer;
    Quota& q = ServerQuota();
    {
        std::lock_guard lk(q.m);
        int& used = q.used[client];
        if (used >= kMaxOPCServersPerClient) {
            WriteProtocolLine("OPCServer create refused: " + client + " holds " +
                                  std::to_string(kMaxOPCServersPerClient) + " servers",
                              PL_EXTERNAL);
            throw plat::ComError(plat::E_OUTOFMEMORY,
                                 "Too many OPC server objects for one client (" +
                                     std::to_string(kMaxOPCServersPerClient) + ")");
        }
        ++used;
    }
    return std::shared_ptr<void>(nullptr, [client](void*) {
        Quota& q = ServerQuota();
        std::lock_guard lk(q.m);
        auto it = q.used.find(client);
        if (it != q.used.end() && --it->second <= 0) q.used.erase(it);
    });
}

}  // namespace

// --- server core -------------------------------------------------------------------------------

void TServerCore::DropGroupIfLast(TGroup* group) {
    ComPtr<TGroup> taken;
    std::shared_ptr<TAdviseThread> ended;
    {
        WriteGuard g(lock);
        auto it = std::find_if(groups.begin(), groups.end(),
                               [&](const ComPtr<TGroup>& p) { return p.Get() == group; });
        // Not in the array: the group may be gone already, so it is not touched.
        if (it == groups.end() || group->RefCount() != 1) return;
        taken = std::move(*it);
        groups.erase(it);
        if (groups.empty()) ended = std::exchange(thread, nullptr);
        if (ended) ended->Terminate();
    }
    if (ended) ended->Stop();
    // The group goes here, outside the server's lock.
}

HRESULT TServerCore::AdoptGroup(const ComPtr<TGroup>& group) {
    const std::u16string name = group->Name();
    WriteGuard g(lock);
    for (const ComPtr<TGroup>& p : groups)
        if (p->Name() == name) return plat::OPC_E_DUPLICATENAME;
    if (groups.size() >= kMaxGroupsPerServer) return plat::E_OUTOFMEMORY;
    groups.push_back(group);
    if (!thread) {
        thread = std::make_shared<TAdviseThread>(shared_from_this());
        thread->Start();
    }
    return plat::S_OK;
}

// --- advise thread -----------------------------------------------------------------------------

TAdviseThread::TAdviseThread(std::shared_ptr<TServerCore> core) : core_(std::move(core)) {}

TAdviseThread::~TAdviseThread() {
    if (!thread_.joinable()) return;
    // The last owner may be the thread itself (its start routine holds one).
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

int TAdviseThread::Running() {
    return g_advise_running.load();
}

void TAdviseThread::Start() {
    std::lock_guard lk(join_mutex_);
    if (thread_.joinable()) return;
    thread_ = std::thread([self = shared_from_this()] { self->Execute(); });
}

void TAdviseThread::Terminate() {
    {
        std::lock_guard lk(wake_mutex_);
        terminated_.store(true);
    }
    wake_cv_.notify_all();
}

bool TAdviseThread::Stop(uint32_t grace_ms) {
    Terminate();
    {
        std::lock_guard lk(join_mutex_);
        if (!thread_.joinable()) return finished_.load();
        // From the thread itself (a group released by its own pass): it ends when the pass
        // returns.
        if (thread_.get_id() == std::this_thread::get_id()) return false;
    }
    std::unique_lock lk(wake_mutex_);
    plat::WaitFor(wake_cv_, lk, grace_ms, [&] { return finished_.load(); });
    return finished_.load();
}

void TAdviseThread::Pause(uint32_t ms) {
    std::unique_lock lk(wake_mutex_);
    plat::WaitFor(wake_cv_, lk, ms, [&] { return terminated_.load(); });
}

void TAdviseThread::WaitForChange(uint32_t ms) {
    // In slices, so that a termination is seen soon.
    uint32_t waited = 0;
    while (waited < ms && !terminated_.load()) {
        const uint32_t slice = std::min(kWaitSliceMs, ms - waited);
        if (ChangeRing().Wait(ring_mark_, slice) == TChangeRing::Moved) return;
        waited += slice;
    }
}

uint32_t TAdviseThread::Scan() {
    // The groups are called, and their references dropped, outside the server's lock: a
    // group whose last other reference goes here removes itself under that lock.
    std::vector<ComPtr<TGroup>> groups;
    {
        ReadGuard g(core_->lock);
        groups = core_->groups;
    }
    passes_.fetch_add(1);
    const uint32_t now = plat::GetTickCount();
    uint32_t due = now + (groups.empty() ? kNoGroupsMs : TGroup::kIdleStepMs);
    for (const ComPtr<TGroup>& group : groups) {
        if (terminated_.load()) break;
        const uint32_t d = group->CallbackStep();
        if (static_cast<int32_t>(d - now) < static_cast<int32_t>(due - now)) due = d;
    }
    return due;
}

void TAdviseThread::Execute() {
    g_advise_running.fetch_add(1);
    try {
        plat::SetCurrentThreadName("OPCAdvise");
        ring_mark_ = ChangeRing().Head();
        while (!terminated_.load()) {
            try {
                const uint32_t due = Scan();
                const int32_t ahead = static_cast<int32_t>(due - plat::GetTickCount());
                if (ahead > static_cast<int32_t>(kShortWaitMs))
                    WaitForChange(static_cast<uint32_t>(ahead));
                else if (ahead > 0)
                    Pause(static_cast<uint32_t>(ahead));
            } catch (const std::exception& e) {
                WriteProtocolLine(
                    std::string(kTagAdvisePass) + " " + ExceptionClassName(e) + " " + e.what(),
                    PL_EXTERNAL);
                Pause(kExceptionPauseMs);
            }
        }
    } catch (const std::exception& e) {
        ProtocolException(e, kTagAdviseFatal);
    } catch (...) {
        ProtocolCurrentException(kTagAdviseFatal);
    }
    g_advise_running.fetch_sub(1);
    {
        std::lock_guard lk(wake_mutex_);
        finished_.store(true);
    }
    wake_cv_.notify_all();
}

// --- TOPCServer: life ----------------------------------------------------------------------------

TOPCServer::TOPCServer()
    : shutdown_point_(
          static_cast<plat::IConnectionPointContainer*>(this), 1,
          [this](opc::IOPCShutdown* sink, bool connect) { return OnShutdownSink(sink, connect); }) {
    g_live_servers.fetch_add(1);
}

TOPCServer::~TOPCServer() {
    std::vector<ComPtr<TGroup>> groups;
    std::shared_ptr<TAdviseThread> thread;
    ComPtr<opc::IOPCShutdown> sink;
    if (core_) {
        WriteGuard g(core_->lock);
        groups.swap(core_->groups);
        thread = std::exchange(core_->thread, nullptr);
        sink = std::move(core_->shutdown_sink);
    }
    if (thread) thread->Stop();
    groups.clear();
    sink = nullptr;
    shutdown_point_.DisconnectAll();
    if (core_) Log("Destroy");
    g_live_servers.fetch_sub(1);
}

int TOPCServer::LiveCount() {
    return g_live_servers.load();
}

void TOPCServer::Initialize() {
    charge_ = ChargeServer();
    const int number = g_server_counter.fetch_add(1) + 1;
    core_ = std::make_shared<TServerCore>("OPCServer " + std::to_string(number));
    core_->number = number;
    // The creating caller: a client over the transport, or this process.
    const plat::CallContext& ctx = plat::GetCallContext();
    privilege_ = ctx.admin ? 1 : 0;
    core_->locale = ctx.locale == plat::LOCALE_RU_RU ? plat::LOCALE_RU_RU : plat::LOCALE_EN_US;
    start_tick_ = plat::GetTickCount();
    {
        ServerList& l = Servers();
        WriteGuard g(l.lock);
        // A free slot is taken again, so that the list does not grow with every client.
        auto free =
            std::find_if(l.slots.begin(), l.slots.end(), [](const ComPtr<IRef>& r) { return !r; });
        if (free == l.slots.end()) free = l.slots.insert(l.slots.end(), ComPtr<IRef>());
        *free = ComPtr<IRef>(static_cast<IRef*>(this));
        list_index_ = static_cast<int>(free - l.slots.begin());
    }
    Log("Create privilege " + std::to_string(privilege_) + " locale " +
        std::to_string(core_->locale));
}

uint32_t TOPCServer::Release() {
    const int index = list_index_;
    const uint32_t n = TMyInterfacedObject::Release();
    if (n == 1) ReleaseListSlot(Servers(), index, this);
    return n;
}

void* TOPCServer::FindInterface(const IID& iid) {
    if (iid == opc::IID_IOPCCommon) return static_cast<opc::IOPCCommon*>(this);
    if (iid == opc::IID_IOPCServer) return static_cast<opc::IOPCServer*>(this);
    if (iid == opc::IID_IOPCBrowseServerAddressSpace)
        return static_cast<opc::IOPCBrowseServerAddressSpace*>(this);
    if (iid == opc::IID_IOPCItemProperties) return static_cast<opc::IOPCItemProperties*>(this);
    if (iid == plat::IID_IConnectionPointContainer)
        return static_cast<plat::IConnectionPointContainer*>(this);
    return TMyInterfacedObject::FindInterface(iid);
}

void TOPCServer::Log(const std::string& text, int level) {
    WriteProtocolLine("OPCServer " + std::to_string(core_ ? core_->number : 0) + " " + text, level);
}

uint8_t TOPCServer::ClientKind() {
    ReadGuard g(core_->lock);
    return core_->client_kind;
}

bool TOPCServer::HasAdviseThread() {
    return AdviseThread() != nullptr;
}

std::shared_ptr<TAdviseThread> TOPCServer::AdviseThread() {
    ReadGuard g(core_->lock);
    return core_->thread;
}

size_t TOPCServer::GroupCount() {
    ReadGuard g(core_->lock);
    return core_->groups.size();
}

std::string TOPCServer::GetErrorText(HRESULT code, plat::LCID lcid) {
    return OPCErrorText(code, lcid);
}

// --- IOPCCommon ----------------------------------------------------------------------------------

HRESULT TOPCServer::SetLocaleID(plat::LCID dwLcid) {
    if (dwLcid != plat::LOCALE_EN_US && dwLcid != plat::LOCALE_RU_RU) return plat::E_INVALIDARG;
    WriteGuard g(core_->lock);
    core_->locale = dwLcid;
    return plat::S_OK;
}

HRESULT TOPCServer::GetLocaleID(plat::LCID* pdwLcid) {
    if (!pdwLcid) return plat::E_POINTER;
    ReadGuard g(core_->lock);
    *pdwLcid = core_->locale;
    return plat::S_OK;
}

HRESULT TOPCServer::QueryAvailableLocaleIDs(uint32_t* pdwCount, plat::LCID** pdwLcid) {
    if (!pdwCount || !pdwLcid) return plat::E_POINTER;
    *pdwCount = 0;
    *pdwLcid = static_cast<plat::LCID*>(plat::CoTaskMemAlloc(2 * sizeof(plat::LCID)));
    if (!*pdwLcid) return plat::E_OUTOFMEMORY;
    (*pdwLcid)[0] = plat::LOCALE_EN_US;
    (*pdwLcid)[1] = plat::LOCALE_RU_RU;
    *pdwCount = 2;
    return plat::S_OK;
}

HRESULT TOPCServer::GetErrorString(HRESULT dwError, char16_t** ppString) {
    if (!ppString) return plat::E_POINTER;
    *ppString = nullptr;
    plat::LCID lcid;
    {
        ReadGuard g(core_->lock);
        lcid = core_->locale;
    }
    return SafeCall([&] { return TaskString(GetErrorText(dwError, lcid), ppString); });
}

HRESULT TOPCServer::SetClientName(const char16_t* szName) {
    if (!szName) return plat::E_INVALIDARG;
    std::u16string name(szName);
    if (name.size() > kMaxClientNameChars) name.resize(kMaxClientNameChars);
    // decisions HOST-63
    bool friend_named = false;
    // Over TCP anyone who reaches the port can give the name: a remote caller is trusted only
    // where the transport's settings say so. decisions HOST-71
    const bool untrusted_remote =
        name == kFriendClientName && plat::GetCallContext().remote && !plat::TrustRemoteClients();
    {
        WriteGuard g(core_->lock);
        core_->client_name = name;
        if (name == kFriendClientName && !untrusted_remote) {
            core_->client_kind = kClientFriend;
            friend_named = true;
        } else if (core_->client_kind == kClientUnnamed) {
            core_->client_kind = kClientOther;
        }
    }
    Log("SetClientName " + plat::WideToUtf8(name));
    if (friend_named) Log("Client friend");
    if (untrusted_remote) Log("Client from another computer not trusted (TrustRemoteClients)");
    return plat::S_OK;
}

// --- IOPCServer ----------------------------------------------------------------------------------

ComPtr<TGroup> TOPCServer::MakeGroup(const TGroupArgs& args) {
    return New<TGroup>(std::weak_ptr<TServerCore>(core_), args);
}

// decisions HOST-38
HRESULT TOPCServer::AddGroup(const char16_t* szName, opc::BOOL bActive,
                             uint32_t dwRequestedUpdateRate, opc::OPCHANDLE hClientGroup,
                             const int32_t* pTimeBias, const float* pPercentDeadband,
                             plat::LCID dwLCID, opc::OPCHANDLE* phServerGroup,
                             uint32_t* pRevisedUpdateRate, const IID& riid, void** ppUnk) {
    if (!phServerGroup || !pRevisedUpdateRate || !ppUnk) return plat::E_POINTER;
    *ppUnk = nullptr;
    return SafeCall([&]() -> HRESULT {
        TGroupArgs args;
        args.name = Arg(szName);
        args.active = bActive != 0;
        args.requested_rate = dwRequestedUpdateRate;
        args.client_handle = hClientGroup;
        args.time_bias = pTimeBias ? *pTimeBias : 0;
        args.percent_deadband = pPercentDeadband ? *pPercentDeadband : 0.0f;
        args.lcid = dwLCID;
        args.server_index = list_index_;
        args.privilege = privilege_;
        // Dropped outside the lock when the group cannot be handed out.
        ComPtr<TGroup> group;
        void* out = nullptr;
        HRESULT hr = plat::S_OK;
        {
            WriteGuard g(core_->lock);
            auto named = [&](const std::u16string& n) {
                return std::any_of(core_->groups.begin(), core_->groups.end(),
                                   [&](const ComPtr<TGroup>& p) { return p->Name() == n; });
            };
            if (!args.name.empty() && named(args.name)) return plat::OPC_E_DUPLICATENAME;
            if (core_->groups.size() >= kMaxGroupsPerServer) {
                Log("AddGroup refused: " + std::to_string(kMaxGroupsPerServer) + " groups",
                    PL_EXTERNAL);
                return plat::E_OUTOFMEMORY;
            }
            args.client_kind = core_->client_kind;
            group = MakeGroup(args);
            if (args.name.empty() && named(group->Name())) return plat::OPC_E_DUPLICATENAME;
            // Only a group that the client gets is kept: a group it never holds would never be
            // released, and its name would block the next AddGroup.
            hr = group->QueryInterface(riid, &out);
            if (plat::Succeeded(hr)) {
                core_->groups.push_back(group);
                if (!core_->thread) {
                    core_->thread = std::make_shared<TAdviseThread>(core_);
                    core_->thread->Start();
                }
            }
        }
        if (plat::Failed(hr)) return hr;
        *ppUnk = out;
        *phServerGroup = group->ServerHandle();
        *pRevisedUpdateRate = group->UpdateRate();
        Log("AddGroup " + plat::WideToUtf8(group->Name()) + " handle " +
            std::to_string(group->ServerHandle()));
        return group->RateRevised() ? plat::OPC_S_UNSUPPORTEDRATE : plat::S_OK;
    });
}

HRESULT TOPCServer::GetErrorString(HRESULT dwError, plat::LCID dwLocale, char16_t** ppString) {
    if (!ppString) return plat::E_POINTER;
    *ppString = nullptr;
    return SafeCall([&] { return TaskString(GetErrorText(dwError, dwLocale), ppString); });
}

HRESULT TOPCServer::GetGroupByName(const char16_t* szName, const IID& riid, void** ppUnk) {
    if (!ppUnk) return plat::E_POINTER;
    *ppUnk = nullptr;
    const std::u16string name = Arg(szName);
    ComPtr<TGroup> group;
    {
        ReadGuard g(core_->lock);
        for (auto it = core_->groups.rbegin(); it != core_->groups.rend(); ++it)
            if ((*it)->Name() == name) {
                group = *it;
                break;
            }
    }
    if (!group) return plat::E_INVALIDARG;
    return group->QueryInterface(riid, ppUnk);
}

HRESULT TOPCServer::GetStatus(opc::OPCSERVERSTATUS** ppServerStatus) {
    if (!ppServerStatus) return plat::E_POINTER;
    *ppServerStatus = nullptr;
    auto* s =
        static_cast<opc::OPCSERVERSTATUS*>(plat::CoTaskMemAlloc(sizeof(opc::OPCSERVERSTATUS)));
    if (!s) return plat::E_OUTOFMEMORY;
    new (s) opc::OPCSERVERSTATUS();
    s->szVendorInfo = WideToTaskMem(plat::Utf8ToWide(kVendorInfo));
    if (!s->szVendorInfo) {
        plat::CoTaskMemFree(s);
        return plat::E_OUTOFMEMORY;
    }
    s->ftStartTime = Servers().start_stamp;
    s->ftCurrentTime = GetNowFileTime();
    s->ftLastUpdateTime = s->ftCurrentTime;
    s->dwServerState = opc::OPC_STATUS_RUNNING;
    s->dwGroupCount = static_cast<uint32_t>(GroupCount());
    s->dwBandWidth = 1000;
    s->wMajorVersion = 1;
    s->wMinorVersion = 1;
    s->wBuildNumber = 1;
    *ppServerStatus = s;
    return plat::S_OK;
}

// decisions HOST-37, HOST-41
HRESULT TOPCServer::RemoveGroup(opc::OPCHANDLE hServerGroup, opc::BOOL bForce) {
    (void)bForce;
    ComPtr<TGroup> taken;
    std::shared_ptr<TAdviseThread> ended;
    {
        WriteGuard g(core_->lock);
        auto& groups = core_->groups;
        auto it = std::find_if(groups.begin(), groups.end(), [&](const ComPtr<TGroup>& p) {
            return p->ServerHandle() == hServerGroup;
        });
        if (it == groups.end()) return plat::S_FALSE;
        taken = std::move(*it);
        groups.erase(it);
        if (groups.empty()) ended = std::exchange(core_->thread, nullptr);
        if (ended) ended->Terminate();
    }
    if (ended) ended->Stop();
    Log("RemoveGroup " + std::to_string(hServerGroup));
    return plat::S_OK;  // the group's reference goes outside the lock
}

HRESULT TOPCServer::CreateGroupEnumerator(opc::OPCENUMSCOPE dwScope, const IID& riid,
                                          void** ppUnk) {
    (void)dwScope;
    if (!ppUnk) return plat::E_POINTER;
    *ppUnk = nullptr;
    return SafeCall([&]() -> HRESULT {
        // The snapshot's references are dropped outside the lock (a group may remove itself).
        std::vector<ComPtr<TGroup>> groups;
        {
            ReadGuard g(core_->lock);
            groups = core_->groups;
        }
        if (riid == opc::IID_IEnumString) {
            std::vector<std::u16string> names;
            names.reserve(groups.size());
            for (auto& grp : groups) names.push_back(grp->Name());
            return TEnumString::Create(std::move(names))->QueryInterface(riid, ppUnk);
        }
        std::vector<ComPtr<plat::IUnknown>> entries;
        entries.reserve(groups.size());
        for (auto& grp : groups)
            entries.emplace_back(static_cast<plat::IUnknown*>(static_cast<IRef*>(grp.Get())));
        return TEnumUnknown::Create(std::move(entries))->QueryInterface(riid, ppUnk);
    });
}

// --- IConnectionPointContainer -------------------------------------------------------------------

HRESULT TOPCServer::EnumConnectionPoints(plat::IEnumConnectionPoints** out) {
    return plat::EnumConnectionPointsIn({&shutdown_point_}, out);
}

HRESULT TOPCServer::FindConnectionPoint(const IID& iid, plat::IConnectionPoint** out) {
    return plat::FindConnectionPointIn(iid, {&shutdown_point_}, out);
}

HRESULT TOPCServer::OnShutdownSink(opc::IOPCShutdown* sink, bool connect) {
    ComPtr<opc::IOPCShutdown> old;
    {
        WriteGuard g(core_->lock);
        if (connect) {
            // One sink: a second Advise racing the first is refused here as by the point.
            if (core_->shutdown_sink) return plat::CONNECT_E_ADVISELIMIT;
            core_->shutdown_sink = ComPtr<opc::IOPCShutdown>(sink);
        } else if (core_->shutdown_sink.Get() == sink) {
            old = std::move(core_->shutdown_sink);
        }
    }
    return plat::S_OK;  // `old` goes outside the lock: its release may be a remote call
}

// --- unit operations -----------------------------------------------------------------------------

bool OPCServerExists() {
    ServerList& l = Servers();
    ReadGuard g(l.lock);
    return std::any_of(l.slots.begin(), l.slots.end(),
                       [](const ComPtr<IRef>& r) { return bool(r); });
}

namespace {

// The stop notices still inside a client's call (ShutdownNoticesInFlight).
std::atomic<int> g_notices_in_flight{0};

// Notices of one RequestShutdownAll that have not come back yet.
struct NoticeWait {
    std::mutex m;
    std::condition_variable cv;
    size_t left = 0;
};

// Waits until every notice of `w` came back, `done` holds or the process clock reaches
// `until`; the wait is re-checked often so a fake clock is followed.
void WaitNotices(NoticeWait& w, uint32_t until, const std::function<bool()>& done) {
    std::unique_lock lk(w.m);
    while (w.left > 0 && !done() && static_cast<int32_t>(plat::GetTickCount() - until) < 0)
        w.cv.wait_for(lk, std::chrono::milliseconds(5));
}

}  // namespace

int ShutdownNoticesInFlight() {
    return g_notices_in_flight.load();
}

void RequestShutdownAll() {
    struct Target {
        ComPtr<opc::IOPCShutdown> sink;
        std::shared_ptr<TServerCore> core;
    };
    // The sinks are gathered under the list's lock and called outside it: a client may
    // release its server inside the call, and a slow one must not hold the list.
    std::vector<Target> targets;
    {
        ServerList& l = Servers();
        ReadGuard g(l.lock);
        for (auto it = l.slots.rbegin(); it != l.slots.rend(); ++it) {
            if (!*it) continue;
            auto* server = dynamic_cast<TOPCServer*>((*it)->Self());
            if (!server) continue;
            std::shared_ptr<TServerCore> core = server->core_;
            ReadGuard sg(core->lock);
            if (core->shutdown_sink) targets.push_back({core->shutdown_sink, core});
        }
    }
    // Each notice runs on a thread of its own, so a client that never answers holds up neither
    // the others nor the stop: the next notice goes out when the previous one came back or
    // after a short slice, and all of them together are waited for no longer than the
    // deadline. A notice still out then ends with the client's call time-out or when the
    // transport closes.
    auto wait = std::make_shared<NoticeWait>();
    const uint32_t deadline = plat::GetTickCount() + kShutdownNoticeDeadlineMs;
    size_t skipped = 0;
    for (Target& t : targets) {
        if (g_notices_in_flight.fetch_add(1) >= kMaxShutdownNoticesInFlight) {
            g_notices_in_flight.fetch_sub(1);
            ++skipped;
            continue;
        }
        auto answered = std::make_shared<std::atomic<bool>>(false);
        {
            std::lock_guard lk(wait->m);
            ++wait->left;
        }
        try {
            std::thread([t = std::move(t), wait, answered]() mutable {
                const std::u16string reason(kShutdownReason);
                try {
                    t.core->calls.Check("ShutdownRequest", t.sink->ShutdownRequest(reason.c_str()));
                } catch (const std::exception& e) {
                    WriteProtocolLine(
                        "OPCServer " + std::to_string(t.core->number) + " " + e.what(),
                        PL_EXTERNAL);
                } catch (...) {
                    ProtocolCurrentException("OPCServer ShutdownRequest");
                }
                t = {};  // the client's references go before the notice counts as back
                answered->store(true);
                {
                    std::lock_guard lk(wait->m);
                    --wait->left;
                }
                wait->cv.notify_all();
                g_notices_in_flight.fetch_sub(1);
            }).detach();
        } catch (const std::system_error&) {
            {
                std::lock_guard lk(wait->m);
                --wait->left;
            }
            g_notices_in_flight.fetch_sub(1);
            ++skipped;
            continue;
        }
        const uint32_t slice = plat::GetTickCount() + kShutdownNoticeSliceMs;
        WaitNotices(*wait, static_cast<int32_t>(slice - deadline) < 0 ? slice : deadline,
                    [&] { return answered->load(); });
    }
    targets.clear();
    WaitNotices(*wait, deadline, [] { return false; });
    size_t late = 0;
    {
        std::lock_guard lk(wait->m);
        late = wait->left;
    }
    if (late > 0 || skipped > 0)
        WriteProtocolLine("OPCServer stop notices: " + std::to_string(late) +
                              " clients did not answer in time, " + std::to_string(skipped) +
                              " not asked",
                          PL_EXTERNAL);
    plat::Sleep(kShutdownSleepMs);
}

}  // namespace drv
