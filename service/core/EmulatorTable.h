// The emulator registered for each COM number: a port in emulation mode exchanges its frames
// with it instead of a serial line. Filled by the emulator registration, read by the ports.
#pragma once
#include "fieldbus/core/HostApi.h"
#include "platform/com/unknown.h"
#include "service/typelib/TypeLib.h"

namespace drv {

constexpr int kMaxComPorts = 256;

// The emulator of that COM number, or null (also for numbers out of range).
plat::ComPtr<tlb::IHWEmu> GetEmulator(int com_number);
// Registers (or, with null, removes) the emulator of a COM number; false when out of range.
bool SetEmulator(int com_number, plat::ComPtr<tlb::IHWEmu> emulator);
// Clears the slot only while it still holds `emulator`, so that a port which found its emulator
// gone does not drop one registered since; true when it cleared.
bool ClearEmulatorIf(int com_number, const tlb::IHWEmu* emulator);
void ClearEmulators();
// The registration of a COM number as the field-bus library's emulated ports take it (the
// emulator slot of MBCreateThread); lives as long as the process. Null out of range.
const mb::EmulatorSlot* EmulatorSlotFor(int com_number);

}  // namespace drv
