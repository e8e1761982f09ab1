// A pseudo-terminal pair standing in for a serial line: the slave is the port under test, the
// master is the device at the far end, driven by the test.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace testsupport {

class PtyPair {
  public:
    // Both ends raw. With com_number > 0 the slave is registered as "COM<n>" in HKLM
    // "HARDWARE\DEVICEMAP\SERIALCOMM" (a TempRoot must be active) and unregistered again by
    // the destructor. Throws std::runtime_error when no pseudo-terminal can be had.
    explicit PtyPair(int com_number = 0);
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return slave_path_; }
    // "COM<n>", or the slave path when not registered.
    std::string PortName() const;
    int FarFd() const { return master_; }

    // Writes all bytes to the port (false on an error or after 2 s without progress).
    bool WriteFar(std::string_view bytes);
    // Collects what the port sent until `max` bytes are there or `timeout_ms` has passed.
    std::string ReadFar(size_t max, int timeout_ms);
    // Closes the far end: the port's device is gone (the slave hangs up).
    void CloseFar();

  private:
    int master_ = -1;
    int slave_ = -1;  // held open so the pair lives while the port is closed and reopened
    int com_ = 0;
    std::string slave_path_;
};

}  // namespace testsupport
