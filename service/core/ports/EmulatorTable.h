// The emulator registered for each COM number: a port in emulation mode exchanges its frames
// with it instead of a serial line. Filled by the emulator registration, read by the ports.
#pragma once
#include "fieldbus/core/HostApi.h"
#include "platform/com/unknown.h"
#include "service/typelib/TypeLib.h"

namespace drv {

constexpr int kMaxComPorts = 256;
// Least time between two calls that ask a silent emulator whether it answers again.
constexpr uint32_t kSilentProbeMs = 1000;

// The emulator of that COM number, or null (also for numbers out of range, and while the one
// registered is silent).
plat::ComPtr<tlb::IHWEmu> GetEmulator(int com_number);
// As GetEmulator for a line about to use it: a silent emulator is first asked again (Purge, at
// most once per kSilentProbeMs, one caller at a time; that call waits as any call to a client).
plat::ComPtr<tlb::IHWEmu> TakeEmulator(int com_number);
// A call to `emulator` went unanswered for the whole callback time-out: while the slot still
// holds it, it counts as silent (not registered) until it answers again or another registers.
// True when this made it silent (the global log names it then, once).
bool NoteEmulatorSilent(int com_number, const tlb::IHWEmu* emulator);
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
