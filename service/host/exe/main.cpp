// NorvaltDrv: the service program. The start mode comes from the COM server object's reading
// of the switches; mode 0 is the service run, modes 1-3 a registration or automation run that
// never starts the core.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/service/service.h"
#include "service/core/ProcessThread.h"
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
    server.Initialize();
    host::InstallOptions install;
    install.args = args;
    install.exe_path = server.GetServerFileName();
    switch (server.StartMode()) {
        case drv::smAutomation:
            // No service control manager starts the core for a COM client here: the class
            // objects were offered, and the run ends.
            Report(plat::svc::EventKind::Info,
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

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
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
