// The main job: a simulated station served by the real NorvaltDrv. Dispenser controllers are
// simulated on pseudo-terminals registered as COM ports; NorvaltDrv is installed into the
// private root with port switches pointing at them, started, and a client bound to TORK over
// the transport lists the posts, prints their events and runs one delivery. Then the service
// is stopped with /STOP and removed with /UNINSTALL.
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/registry/registry.h"
#include "platform/rpc/client.h"
#include "platform/sysroot/sysroot.h"
#include "service/typelib/TypeLib.h"
#include "service/typelib/TypeLibProxy.h"
#include "tools/demo/DemoRoot.h"
#include "tools/demo/SimLine.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

namespace {

using demo::g_stop;
using demo::Now;
using demo::OnSignal;
using demo::SimLine;

std::mutex g_out;
void Say(const std::string& line) {
    std::lock_guard lk(g_out);
    std::cout << Now() << "  " << line << std::endl;
}

// NorvaltDrv run with `args`; `wait` false leaves it running.
pid_t Spawn(const std::string& exe, const std::vector<std::string>& args) {
    std::vector<std::string> all{exe};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

int WaitExit(pid_t pid, int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int st = 0;
    while (::waitpid(pid, &st, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

int RunTool(const std::string& exe, const std::vector<std::string>& args) {
    std::string line = "NorvaltDrv";
    for (auto& a : args) line += " " + a;
    Say("run: " + line);
    const int rc = WaitExit(Spawn(exe, args), 120);
    Say(line + " -> exit " + std::to_string(rc));
    return rc;
}

bool WaitFor(int seconds, const std::function<bool()>& cond) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!cond()) {
        if (g_stop || std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Prints what the service reports and keeps the posts it found.
class PrintingSink : public plat::ComObject<tlb::INorvaltEventsEx, tlb::INorvaltEvents> {
  public:
    plat::HRESULT PostFound(int8_t post) override {
        {
            std::lock_guard lk(m_);
            posts_.insert(post);
        }
        Say("event: post " + std::to_string(post) + " found");
        return plat::S_OK;
    }
    plat::HRESULT StateChanged(int8_t post, tlb::TState st) override {
        Say("event: Post" + std::to_string(post) + " state " + std::to_string(st.Value));
        return plat::S_OK;
    }
    plat::HRESULT VarValueChanged(int8_t post, tlb::TVariableEnum var,
                                  tlb::TVariableValue v) override {
        Say("event: Post" + std::to_string(post) + " variable " + std::to_string(var) + " = " +
            std::to_string(v.Value.int64));
        return plat::S_OK;
    }
    plat::HRESULT PostDeleted(int8_t post) override {
        {
            std::lock_guard lk(m_);
            posts_.erase(post);
        }
        Say("event: post " + std::to_string(post) + " deleted");
        return plat::S_OK;
    }
    plat::HRESULT PostWithoutChanges(int8_t, plat::DATE) override { return plat::S_OK; }
    std::set<int> Posts() {
        std::lock_guard lk(m_);
        return posts_;
    }

  private:
    std::mutex m_;
    std::set<int> posts_;
};

int32_t State(tlb::INorvalt& n, int16_t post) {
    tlb::TState st{};
    return plat::Succeeded(n.GetState(post, &st)) ? st.Value : -1;
}

// One delivery of 5 units on Post1: dose, start, key, pause half way, continue.
bool Delivery(tlb::INorvalt& n, zrnsim::Station& sim) {
    WaitFor(10, [&] { return State(n, 1) == tlb::csIdle; });
    tlb::TCmdID dose = 0, start = 0, res = 0;
    n.SetVarValue(1, tlb::cvDozeV, plat::Currency{50000}, &dose);
    n.SetState(1, tlb::csWaitingKey, &start);
    n.GetResult(dose, &res);
    Say("client: dose 5 -> result " + std::to_string(res));
    n.GetResult(start, &res);
    Say("client: start -> result " + std::to_string(res));
    if (!WaitFor(10, [&] { return State(n, 1) == tlb::csWaitingKey; })) return false;
    Say("operator presses the key on Post1");
    sim.Find(1)->PressKey();
    if (!WaitFor(10, [&] { return State(n, 1) == tlb::csWorking; })) return false;
    WaitFor(5, [&] { return sim.Find(1)->CurrentV() >= 20000; });
    tlb::TCmdID cmd = 0;
    n.SetState(1, tlb::csPaused, &cmd);
    n.GetResult(cmd, &res);
    Say("client: pause -> result " + std::to_string(res));
    WaitFor(10, [&] { return State(n, 1) == tlb::csPaused; });
    n.SetState(1, tlb::csWaitingKey, &cmd);
    n.GetResult(cmd, &res);
    Say("client: continue -> result " + std::to_string(res));
    return WaitFor(20, [&] { return State(n, 1) == tlb::csIdle; });
}

int Run(const std::string& exe, const std::string& root, int seconds) {
    ::signal(SIGINT, OnSignal);
    ::signal(SIGTERM, OnSignal);
    ::signal(SIGPIPE, SIG_IGN);
    plat::SetSystemRoot(root);
    ::setenv("NORVALT_ROOT", root.c_str(), 1);
    // Unit files, if any, stay in the private root.
    ::setenv("NORVALT_UNIT_DIR", (root + "/units").c_str(), 1);
    tlb::RegisterTypeLibInterfaces();

    SimLine com1(1), com2(2);
    com1.station->Add(1, 40, 74);
    com1.station->Add(10, 40, 68);
    com2.station->Add(3, 41, 4);
    for (auto* line : {&com1, &com2}) line->Start();
    std::cout << "system root: " << root
              << "\nsimulated controllers: COM1 addresses 1 (family 40/74) and 10 (40/68), COM2 "
                 "address 3 (41/4)\n"
                 "state codes: 0 idle, 1 waiting for the key, 3 waiting for the key after a "
                 "pause, 7 working,\n"
                 "  80 paused, 160 none, 168 unknown, 169 communication error, 176 hardware "
                 "error,\n"
                 "  177 controller error, 178 sensor error, 179 configuration error, 186 old "
                 "controller,\n"
                 "  188 new controller, 255 fire\n"
                 "variable values are fixed-point, x10000 (a dose of 5 litres is 50000)"
              << std::endl;

    if (RunTool(exe, {"/INSTALL", "/SILENT", "/PROTOCOL=3", "/PORT=CUST", "/COM1=ZRN9600",
                      "/COM2=ZRN", "/SHIFT2=10"}) != 0)
        return 1;
    Say("starting NorvaltDrv");
    const pid_t service = Spawn(exe, {});
    int rc = 0;
    {
        plat::ComPtr<tlb::INorvalt> n;
        WaitFor(60, [&] {
            if (WaitExit(service, 0) >= 0) return true;  // ended early
            return plat::Succeeded(plat::CreateInstance(tlb::CLSID_TORK, n));
        });
        if (!n) {
            Say("client: cannot bind TORK: " + plat::GetErrorText());
            rc = 1;
        } else {
            Say("client: bound TORK over the transport");
            auto sink = plat::MakeCom<PrintingSink>();
            n->RegisterSinkInterfaceEx(sink.Get());
            const bool found = WaitFor(30, [&] {
                auto p = sink->Posts();
                return p.count(1) && p.count(10) && p.count(13);
            });
            std::string list;
            for (int p : sink->Posts())
                list += " Post" + std::to_string(p) + "=" + std::to_string(State(*n, p));
            Say("client: posts (state):" + list);
            if (!found || g_stop) {
                rc = 1;
            } else if (!Delivery(*n, *com1.station)) {
                Say("client: the delivery did not complete");
                rc = 1;
            }
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
            while (!g_stop && (seconds == 0 || std::chrono::steady_clock::now() < until))
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            n->UnRegisterSinkInterface();
        }
    }
    plat::rpc::DisconnectAll();

    if (RunTool(exe, {"/STOP"}) != 0) {
        Say("the service did not stop when asked; ending it");
        ::kill(service, SIGTERM);
    }
    const int exit_code = WaitExit(service, 60);
    Say("NorvaltDrv ended with " + std::to_string(exit_code));
    if (exit_code != 0) rc = 1;
    if (RunTool(exe, {"/UNINSTALL", "/SILENT"}) != 0) rc = 1;
    std::cout << "logs: " << root << "/c/" << std::endl;
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = "norvalt_station";
    // --service PATH is this program's own; the rest are the demo's options.
    std::string exe;
    std::vector<const char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--service" && i + 1 < argc)
            exe = argv[++i];
        else
            rest.push_back(argv[i]);
    }
    const demo::Options options =
        demo::ParseOptions(static_cast<int>(rest.size()), rest.data(), std::getenv("NORVALT_ROOT"));
    const std::string usage =
        demo::Usage(program, " --service PATH",
                    "  --service PATH  the NorvaltDrv program to install and run (required)\n");
    if (options.action == demo::Options::Help) {
        std::cout << usage;
        return 0;
    }
    if (options.action == demo::Options::Error || exe.empty()) {
        std::cerr << program << ": "
                  << (exe.empty() ? std::string("--service PATH is needed") : options.error) << "\n"
                  << usage;
        return 2;
    }
    if (const std::string problem = demo::PrepareRoot(options.root); !problem.empty()) {
        std::cerr << program << ": " << problem << std::endl;
        return 1;
    }
    try {
        return Run(std::filesystem::absolute(exe).string(), options.root, options.seconds);
    } catch (const std::exception& e) {
        std::cerr << program << ": " << e.what() << std::endl;
        return 1;
    }
}
