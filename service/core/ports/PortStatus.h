// The per-port status table: one status and one info cell per COM port, shared with the
// libraries that run field-bus and slave ports, and the codes a status cell holds.
#pragma once
#include <cstdint>

namespace drv {

constexpr int kPortCount = 32;

// Port status codes: what TZrnPort::Open returns and what the per-port status table holds
// (where a count >= 0 of known devices means the port runs). The libraries that run field-bus
// and slave ports write the same numbers into the table.
enum PortStatusCode : int32_t {
    kPortOk = 0,
    // Open: the port is closed, or opening failed without a code of its own. Table: the port
    // is not started, or no port kind matches its protocol word.
    kPortNotOpen = -1,
    kPortNotFound = -2,         // the COM port does not exist (yet): the port waits for it
    kPortDenied = -3,           // access denied or in use
    kPortNoEmulator = -4,       // emulation asked for, no emulator registered
    kPortClosing = -5,          // the port is being stopped
    kPortSwitchedOff = -6,      // DISABLEALLPORTS or switched off at run time
    kPortNoSlaveLibrary = -10,  // the slave library is missing
};

// Aligned 32-bit cells, one instance in the process; every access is atomic. The port manager
// writes them as it starts and stops ports, the port objects while they run, and the libraries
// through the cells' addresses. An index out of range reads as a port not started and is not
// written. decisions CORE-67
class TPortStatusTable {
  public:
    static TPortStatusTable& Get();

    int32_t Status(int index) const;
    int32_t Info(int index) const;
    void SetStatus(int index, int32_t status);
    void SetInfo(int index, int32_t info);
    int32_t* StatusAddress(int index);
    int32_t* InfoAddress(int index);

  private:
    TPortStatusTable() = default;

    alignas(64) mutable int32_t status_[kPortCount] = {};
    alignas(64) mutable int32_t info_[kPortCount] = {};
};

int32_t PortStatus(int index);
int32_t PortInfo(int index);
void SetPortStatusCell(int index, int32_t status);
void SetPortInfoCell(int index, int32_t info);
int32_t* PortStatusCellAddress(int index);
int32_t* PortInfoCellAddress(int index);

}  // namespace drv
