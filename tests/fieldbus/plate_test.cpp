// I/O plates behind a control unit in module mode: channel values from register 0, writes
// through the unit as gateway, the frames as the simulator saw them.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "fieldbus/devices/Plate.h"
#include "fieldbus/devices/QMU.h"
#include "tests/fieldbus/QmuKit.h"

using namespace fbtest;
using mb::CPlate;
using plat::Variant;

namespace {

class PlateTest : public SimLineTest {
  protected:
    void SetUp() override {
        SimLineTest::SetUp();
        auto setup = Unit(0);
        setup.module_mode = true;
        setup.out_plates = 0x0001;
        setup.in_plates = 0x0001;
        fbsim::AddUnit(engine_, setup);
        out_sim_ = fbsim::AddPlate(engine_, 1, 1, true);
        in_sim_ = fbsim::AddPlate(engine_, 1, 0x21, false);
        unit_ = std::make_unique<mb::CQMUDevice>(&port_, 1, "QMU1", 5u << 16 | 63, -1);
        ASSERT_EQ(unit_->Plates().size(), 2u);
        out_ = unit_->Plates()[0];
        in_ = unit_->Plates()[1];
        ASSERT_TRUE(out_->IsOutput());
    }
    void Set(const std::shared_ptr<fbsim::Slave>& s, uint16_t reg, uint16_t v) {
        engine_.With([&] { s->regs[reg] = v; });
    }
    uint16_t Get(const std::shared_ptr<fbsim::Slave>& s, uint16_t reg) {
        uint16_t v = 0;
        engine_.With([&] { v = s->Get(reg); });
        return v;
    }
    int32_t Write(const std::string& item, Variant v) {
        static int32_t id = 500;
        out_->WriteItem(tree_.Var(item), v, ++id);
        auto r = rec_.Results();
        return !r.empty() && r.back().first == id ? r.back().second : -12345;
    }

    std::shared_ptr<fbsim::Slave> out_sim_, in_sim_;
    std::unique_ptr<mb::CQMUDevice> unit_;
    CPlate* out_ = nullptr;
    CPlate* in_ = nullptr;
};

TEST_F(PlateTest, InputsFromRegisterZero) {
    Set(in_sim_, 0, 0x0005);
    Sent();
    ASSERT_TRUE(in_->Init());
    EXPECT_EQ(Sent(), (std::vector<std::string>{"014221030000"
                                                "0001"}))
        << "one read of register 0 through the unit";
    const bool expected[6] = {true, false, true, false, false, false};
    for (int n = 1; n <= 6; ++n) {
        const std::string item = "QMU1.Input1_" + std::to_string(n) + ".State";
        EXPECT_EQ(tree_.Value(item), Variant::Bool(expected[n - 1])) << item;
        EXPECT_EQ(tree_.QualityOf(item), mb::kQualityGood);
    }
    engine_.Inject({/*silent=*/2, 0});
    EXPECT_FALSE(in_->Init());
    EXPECT_EQ(tree_.QualityOf("QMU1.Input1_4.State"), mb::kQualityBad) << "not 68";
    EXPECT_EQ(in_->GetErrorCount(), 1) << "a time-out counts as an error";
    engine_.Inject({0, /*corrupt_crc=*/1});
    EXPECT_FALSE(in_->Init());
    EXPECT_EQ(in_->GetCrcErrorCount(), 1);
}

TEST_F(PlateTest, OutputsFromRegisterZero) {
    Set(out_sim_, 0, 0x0201);
    ASSERT_TRUE(out_->Init());
    EXPECT_EQ(tree_.Value("QMU1.Output1_1.Overload"), Variant::Bool(true));
    EXPECT_EQ(tree_.IntValue("QMU1.Output1_2.State"), 1);
    EXPECT_EQ(tree_.IntValue("QMU1.Output1_1.State"), 0);
    EXPECT_EQ(tree_.Value("QMU1.Output1_2.Overload"), Variant::Bool(false));
}

TEST_F(PlateTest, StateWrites) {
    Sent();
    EXPECT_EQ(Write("QMU1.Output1_3.State", Variant::I4(2)), plat::OPC_E_RANGE);
    // 65536 has 0 in its low 16 bits: it must not switch the output off.
    EXPECT_EQ(Write("QMU1.Output1_3.State", Variant::I4(65536)), plat::OPC_E_RANGE);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(Write("QMU1.Output1_3.State", Variant::I4(1)), 0);
    EXPECT_EQ(Sent(), (std::vector<std::string>{"014201100003000102"
                                                "0001",
                                                "014201030000"
                                                "0001"}))
        << "one register written, register 0 read back";
    EXPECT_EQ(Get(out_sim_, 3), 1);
    EXPECT_EQ(tree_.IntValue("QMU1.Output1_3.State"), 1);
}

TEST_F(PlateTest, OverloadWritesAndFailedWrites) {
    Set(out_sim_, 0, 0x0003);
    Sent();
    EXPECT_EQ(Write("QMU1.Output1_1.Overload", Variant::Bool(true)), plat::OPC_E_RANGE);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(Write("QMU1.Output1_1.Overload", Variant::Bool(false)), 0);
    EXPECT_EQ(Sent().front(),
              "014201100000000102"
              "0000");
    EXPECT_EQ(Get(out_sim_, 0) & 0xFF, 0) << "overloads cleared";
    engine_.Inject({/*silent=*/5, 0});
    EXPECT_EQ(Write("QMU1.Output1_1.State", Variant::I4(1)), 1117);
}

TEST_F(PlateTest, AWriteThatThrowsCompletesWithItsError) {
    // A client whose line breaks in the middle of a request.
    class Broken : public mb::CLocalModbus {
      public:
        using mb::CLocalModbus::CLocalModbus;
        int Transaction(const uint8_t*, size_t, std::vector<uint8_t>&, size_t, uint16_t,
                        size_t&) override {
            throw std::runtime_error("line gone");
        }
    } broken;
    port_.SetModbus(&broken);
    EXPECT_EQ(Write("QMU1.Output1_3.State", Variant::I4(1)), plat::E_FAIL)
        << "the command ends at once, not by its time-out";
    EXPECT_EQ(mlog_.Count("{911C09F3-48A8-4277-9A63-A90A52A0E64B}"), 1u);
    port_.SetModbus(mb_.get());
}

TEST_F(PlateTest, ModuleScanReadsPlates) {
    Set(in_sim_, 0, 0x0020);
    tree_.Var("QMU1.Input1_6.State")->RequestRead();
    unit_->Scan();  // module init
    unit_->Scan();  // plates initialise
    EXPECT_EQ(tree_.Value("QMU1.Input1_6.State"), Variant::Bool(true));
    EXPECT_EQ(tree_.IntValue("QMU1.Build"), 63);
}

}  // namespace
