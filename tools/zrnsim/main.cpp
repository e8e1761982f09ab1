// norvalt_zrnsim: dispenser controllers on a serial line or a pseudo-terminal, for trying the
// service against something that answers.
//
//   norvalt_zrnsim [--port COMn | --pty | --emulate COMn] [--baud N]
//                  [--controller ADDR:FAMILY:VERSION]... [--echo]
//
// With --pty (the default) it prints "PTY <slave path>" and serves until killed. Every request
// and answer is printed as hex. With --emulate it connects to the running service, registers
// itself as the emulator of COMn (the port's protocol word must ask for emulation, e.g. ZRNE),
// prints "EMULATE COMn" and serves the service's calls until killed; "quit" unregisters first.
// Lines on standard input act at the dispenser:
//   key A | stop A | pause A [REASONS] | show | quit
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/rpc/client.h"
#include "platform/serial/serial.h"
#include "platform/time/clock.h"
#include "service/typelib/TypeLibProxy.h"
#include "tools/RawPty.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

namespace {

std::atomic<bool> g_quit{false};
std::mutex g_out;

void OnSignal(int) {
    g_quit = true;
}

void Print(const std::string& line) {
    std::lock_guard<std::mutex> lk(g_out);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int Usage(const char* why) {
    if (why) std::fprintf(stderr, "norvalt_zrnsim: %s\n", why);
    std::fprintf(stderr,
                 "usage: norvalt_zrnsim [--port COMn | --pty | --emulate COMn] [--baud N] "
                 "[--controller ADDR:FAMILY:VERSION]... [--echo]\n");
    return 2;
}

struct SimEntry {
    int address, family, version;
};

bool ParseEntry(const std::string& s, SimEntry& out) {
    std::istringstream in(s);
    char c1 = 0, c2 = 0;
    if (!(in >> out.address >> c1 >> out.family >> c2 >> out.version) || c1 != ':' || c2 != ':')
        return false;
    std::string rest;
    return !(in >> rest);
}

const char* StateName(zrnsim::State s) {
    switch (s) {
        case zrnsim::State::Idle:
            return "idle";
        case zrnsim::State::WaitingKey:
            return "waiting for key";
        case zrnsim::State::Working:
            return "working";
        case zrnsim::State::Paused:
            return "paused";
    }
    return "?";
}

void Show(zrnsim::Station& st) {
    for (uint8_t a : st.Addresses()) {
        zrnsim::Controller* c = st.Find(a);
        if (!c) continue;
        Print("  addr " + std::to_string(a) + " family " + std::to_string(c->Family()) +
              " version " + std::to_string(c->Version()) + ": " + StateName(c->GetState()) +
              ", dose " + std::to_string(c->Dose() / 10000.0) + ", current " +
              std::to_string(c->CurrentV() / 10000.0) + ", total " +
              std::to_string(c->TotalV() / 10000.0));
    }
}

void Command(zrnsim::Station& st, const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    int addr = 0;
    in >> verb;
    if (verb.empty()) return;
    if (verb == "quit") {
        g_quit = true;
        return;
    }
    if (verb == "show") {
        Show(st);
        return;
    }
    in >> addr;
    zrnsim::Controller* c = st.Find(addr);
    if (!c) {
        Print("no controller at address " + std::to_string(addr));
        return;
    }
    if (verb == "key") {
        Print(c->PressKey() ? "key pressed" : "key ignored (not waiting or paused)");
    } else if (verb == "stop") {
        c->Stop();
        Print("stopped");
    } else if (verb == "pause") {
        int reasons = 0;
        in >> reasons;
        Print(c->Pause(static_cast<uint8_t>(reasons)) ? "paused" : "not working");
    } else {
        Print("commands: key A | stop A | pause A [REASONS] | show | quit");
    }
}

// Reads the console's lines until "quit" or a signal; without a console, serves on.
void Console(zrnsim::Station& st) {
    bool stdin_open = true;
    std::string pending;
    while (!g_quit) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        int r = ::poll(stdin_open ? &p : nullptr, stdin_open ? 1 : 0, 200);
        if (r <= 0 || !(p.revents & (POLLIN | POLLHUP))) continue;
        char buf[256];
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            stdin_open = false;  // serve on without a console
            continue;
        }
        pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            Command(st, pending.substr(0, nl));
            pending.erase(0, nl + 1);
        }
    }
}

// "COM7" or "com7" -> 7; the service's ports are COM1 ... COM32.
bool ParseCom(const std::string& s, int& out) {
    if (s.size() < 4 || s.size() > 5) return false;
    for (size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(s[i])) != "COM"[i]) return false;
    int n = 0;
    for (size_t i = 3; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        n = n * 10 + (s[i] - '0');
    }
    if (n < 1 || n > 32) return false;
    out = n;
    return true;
}

std::string Hex(plat::HRESULT hr) {
    char b[16];
    std::snprintf(b, sizeof b, "%08X", static_cast<uint32_t>(hr));
    return b;
}

