// A private system root and a raw pseudo-terminal registered as COM7, for the benchmarks that
// drive a line. A base class, so that it outlives the peers its users build on the far end.
#pragma once
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/registry/registry.h"
#include "platform/sysroot/sysroot.h"

namespace bench {

class PtyRoot {
  public:
    PtyRoot() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "norvalt-bench-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
        root_ = tmpl;
        plat::SetSystemRoot(root_);
        char name[128] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) std::abort();
        for (int fd : {master_, slave_}) {
            termios t{};
            ::tcgetattr(fd, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
        plat::reg::WriteString(plat::reg::Hive::LocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM",
                               "COM7", name);
    }
    ~PtyRoot() {
        ::close(master_);
        ::close(slave_);
        plat::SetSystemRoot("");
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    PtyRoot(const PtyRoot&) = delete;
    PtyRoot& operator=(const PtyRoot&) = delete;

  protected:
    std::string root_;
    int master_ = -1, slave_ = -1;  // far end, near end
};

}  // namespace bench
