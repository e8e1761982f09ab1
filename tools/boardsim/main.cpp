// norvalt_boardsim: display boards or DCON modules on a pseudo-terminal.
//
//   norvalt_boardsim boards ADDR...    boards on the board bus (addresses 1..10)
//   norvalt_boardsim dcon ADDR...      density-meter modules (hex or decimal addresses)
//
// Prints "PTY <slave path>" and serves until interrupted; register the path as a COM port
// (HKLM HARDWARE\DEVICEMAP\SERIALCOMM) to let the service use it.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tools/RawPty.h"
#include "tools/boardsim/BoardSim.h"

namespace {

std::atomic<bool> g_quit{false};

void OnSignal(int) {
    g_quit = true;
}

int Usage() {
    std::fprintf(stderr, "usage: norvalt_boardsim boards|dcon ADDR...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    const bool boards = std::strcmp(argv[1], "boards") == 0;
    if (!boards && std::strcmp(argv[1], "dcon") != 0) return Usage();
    int master = -1, slave = -1;
    std::string name;
    if (!tools::OpenRawPty(master, slave, name)) {
        std::perror("openpty");
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    std::unique_ptr<boardsim::BoardBus> board_bus;
    std::unique_ptr<boardsim::DconBus> dcon_bus;
    if (boards)
        board_bus = std::make_unique<boardsim::BoardBus>(master);
    else
        dcon_bus = std::make_unique<boardsim::DconBus>(master);
    for (int i = 2; i < argc; ++i) {
        const long a = std::strtol(argv[i], nullptr, 0);
        if (a < 1 || a > 255) return Usage();
        if (boards)
            board_bus->AddBoard(static_cast<uint8_t>(a));
        else
            dcon_bus->SetModule(static_cast<uint8_t>(a), boardsim::ModuleScript{});
    }
    std::printf("PTY %s\n", name.c_str());
    std::fflush(stdout);
    while (!g_quit) ::usleep(100000);
    board_bus.reset();
    dcon_bus.reset();
    ::close(master);
    ::close(slave);
    return 0;
}
