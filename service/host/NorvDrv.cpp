#include "service/host/NorvDrv.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <thread>

#include "platform/com/callcontext.h"
#include "platform/com/error.h"
#include "platform/process/process.h"
#include "platform/registry/registry.h"
#include "platform/rpc/client.h"
#include "platform/rpc/connection.h"
#include "platform/service/units.h"
#include "platform/sysroot/sysroot.h"
#include "platform/time/clock.h"
#include "platform/types/wstr.h"
#include "service/core/controllers/ControllerBase.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/PortManager.h"
#include "service/core/ports/SystemItems.h"
#include "service/host/ComServ.h"
#include "service/host/OPCServer.h"
#include "service/host/TRKSrv.h"
#include "service/typelib/OpcDaProxy.h"
#include "service/typelib/TypeLib.h"
#include "service/typelib/TypeLibProxy.h"

namespace host {

using plat::reg::Hive;

namespace {

constexpr const char* kTagStop = "82B3C1C9-457E-4DB0-9274-431D05ADD1C5";
constexpr const char* kTagLogClosed = "319444CF-E132-4F98-8408-8D36B37BBE63";
constexpr const char* kTagShutdown = "A737BD68-14BD-43A9-AA55-49DCBDA98E20";
constexpr const char* kTagRequestStop = "743C2355-C399-4AB7-BF1D-13ADA6393703";
constexpr const char* kTagExtCreate = "CB2613BF-655F-477C-9CBE-FC129BA1A5A7 ";
constexpr const char* kTagExtDestroy = "7342AFB9-C065-4954-90E6-CD53EB7AA3E8 ";
constexpr const char* kTagTick = "68105B79-F812-44EE-967E-E2A5AB3CE6B8";

std::atomic<TNorvDrv*> g_module{nullptr};

bool StoppingProbe() {
    return ServiceStopping();
}

void Report(plat::svc::EventKind kind, const std::string& text) {
    plat::svc::ReportEvent(kUnitName, kind, text);
}

// --- security descriptors ------------------------------------------------------------------

struct Sid {
    uint8_t authority;
    std::vector<uint32_t> subs;
};

const Sid kSelf{5, {10}};
const Sid kSystem{5, {18}};
const Sid kInteractive{5, {4}};
const Sid kAuthenticatedUsers{5, {11}};
const Sid kServiceSid{5, {6}};
// decisions HOST-18
const Sid kAdministrators{5, {32, 544}};
// The built-in Administrator account of a machine domain (relative id 500).
const Sid kAdministrator{5, {21, 0x3B1E5A7Cu, 0x1C4D9F02u, 0x6A25E813u, 500}};

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void AppendSid(std::vector<uint8_t>& b, const Sid& s) {
    b.push_back(1);  // revision
    b.push_back(static_cast<uint8_t>(s.subs.size()));
    for (int i = 0; i < 5; ++i) b.push_back(0);  // identifier authority, big-endian
    b.push_back(s.authority);
    for (uint32_t sub : s.subs) {
        size_t at = b.size();
        b.resize(at + 4);
        Put32(b, at, sub);
    }
}
size_t SidSize(const Sid& s) {
    return 8 + 4 * s.subs.size();
}

// Header, DACL, owner, group; control SE_SELF_RELATIVE | SE_DACL_PRESENT, no SACL.
std::vector<uint8_t> MakeDescriptor(const std::vector<std::pair<uint32_t, Sid>>& aces,
                                    const Sid& owner, const Sid& group) {
    std::vector<uint8_t> b(20, 0);
    b[0] = 1;
    Put16(b, 2, 0x8004);
    const size_t dacl = b.size();
    size_t acl_size = 8;
    for (auto& a : aces) acl_size += 8 + SidSize(a.second);
    b.resize(dacl + 8, 0);
    b[dacl] = 2;  // ACL revision
    Put16(b, dacl + 2, static_cast<uint16_t>(acl_size));
    Put16(b, dacl + 4, static_cast<uint16_t>(aces.size()));
    for (auto& [mask, sid] : aces) {
        size_t at = b.size();
        b.resize(at + 8, 0);
        b[at] = 0;  // ACCESS_ALLOWED_ACE_TYPE
        b[at + 1] = 0;
        Put16(b, at + 2, static_cast<uint16_t>(8 + SidSize(sid)));
        Put32(b, at + 4, mask);
        AppendSid(b, sid);
    }
    const size_t owner_at = b.size();
    AppendSid(b, owner);
    const size_t group_at = b.size();
    AppendSid(b, group);
    Put32(b, 4, static_cast<uint32_t>(owner_at));
    Put32(b, 8, static_cast<uint32_t>(group_at));
    Put32(b, 12, 0);
    Put32(b, 16, static_cast<uint32_t>(dacl));
    return b;
}

// --- start-up trace --------------------------------------------------------------------------

std::mutex g_trace_m;
std::function<void(std::string_view)> g_trace;  // g_trace_m

void Trace(std::string_view step) {
    std::function<void(std::string_view)> hook;
    {
        std::lock_guard lk(g_trace_m);
        hook = g_trace;
    }
    if (hook) hook(step);
}

std::string RegError(const std::string& what, long rc) {
    return "Registry write failed: " + what + " (error " + std::to_string(rc) + ")";
}
void MustWrite(long rc, const std::string& what) {
    if (rc != plat::ERROR_SUCCESS) throw TRegistrationError(RegError(what, rc));
}

}  // namespace

const std::vector<uint8_t>& AccessPermissionDescriptor() {
    static const std::vector<uint8_t> d = MakeDescriptor(
        {{7, kSelf}, {3, kSystem}, {3, kInteractive}, {7, kAuthenticatedUsers}, {3, kServiceSid}},
        kAdministrators, kAdministrators);
    return d;
}

const std::vector<uint8_t>& LaunchPermissionDescriptor() {
    static const std::vector<uint8_t> d = MakeDescriptor(
        {{31, kSystem}, {11, kInteractive}, {31, kAuthenticatedUsers}, {11, kServiceSid}},
        kAdministrator, kAdministrator);
    return d;
}

// --- TExtObjCtrl -------------------------------------------------------------------------------

TExtObjCtrl::TExtObjCtrl(const plat::CLSID& clsid, std::string host)
    : host_(std::move(host)), clsid_(clsid) {
    drv::WriteProtocolLine(kTagExtCreate + Tail(), drv::PL_INFO);
}

TExtObjCtrl::~TExtObjCtrl() {
    drv::WriteProtocolLine(kTagExtDestroy + Tail(), drv::PL_INFO);
    held_.Reset();
}

std::string TExtObjCtrl::Tail() const {
    return host_ + " " + plat::FormatGuid(clsid_);
}

void TExtObjCtrl::Ping() {
    void* p = nullptr;
    const plat::HRESULT hr =
        plat::CreateInstance(clsid_, plat::CLSCTX_INPROC_SERVER | plat::CLSCTX_LOCAL_SERVER, host_,
                             plat::IID_IUnknown, &p);
    if (plat::Failed(hr)) {
        std::string text = plat::GetErrorText();
        throw plat::ComError(hr, "Cannot create " + plat::FormatGuid(clsid_) +
                                     (text.empty() ? std::string() : ": " + text));
    }
    held_ = plat::ComPtr<plat::IUnknown>::Attach(static_cast<plat::IUnknown*>(p));
    held_.Reset();
}

// --- TNorvDrv ----------------------------------------------------------------------------------

TNorvDrv::TNorvDrv(ServiceOptions options) : options_(std::move(options)) {
    g_module.store(this);
    drv::SetServiceStoppingProbe(&StoppingProbe);
}

TNorvDrv::~TNorvDrv() {
    {
        std::lock_guard lk(m_);
        timer_enabled_ = false;
        while (!ext_.empty()) ext_.pop_back();
        if (server_.Running()) server_.Stop();
        RevokeClasses();
    }
    TNorvDrv* self = this;
    g_module.compare_exchange_strong(self, nullptr);
}

bool ServiceStopping() {
    TNorvDrv* m = g_module.load();
    return m != nullptr && m->Stopping();
}

size_t TNorvDrv::ExtObjCtrlCount() {
    std::lock_guard lk(m_);
    return ext_.size();
}

bool TNorvDrv::ClientsPresent() {
    if (clients_) return clients_();
    return drv::StationsInUse() || drv::OPCServerExists();
}

void TNorvDrv::RevokeClasses() {
    for (uint32_t c : cookies_) plat::RevokeClassObject(c);
    cookies_.clear();
    plat::svc::RevokeServiceControl(std::exchange(control_cookie_, 0));
}

bool TNorvDrv::ServiceStart() {
    std::lock_guard lk(m_);
    // decisions HOST-14
    if (stopped_) return false;  // the core is never restarted within one process
    // The class objects: only now can clients reach the service's objects.
    // The server's one class table; a class that cannot serve now keeps no other from serving.
    for (const drv::TComClass& cls : drv::ComClasses()) {
        if (!cls.make_factory) continue;
        try {
            plat::ComPtr<plat::IClassFactory> f = cls.make_factory();
            if (uint32_t c = f ? plat::RegisterClassObject(cls.clsid, f.Get()) : 0)
                cookies_.push_back(c);
        } catch (const std::exception& e) {
            Report(plat::svc::EventKind::Warning,
                   std::string("Class ") + std::string(cls.prog_id) + " not served: " + e.what());
        }
    }
    for (auto& [clsid, factory] : options_.classes)
        if (uint32_t c = plat::RegisterClassObject(clsid, factory.Get())) cookies_.push_back(c);
    if (runner_) control_cookie_ = plat::svc::RegisterServiceControl(*runner_);

    try {
        std::vector<plat::reg::ValueInfo> values;
        const long rc = plat::reg::EnumValues(Hive::LocalMachine, kExtObjCtrlKey, values);
        if (rc != plat::ERROR_SUCCESS && rc != plat::ERROR_FILE_NOT_FOUND)
            throw std::runtime_error("ExtObjCtrl cannot be read (registry error " +
                                     std::to_string(rc) + ")");
        for (const auto& v : values) {
            if (v.value.kind != plat::reg::Kind::String)
                throw std::runtime_error("ExtObjCtrl value \"" + v.name + "\" is not a string");
            std::optional<plat::GUID> clsid = plat::ParseGuid(v.value.text);
            if (!clsid || v.value.text.empty() || v.value.text.front() != '{')
                // decisions HOST-16
                throw std::runtime_error("ExtObjCtrl value \"" + v.name + "\" is not a GUID: \"" +
                                         v.value.text + "\"");
            ext_.push_back(std::make_unique<TExtObjCtrl>(*clsid, std::string()));
        }
        if (options_.listen) {
            const plat::HRESULT hr = server_.Start(options_.server);
            if (plat::Failed(hr))
                throw std::runtime_error("The transport did not start: " + plat::GetErrorText());
        }
    } catch (const std::exception& e) {
        drv::ProtocolException(e, "ServiceStart");
        Report(plat::svc::EventKind::Error, std::string("Service start failed: ") + e.what());
        // A service that did not start must not leave its ports and tree running.
        ServiceStop();
        return false;
    }
    timer_enabled_ = true;
    return true;
}

bool TNorvDrv::ServiceTryStopAnswer() {
    std::lock_guard lk(m_);
    drv::WriteProtocolLine(kTagStop, drv::PL_INFO);
    if (stopped_) return true;
    drv::RequestShutdownAll();
    const bool stop = !drv::StationsInUse() && !drv::OPCServerExists();
    // A refused stop leaves the service serving everyone: new TORK clients are turned away only
    // while a stop is pending.
    if (!stop) stopping_ = false;
    return stop;
}

bool TNorvDrv::ServiceTryStop() {
    std::lock_guard lk(m_);
    if (stopped_) {
        drv::WriteProtocolLine(kTagStop, drv::PL_INFO);
        return true;
    }
    const bool stop = ServiceTryStopAnswer();
    if (stop) ServiceStop();
    return stop;
}

void TNorvDrv::StopTransport() {
    if (!server_.Running()) return;
    // Let those who asked for this stop read their answer and hang up first.
    const std::vector<std::string> askers = plat::svc::TakeStopAskers();
    if (!askers.empty()) {
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopAskerGraceMs);
        auto asking = [&] {
            for (auto& c : server_.Connections())
                if (c->Alive() &&
                    std::find(askers.begin(), askers.end(), c->Peer().peer) != askers.end())
                    return true;
            return false;
        };
        while (asking() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    server_.Stop();
}

void TNorvDrv::ServiceStop() {
    std::lock_guard lk(m_);
    if (stopped_) return;
    plat::svc::Notify("STOPPING=1");
    timer_enabled_ = false;
    while (!ext_.empty()) ext_.pop_back();
    // Clients' references go before the stations and the tree they point into.
    StopTransport();
    RevokeClasses();
    StopCore();
    stopped_ = true;
}

void TNorvDrv::ServiceShutdown() {
    std::lock_guard lk(m_);
    drv::WriteProtocolLine(kTagShutdown, drv::PL_INFO);
    if (!stopped_) ServiceStop();
}

// decisions HOST-12
void TNorvDrv::RequestServiceStop() {
    drv::WriteProtocolLine(kTagRequestStop, drv::PL_INFO);
    stopping_ = true;
    ++stop_requests_;
    if (post_stop_) {
        post_stop_();
        return;
    }
    if (!runner_) return;
    runner_->RequestStop([this](bool stopped) {
        if (stopped) return;
        ++stop_refusals_;
        // decisions PLAT-SVC-1
        drv::WriteProtocolLine("Idle exit: stop refused, clients are attached", drv::PL_INFO);
    });
}

void TNorvDrv::CliExistTimerTimer() {
    std::lock_guard lk(m_);
    if (!timer_enabled_ || stopped_) return;
    timer_enabled_ = false;
    try {
        if (ClientsPresent()) {
            idle_ticks_ = 0;
            // One dead server must not keep the others from their pings.
            // decisions HOST-15
            for (auto& e : ext_) {
                try {
                    e->Ping();
                } catch (...) {
                    drv::ProtocolCurrentException(kTagTick);
                }
            }
            // decisions HOST-17
        } else if (idle_ticks_ < UINT32_MAX) {
            ++idle_ticks_;
        }
        const int timeout = drv::ExitTimeout();
        if (timeout > 0 && idle_ticks_ > static_cast<uint32_t>(timeout) && IsManualStart())
            RequestServiceStop();
    } catch (...) {
        drv::ProtocolCurrentException(kTagTick);
    }
    if (stopped_) return;  // the stop ran inside this tick: the tree is gone
    try {
        // decisions HOST-24
        drv::SaveAddrSpace();
    } catch (...) {
        drv::ProtocolCurrentException(kTagTick);
    }
    timer_enabled_ = true;
    try {
        const int32_t id = drv::FindLeafID("System.LastErrorExternal");
        if (auto leaf = drv::GetItemAs<drv::TLeafItem>(id)) drv::RenewStaleSample(*leaf);
    } catch (...) {
        drv::ProtocolCurrentException(kTagTick);
    }
}

// --- registry records --------------------------------------------------------------------------

bool IsManualStart() {
    try {
        plat::svc::StartType t;
        return plat::svc::ReadStartType(kServiceName, t) && t == plat::svc::StartType::Manual;
    } catch (...) {
        return false;
    }
}

bool IsOPCServerRegistered() {
    return plat::reg::KeyExists(Hive::ClassesRoot, "CLSID\\" + plat::FormatGuid(tlb::CLSID_DA2));
}

void WriteAppIDPermission(const std::string& key, const std::string& name,
                          const std::vector<uint8_t>& data) {
    if (plat::reg::WriteBinary(Hive::ClassesRoot, key, name, data) != plat::ERROR_SUCCESS)
        throw TRegistrationError("Error writing registry");
}

void RegisterOPCServer(const std::string& prog_id, const plat::CLSID& clsid) {
    // decisions HOST-19
    const std::string cat_key = std::string("Component Categories\\") + kCATID_OPCDAServer20;
    std::string desc;
    if (plat::reg::ReadString(Hive::ClassesRoot, cat_key, "409", desc) ==
        plat::ERROR_FILE_NOT_FOUND)
        MustWrite(
            plat::reg::WriteString(Hive::ClassesRoot, cat_key, "409", kOPCCategoryDescription),
            cat_key);
    const std::string impl =
        "CLSID\\" + plat::FormatGuid(clsid) + "\\Implemented Categories\\" + kCATID_OPCDAServer20;
    MustWrite(plat::reg::CreateKey(Hive::ClassesRoot, impl), impl);
    MustWrite(plat::reg::CreateKey(Hive::ClassesRoot, prog_id + "\\OPC"), prog_id + "\\OPC");
    MustWrite(plat::reg::WriteString(Hive::ClassesRoot, prog_id + "\\OPC\\Vendor", "", kOPCVendor),
              prog_id + "\\OPC\\Vendor");
}

void UnregisterOPCServer(const std::string& prog_id, const plat::CLSID& clsid) {
    const std::string clsid_key = "CLSID\\" + plat::FormatGuid(clsid);
    for (const std::string& k : {clsid_key + "\\Implemented Categories\\" + kCATID_OPCDAServer20,
                                 clsid_key + "\\Implemented Categories", clsid_key,
                                 prog_id + "\\OPC\\Vendor", prog_id + "\\OPC", prog_id})
        plat::reg::DeleteKeyTree(Hive::ClassesRoot, k);
    std::vector<std::string> classes;
    plat::reg::EnumSubKeys(Hive::ClassesRoot, "CLSID", classes);
    for (const auto& c : classes)
        if (plat::reg::KeyExists(Hive::ClassesRoot, "CLSID\\" + c + "\\Implemented Categories\\" +
                                                        kCATID_OPCDAServer20))
            return;
    plat::reg::DeleteKeyTree(Hive::ClassesRoot,
                             std::string("Component Categories\\") + kCATID_OPCDAServer20);
}

// --- installation -----------------------------------------------------------------------------

plat::svc::StartType ServiceBeforeInstall(const std::vector<std::string>& args) {
    for (const auto& a : args)
        if (a.size() > 1 && (a[0] == '/' || a[0] == '-') &&
            // decisions HOST-25
            plat::EqualsNoCase(std::string_view(a).substr(1), "DISABLED"))
            return plat::svc::StartType::Disabled;
    std::optional<plat::svc::StartType> chosen;
    try {
        chosen = plat::svc::StartTypeSwitch(args);
    } catch (const std::invalid_argument& e) {
        throw TRegistrationError(e.what());
    }
    if (chosen) return *chosen;
    // The start type an earlier installation recorded stays when the installation is run again
    // without a start switch (new port switches, the package over a kept registry): monitoring
    // that is always on must not end idle, and a disabled service must not come back.
    // decisions PLAT-SVC-8
    plat::svc::StartType recorded;
    if (plat::svc::ReadStartType(kServiceName, recorded) &&
        recorded != plat::svc::StartType::Manual)
        return recorded;
    return plat::svc::StartType::Manual;
}

void ServiceAfterInstall(const std::vector<std::string>& args) {
    const std::string app_key = std::string("AppID\\") + kAppID;
    MustWrite(plat::reg::WriteString(Hive::ClassesRoot, kAppIDExeKey, "AppID", kAppID),
              kAppIDExeKey);
    MustWrite(plat::reg::WriteString(Hive::ClassesRoot, app_key, "LocalService", kServiceName),
              app_key);
    MustWrite(plat::reg::WriteString(Hive::ClassesRoot, app_key, "", kDisplayName), app_key);
    WriteAppIDPermission(app_key, "AccessPermission", AccessPermissionDescriptor());
    WriteAppIDPermission(app_key, "LaunchPermission", LaunchPermissionDescriptor());
    for (const plat::CLSID& c : {tlb::CLSID_TORK, tlb::CLSID_DA2}) {
        const std::string k = "CLSID\\" + plat::FormatGuid(c);
        MustWrite(plat::reg::WriteString(Hive::ClassesRoot, k, "AppID", kAppID), k);
    }
    MustWrite(drv::InstallParameters(args), std::string(drv::kDrvKey) + " Parameters");
    RegisterOPCServer(kOPCProgID, tlb::CLSID_DA2);
}

void ServiceAfterUninstall() {
    UnregisterOPCServer(kOPCProgID, tlb::CLSID_DA2);
    // decisions HOST-21
    drv::UninstallParameters();
    plat::reg::DeleteKeyTree(Hive::ClassesRoot, std::string("AppID\\") + kAppID);
    plat::reg::DeleteKeyTree(Hive::ClassesRoot, kAppIDExeKey);
}

namespace {

bool UserExists(const char* name) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    return ::getpwnam_r(name, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr;
}

bool GroupExists(const char* name) {
    std::vector<char> buf(16384);
    group gr{};
    group* found = nullptr;
    return ::getgrnam_r(name, &gr, buf.data(), buf.size(), &found) == 0 && found != nullptr;
}

uint32_t TransportDword(const char* name, uint32_t fallback) {
    uint32_t v = 0;
    return plat::reg::ReadDword(Hive::LocalMachine, plat::kTransportKey, name, v) ==
                   plat::ERROR_SUCCESS
               ? v
               : fallback;
}

// The TCP listener as the socket unit gives it: "address:port", "[v6]:port"; "" without TCP.
std::string TcpListen() {
    if (TransportDword("TcpEnabled", 0) == 0) return {};
    std::string address;
    if (plat::reg::ReadString(Hive::LocalMachine, plat::kTransportKey, "TcpAddress", address) !=
            plat::ERROR_SUCCESS ||
        address.empty())
        address = "127.0.0.1";
    const uint32_t port = TransportDword("TcpPort", plat::rpc::kDefaultTcpPort);
    if (address.find(':') != std::string::npos && address.front() != '[')
        address = "[" + address + "]";
    return address + ":" + std::to_string(port & 0xFFFF);
}

// Units in the system folder take effect after a reload of the manager, when it runs.
void ReloadSystemManager(const std::string& folder) {
    struct stat st {};
    if (folder != plat::svc::kSystemUnitFolder || ::stat("/run/systemd/system", &st) != 0) return;
    pid_t pid = 0;
    if (plat::process::Spawn("/bin/systemctl", {"systemctl", "daemon-reload"}, pid) != 0) {
        Report(plat::svc::EventKind::Warning, "systemctl daemon-reload could not be started");
        return;
    }
    for (int i = 0; i < 600 && plat::process::IsRunning(pid); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (plat::process::IsRunning(pid)) plat::process::Abandon(pid);
}

}  // namespace

plat::svc::UnitSpec MakeUnitSpec(const InstallOptions& o, plat::svc::StartType start) {
    plat::svc::UnitSpec s;
    s.name = kUnitName;
    s.description = kDisplayName;
    s.exec_path = o.exe_path;
    s.root = plat::SystemRoot();
    s.socket_path = o.socket_path.empty() ? plat::rpc::DefaultSocketPath() : o.socket_path;
    s.socket_mode = TransportDword("SocketMode", plat::rpc::kDefaultSocketMode);
    std::string group;
    if (plat::reg::ReadString(Hive::LocalMachine, plat::kTransportKey, "SocketGroup", group) !=
            plat::ERROR_SUCCESS ||
        group.empty())
        group = plat::AdminGroupName();
    s.socket_group = group;
    s.tcp_listen = TcpListen();
    if (UserExists(kServiceUser)) s.user = kServiceUser;
    if (GroupExists(kSerialGroup)) s.serial_group = kSerialGroup;
    s.start = start;
    return s;
}

void InstallService(const InstallOptions& options) {
    const plat::svc::StartType start = ServiceBeforeInstall(options.args);
    MustWrite(plat::svc::WriteStartType(kServiceName, start), plat::svc::ServiceKey(kServiceName));
    const std::string folder = options.unit_folder ? *options.unit_folder : plat::svc::UnitFolder();
    if (!folder.empty()) {
        std::string why = plat::svc::InstallUnits(folder, MakeUnitSpec(options, start));
        if (!why.empty()) throw TRegistrationError("Unit files not written: " + why);
    }
    ServiceAfterInstall(options.args);
    if (folder.empty()) return;
    ReloadSystemManager(folder);
    const std::string unit = std::string(kUnitName) +
                             (start == plat::svc::StartType::Automatic ? ".service" : ".socket");
    // Only the system folder is one systemd reads; a private one is for tests and the demo.
    if (start != plat::svc::StartType::Disabled && folder == plat::svc::kSystemUnitFolder)
        Report(plat::svc::EventKind::Info, "Unit files written to " + folder +
                                               "; start the service with: systemctl start " + unit);
}

void UninstallService(const InstallOptions& options) {
    const std::string folder = options.unit_folder ? *options.unit_folder : plat::svc::UnitFolder();
    if (!folder.empty()) {
        std::string why = plat::svc::RemoveUnits(folder, kUnitName);
        if (!why.empty()) Report(plat::svc::EventKind::Warning, "Unit files not removed: " + why);
        ReloadSystemManager(folder);
    }
    plat::svc::DeleteServiceRecord(kServiceName);
    ServiceAfterUninstall();
}

// --- start-up and the run ----------------------------------------------------------------------

void SetStartTraceHook(std::function<void(std::string_view)> hook) {
    std::lock_guard lk(g_trace_m);
    g_trace = std::move(hook);
}

void StartCore() {
    // Stands for COM's process set-up: the transport knows every interface it may be handed,
    // and a client that hangs up mid-write does not end the process.
    Trace("ProcessSetup");
    // decisions HOST-13
    std::signal(SIGPIPE, SIG_IGN);
    tlb::RegisterTypeLibInterfaces();
    opc::RegisterOpcDaInterfaces();
    plat::rpc::InstallOutOfProcessCreator();
    // The host's seams into the core, set once before the core starts (decisions HOST-72). Saved
    // post values are kept only while the OPC server is registered.
    drv::TCoreHooks hooks;
    hooks.opc_server_registered = &IsOPCServerRegistered;
    hooks.service_stopping = &StoppingProbe;
    drv::AddStationHooks(hooks);
    drv::InstallCoreHooks(hooks);
    Trace("InitProtocol");
    drv::InitProtocol(drv::kDrvKey, "Parameters");
    Trace("InitNameSpace");
    drv::InitNameSpace();
    Trace("InitDriverItems");
    drv::InitDriverItems();
    Trace("InitStations");
    drv::InitStations();
    Trace("StartPorts");
    drv::StartPorts();
}

void StopCore() {
    drv::WriteProtocolLine("ServiceStop ProcessThread.Finalize", drv::PL_INFO);
    drv::StopPorts();
    drv::WriteProtocolLine("ServiceStop TRKSrv.Finalize", drv::PL_INFO);
    // decisions HOST-34
    drv::DoneStations();
    drv::WriteProtocolLine("ServiceStop OPCCache.Finalize", drv::PL_INFO);
    drv::DoneNameSpace();
    drv::WriteProtocolLine(kTagLogClosed, drv::PL_INFO);
    drv::DoneProtocol();
}

namespace {

// One service per root. Taken before anything touches the logs, the ports or the registry: a
// second start that only failed later, at the transport, had already shifted the running
// instance's log generations. The kernel lets the lock go with the process.
class InstanceLock {
  public:
    InstanceLock() = default;
    ~InstanceLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // False when another instance holds it (`why` says so). A lock that cannot be had for
    // any other reason is only warned about: it must not keep the service from starting.
    bool Take(std::string& why) {
        const std::string path = InstanceLockPath();
        plat::EnsureDirectory(path.substr(0, path.rfind('/')));
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd_ < 0) {
            why = "cannot open " + path + ": " + std::strerror(errno);
            return true;
        }
        int rc;
        do rc = ::flock(fd_, LOCK_EX | LOCK_NB);
        while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            const int err = errno;
            char pid[32] = {};
            const ssize_t n = ::pread(fd_, pid, sizeof pid - 1, 0);
            ::close(fd_);
            fd_ = -1;
            if (err != EWOULDBLOCK) {
                why = "cannot lock " + path + ": " + std::strerror(err);
                return true;
            }
            std::string who = n > 0 ? std::string(pid, static_cast<size_t>(n)) : std::string();
            while (!who.empty() && (who.back() == '\n' || who.back() == ' ')) who.pop_back();
            why = "Another instance is running" + (who.empty() ? "" : " (pid " + who + ")") + " (" +
                  path + "); this start changes nothing";
            return false;
        }
        const std::string me = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd_, 0) == 0) {
            ssize_t w = ::pwrite(fd_, me.data(), me.size(), 0);
            (void)w;
        }
        return true;
    }

