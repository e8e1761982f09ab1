// A pseudo-terminal with both ends raw, for the simulators' far end of a line.
#pragma once
#include <pty.h>
#include <termios.h>

#include <string>

namespace tools {

// False when no pseudo-terminal can be had; `name` gets the path of the end a port opens.
inline bool OpenRawPty(int& master, int& slave, std::string& name) {
    char path[128] = {};
    if (::openpty(&master, &slave, path, nullptr, nullptr) != 0) return false;
    for (int fd : {master, slave}) {
        termios t{};
        if (::tcgetattr(fd, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
    }
    name = path;
    return true;
}

}  // namespace tools
