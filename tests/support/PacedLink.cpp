#include "tests/support/PacedLink.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace testsupport {

PacedLink::PacedLink(int com_number, uint32_t baud)
    : port_(com_number), far_(0), byte_ns_(11.0 * 1e9 / (baud ? baud : 9600)) {
    far_slave_ = ::open(far_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (far_slave_ < 0) throw std::runtime_error("PacedLink: cannot open the far pty");
    termios t{};
    ::tcgetattr(far_slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(far_slave_, TCSANOW, &t);
    to_far_ = std::thread([this] { Relay(port_.FarFd(), far_slave_); });
    to_port_ = std::thread([this] { Relay(far_slave_, port_.FarFd()); });
}

PacedLink::~PacedLink() {
    stop_ = true;
    to_far_.join();
    to_port_.join();
    ::close(far_slave_);
}

void PacedLink::Relay(int from, int to) {
    using clock = std::chrono::steady_clock;
    const auto byte_time = std::chrono::nanoseconds(static_cast<int64_t>(byte_ns_));
    clock::time_point line_free = clock::now();
    unsigned char buf[512];
    while (!stop_) {
        pollfd p{from, POLLIN, 0};
        if (::poll(&p, 1, 5) <= 0 || !(p.revents & POLLIN)) continue;
        const ssize_t n = ::read(from, buf, sizeof buf);
        if (n <= 0) continue;
        // Bytes read while the line is still busy (or within a byte time of it falling idle:
        // the relay's own wake-up is that late) queue behind it; otherwise the line starts now.
        // Keeping the schedule absolute stops each late wake-up from stretching the byte time.
        const clock::time_point now = clock::now();
        if (now > line_free + byte_time) line_free = now;
        for (ssize_t i = 0; i < n && !stop_; ++i) {
            line_free += byte_time;
            std::this_thread::sleep_until(line_free);
            while (::write(to, buf + i, 1) < 0 && errno == EAGAIN && !stop_)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            relayed_.fetch_add(1);
        }
    }
}

}  // namespace testsupport