  private:
    int fd_ = -1;
};

}  // namespace

std::string InstanceLockPath() {
    std::string root = plat::SystemRoot();
    if (!root.empty() && root.back() == '/') root.pop_back();
    return root + "/run/" + kUnitName + ".lock";
}

bool ServiceInstanceRunning() {
    const int fd = ::open(InstanceLockPath().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    int rc;
    do rc = ::flock(fd, LOCK_SH | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    const bool held = rc != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

// decisions HOST-20, PLAT-SVC-2
// decisions PLAT-SVC-2
int RunService(const ServiceOptions& options) {
    // From the first step on: the core starts before the service thread, and the stop after
    // it still saves post values (decisions PLAT-SVC-7).
    if (options.catch_signals) plat::svc::IgnoreStraySignals();
    InstanceLock instance;
    std::string why;
    if (!instance.Take(why)) {
        Report(plat::svc::EventKind::Error, why);
        return plat::svc::kExitStartFailed;
    }
    if (!why.empty()) Report(plat::svc::EventKind::Warning, "No instance lock: " + why);
    if (options.start_core) {
        try {
            StartCore();
        } catch (const std::exception& e) {
            Report(plat::svc::EventKind::Error, std::string("The core did not start: ") + e.what());
            return plat::svc::kExitStartFailed;
        }
    }
    TNorvDrv module(options);
    plat::svc::Handlers h;
    h.start = [&] { return module.ServiceStart(); };
    h.stop = [&] { return module.ServiceTryStopAnswer(); };
    h.stopped = [&] { module.ServiceStop(); };
    h.shutdown = [&] { module.ServiceShutdown(); };
    h.timer = [&] { module.CliExistTimerTimer(); };
    plat::svc::Runner runner(kServiceName, std::move(h), 1000);
    module.AttachRunner(&runner);
    const int rc = runner.Run(options.catch_signals);
    module.ServiceStop();  // no-op when it ran
    return rc;
}

int StopRunningService(const std::string& socket_path) {
    std::string message;
    // No path: the service's own socket, where the installed socket unit listens.
    const int rc = plat::svc::AskStop(
        socket_path.empty() ? plat::rpc::DefaultSocketPath() : socket_path, message);
    std::fprintf(rc == plat::svc::kStopDone ? stdout : stderr, "%s\n", message.c_str());
    return rc;
}

}  // namespace host
