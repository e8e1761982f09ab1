#include "tests/support/PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "platform/registry/registry.h"

namespace testsupport {

namespace {

constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

void Raw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return;
    ::cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &t);
}

}  // namespace

PtyPair::PtyPair(int com_number) : com_(com_number) {
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    slave_path_ = name;
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    Raw(master_);
    Raw(slave_);
    if (com_ > 0 &&
        plat::reg::WriteString(plat::reg::Hive::LocalMachine, kSerialCommKey,
                               "COM" + std::to_string(com_), slave_path_) != plat::ERROR_SUCCESS)
        throw std::runtime_error("cannot register the pseudo-terminal");
}

PtyPair::~PtyPair() {
    if (com_ > 0)
        plat::reg::DeleteValue(plat::reg::Hive::LocalMachine, kSerialCommKey,
                               "COM" + std::to_string(com_));
    CloseFar();
    if (slave_ >= 0) ::close(slave_);
}

std::string PtyPair::PortName() const {
    return com_ > 0 ? "COM" + std::to_string(com_) : slave_path_;
}

bool PtyPair::WriteFar(std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        if (master_ < 0) return false;
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        pollfd p{master_, POLLOUT, 0};
        if (::poll(&p, 1, 2000) <= 0) return false;
    }
    return true;
}

std::string PtyPair::ReadFar(size_t max, int timeout_ms) {
    std::string out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    while (master_ >= 0 && out.size() < max) {
        ssize_t n = ::read(master_, buf, std::min(sizeof buf, max - out.size()));
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) break;
        auto left =
            std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    }
    return out;
}

void PtyPair::CloseFar() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

}  // namespace testsupport
