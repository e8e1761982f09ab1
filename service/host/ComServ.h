// The process's COM server object: the start mode from the command-line switches, the COM
// registration of the type library and the classes, the class objects at run time, and the
// counts of live objects and factories that end an automation run.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/classes.h"
#include "service/host/TypeLibFile.h"

namespace drv {

enum TStartMode : uint8_t {
    smStandalone = 0,   // no COM switch: the service run
    smAutomation = 1,   // started by COM for a client
    smRegServer = 2,    // register and go on into the service framework
    smUnregServer = 3,  // unregister, likewise
};

// One class the server offers.
struct TComClass {
    plat::CLSID clsid;
    std::string_view prog_id;
    std::string_view description;
    bool internal = false;  // never written to the class records
    plat::ComPtr<plat::IClassFactory> (*make_factory)() = nullptr;
};
// The classes of this server, registered in this order.
std::span<const TComClass> ComClasses();

// The administrator message of a registration run.
inline constexpr std::string_view kAdminRightsMessage =
    "Для регистрации и разрегистрации COM-объекта необходимы права администратора системы!";

class TComServer {
  public:
    // What the platform cannot give a test directly.
    struct Hooks {
        std::function<bool()> is_admin;                 // default: plat::IsAdministrator
        std::function<void(std::string_view)> message;  // default: stderr
        std::function<void()> quit;                     // ends the run loop (default: nothing)
    };

    // `args` are the command-line arguments after the program name. /EXTRACTTYPELIB writes the
    // library file into the current folder at once (plat::ComError when that fails). The first
    // server created becomes ComServer().
    explicit TComServer(std::vector<std::string> args, Hooks hooks = {},
                        std::span<const TComClass> classes = ComClasses());
    ~TComServer();
    TComServer(const TComServer&) = delete;
    TComServer& operator=(const TComServer&) = delete;

    // New count. Any COM thread may call them.
    int CountObject(bool created);
    int CountFactory(bool created);
    int ObjectCount() const { return object_count_.load(); }
    int FactoryCount() const { return factory_count_.load(); }

    std::string GetHelpFileName() const;
    void SetHelpFileName(std::string name);
    std::string GetServerFileName() const;
    std::string GetServerKey() const;
    // The name set, else the type library's, else the executable's file name without extension.
    std::string GetServerName() const;
    void SetServerName(std::string name);
    bool GetStartSuspended() const { return start_suspended_; }
    // Read from the embedded bytes on first use; null when they do not read back.
    const tlb::file::TypeLibInfo* GetTypeLib() const;

    TStartMode StartMode() const { return start_mode_; }
    bool RemoteInstall() const { return remote_install_; }
    bool LastRegisterFlag() const { return register_flag_; }

    // Registration or unregistration as the start mode asks, then the class objects (failures
    // there are ignored). A registration failure throws plat::ComError.
    void Initialize();
    void UpdateRegistry(bool do_register);
    // Called at the end of the process: logs when objects are still alive and lets it end.
    bool AutomationTerminateProc();

    // May change `shutdown` when the last object goes.
    std::function<void(TComServer&, bool& shutdown)> OnLastRelease;

  private:
    void LastReleased();

    std::atomic<int> object_count_{0};
    std::atomic<int> factory_count_{0};
    mutable std::once_flag typelib_once_;
    mutable std::optional<tlb::file::TypeLibInfo> typelib_;
    std::string server_name_;
    std::string help_file_name_;
    bool in_process_ = false;
    TStartMode start_mode_ = smStandalone;
    bool remote_install_ = false;
    bool start_suspended_ = false;
    bool register_flag_ = false;
    bool ui_interactive_ = false;
    Hooks hooks_;
    std::vector<TComClass> classes_;
    std::vector<uint32_t> cookies_;
};

// The process's server object, null before one is created.
TComServer* ComServer();

}  // namespace drv
