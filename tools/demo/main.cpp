// The main job until the service host exists: a simulated station. Dispenser controllers are
// simulated on pseudo-terminals registered as COM ports, the "Parameters" string points the
// service's ports at them, and the service core polls them; posts, states and variable
// changes are printed as they happen. A scripted client then runs one delivery.
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/sysroot/sysroot.h"
#include "service/core/base/ChangeRing.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/controllers/PollThread.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/PortManager.h"
#include "service/core/ports/SystemItems.h"
#include "service/drivers/Drivers.h"
#include "tools/demo/DemoRoot.h"
#include "tools/demo/SimLine.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

namespace {

using demo::g_stop;
using demo::Now;
using demo::OnSignal;
using demo::SimLine;

// Prints every item change the change ring reports (posts, states, variables).
void Watch(std::atomic<bool>& stop) {
    uint32_t cursor = drv::ChangeRing().Head();
    std::map<int32_t, std::string> last;
    while (!stop.load()) {
        uint32_t mark = cursor;
        drv::ChangeRing().Wait(mark, 200);
        int32_t id = 0;
        int r;
        while ((r = drv::ChangeRing().Read(cursor, id)) != drv::TChangeRing::Nothing) {
            if (r == drv::TChangeRing::Overrun) continue;
            ++cursor;
            auto leaf = drv::GetItemAs<drv::TLeafItem>(id);
            if (!leaf) continue;
            std::string name = leaf->FullName();
            if (name.rfind("System.", 0) == 0 && name != "System.LastErrorExternal") continue;
            bool good = false;
            plat::Variant v = leaf->PeekValue(&good);
            std::string text = drv::VariantsToText(drv::Values(&v, 1));
            if (last[id] == text) continue;
            if (last.find(id) != last.end() && last[id].empty() && text.empty()) continue;
            last[id] = text;
            std::cout << Now() << "  " << name << " = " << text << (good ? "" : "  (not good)")
                      << std::endl;
        }
    }
}

bool WaitFor(int seconds, const std::function<bool()>& cond) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!cond()) {
        if (g_stop || std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

drv::ComPtr<drv::TLeafItem> Item(const std::string& name) {
    return drv::GetItemAs<drv::TLeafItem>(drv::FindLeafID(name));
}

int32_t Write(const std::string& name, const plat::Variant& v) {
    auto item = Item(name);
    if (!item) return -4;
    int32_t id = item->Write(v, 1, 0, plat::LOCALE_EN_US);
    std::cout << Now() << "  client writes " << name
              << " := " << drv::VariantsToText(drv::Values(&v, 1)) << " -> command " << std::hex
              << static_cast<uint32_t>(id) << std::dec << std::endl;
    return id;
}

int Run(const std::string& root, int seconds);

}  // namespace

int main(int argc, char** argv) {
    const std::string program =
        argc > 0 ? std::filesystem::path(argv[0]).filename().string() : "norvalt_demo";
    const demo::Options options = demo::ParseOptions(argc, argv, std::getenv("NORVALT_ROOT"));
    if (options.action == demo::Options::Help) {
        std::cout << demo::Usage(program);
        return 0;
    }
    if (options.action == demo::Options::Error) {
        std::cerr << program << ": " << options.error << "\n" << demo::Usage(program);
        return 2;
    }
    if (const std::string problem = demo::PrepareRoot(options.root); !problem.empty()) {
        std::cerr << program << ": " << problem << std::endl;
        return 1;
    }
    try {
        return Run(options.root, options.seconds);
    } catch (const std::exception& e) {
        std::cerr << program << ": " << e.what() << std::endl;
        return 1;
    }
}

namespace {

int Run(const std::string& root, int seconds) {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    plat::SetSystemRoot(root);
    if (!plat::EnsureDirectory(root))
        throw std::runtime_error("cannot use the root folder " + root);

    // The embedded default: two native ports, the second one's posts numbered from 11.
    const std::string params =
        "PROTOCOL=3 PROTOCOLPATH=C:\\NorvaltLogs PORT=CUST COM1=ZRN9600 COM2=ZRN SHIFT2=10";
    if (plat::reg::WriteString(plat::reg::Hive::LocalMachine, drv::kDrvKey, "Parameters", params) !=
        plat::ERROR_SUCCESS)
        throw std::runtime_error("cannot write the registry under " + root);
    std::cout << "system root: " << root << "\nParameters: " << params << std::endl;

    SimLine com1(1), com2(2);
    com1.station->Add(1, 40, 74);
    com1.station->Add(10, 40, 68);
    com2.station->Add(3, 41, 4);
    for (auto* line : {&com1, &com2}) line->Start();
    std::cout << "simulated controllers: COM1 addresses 1 (family 40/74) and 10 (40/68), COM2 "
                 "address 3 (41/4)"
              << std::endl;
    std::cout
        << "state codes: 0 idle, 1 waiting for the key, 3 waiting for the key after a pause, 7 "
           "working,\n"
           "  80 paused, 160 none, 168 unknown, 169 communication error, 176 hardware error,\n"
           "  177 controller error, 178 sensor error, 179 configuration error, 186 old "
           "controller,\n"
           "  188 new controller, 255 fire\n"
           "variable values are fixed-point, x10000 (a dose of 5 litres is 50000)"
        << std::endl;

    drv::InitProtocol(drv::kDrvKey, "Parameters");
    drv::WriteProtocolLine("NorvaltDrv simulated station started", drv::PL_INFO);
    drv::InitNameSpace();
    drv::InitDriverItems();
    std::atomic<bool> watch_stop{false};
    std::thread watcher(Watch, std::ref(watch_stop));
    drv::InstallDrivers();
    drv::TProcessThread::Install();
    drv::StartPorts();

    int rc = 0;
    const bool found = WaitFor(
        30, [] { return Item("Post1.State") && Item("Post10.State") && Item("Post13.State"); });
    std::cout << Now() << "  ports: COM1 status " << drv::PortStatus(0) << ", COM2 status "
              << drv::PortStatus(1) << (found ? "" : "  (not every post was found)") << std::endl;
    if (!found) rc = 1;

    if (found && !g_stop) {
        // A client starts a delivery of 5 units on Post1; the operator presses the key.
        WaitFor(10, [] { return Item("Post1.State")->PeekValue().lVal == 0; });
        int32_t dose = Write("Post1.DozeV", plat::Variant::R8(5));
        int32_t start = Write("Post1.State", plat::Variant::I4(1));
        const int32_t dose_result = drv::CmdWait(dose), start_result = drv::CmdWait(start);
        std::cout << Now() << "  results: dose " << dose_result << ", start " << start_result
                  << std::endl;
        if (WaitFor(10, [] { return Item("Post1.State")->PeekValue().lVal == 1; })) {
            std::cout << Now() << "  operator presses the key on Post1" << std::endl;
            com1.station->Find(1)->PressKey();
        }
        WaitFor(10, [] { return Item("Post1.State")->PeekValue().lVal == 7; });
        // Pause half way, then continue.
        WaitFor(5, [&] { return com1.station->Find(1)->CurrentV() >= 20000; });
        const int32_t pause = drv::CmdWait(Write("Post1.State", plat::Variant::I4(80)));
        std::cout << Now() << "  result: pause " << pause << std::endl;
        WaitFor(10, [] { return Item("Post1.State")->PeekValue().lVal == 80; });
        const int32_t resume = drv::CmdWait(Write("Post1.State", plat::Variant::I4(1)));
        std::cout << Now() << "  result: continue " << resume << std::endl;
        WaitFor(20, [] { return Item("Post1.State")->PeekValue().lVal == 0; });
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!g_stop && (seconds == 0 || std::chrono::steady_clock::now() < until))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

    drv::StopPorts();
    watch_stop = true;
    watcher.join();
    std::string log_file = drv::ProtocolFolder() + "NorvaltDrvCOM.LG1";
    drv::DoneNameSpace();
    drv::DoneProtocol();
    std::cout << "logs: " << drv::ProtocolFolder() << " (global log " << log_file << ")"
              << std::endl;
    return rc;
}

}  // namespace
