// The OPC Data Access server object: one per connected OPC client. It answers the common,
// server, browsing and item-property interfaces and the shutdown connection point, owns the
// client's groups, runs one advise thread that drives them, and decides whether the client is
// trusted (a friend).
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/com/connpt.h"
#include "service/core/base/ObjectBase.h"
#include "service/host/OPCErrors.h"
#include "service/host/OPCGroup.h"
#include "service/typelib/OpcDa.h"

namespace drv {

// The name a trusted client gives itself (exact, case-sensitive).
inline constexpr std::u16string_view kFriendClientName = u"5D3A9C07E1B24F68A0C7D2E49B1F6A83";

// What one client may make the service hold.
// decisions HOST-42
constexpr size_t kMaxGroupsPerServer = 256;
constexpr int kMaxOPCServersPerClient = 32;
// Longer client names are cut: the name is only stored and logged.
constexpr size_t kMaxClientNameChars = 256;
// The stop notices: waited for at most this long in all (process clock); a slow client holds
// the next notice back at most a slice; at most this many wait for their clients at once.
constexpr uint32_t kShutdownNoticeDeadlineMs = 3000;
constexpr uint32_t kShutdownNoticeSliceMs = 100;
// decisions HOST-36
constexpr int kMaxShutdownNoticesInFlight = 64;

// The stop request every shutdown sink is told.
inline constexpr std::u16string_view kShutdownReason =
    u"NorvaltDrv received stop request from service manager.";

class TAdviseThread;

// What a server shares with its groups (weakly, as their owner) and its advise thread: the
// server's lock and what it guards. It outlives the server while the thread or a group call
// still uses it.
struct TServerCore : IGroupOwner, std::enable_shared_from_this<TServerCore> {
    explicit TServerCore(const std::string& lock_name) : lock(lock_name) {}

    // The group array's entry for `group` is dropped when it holds the last reference; with
    // the last group the advise thread ends.
    void DropGroupIfLast(TGroup* group) override;
    // AddGroup's core for a group made elsewhere (CloneGroup): a name already in use →
    // OPC_E_DUPLICATENAME, a full array → E_OUTOFMEMORY; else the group is stored and the
    // advise thread started with the first group.
    HRESULT AdoptGroup(const ComPtr<TGroup>& group) override;
    void CheckClientCall(std::string_view method, HRESULT hr) override { calls.Check(method, hr); }

    TSyncLock lock;
    // Guarded by `lock`.
    std::vector<ComPtr<TGroup>> groups;
    std::shared_ptr<TAdviseThread> thread;
    ComPtr<opc::IOPCShutdown> shutdown_sink;
    plat::LCID locale = plat::LOCALE_EN_US;
    std::u16string client_name;
    uint8_t client_kind = kClientUnnamed;
    std::string browse_position;  // full name; "" is the root

    int number = 0;  // the server number (log lines)
    TClientCalls calls;
};

// Drives the groups of one server: each pass runs every group's callback step, then waits
// until the earliest group is due, waking early when the change ring moves.
class TAdviseThread : public std::enable_shared_from_this<TAdviseThread> {
  public:
    explicit TAdviseThread(std::shared_ptr<TServerCore> core);
    ~TAdviseThread();
    TAdviseThread(const TAdviseThread&) = delete;
    TAdviseThread& operator=(const TAdviseThread&) = delete;

    void Start();
    void Terminate();
    // Terminates and waits for the end at most `grace_ms` of the process clock; never on
    // the thread itself. True when the thread has ended.
    bool Stop(uint32_t grace_ms = kStopGraceMs);
    bool Finished() const { return finished_.load(); }
    // Passes made (tests and diagnostics).
    uint64_t Passes() const { return passes_.load(); }

    // Threads between the start and the end of Execute, in this process.
    static int Running();

    static constexpr uint32_t kStopGraceMs = 1000;
    static constexpr uint32_t kNoGroupsMs = 100;
    static constexpr uint32_t kShortWaitMs = 100;
    static constexpr uint32_t kExceptionPauseMs = 1000;
    static constexpr uint32_t kWaitSliceMs = 50;

  private:
    void Execute();
    // One pass over the groups; the tick the next one is due.
    uint32_t Scan();
    void WaitForChange(uint32_t ms);
    void Pause(uint32_t ms);

