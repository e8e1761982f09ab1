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
#include "service/core/CmdRegistry.h"
#include "service/core/MySync.h"
#include "service/core/OPCCache.h"
#include "service/core/TorkItems.h"
#include "service/core/RuntimeBase.h"
#include "service/core/TxtProt.h"

namespace {

const char* kKey = "\\Software\\Norvalt\\Drv";
const char* kDefaultParameters = "PROTOCOL=4 PROTOCOLPATH=C:\\NorvaltLogs PORT=CUST COM1=ZRN SHIFT1=0";

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

    // The item tree with one post: a client asks for a start, a stand-in for the poll thread
    // carries the command out, and the client's wait returns the result.
    drv::InitNameSpace();
    int32_t post = drv::FindOrCreateBranch(-1, "", "Post1");
    auto state = drv::New<drv::TStateItem>(1, false);
    state->AddToNS(post);
    std::vector<std::unique_ptr<drv::TVariableInfoEx>> descriptors;
    std::vector<drv::ComPtr<drv::TVarItem>> vars;
    for (int record : {14, 18, 19, 6}) {  // DozeV, CurrentV, TotalV, PriceV
        descriptors.push_back(std::make_unique<drv::TVariableInfoEx>(drv::CopyVariableInfo(record)));
        vars.push_back(drv::New<drv::TVarItem>(1, false, &state->Queue(), descriptors.back().get()));
        vars.back()->AddToNS(post);
    }
    state->SetStateValue(0, plat::NowLocal());
    int32_t dose_cmd = vars[0]->Write(plat::Variant::R8(25.5), 0, 0, plat::LOCALE_EN_US);
    int32_t start_cmd = state->Write(plat::Variant::I4(1), 0, 0, plat::LOCALE_EN_US);
    std::thread poller([&] {
        while (auto cmd = state->Queue().Next()) {
            if (cmd->kind == drv::TCommand::SetState)
                state->SetStateValue(cmd->argument, plat::NowLocal());
            else
                vars[0]->StoreValue(cmd->value, plat::NowLocal(), drv::LQ_FRESH);
            state->Queue().Complete(0);
        }
    });
    int32_t dose_result = drv::CmdWait(dose_cmd);
    int32_t start_result = drv::CmdWait(start_cmd);
    poller.join();
    int changes = 0;
    std::cout << "items:\n";
    for (auto& [name, id] : drv::ListItemNames()) {
        auto leaf = drv::GetItemAs<drv::TLeafItem>(id);
        std::string value = leaf ? drv::VariantsToText(drv::Values(std::vector<plat::Variant>{leaf->PeekValue()})) : "(branch)";
        std::cout << "  " << id << " " << name << " = " << value << "\n";
        ++changes;
    }
    std::printf("dose command %08X -> %d, start command %08X -> %d, post state %d\n",
                static_cast<unsigned>(dose_cmd), dose_result, static_cast<unsigned>(start_cmd), start_result,
                state->GetState());
    bool ok = dose_result == 0 && start_result == 0 && state->GetState() == 1;
    state = nullptr;
    vars.clear();
    drv::DoneNameSpace();
    drv::WriteProtocolLine("an external error for the demo", drv::PL_EXTERNAL);
    drv::WriteProtocolLine("NorvaltDrv core smoke run finished", drv::PL_INFO);
    std::string log_file = drv::ProtocolFolder() + "NorvaltDrvCOM.LG1";
    drv::DoneProtocol();

    std::cout << "global log " << log_file << ":\n";
    std::ifstream f(log_file);
    std::string line;
    while (std::getline(f, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::cout << "  " << line << "\n";
    }
    return ok && changes > 0 ? 0 : 1;
}
