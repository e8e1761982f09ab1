// The service module: start, stop, shutdown and installation of NorvaltDrv as a service, the
// one-second client-presence tick with the idle exit, the registry-listed servers kept alive
// while clients are attached, the OPC and AppID records, and the start-up of the core.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/com/classes.h"
#include "platform/rpc/server.h"
#include "platform/service/service.h"
#include "platform/service/units.h"
#include "platform/types/guid.h"
#include "service/typelib/ServiceNames.h"

namespace host {

inline constexpr const char* kServiceName = "NorvDrv";
using tlb::kDisplayName;
inline constexpr uint32_t kWaitHint = 50000;
using tlb::kUnitName;
// The account the installed service runs as, and the group of the serial devices it joins.
using tlb::kSerialGroup;
using tlb::kServiceUser;
inline constexpr const char* kAppID = "{BEAA345D-B824-45B7-87AD-7E838E9FAA91}";
inline constexpr const char* kAppIDExeKey = "AppID\\NorvaltDrv.EXE";
inline constexpr const char* kExtObjCtrlKey = "Software\\Norvalt\\Drv\\ExtObjCtrl";
inline constexpr const char* kOPCProgID = "NorvaltDrv.DA2";
inline constexpr const char* kOPCVendor = "Norvalt";
inline constexpr const char* kCATID_OPCDAServer20 = "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";
inline constexpr const char* kOPCCategoryDescription = "OPC Data Access Servers Version 2.0";

// A stop that leaves the stop request unanswered for this long is closed anyway (ms).
inline constexpr uint32_t kStopAskerGraceMs = 3000;

// --- registration errors --------------------------------------------------------------------

class TRegistrationError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// --- COM permission descriptors (self-relative, DACL only) ------------------------------------

// AccessPermission: 160 bytes; LaunchPermission: 164 bytes.
const std::vector<uint8_t>& AccessPermissionDescriptor();
const std::vector<uint8_t>& LaunchPermissionDescriptor();

// --- one registry-listed COM server kept alive while clients are attached ----------------------

class TExtObjCtrl {
  public:
    TExtObjCtrl(const plat::CLSID& clsid, std::string host);
    ~TExtObjCtrl();
    TExtObjCtrl(const TExtObjCtrl&) = delete;
    TExtObjCtrl& operator=(const TExtObjCtrl&) = delete;
    // Creates an instance on this computer and releases it at once; throws plat::ComError.
    void Ping();
    const plat::CLSID& Clsid() const { return clsid_; }

  private:
    std::string Tail() const;
    std::string host_;
    plat::CLSID clsid_;
    plat::ComPtr<plat::IUnknown> held_;
};

// --- the module -------------------------------------------------------------------------------

struct ServiceOptions {
    bool start_core = true;  // RunService starts the core first
    bool listen = true;      // OnStart starts the transport
    bool catch_signals = true;
    plat::rpc::ServerOptions server;
    // Class objects served besides TORK (the OPC server's DA2), registered in OnStart.
    std::vector<std::pair<plat::CLSID, plat::ComPtr<plat::IClassFactory>>> classes;
};

class TNorvDrv {
  public:
    explicit TNorvDrv(ServiceOptions options = {});
    ~TNorvDrv();
    TNorvDrv(const TNorvDrv&) = delete;
    TNorvDrv& operator=(const TNorvDrv&) = delete;

    // OnStart: Started. A start that fails stops the core again.
    bool ServiceStart();
    // OnStop: Stopped; runs ServiceStop when the stop is taken.
    bool ServiceTryStop();
    // Its decision alone (what the service thread answers the one who asked before stopping).
    bool ServiceTryStopAnswer();
    void ServiceStop();
    void ServiceShutdown();
    void CliExistTimerTimer();
    // Sets the stopping flag and asks the service thread for the refusable stop.
    void RequestServiceStop();

    bool TimerEnabled() const { return timer_enabled_.load(); }
    bool Stopped() const { return stopped_.load(); }
    bool Stopping() const { return stopping_.load(); }
    uint32_t IdleTicks() const { return idle_ticks_.load(); }
    size_t ExtObjCtrlCount();
    // Stop requests made by the idle exit and how many of them were refused.
    uint32_t StopRequests() const { return stop_requests_.load(); }
    uint32_t StopRefusals() const { return stop_refusals_.load(); }