    std::shared_ptr<TServerCore> core_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<uint64_t> passes_{0};
    std::mutex wake_mutex_;
    std::condition_variable wake_cv_;
    std::mutex join_mutex_;
    std::thread thread_;
    uint32_t ring_mark_ = 0;
};

class TOPCServer : public TMyInterfacedObject,
                   public opc::IOPCCommon,
                   public opc::IOPCServer,
                   public opc::IOPCBrowseServerAddressSpace,
                   public opc::IOPCItemProperties,
                   public plat::IConnectionPointContainer {
  public:
    // Builds a server (or a subclass) and initializes it from the calling client: refused
    // beyond the client's quota (E_OUTOFMEMORY).
    template <class T = TOPCServer>
    static ComPtr<T> Create() {
        T* s = new T();
        s->AfterConstruction();
        ComPtr<T> p(s);
        s->Initialize();
        return p;
    }

    // IOPCCommon
    HRESULT SetLocaleID(plat::LCID dwLcid) override;
    HRESULT GetLocaleID(plat::LCID* pdwLcid) override;
    HRESULT QueryAvailableLocaleIDs(uint32_t* pdwCount, plat::LCID** pdwLcid) override;
    HRESULT GetErrorString(HRESULT dwError, char16_t** ppString) override;
    HRESULT SetClientName(const char16_t* szName) override;

    // IOPCServer
    HRESULT AddGroup(const char16_t* szName, opc::BOOL bActive, uint32_t dwRequestedUpdateRate,
                     opc::OPCHANDLE hClientGroup, const int32_t* pTimeBias,
                     const float* pPercentDeadband, plat::LCID dwLCID,
                     opc::OPCHANDLE* phServerGroup, uint32_t* pRevisedUpdateRate, const IID& riid,
                     void** ppUnk) override;
    HRESULT GetErrorString(HRESULT dwError, plat::LCID dwLocale, char16_t** ppString) override;
    HRESULT GetGroupByName(const char16_t* szName, const IID& riid, void** ppUnk) override;
    HRESULT GetStatus(opc::OPCSERVERSTATUS** ppServerStatus) override;
    HRESULT RemoveGroup(opc::OPCHANDLE hServerGroup, opc::BOOL bForce) override;
    HRESULT CreateGroupEnumerator(opc::OPCENUMSCOPE dwScope, const IID& riid,
                                  void** ppUnk) override;

    // IOPCBrowseServerAddressSpace
    HRESULT QueryOrganization(opc::OPCNAMESPACETYPE* pNameSpaceType) override;
    HRESULT ChangeBrowsePosition(opc::OPCBROWSEDIRECTION dwBrowseDirection,
                                 const char16_t* szString) override;
    HRESULT BrowseOPCItemIDs(opc::OPCBROWSETYPE dwBrowseFilterType,
                             const char16_t* szFilterCriteria, plat::VARTYPE vtDataTypeFilter,
                             uint32_t dwAccessRightsFilter,
                             opc::IEnumString** ppIEnumString) override;
    HRESULT GetItemID(const char16_t* szItemDataID, char16_t** szItemID) override;
    HRESULT BrowseAccessPaths(const char16_t* szItemID,
                              opc::IEnumString** ppIEnumAccessPaths) override;

    // IOPCItemProperties
    HRESULT QueryAvailableProperties(const char16_t* szItemID, uint32_t* pdwCount,
                                     uint32_t** ppPropertyIDs, char16_t*** ppDescriptions,
                                     plat::VARTYPE** ppvtDataTypes) override;
    HRESULT GetItemProperties(const char16_t* szItemID, uint32_t dwCount,
                              const uint32_t* pdwPropertyIDs, plat::Variant** ppvData,
                              HRESULT** ppErrors) override;
    HRESULT LookupItemIDs(const char16_t* szItemID, uint32_t dwCount,
                          const uint32_t* pdwPropertyIDs, char16_t*** ppszNewItemIDs,
                          HRESULT** ppErrors) override;

    // IConnectionPointContainer: one point, IOPCShutdown.
    HRESULT EnumConnectionPoints(plat::IEnumConnectionPoints** out) override;
    HRESULT FindConnectionPoint(const IID& iid, plat::IConnectionPoint** out) override;

    // The server list holds one reference: when only it is left, the entry is dropped.
    uint32_t Release() override;

    // The text of an error code in a locale: the server's own table, else the platform's.
    virtual std::string GetErrorText(HRESULT code, plat::LCID lcid);
    // Waits until the client has named itself, where that matters; nothing here.
    virtual void WaitForClientName() {}

    bool Privileged() const { return privilege_ != 0; }
    int Number() const { return core_->number; }
    uint8_t ClientKind();
    uint32_t StartTick() const { return start_tick_; }
    // Whether the advise thread exists (it runs while the server has groups).
    bool HasAdviseThread();
    std::shared_ptr<TAdviseThread> AdviseThread();
    size_t GroupCount();

    // Live server objects in this process (tests and diagnostics).
    static int LiveCount();

  protected:
    TOPCServer();
    ~TOPCServer() override;
    void* FindInterface(const IID& iid) override;
    // Makes the group AddGroup stores; the group's full class comes in here.
    virtual ComPtr<TGroup> MakeGroup(const TGroupArgs& args);
    // What a group of this server is made with.
    std::weak_ptr<TServerCore> CoreRef() const { return core_; }

  private:
    friend void RequestShutdownAll();
    void Initialize();
    HRESULT OnShutdownSink(opc::IOPCShutdown* sink, bool connect);
    void Log(const std::string& text, int level = 1);

    std::shared_ptr<TServerCore> core_;
    uint8_t privilege_ = 0;
    uint32_t start_tick_ = 0;
    int list_index_ = -1;
    std::shared_ptr<void> charge_;
    plat::ConnectionPoint<opc::IOPCShutdown> shutdown_point_;
};

// True while any server object is alive.
bool OPCServerExists();
// The service's stop request: every server whose client connected a shutdown sink is asked to
// shut down, from the last server to the first, each on a thread of its own; the caller waits
// for the answers at most kShutdownNoticeDeadlineMs in all, then sleeps 2000 ms.
void RequestShutdownAll();
// Stop notices still waiting for their client's answer.
int ShutdownNoticesInFlight();

}  // namespace drv
