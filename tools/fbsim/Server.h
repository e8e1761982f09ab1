// The engine on a serial line: RTU frames read from a descriptor (the far end of a pty),
// answered with CRC, from a thread of its own.
#pragma once
#include <atomic>
#include <string>
#include <thread>

#include "tools/fbsim/Sim.h"

namespace fbsim {

uint16_t Crc16(const std::string& bytes);

// Length of the RTU frame at the start of `buf` (CRC included), 0 while unknown.
size_t FrameLength(const std::string& buf);

class RtuServer {
  public:
    // The descriptor is not owned; it must be non-blocking or pollable.
    RtuServer(Engine& engine, int fd);
    ~RtuServer();
    RtuServer(const RtuServer&) = delete;
    RtuServer& operator=(const RtuServer&) = delete;
    int Served() const { return served_.load(); }
    int BadFrames() const { return bad_.load(); }

  private:
    void Run();
    Engine& engine_;
    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<int> served_{0};
    std::atomic<int> bad_{0};
    std::thread thread_;
};

}  // namespace fbsim