    // The service thread that runs the handlers (RunService attaches it).
    void AttachRunner(plat::svc::Runner* runner) { runner_ = runner; }
    // Where RequestServiceStop sends its request instead of the service thread (tests).
    void SetStopPoster(std::function<void()> post) { post_stop_ = std::move(post); }
    // Whether clients are attached; default: a station or an OPC server object exists.
    void SetClientProbe(std::function<bool()> probe) { clients_ = std::move(probe); }
    plat::rpc::Server& Transport() { return server_; }

  private:
    bool ClientsPresent();
    void StopTransport();
    void RevokeClasses();

    ServiceOptions options_;
    std::recursive_mutex m_;  // handlers; a tick and a stop never overlap
    std::atomic<bool> timer_enabled_{false};
    std::atomic<uint32_t> idle_ticks_{0};
    std::vector<std::unique_ptr<TExtObjCtrl>> ext_;  // m_
    std::atomic<bool> stopped_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<uint32_t> stop_requests_{0};
    std::atomic<uint32_t> stop_refusals_{0};
    plat::svc::Runner* runner_ = nullptr;
    std::function<void()> post_stop_;
    std::function<bool()> clients_;
    plat::rpc::Server server_;
    std::vector<uint32_t> cookies_;  // m_
    uint32_t control_cookie_ = 0;    // m_
};

// The stopping flag of the live module (false without one): set by RequestServiceStop, cleared
// when the stop is refused.
bool ServiceStopping();

// HKLM "SYSTEM\CurrentControlSet\Services\NorvDrv" has Start = 3.
bool IsManualStart();
// HKCR "CLSID\{DA2}" exists.
bool IsOPCServerRegistered();
void RegisterOPCServer(const std::string& prog_id, const plat::CLSID& clsid);
void UnregisterOPCServer(const std::string& prog_id, const plat::CLSID& clsid);
// Writes `data` as a binary value of HKCR `key`; throws TRegistrationError "Error writing
// registry".
void WriteAppIDPermission(const std::string& key, const std::string& name,
                          const std::vector<uint8_t>& data);

// --- installation -----------------------------------------------------------------------------

// The start type the switches ask for: /DISABLED (or -DISABLED, any case) gives Disabled,
// /START=AUTO or /START=MANUAL that type; without either the type already recorded stays,
// else Manual. Throws TRegistrationError for an unknown /START= value.
plat::svc::StartType ServiceBeforeInstall(const std::vector<std::string>& args);
// AppID, permissions, class AppIDs, "Parameters" from the switches, OPC records. Throws
// TRegistrationError.
void ServiceAfterInstall(const std::vector<std::string>& args);
void ServiceAfterUninstall();

struct InstallOptions {
    std::vector<std::string> args;  // the command line's switches
    std::string exe_path;           // absolute path of the service program
    // Where the unit files go; unset: plat::svc::UnitFolder() ("" = none are written).
    std::optional<std::string> unit_folder;
    std::string socket_path;  // "" = the transport's default socket
};
// The unit files' settings: the transport's socket and TCP listener, the service account
// (kServiceUser when it exists, else none) and the serial devices' group.
plat::svc::UnitSpec MakeUnitSpec(const InstallOptions& options, plat::svc::StartType start);
// The service's installation: start type record, unit files, then ServiceAfterInstall. Units
// written to the system folder are followed by `systemctl daemon-reload` when systemd runs;
// the run says which unit to start.
void InstallService(const InstallOptions& options);
// Unit files and start type record removed, then ServiceAfterUninstall.
void UninstallService(const InstallOptions& options);

// --- start-up and the service run ------------------------------------------------------------

// Receives the name of each start-up step as it begins (tests read the order).
void SetStartTraceHook(std::function<void(std::string_view)> hook);
// The core before the service runs: process set-up for the transport, log settings, item tree,
// system items, station locks, ports.
void StartCore();
// The core's stop, in ServiceStop's order: ports, stations, item tree, log.
void StopCore();
// The service run: the core (unless already started), the module, its service thread until
// the service stops. The process's exit code.
int RunService(const ServiceOptions& options = {});
// The lock a running service holds for its root ("<root>/run/NorvaltDrv.lock"), taken before
// the core starts, and whether a service holds it now.
std::string InstanceLockPath();
bool ServiceInstanceRunning();
// "NorvaltDrv /STOP": asks the running service on `socket_path` to stop, prints the outcome
// ("stop refused" when refused) and returns the exit code (plat::svc::kStop*).
int StopRunningService(const std::string& socket_path = {});

}  // namespace host
