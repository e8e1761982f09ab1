// norvalt_units: writes the systemd units the package ships, from the same writer that
// "NorvaltDrv /INSTALL" uses, for the installed program path and the default system root.
//
//   norvalt_units PROGRAM FOLDER
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/com/callcontext.h"
#include "platform/rpc/client.h"
#include "platform/rpc/server.h"
#include "platform/service/units.h"
#include "platform/sysroot/sysroot.h"
#include "service/typelib/ServiceNames.h"

int main(int argc, char** argv) {
    if (argc != 3 || argv[1][0] != '/') {
        std::fprintf(stderr, "usage: norvalt_units PROGRAM FOLDER (PROGRAM absolute)\n");
        return 2;
    }
    plat::svc::UnitSpec s;
    s.name = tlb::kUnitName;
    s.description = tlb::kDisplayName;
    s.exec_path = argv[1];
    s.root = plat::kDefaultSystemRoot;
    s.socket_path = plat::rpc::kSystemSocketPath;
    s.socket_mode = plat::rpc::kDefaultSocketMode;
    s.socket_group = std::string(plat::kDefaultAdminGroup);
    s.user = tlb::kServiceUser;
    s.serial_group = tlb::kSerialGroup;
    const std::string folder = argv[2];
    for (const auto& [file, text] : {std::pair{s.name + ".service", plat::svc::ServiceUnitText(s)},
                                     std::pair{s.name + ".socket", plat::svc::SocketUnitText(s)}}) {
        std::ofstream out(folder + "/" + file, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            std::fprintf(stderr, "norvalt_units: cannot write %s/%s\n", folder.c_str(),
                         file.c_str());
            return 1;
        }
    }
    return 0;
}
