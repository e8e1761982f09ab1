#include "service/core/EmulatorTable.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>

#include "platform/types/wstr.h"

namespace drv {

namespace {
// A lock rather than bare cells: references are counted, and a read must not race a release.
std::mutex g_mutex;
std::array<plat::ComPtr<tlb::IHWEmu>, kMaxComPorts + 1> g_table;
}  // namespace

plat::ComPtr<tlb::IHWEmu> GetEmulator(int com_number) {
    if (com_number < 1 || com_number > kMaxComPorts) return {};
    std::lock_guard<std::mutex> lk(g_mutex);
    return g_table[static_cast<size_t>(com_number)];
}

bool SetEmulator(int com_number, plat::ComPtr<tlb::IHWEmu> emulator) {
    if (com_number < 1 || com_number > kMaxComPorts) return false;
    plat::ComPtr<tlb::IHWEmu> old;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        old = std::exchange(g_table[static_cast<size_t>(com_number)], std::move(emulator));
    }
    return true;  // the old reference is released outside the lock
}

bool ClearEmulatorIf(int com_number, const tlb::IHWEmu* emulator) {
    if (com_number < 1 || com_number > kMaxComPorts || !emulator) return false;
    plat::ComPtr<tlb::IHWEmu> old;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        auto& slot = g_table[static_cast<size_t>(com_number)];
        if (slot.Get() != emulator) return false;
        old = std::move(slot);
    }
    return true;
}

namespace {

tlb::IHWEmu* Emu(void* handle) {
    return static_cast<tlb::IHWEmu*>(handle);
}

void* SlotAcquire(void* context) {
    return GetEmulator(static_cast<int>(reinterpret_cast<intptr_t>(context))).Detach();
}
void SlotRelease(void* emulator) {
    if (emulator != nullptr) Emu(emulator)->Release();
}
int32_t SlotWriteCall(void* emulator, const char16_t* units, uint32_t count) {
    try {
        return Emu(emulator)->WriteCall(plat::WideString(units, count));
    } catch (...) {
        return plat::E_FAIL;
    }
}
int32_t SlotReadAnswer(void* emulator, char16_t* units, uint32_t capacity, uint32_t* length) {
    try {
        plat::WideString answer;
        const plat::HRESULT hr = Emu(emulator)->ReadAnswer(&answer);
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
        return Emu(emulator)->Purge();
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
    std::array<plat::ComPtr<tlb::IHWEmu>, kMaxComPorts + 1> old;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        old.swap(g_table);
    }
}

}  // namespace drv
