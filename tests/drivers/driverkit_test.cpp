// The shared tables and routines of the controller classes, as the other families use them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/time/clock.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/drivers/DriverKit.h"
#include "tests/drivers/Tork40Fixture.h"

using namespace drv;
using namespace drvtest;

TEST(DriverKitStatus, TablesAndBitOrderOfTheOtherFamilies) {
    struct Row {
        const StatusTable* table;
        uint8_t status;
        int32_t state;
        bool known;
    };
    const Row rows[] = {
        {&kStatus46, 0x01, 0, true},    {&kStatus46, 0x11, 1, true}, {&kStatus46, 0x02, 177, false},
        {&kStatus46, 0x0C, 177, false}, {&kStatusFF, 0x05, 0, true}, {&kStatusFF, 0x0C, 80, true},
        {&kStatusFF, 0x02, 177, false}, {&kStatus20, 0x02, 7, true}, {&kStatus20, 0x0C, 177, false},
        {&kStatus40, 0x95, 80, true},
    };
    for (const Row& r : rows) {
        int32_t state = -1;
        EXPECT_EQ(DecodeStatus(*r.table, r.status, state), r.known) << int(r.status);
        EXPECT_EQ(state, r.state) << int(r.status);
    }
    struct Bits {
        uint8_t status;
        int32_t state;
    };
    // The first bit in the order wins: 2, 0, 1, 5, 3.
    for (const Bits& b : {Bits{0x05, 80}, Bits{0x03, 0}, Bits{0x22, 7}, Bits{0x28, 1},
                          Bits{0x08, 80}, Bits{0x10, 177}}) {
        int32_t state = -1;
        EXPECT_EQ(DecodeStatusBits(kStatusBitOrder, b.status, state), b.state != 177)
            << int(b.status);
        EXPECT_EQ(state, b.state) << int(b.status);
    }
    EXPECT_EQ(SignBcdDegrees(0x85), -5);
    EXPECT_EQ(SignBcdDegrees(0x21), 21);
    EXPECT_EQ(SignBcdDegrees(0xF9), -79);
}

namespace {

// A class made of table rows only, on a controller that knows parameters and nothing else.
class KitTork : public TTorkKit {
  public:
    explicit KitTork(const TorkCreateArgs& args) : TTorkKit(args) {}
    void DefineVariables(uint8_t) override {
        DefineVar(drv::VarRec::LabDensity);  // four digits 0.DDDD, not whole units
        DefineVar(drv::VarRec::USSTimeout);  // here in tens on the wire
        DefineVar(drv::VarRec::Inspector);
        settings_ = {
            {.code = tlb::cvLabDensity,
             .read = SettingRead::DigitSum,
             .read_param = 102,
             .weight1 = 100,
             .weight2 = 1,
             .write = SettingWrite::Bcd2,
             .write_param = 102,
             .whole = false},
            {.code = tlb::cvUSSWaitTime,
             .read = SettingRead::DigitSum,
             .read_param = 108,
             .weight1 = 1000000,
             .weight2 = 10000,
             .write = SettingWrite::Bcd2,
             .write_param = 108,
             .scale = 1},
            {.code = tlb::cvInspector, .read = SettingRead::Nibble16, .read_param = 72},
        };
    }
    void ReReadVarValue(uint8_t code) override {
        if (const SettingSpec* s = FindSetting(code)) ReadSetting(*s);
    }
    int32_t SetVarValue(uint8_t code, int64_t value) override {
        const SettingSpec* s = FindSetting(code);
        return s ? WriteSetting(*s, value) : -3;
    }
    void ParseReply(char status, char, DATE time) override {
        CommitReported(DecodeStatusLogged(kStatus20, status), time);
    }
};

}  // namespace

TEST_F(Tork40, SettingRowsCarryScaledAndFractionalValues) {
    station_->Add(2, 77, 1);
    ComPtr<KitTork> t =
        TBasicTork::Make<KitTork>(TorkCreateArgs{thread_.get(), 2, 77, 1, plat::NowLocal()});
    ASSERT_EQ(t->LinkState(), LINK_OK);
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvLabDensity, 7654), 0);  // 0.7654
    EXPECT_EQ(t->SetVarValue(tlb::cvUSSWaitTime, 1230 * 10000), 0);
    EXPECT_EQ(Wire(2),
              (std::vector<std::string>{W(102, 0x76), W(103, 0x54), W(108, 0x01), W(109, 0x23)}));
    t->SetVarRaw(tlb::cvLabDensity, LQ_FRESH, plat::NowLocal(), 0);
    t->SetVarRaw(tlb::cvUSSWaitTime, LQ_FRESH, plat::NowLocal(), 0);
    t->ReReadVarValue(tlb::cvLabDensity);
    t->ReReadVarValue(tlb::cvUSSWaitTime);
    t->ReReadVarValue(tlb::cvInspector);
    EXPECT_EQ(t->VarValue(tlb::cvLabDensity), 7654) << "read back unrounded";
    EXPECT_EQ(t->VarValue(tlb::cvUSSWaitTime), 1230 * 10000) << "scaled back";
    EXPECT_EQ(t->GetState(), 0) << "the answers' status went through the table";
    station_->ClearRequests();
    EXPECT_EQ(t->SetVarValue(tlb::cvUSSWaitTime, 1235 * 10000), plat::OPC_E_RANGE) << "not in tens";
    EXPECT_EQ(t->SetVarValue(tlb::cvLabDensity, -1), plat::OPC_E_RANGE);
    EXPECT_EQ(t->SetVarValue(tlb::cvInspector, 10000), plat::OPC_E_RANGE)
        << "a row without a write";
    EXPECT_TRUE(Wire(2).empty());
    t->Remove();
}
