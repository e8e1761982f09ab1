#include "service/core/EmulatorTable.h"

#include <array>
#include <mutex>

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

void ClearEmulators() {
    std::array<plat::ComPtr<tlb::IHWEmu>, kMaxComPorts + 1> old;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        old.swap(g_table);
    }
}

}  // namespace drv
