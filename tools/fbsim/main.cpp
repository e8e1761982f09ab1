// fbsim: a control unit with posts (or plates) as a Modbus RTU slave on a pseudo-terminal.
// Prints the terminal's path; every request is logged to stdout; "k<ch>" on stdin presses a
// post's key, "s" steps the delivery, "q" quits. Options: -a address, -v version, -b build,
// -p posts, -m (module mode with one output and one input plate).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "tools/RawPty.h"
#include "tools/fbsim/Server.h"
#include "tools/fbsim/Sim.h"

int main(int argc, char** argv) {
    fbsim::UnitSetup setup;
    int posts = 2;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : "0";
        if (a == "-a")
            setup.address = static_cast<uint8_t>(std::atoi(v)), ++i;
        else if (a == "-v")
            setup.version = static_cast<uint16_t>(std::atoi(v)), ++i;
        else if (a == "-b")
            setup.build = static_cast<uint16_t>(std::atoi(v)), ++i;
        else if (a == "-p")
            posts = std::atoi(v), ++i;
        else if (a == "-m")
            setup.module_mode = true;
    }
    if (setup.module_mode) {
        posts = 0;
        setup.out_plates = 1;
        setup.in_plates = 1;
    }
    for (int k = 0; k < posts; ++k) {
        fbsim::PostSetup p;
        p.number = static_cast<uint16_t>(k + 1);
        setup.posts.push_back(p);
    }
    setup.side1 = posts;
    fbsim::Engine engine;
    fbsim::AddUnit(engine, setup);
    if (setup.module_mode) {
        fbsim::AddPlate(engine, setup.address, 1, true);
        fbsim::AddPlate(engine, setup.address, 0x21, false);
    }
    int master = -1, slave = -1;
    std::string name;
    if (!tools::OpenRawPty(master, slave, name)) {
        std::perror("openpty");
        return 1;
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    std::printf("%s\n", name.c_str());
    std::fflush(stdout);
    fbsim::RtuServer server(engine, master);
    std::string line;
    size_t shown = 0;
    while (std::getline(std::cin, line)) {
        if (line == "q") break;
        if (line == "s") engine.Step();
        if (!line.empty() && line[0] == 'k')
            fbsim::PressKey(engine, setup.address, std::atoi(line.c_str() + 1));
        const auto log = engine.Requests();
        for (; shown < log.size(); ++shown) std::printf("%s\n", log[shown].c_str());
        std::fflush(stdout);
    }
    ::close(slave);
    return 0;
}
