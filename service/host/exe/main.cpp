// NorvaltDrv: the service program. The start mode comes from the COM server object's reading
// of the switches; mode 0 is the service run, modes 1-3 a registration or automation run that
// never starts the core.
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "norvalt/version.h"
#include "platform/service/service.h"
#include "service/core/controllers/PollThread.h"
#include "service/drivers/Drivers.h"
#include "service/host/ComServ.h"
#include "service/host/Da1Stream.h"
#include "service/host/NorvDrv.h"

namespace {

constexpr std::string_view kSource = "NorvaltDrv";

bool HasSwitch(const std::vector<std::string>& args, std::string_view word) {
    for (const std::string& a : args) {
        if (a.size() != word.size() + 1 || (a[0] != '/' && a[0] != '-')) continue;
        bool same = true;
        for (size_t i = 0; i < word.size() && same; ++i) {
            char c = a[i + 1];
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
            same = c == word[i];
        }
        if (same) return true;
    }
    return false;
}

void Report(plat::svc::EventKind kind, const std::string& text) {
    plat::svc::ReportEvent(kSource, kind, text);
}

// Modes 1-3: the COM part, then the service's own installation or removal when asked.
int RegistrationRun(drv::TComServer& server, const std::vector<std::string>& args) {
    // Removing the records under a running service would leave it serving without them.
    if (server.StartMode() == drv::smUnregServer && HasSwitch(args, "UNINSTALL") &&
        host::ServiceInstanceRunning()) {
        Report(plat::svc::EventKind::Error,
               // decisions HOST-22
               "The service is running: stop it first (NorvaltDrv /STOP or systemctl stop "
               "NorvaltDrv); nothing was removed");
        return 1;
    }
    if (server.StartMode() == drv::smRegServer && HasSwitch(args, "INSTALL")) {
        try {
            plat::svc::StartTypeSwitch(args);
        } catch (const std::invalid_argument& e) {
            Report(plat::svc::EventKind::Error, std::string(e.what()) + "; nothing was installed");
            return 1;
        }
    }
    server.Initialize();
    host::InstallOptions install;
    install.args = args;
    install.exe_path = server.GetServerFileName();
    switch (server.StartMode()) {
        case drv::smAutomation:
            // No service control manager starts the core for a COM client here: the class
            // objects were offered, and the run ends.
            Report(plat::svc::EventKind::Info,
                   // decisions HOST-3
                   "Started for automation: the service core is not started; start the service "
                   "instead");
            return 0;
        case drv::smRegServer:
            if (HasSwitch(args, "INSTALL")) host::InstallService(install);
            return 0;
        case drv::smUnregServer:
            if (HasSwitch(args, "UNINSTALL")) host::UninstallService(install);
            return 0;
        default:
            return 0;
    }
}

constexpr const char* kUsage =
    "usage: NorvaltDrv [switch...]\n"
    "  Without a switch: runs the service in the foreground (as systemd starts it).\n"
    "  Switches start with / or - and are read in any case.\n"
    "  /INSTALL          registers the classes and installs the service; with\n"
    "                    /SILENT (no prompt), the start type /START=AUTO (at boot, no\n"
    "                    idle exit) or /START=MANUAL (on demand; the default) or\n"
    "                    /DISABLED (which wins; without any, the recorded type stays)\n"
    "                    and the settings /PORT=CUST /COMn=WORD /SHIFTn=N /PROTOCOL=N\n"
    "                    /DEFSHIFT=N (without any, the port settings stay)\n"
    "  /UNINSTALL        removes the service and its records (not while it runs)\n"
    "  /INSTALLREMOTE    registers only the type library, writing NorvaltDrv.TLB\n"
    "  /UNINSTALLREMOTE  removes the registration of the type library and classes\n"
    // decisions HOST-1
    "  /EXTRACTTYPELIB   writes NorvaltDrv.TLB into the current folder\n"
    "  /AUTOMATION, /EMBEDDING  automation start: the service core is not started\n"
    "  /STOP             asks the running service to stop (exit 3 when it refuses)\n"
    "  --help, -h, /?    shows this text\n"
    "  --version         shows the version\n"
    "  Environment: NORVALT_ROOT (system root, default /var/lib/norvalt),\n"
    "  NORVALT_SOCKET (the service's socket), NORVALT_UNIT_DIR (where /INSTALL writes units).\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // Answered before anything else: neither touches the root nor starts anything.
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h" || a == "/?" || a == "-?") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("NorvaltDrv %s\n", NORVALT_VERSION);
            return 0;
        }
    }
    try {
        // The switches first; /EXTRACTTYPELIB writes the library file at once.
        drv::TComServer server(args);
        if (HasSwitch(args, "STOP")) return host::StopRunningService();
        opc::RegisterDa1Formats();
        drv::InstallDrivers();
        // Native COM ports are served by the port threads of the drivers just installed.
        drv::TProcessThread::Install();
        if (server.StartMode() != drv::smStandalone) return RegistrationRun(server, args);
        return host::RunService();
    } catch (const std::exception& e) {
        Report(plat::svc::EventKind::Error, e.what());
    } catch (...) {
        Report(plat::svc::EventKind::Error, "Unknown failure");
    }
    return 1;
}
