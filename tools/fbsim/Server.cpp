#include "tools/fbsim/Server.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace fbsim {

uint16_t Crc16(const std::string& bytes) {
    uint16_t crc = 0xFFFF;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

size_t FrameLength(const std::string& buf) {
    auto at = [&](size_t i) { return static_cast<uint8_t>(buf[i]); };
    // Length of a PDU starting at `off` (address and function first), CRC not included.
    auto pdu = [&](size_t off) -> size_t {
        if (buf.size() < off + 2) return 0;
        switch (at(off + 1)) {
            case 0x03:
            case 0x06:
            case 0x43:
                return 6;
            case 0x07:
            case 0x11:
                return 2;
            case 0x10:
                return buf.size() < off + 7 ? 0 : 7 + size_t{at(off + 6)};
            default:
                return SIZE_MAX;
        }
    };
    if (buf.size() < 2) return 0;
    size_t n;
    if (at(1) == 0x42) {
        n = pdu(2);
        if (n == 0) return 0;
        if (n != SIZE_MAX) n += 2;
    } else {
        n = pdu(0);
    }
    if (n == 0) return 0;
    return n == SIZE_MAX ? SIZE_MAX : n + 2;
}

RtuServer::RtuServer(Engine& engine, int fd) : engine_(engine), fd_(fd) {
    thread_ = std::thread([this] { Run(); });
}

RtuServer::~RtuServer() {
    stop_ = true;
    thread_.join();
}

void RtuServer::Run() {
    std::string buf;
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        const int rc = ::poll(&p, 1, 10);
        if (rc <= 0) {
            // A quiet line ends whatever was half there.
            if (rc == 0 && !buf.empty()) {
                buf.clear();
                ++bad_;
            }
            continue;
        }
        if (p.revents & (POLLHUP | POLLERR)) {
            ::usleep(10000);
            continue;
        }
        char chunk[512];
        const ssize_t got = ::read(fd_, chunk, sizeof chunk);
        if (got <= 0) continue;
        buf.append(chunk, static_cast<size_t>(got));
        for (;;) {
            const size_t n = FrameLength(buf);
            if (n == 0 || (n != SIZE_MAX && buf.size() < n)) break;
            if (n == SIZE_MAX || Crc16(buf.substr(0, n)) != 0) {
                buf.clear();
                ++bad_;
                break;
            }
            const std::string request = buf.substr(0, n - 2);
            buf.erase(0, n);
            std::string answer = engine_.Handle(request);
            if (answer.empty()) continue;
            const uint16_t crc = Crc16(answer);
            answer += static_cast<char>(crc & 0xFF);
            answer += static_cast<char>(crc >> 8);
            if (engine_.TakeCorrupt()) answer.back() = static_cast<char>(answer.back() ^ 0x5A);
            size_t off = 0;
            while (off < answer.size() && !stop_) {
                const ssize_t w = ::write(fd_, answer.data() + off, answer.size() - off);
                if (w > 0)
                    off += static_cast<size_t>(w);
                else if (errno == EAGAIN)
                    ::usleep(1000);
                else
                    break;
            }
            ++served_;
        }
    }
}

}  // namespace fbsim
