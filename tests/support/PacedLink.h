// A serial line with the timing of a real one: the port under test (a pseudo-terminal registered
// as COM<n>) and the far end (another pseudo-terminal) joined by a relay that lets each byte
// through 11 bit times after the one before it, at the line's baud rate, both ways.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/PtyPair.h"

namespace testsupport {

class PacedLink {
  public:
    // A TempRoot (or another system root) must be active for the COM registration.
    PacedLink(int com_number, uint32_t baud);
    ~PacedLink();
    PacedLink(const PacedLink&) = delete;
    PacedLink& operator=(const PacedLink&) = delete;

    // The device's end, for a peer that serves the line.
    int FarFd() const { return far_.FarFd(); }
    // Path of the port's end, for a master that opens the line by path.
    const std::string& PortPath() const { return port_.SlavePath(); }
    uint64_t Relayed() const { return relayed_.load(); }

  private:
    void Relay(int from, int to);

    PtyPair port_;  // slave: COM<n>; master: the relay
    PtyPair far_;   // slave: the relay; master: the device
    int far_slave_ = -1;
    const double byte_ns_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> relayed_{0};
    std::thread to_far_, to_port_;
};

}  // namespace testsupport
