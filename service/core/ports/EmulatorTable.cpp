#include "service/core/ports/EmulatorTable.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/rpc/wire.h"
#include "platform/time/clock.h"
#include "platform/types/wstr.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {

struct Slot {
    plat::ComPtr<tlb::IHWEmu> emu;
    // A call went unanswered for the callback time-out; asked again by TakeEmulator.
    bool silent = false;
    const tlb::IHWEmu* probing = nullptr;  // the emulator being asked right now
    uint32_t probe_tick = 0;               // when it fell silent or was last asked
};

// A lock rather than bare cells: references are counted, and a read must not race a release.
std::mutex g_mutex;
std::array<Slot, kMaxComPorts + 1> g_table;

bool InRange(int com_number) {
    return com_number >= 1 && com_number <= kMaxComPorts;
}

// Marks silent the slot `com_number` (0: every slot) while it holds `emulator`.
bool MarkSilent(int com_number, const tlb::IHWEmu* emulator) {
    if (!emulator || (com_number != 0 && !InRange(com_number))) return false;
    std::vector<int> marked;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        for (int i = com_number ? com_number : 1; i <= (com_number ? com_number : kMaxComPorts);
             ++i) {
            Slot& slot = g_table[static_cast<size_t>(i)];
            if (slot.emu.Get() != emulator || slot.silent) continue;
            slot.silent = true;
            slot.probe_tick = plat::GetTickCount();
            marked.push_back(i);
        }
    }
    for (int i : marked)
        WriteProtocolLine("Emulator of COM" + std::to_string(i) + " does not answer", PL_EXTERNAL);
    return !marked.empty();
}

}  // namespace

plat::ComPtr<tlb::IHWEmu> GetEmulator(int com_number) {
    if (!InRange(com_number)) return {};
    std::lock_guard<std::mutex> lk(g_mutex);
    const Slot& slot = g_table[static_cast<size_t>(com_number)];
    return slot.silent ? plat::ComPtr<tlb::IHWEmu>() : slot.emu;
}

// decisions CORE-64
plat::ComPtr<tlb::IHWEmu> TakeEmulator(int com_number) {
    if (!InRange(com_number)) return {};
    plat::ComPtr<tlb::IHWEmu> probe;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        Slot& slot = g_table[static_cast<size_t>(com_number)];
        if (!slot.silent) return slot.emu;
        if (slot.probing || plat::TickDiff(plat::GetTickCount(), slot.probe_tick) < kSilentProbeMs)
            return {};
        slot.probing = slot.emu.Get();
        probe = slot.emu;
    }
    plat::HRESULT hr = plat::rpc::RPC_E_TIMEOUT;
    try {
        hr = probe->Purge();
    } catch (...) {
        // Taken as no answer: asked again after the next interval.
    }
    plat::ComPtr<tlb::IHWEmu> result, gone;
    bool back = false;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        Slot& slot = g_table[static_cast<size_t>(com_number)];
        if (slot.probing == probe.Get()) slot.probing = nullptr;
        if (slot.emu.Get() == probe.Get() && slot.silent) {
            slot.probe_tick = plat::GetTickCount();
            if (hr == plat::RPC_E_DISCONNECTED) {
                gone = std::move(slot.emu);  // its process ended: the slot is free
                slot.silent = false;
            } else if (hr != plat::rpc::RPC_E_TIMEOUT) {
                slot.silent = false;
                back = true;
            }
        }
        if (!slot.silent) result = slot.emu;
    }
    if (back)
        WriteProtocolLine("Emulator of COM" + std::to_string(com_number) + " answers again",
                          PL_INFO);
    return result;  // a released reference goes outside the lock
}

bool NoteEmulatorSilent(int com_number, const tlb::IHWEmu* emulator) {
    return com_number != 0 && MarkSilent(com_number, emulator);
}

bool SetEmulator(int com_number, plat::ComPtr<tlb::IHWEmu> emulator) {
    if (!InRange(com_number)) return false;
    plat::ComPtr<tlb::IHWEmu> old;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        Slot& slot = g_table[static_cast<size_t>(com_number)];
        old = std::exchange(slot.emu, std::move(emulator));
        slot.silent = false;  // a new registration is taken as it is
    }
    return true;  // the old reference is released outside the lock
}

bool ClearEmulatorIf(int com_number, const tlb::IHWEmu* emulator) {
    if (!InRange(com_number) || !emulator) return false;
    plat::ComPtr<tlb::IHWEmu> old;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        Slot& slot = g_table[static_cast<size_t>(com_number)];
        if (slot.emu.Get() != emulator) return false;
        old = std::move(slot.emu);
        slot.silent = false;
    }
    return true;
}

namespace {

tlb::IHWEmu* Emu(void* handle) {
    return static_cast<tlb::IHWEmu*>(handle);
}

void* SlotAcquire(void* context) {
    return TakeEmulator(static_cast<int>(reinterpret_cast<intptr_t>(context))).Detach();
}
// A call the emulator left unanswered makes it silent on every port it serves.
int32_t Checked(void* emulator, int32_t hr) {
    if (hr == plat::rpc::RPC_E_TIMEOUT) MarkSilent(0, Emu(emulator));
    return hr;
}
void SlotRelease(void* emulator) {
    if (emulator != nullptr) Emu(emulator)->Release();
}
int32_t SlotWriteCall(void* emulator, const char16_t* units, uint32_t count) {
    try {
        return Checked(emulator, Emu(emulator)->WriteCall(plat::WideString(units, count)));
    } catch (...) {
        return plat::E_FAIL;
    }
}
int32_t SlotReadAnswer(void* emulator, char16_t* units, uint32_t capacity, uint32_t* length) {
    try {
        plat::WideString answer;
        const plat::HRESULT hr = Checked(emulator, Emu(emulator)->ReadAnswer(&answer));
        if (plat::Failed(hr)) return hr;
        *length = static_cast<uint32_t>(answer.size());
        std::copy_n(answer.data(), std::min<size_t>(answer.size(), capacity), units);
        return hr;
    } catch (...) {
        return plat::E_FAIL;
    }
}
int32_t SlotPurge(void* emulator) {
    try {
        return Checked(emulator, Emu(emulator)->Purge());
    } catch (...) {
        return plat::E_FAIL;
    }
}

}  // namespace

// decisions FB-11
const mb::EmulatorSlot* EmulatorSlotFor(int com_number) {
    static const auto slots = [] {
        std::array<mb::EmulatorSlot, kMaxComPorts + 1> all{};
        for (int i = 0; i <= kMaxComPorts; ++i)
            all[static_cast<size_t>(i)] = {reinterpret_cast<void*>(static_cast<intptr_t>(i)),
                                           SlotAcquire,
                                           SlotRelease,
                                           SlotWriteCall,
                                           SlotReadAnswer,
                                           SlotPurge};
        return all;
    }();
    if (com_number < 1 || com_number > kMaxComPorts) return nullptr;
    return &slots[static_cast<size_t>(com_number)];
}

void ClearEmulators() {
    std::array<Slot, kMaxComPorts + 1> old;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        old.swap(g_table);
    }
}

}  // namespace drv
