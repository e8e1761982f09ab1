#include <gtest/gtest.h>

#include <memory>

#include "platform/types/wstr.h"
#include "service/core/ports/EmulatorTable.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Frame.h"
#include "tools/zrnsim/Station.h"

// A simulated line registered for a COM number answers through the table's counted copy.
TEST(EmulatorTable, SimulatorRegistersForAComNumber) {
    auto station = std::make_shared<zrnsim::Station>();
    ASSERT_NE(station->Add(1, 40, 74), nullptr);
    auto emu = plat::MakeCom<zrnsim::HwEmu>(station);
    ASSERT_TRUE(drv::SetEmulator(7, plat::ComPtr<tlb::IHWEmu>(emu.Get())));
    plat::ComPtr<tlb::IHWEmu> got = drv::GetEmulator(7);
    ASSERT_TRUE(got);
    ASSERT_TRUE(plat::QueryAs<tlb::IHWEmu>(got.Get()));
    EXPECT_EQ(got->WriteCall(plat::BytesToWide(zrnsim::BuildRequest(1, 'X', "95"))), plat::S_OK);
    plat::WideString w;
    EXPECT_EQ(got->ReadAnswer(&w), plat::S_OK);
    const std::string answer = plat::WideToBytes(w);
    ASSERT_GE(answer.size(), 6u);
    EXPECT_EQ(answer.substr(4, answer.size() - 6).substr(1), "4:");
    EXPECT_EQ(got->ReadAnswer(nullptr), plat::E_POINTER);
    drv::SetEmulator(7, nullptr);
    EXPECT_FALSE(drv::GetEmulator(7));
}
