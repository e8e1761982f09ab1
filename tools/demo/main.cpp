// The main job until the service host exists: a smoke run of what the service core has, on
// an embedded default configuration in a private system root.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/sysroot/sysroot.h"
#include "service/core/MySync.h"
#include "service/core/RuntimeBase.h"
#include "service/core/TxtProt.h"

namespace {

const char* kKey = "\\Software\\Norvalt\\Drv";
const char* kDefaultParameters = "PROTOCOL=4 PROTOCOLPATH=C:\\NorvaltLogs PORT=CUST COM1=ZRN SHIFT1=0";

class Counter : public drv::TMyInterfacedObject {
public:
    explicit Counter(int n) : n(n) {}
    int n;
};

}  // namespace

int main(int argc, char** argv) {
    std::string root;
    if (argc > 1) {
        root = argv[1];
    } else {
        root = (std::filesystem::temp_directory_path() / "norvalt-demo").string();
    }
    plat::SetSystemRoot(root);
    plat::EnsureDirectory(root);
    std::cout << "system root: " << root << "\n";

    std::string params;
    if (plat::reg::ReadString(plat::reg::Hive::LocalMachine, kKey, "Parameters", params) !=
        plat::ERROR_SUCCESS) {
        params = kDefaultParameters;
        long rc = plat::reg::WriteString(plat::reg::Hive::LocalMachine, kKey, "Parameters", params);
        if (rc != plat::ERROR_SUCCESS) {
            std::cerr << "cannot write the embedded default configuration (error " << rc << ")\n";
            return 1;
        }
    }
    std::cout << "Parameters: " << params << "\n";

    drv::InitProtocol(kKey, "Parameters");
    drv::WriteProtocolLine("NorvaltDrv core smoke run started", drv::PL_INFO);

    // A few threads share an item-like array, one lock and the change ring.
    drv::ChangeRing().Init();
    drv::TSafeIntfArray table("OPCNameSpace");
    drv::TSafeIDGen ids;
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 8; ++i) {
                int id = ids.NextID();
                table.SetAt(id, drv::ComPtr<drv::IRef>(drv::New<Counter>(id).Get()));
                drv::ChangeRing().Push(id);
            }
        });
    }
    for (auto& w : workers) w.join();
    uint32_t cursor = 0;
    int32_t value = 0;
    int changes = 0;
    while (drv::ChangeRing().Read(cursor, value) == drv::TChangeRing::Value) {
        ++changes;
        ++cursor;
    }
    drv::ProtocolArgs("items", {plat::Variant::I4(table.Count() - 1), plat::Variant::I4(changes)},
                      drv::PL_INFO);
    drv::WriteProtocolLine("an external error for the demo", drv::PL_EXTERNAL);
    drv::WriteProtocolLine("NorvaltDrv core smoke run finished", drv::PL_INFO);
    std::string log_file = drv::ProtocolFolder() + "NorvaltDrvCOM.LG1";
    drv::DoneProtocol();

    std::cout << "items created: " << table.Count() - 1 << ", changes seen: " << changes << "\n";
    std::cout << "global log " << log_file << ":\n";
    std::ifstream f(log_file);
    std::string line;
    while (std::getline(f, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::cout << "  " << line << "\n";
    }
    return changes == 32 ? 0 : 1;
}