// Serves the station as the emulator of COM<com> of the running service.
int Emulate(const std::shared_ptr<zrnsim::Station>& station, int com) {
    plat::rpc::InstallOutOfProcessCreator();
    tlb::RegisterTypeLibInterfaces();
    plat::ComPtr<tlb::IHWEmuReg> reg;
    plat::HRESULT hr = plat::CreateInstance(tlb::CLSID_DA2, reg);
    if (!reg) {
        std::fprintf(stderr, "norvalt_zrnsim: cannot reach the service (%s %s)\n", Hex(hr).c_str(),
                     plat::GetErrorText().c_str());
        return 1;
    }
    auto emu = plat::MakeCom<zrnsim::HwEmu>(station);
    int32_t protocol = 0;
    hr = reg->Reg(com, &protocol, emu.Get());
    if (plat::Failed(hr)) {
        std::fprintf(stderr, "norvalt_zrnsim: Reg COM%d failed (%s)\n", com, Hex(hr).c_str());
        return 1;
    }
    Print("EMULATE COM" + std::to_string(com));
    Console(*station);
    hr = reg->Unreg(com);
    if (plat::Failed(hr))
        std::fprintf(stderr, "norvalt_zrnsim: Unreg COM%d failed (%s)\n", com, Hex(hr).c_str());
    reg = nullptr;
    plat::rpc::DisconnectAll();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string port;
    int emulate = 0;
    bool pty = false, echo = false;
    uint32_t baud = 9600;
    std::vector<SimEntry> entries;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--port") {
            const char* v = value();
            if (!v) return Usage("--port needs a name");
            port = v;
        } else if (a == "--emulate") {
            const char* v = value();
            if (!v || !ParseCom(v, emulate)) return Usage("--emulate needs COM1 ... COM32");
        } else if (a == "--pty") {
            pty = true;
        } else if (a == "--echo") {
            echo = true;
        } else if (a == "--baud") {
            const char* v = value();
            if (!v || std::atol(v) <= 0) return Usage("--baud needs a positive rate");
            baud = static_cast<uint32_t>(std::atol(v));
        } else if (a == "--controller") {
            const char* v = value();
            SimEntry s{};
            if (!v || !ParseEntry(v, s)) return Usage("--controller needs ADDR:FAMILY:VERSION");
            entries.push_back(s);
        } else if (a == "--help" || a == "-h") {
            return Usage(nullptr);
        } else {
            return Usage(("unknown argument " + a).c_str());
        }
    }
    if (int(!port.empty()) + int(pty) + int(emulate != 0) > 1)
        return Usage("--port, --pty and --emulate exclude each other");
    if (entries.empty()) entries.push_back({1, 40, 74});

    auto station = std::make_shared<zrnsim::Station>();
    for (const SimEntry& s : entries) {
        if (!station->Add(s.address, s.family, s.version)) {
            std::fprintf(stderr,
                         "norvalt_zrnsim: controller %d:%d:%d refused (address 1..31, "
                         "free; family and version 0..255)\n",
                         s.address, s.family, s.version);
            return 2;
        }
    }
    if (echo) {
        zrnsim::Faults f;
        f.echo = true;
        station->SetFaults(f);
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    if (emulate != 0) return Emulate(station, emulate);

    plat::serial::SerialPort serial;
    int master = -1, slave = -1, fd = -1;
    if (!port.empty()) {
        long err = serial.Open(port);
        if (err != 0) {
            std::fprintf(stderr, "norvalt_zrnsim: cannot open %s (error %ld)\n", port.c_str(), err);
            return 1;
        }
        plat::serial::LineSettings ls;
        ls.baud = baud;
        ls.parity = plat::serial::Parity::Space;  // as the service sets its lines
        if ((err = serial.Configure(ls)) != 0) {
            std::fprintf(stderr, "norvalt_zrnsim: cannot configure %s (error %ld)\n", port.c_str(),
                         err);
            return 1;
        }
        fd = serial.Fd();
        Print("PORT " + serial.DevicePath());
    } else {
        std::string name;
        if (!tools::OpenRawPty(master, slave, name)) {
            std::perror("norvalt_zrnsim: openpty");
            return 1;
        }
        // The slave stays open here too, so the master never sees a hang-up between clients.
        fd = master;
        Print("PTY " + name);
    }

    zrnsim::LineRunner runner(station, fd);
    runner.SetTrace([](const zrnsim::TraceEvent& e) {
        static const char* kinds[] = {"RX  ", "TX  ", "DROP", "ERR "};
        std::string line = std::to_string(plat::GetTickCount()) + " " + kinds[e.kind] + " " +
                           (e.bytes.empty() ? std::string() : zrnsim::ToHex(e.bytes));
        if (!e.note.empty()) line += "  (" + e.note + ")";
        Print(line);
    });
    runner.Start();

    Console(*station);
    runner.Stop();
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
    return 0;
}
