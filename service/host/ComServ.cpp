#include "service/host/ComServ.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/com/callcontext.h"
#include "platform/com/error.h"
#include "service/host/DrvOPCServer.h"
#include "service/host/TRKSrv.h"
#include "service/typelib/TypeLibProxy.h"

namespace drv {

namespace {

// Every class the server offers: the registration run records them, the service run serves
// them from OnStart.
const TComClass kComClasses[] = {
    // decisions HOST-8
    {tlb::CLSID_TORK, "NorvaltDrv.TORK", tlb::kHelpTORK, false, &MakeStationFactory},
    {tlb::CLSID_DA2, "NorvaltDrv.DA2", tlb::kHelpDA2, false, &MakeDrvOPCServerFactory},
};

std::atomic<TComServer*> g_server{nullptr};

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// "/word" or "-word", any case, the whole argument.
bool HasSwitch(const std::vector<std::string>& args, std::string_view word) {
    for (const std::string& a : args)
        if (a.size() > 1 && (a[0] == '/' || a[0] == '-') &&
            EqualsNoCase(std::string_view(a).substr(1), word))
            return true;
    return false;
}

std::string CurrentFolder() {
    std::error_code ec;
    std::string dir = std::filesystem::current_path(ec).string();
    if (ec) throw plat::ComError(plat::E_FAIL, "Cannot read the current folder: " + ec.message());
    return dir;
}

void Check(long rc, const char* what) {
    if (rc != plat::ERROR_SUCCESS)
        throw plat::ComError(plat::HresultFromWin32(rc),
                             std::string(what) + " failed with error " + std::to_string(rc));
}

}  // namespace

std::span<const TComClass> ComClasses() {
    return kComClasses;
}

TComServer* ComServer() {
    return g_server.load();
}

TComServer::TComServer(std::vector<std::string> args, Hooks hooks,
                       std::span<const TComClass> classes)
    : hooks_(std::move(hooks)), classes_(classes.begin(), classes.end()) {
    static constexpr struct {
        std::string_view word;
        TStartMode mode;
    } kSwitches[] = {
        {"AUTOMATION", smAutomation}, {"EMBEDDING", smAutomation},
        {"INSTALL", smRegServer},     {"INSTALLREMOTE", smRegServer},
        {"UNINSTALL", smUnregServer}, {"UNINSTALLREMOTE", smUnregServer},
    };
    for (const auto& s : kSwitches)
        if (HasSwitch(args, s.word)) {
            start_mode_ = s.mode;
            break;
        }
    // Only the install form: a remote uninstall removes the class records like a local one.
    remote_install_ = HasSwitch(args, "INSTALLREMOTE");
    if (HasSwitch(args, "EXTRACTTYPELIB")) tlb::file::WriteTypeLibFile(CurrentFolder());
    ui_interactive_ = true;
    TComServer* none = nullptr;
    g_server.compare_exchange_strong(none, this);
}

TComServer::~TComServer() {
    for (uint32_t cookie : cookies_) plat::RevokeClassObject(cookie);
    TComServer* self = this;
    g_server.compare_exchange_strong(self, nullptr);
}

// decisions HOST-4
int TComServer::CountObject(bool created) {
    const int n = created ? ++object_count_ : --object_count_;
    if (!created && n == 0) LastReleased();
    return n;
}

int TComServer::CountFactory(bool created) {
    return created ? ++factory_count_ : --factory_count_;
}

std::string TComServer::GetHelpFileName() const {
    return help_file_name_;
}

void TComServer::SetHelpFileName(std::string name) {
    help_file_name_ = std::move(name);
}

std::string TComServer::GetServerFileName() const {
    std::error_code ec;
    std::string path = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    return ec ? std::string() : path;
}

std::string TComServer::GetServerKey() const {
    return in_process_ ? "InprocServer32" : "LocalServer32";
}

std::string TComServer::GetServerName() const {
    if (!server_name_.empty()) return server_name_;
    if (const tlb::file::TypeLibInfo* lib = GetTypeLib()) return lib->name;
    return std::filesystem::path(GetServerFileName()).stem().string();
}

void TComServer::SetServerName(std::string name) {
    server_name_ = std::move(name);
}

const tlb::file::TypeLibInfo* TComServer::GetTypeLib() const {
    std::call_once(typelib_once_,
                   [this] { typelib_ = tlb::file::ReadTypeLib(tlb::file::EmbeddedTypeLib()); });
    return typelib_ ? &*typelib_ : nullptr;
}

// decisions HOST-2
void TComServer::Initialize() {
    if (start_mode_ == smRegServer) UpdateRegistry(true);
    if (start_mode_ == smUnregServer) UpdateRegistry(false);
    for (const TComClass& c : classes_) {
        if (!c.make_factory) continue;
        try {
            plat::ComPtr<plat::IClassFactory> f = c.make_factory();
            if (uint32_t cookie = f ? plat::RegisterClassObject(c.clsid, f.Get()) : 0)
                cookies_.push_back(cookie);
        } catch (...) {
            // A class that cannot serve now must not keep the others from serving.
            // decisions HOST-10
        }
    }
}

void TComServer::UpdateRegistry(bool do_register) {
    if (!GetTypeLib()) return;
    const bool admin = hooks_.is_admin ? hooks_.is_admin()
                                       : plat::IsAdministrator(static_cast<uint32_t>(::getuid()),
                                                               static_cast<uint32_t>(::getgid()));
    if (!admin) {
        // Go on: a step the rights do not allow reports its own error.
        if (hooks_.message)
            hooks_.message(kAdminRightsMessage);
        else
            std::fprintf(stderr, "NorvaltDrv: %.*s\n", static_cast<int>(kAdminRightsMessage.size()),
                         kAdminRightsMessage.data());
    }
    const std::string exe = GetServerFileName();
    if (do_register) {
        const std::string path =
            remote_install_ ? tlb::file::WriteTypeLibFile(CurrentFolder()) : exe;
        Check(plat::RegisterTypeLib(tlb::TypeLibRegistrationFor(path)),
              "Type library registration");
    } else {
        Check(plat::UnregisterTypeLib(tlb::TypeLibRegistrationFor(exe)),
              "Type library unregistration");
    }
    register_flag_ = do_register;
    if (remote_install_) return;  // a client computer only needs the interfaces marshalled
    for (const TComClass& c : classes_) {
        if (c.internal) continue;
        if (do_register)
            Check(plat::RegisterClass(
                      {c.clsid, std::string(c.description), std::string(c.prog_id), exe, "", ""}),
                  "Class registration");
        else
            Check(plat::UnregisterClass(c.clsid, c.prog_id), "Class unregistration");
    }
}

// decisions HOST-9
bool TComServer::AutomationTerminateProc() {
    if (object_count_.load() > 0 && ui_interactive_)
        std::fprintf(stderr, "NorvaltDrv: ending with %d COM object(s) still in use\n",
                     object_count_.load());
    return true;
}

void TComServer::LastReleased() {
    if (in_process_) return;
    bool shutdown = start_mode_ == smAutomation;
    if (OnLastRelease) OnLastRelease(*this, shutdown);
    if (shutdown && hooks_.quit) hooks_.quit();
}

}  // namespace drv
