#include "fieldbus/core/PortModbus.h"

#include <memory>

#include "fieldbus/core/ByteLine.h"
#include "fieldbus/core/LogFile.h"

namespace mb {

CPortModbus::CPortModbus(IPortModbusOwner* owner, CLogFile* port_log, bool emulation)
    : CPortModbus(owner, port_log,
                  emulation ? std::make_unique<CEmulatedLine>(owner, port_log) : nullptr) {}

CPortModbus::CPortModbus(IPortModbusOwner* owner, CLogFile* port_log,
                         std::unique_ptr<CEmulatedLine> line)
    : CLocalModbus(line != nullptr ? std::unique_ptr<IByteLine>(std::move(line))
                                   : std::make_unique<CSerialLine>(),
                   port_log),
      owner_(owner),
      emulated_(dynamic_cast<CEmulatedLine*>(&Line())) {}

bool CPortModbus::Open(int port, uint32_t baud, uint8_t parity, long& error) {
    if (emulated_ == nullptr) {
        if (log_) log_->Info("Открытие порта в активном режиме");
        return CLocalModbus::Open(port, baud, parity, error);
    }
    error = plat::ERROR_SUCCESS;
    PortGuard guard(*this);
    if (!guard) {
        error = 1460;  // ERROR_TIMEOUT, as the active open
        return false;
    }
    SetBaud(baud);
    SetParity(parity);
    if (log_) log_->Info("Открытие порта в режиме эмуляции");
    LineConfig config;
    config.port = port;
    error = emulated_->Open(config);
    return error == plat::ERROR_SUCCESS;
}

bool CPortModbus::Close() {
    if (emulated_ == nullptr) {
        if (log_) log_->Info("Закрытие порта в активном режиме");
        return CLocalModbus::Close();
    }
    PortGuard guard(*this);
    if (log_) log_->Info("Закрытие порта в режиме эмуляции");
    // The held reference goes back whether or not the slot still names it: after an
    // unregistration it would otherwise never be released.
    emulated_->Close();
    if (owner_ != nullptr) owner_->LineStatus(0);
    return true;
}

bool CPortModbus::IsOpen() const {
    if (emulated_ == nullptr) return CLocalModbus::IsOpen();
    if (emulated_->Registered()) return emulated_->IsOpen();
    if (owner_ != nullptr) owner_->LineStatus(-4);
    return false;
}

}  // namespace mb
