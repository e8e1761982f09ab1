// The device's typed register access against libmodbus on a pseudo-terminal: word and byte
// orders, the request and error counters, and values written and read back.
#include <gtest/gtest.h>

#include "tests/fieldbus/FieldbusKit.h"
#include "tests/fieldbus/LibmodbusPeer.h"
#include "tests/fieldbus/StoreKit.h"

using namespace fbtest;
using plat::Variant;

namespace {

class DevicePeerTest : public LineTest {
  protected:
    void SetUp() override {
        LineTest::SetUp();
        peer_ = std::make_unique<LibmodbusPeer>(pty_.FarFd(), 5);
        mb_->SetAnswerTimeout(200);
        port_ = std::make_unique<FakePort>(&dlog_, &host_, mb_.get());
        dev_ = std::make_unique<mb::CDevice>(5, port_.get());
    }
    void TearDown() override {
        dev_.reset();
        peer_.reset();
        LineTest::TearDown();
    }
    MemoryLog dlog_;
    RecordingHost host_;
    std::unique_ptr<LibmodbusPeer> peer_;
    std::unique_ptr<FakePort> port_;
    std::unique_ptr<mb::CDevice> dev_;
};

TEST_F(DevicePeerTest, ReadIntegerWordAndByteOrders) {
    peer_->SetRegister(10, 0x1234);
    peer_->SetRegister(11, 0x5678);
    EXPECT_EQ(dev_->ReadInteger(10, 4, 1), 0x12345678u) << "first register high";
    EXPECT_EQ(dev_->ReadInteger(10, 4, 0), 0x78563412u) << "data bytes little-endian";
    EXPECT_EQ(dev_->ReadInteger(10, 4, 2), 0u) << "no such order";
    EXPECT_EQ(dev_->ReadInteger(10, 2, 1), 0x1234u) << "one register";
    EXPECT_EQ(dev_->ReadInteger(11, 3, 0), 0x5678u);
    EXPECT_EQ(dev_->LastError(), 0);
    EXPECT_EQ(dev_->GetRequestCount(), 5);
    EXPECT_EQ(peer_->Served(), 5);
    EXPECT_EQ(dlog_.Count("T:{2547CC68-E107-4f5c-8991-1288979E42F6} A 5"), 4u);
}

TEST_F(DevicePeerTest, CountersFollowEachRequestsOutcome) {
    dev_->SetErrorCount(4);
    // A register beyond the peer's map: an exception answer is an answer, not a link error.
    EXPECT_EQ(dev_->ReadInteger(100, 2, 0), 0u);
    EXPECT_EQ(dev_->LastError(), mb::kMbDeviceException + 2);
    EXPECT_EQ(dev_->GetErrorCount(), 4);
    dev_->ReadInteger(0, 2, 0);
    EXPECT_EQ(dev_->LastError(), 0);
    EXPECT_EQ(dev_->GetErrorCount(), 0) << "success clears the error count";

    mb::CDevice absent(9, port_.get());  // nobody answers at 9
    EXPECT_EQ(absent.ReadInteger(0, 4, 1), 0u);
    EXPECT_EQ(absent.LastError(), mb::kMbTimeout);
    EXPECT_EQ(absent.GetErrorCount(), 1);
    EXPECT_EQ(absent.WriteInteger(0, 1), mb::kMbTimeout);
    EXPECT_EQ(absent.GetErrorCount(), 2);
    EXPECT_EQ(absent.ReadInteger(0, 1, 0), 0u) << "the status byte";
    EXPECT_EQ(absent.GetErrorCount(), 3);
    EXPECT_EQ(absent.GetRequestCount(), 3);
    EXPECT_EQ(absent.GetCrcErrorCount(), 0);
    EXPECT_EQ(dlog_.Count("E:Ошибка записи INT 0 9"), 1u);
}

TEST_F(DevicePeerTest, ValuesWrittenComeBackByTheirTypes) {
    ASSERT_EQ(dev_->WriteInteger(20, 0x11223344, 4, 0), 0);
    EXPECT_EQ(peer_->Register(20), 0x4433);
    EXPECT_EQ(peer_->Register(21), 0x2211);
    EXPECT_EQ(dev_->ReadInteger(20, 4, 0), 0x11223344u);
    ASSERT_EQ(dev_->WriteVariant(20, Variant::I4(-2)), 0);
    EXPECT_EQ(dev_->ReadInteger(20, 4, 1), 0xFFFFFFFEu);
    ASSERT_EQ(dev_->WriteVariant(22, Variant::I2(-1)), 0);
    EXPECT_EQ(peer_->Register(22), 0xFFFF);
    EXPECT_EQ(peer_->Register(23), 0) << "a 16-bit value takes one register";

    TestItem i8("Count", 30, plat::VT_I8), r4("Flow", 40, plat::VT_R4),
        s("Name", 50, plat::VT_BSTR);
    ASSERT_EQ(dev_->WriteVariant(30, Variant::I8(-5000000000LL)), 0);
    ASSERT_EQ(dev_->WriteVariant(40, Variant::R4(12.5f)), 0);
    ASSERT_EQ(dev_->WriteVariant(50, Variant::Str("QMU-5")), 0);
    EXPECT_EQ(peer_->Register(50), uint16_t('Q' << 8 | 'M'));
    EXPECT_EQ(peer_->Register(52), uint16_t('5' << 8)) << "an odd length ends in a zero byte";
    for (TestItem* item : {&i8, &r4, &s}) ASSERT_EQ(dev_->ReadVariable(*item), 0);
    EXPECT_EQ(i8.samples.at(0), Variant::I8(-5000000000LL));
    EXPECT_EQ(r4.samples.at(0), Variant::R4(12.5f));
    EXPECT_EQ(s.samples.at(0), Variant::Str("QMU-5"));
    EXPECT_EQ(s.quality, mb::kQualityGood);

    mb::CDevice absent(9, port_.get());
    ASSERT_NE(absent.ReadVariable(r4), 0);
    EXPECT_EQ(r4.quality, mb::kQualityBad);
    EXPECT_EQ(r4.samples.size(), 1u) << "a failed read stores no value";
}

}  // namespace
