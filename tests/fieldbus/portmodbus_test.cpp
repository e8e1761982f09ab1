// The bus thread's Modbus port in emulation: frames to and from the registered emulator as code
// units, the emulator's registration coming and going, answers that are silent or too long.
#include <gtest/gtest.h>

#include "fieldbus/core/PortModbus.h"
#include "tests/fieldbus/FakeEmulator.h"

using namespace fbtest;

namespace {

class Owner : public mb::IPortModbusOwner {
  public:
    explicit Owner(const mb::EmulatorSlot* slot) : slot_(slot) {}
    const mb::EmulatorSlot* Emulator() const override { return slot_; }
    void LineStatus(int32_t status) override { status_ = status; }
    int32_t status_ = 99;

  private:
    const mb::EmulatorSlot* slot_;
};

class EmulatedPort : public ::testing::Test {
  protected:
    void SetUp() override {
        slaves_.Set(1, {});
        slaves_.Serve(emu_);
        reg_.Reg(&emu_);
        long error = -1;
        ASSERT_TRUE(port_.Open(7, 19200, 0, error));
        EXPECT_EQ(error, 0);
        port_.SetAnswerTimeout(200);
    }

    plat::ScopedFakeClock clock_;
    FakeEmulator emu_;
    FakeSlaves slaves_;
    FakeRegistration reg_;
    Owner owner_{reg_.Slot()};
    mb::CPortModbus port_{&owner_, nullptr, true};
};

TEST_F(EmulatedPort, RequestReachesTheEmulatorAsCodeUnitsAndItsAnswerComesBack) {
    slaves_.Set(1, {.regs = {0x1234}});
    std::vector<uint16_t> regs;
    ASSERT_EQ(port_.ReadHoldingRegisters(1, 0, 1, regs), mb::kMbOk);
    ASSERT_EQ(regs, std::vector<uint16_t>{0x1234});
    const auto frames = emu_.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (std::u16string{1, 3, 0, 0, 0, 1, 132, 10}));
    EXPECT_GT(emu_.purges.load(), 0);
}

TEST_F(EmulatedPort, SilenceLastsTheAnswerTimeoutAndGivesNoAnswer) {
    slaves_.Silence(1, true);
    uint8_t status = 0;
    const uint32_t t0 = plat::GetTickCount();
    EXPECT_EQ(port_.ReadExceptionStatus(1, status), mb::kMbTimeout);
    EXPECT_GE(plat::TickDiff(plat::GetTickCount(), t0), 200u);
}

TEST_F(EmulatedPort, LongFramesPassWholeAndOverlongAnswersAreBroken) {
    // 123 registers: a 255-byte frame.
    std::vector<uint16_t> words(123, 0xA5A5);
    ASSERT_EQ(port_.WriteMultipleRegisters(1, 0, words), mb::kMbOk);
    ASSERT_EQ(emu_.Frames().back().size(), 255u);
    EXPECT_EQ(EmuCrc(emu_.Frames().back(), 255), 0);

    emu_.responder = [](const std::u16string&) { return std::u16string(300, u'\x01'); };
    uint8_t status = 0;
    EXPECT_EQ(port_.ReadExceptionStatus(1, status), mb::kMbInvalidAnswer);
    // Code units above 0xFF carry their low byte.
    emu_.responder = [](const std::u16string&) {
        std::u16string a = EmuWithCrc({1, 7, 0x5A});
        a[2] = 0x0100 | a[2];
        return a;
    };
    EXPECT_EQ(port_.ReadExceptionStatus(1, status), mb::kMbOk);
    EXPECT_EQ(status, 0x5A);
}

TEST_F(EmulatedPort, RegistrationChangesAreFollowedAndEveryReferenceGoesBack) {
    EXPECT_EQ(emu_.refs.load(), 1);
    FakeEmulator second;
    slaves_.Serve(second);
    reg_.Reg(&second);
    uint8_t status = 0;
    ASSERT_EQ(port_.ReadExceptionStatus(1, status), mb::kMbOk);
    EXPECT_EQ(second.Frames().size(), 1u) << "a new registration takes over";
    EXPECT_EQ(emu_.Frames().size(), 0u);
    EXPECT_EQ(emu_.refs.load(), 0);
    EXPECT_EQ(second.refs.load(), 1);

    reg_.Unreg();
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_EQ(owner_.status_, -4);
    EXPECT_EQ(port_.ReadExceptionStatus(1, status), mb::kMbPortNotOpen);
    EXPECT_TRUE(port_.Close());
    EXPECT_EQ(owner_.status_, 0);
    EXPECT_EQ(second.refs.load(), 0) << "closed after the unregistration: nothing leaks";

    long error = 0;
    EXPECT_FALSE(port_.Open(7, 19200, 0, error));
    EXPECT_EQ(error, mb::CPortModbus::kNoEmulator);
    reg_.Reg(&emu_);
    ASSERT_TRUE(port_.Open(7, 19200, 0, error));
    EXPECT_EQ(emu_.refs.load(), 1);
    ASSERT_TRUE(port_.Open(7, 19200, 0, error));
    EXPECT_EQ(emu_.refs.load(), 1) << "a second open holds one reference";
}

TEST_F(EmulatedPort, FailingEmulatorCallsAreReadAndWriteErrors) {
    uint8_t status = 0;
    emu_.write_hr = plat::E_FAIL;
    EXPECT_EQ(port_.ReadExceptionStatus(1, status), mb::kMbWriteError);
    emu_.write_hr = plat::S_OK;
    emu_.read_hr = plat::E_FAIL;
    EXPECT_EQ(port_.ReadExceptionStatus(1, status), mb::kMbReadError);
    plat::serial::Timeouts t{};
    EXPECT_FALSE(port_.SetTimeout(&t));
    EXPECT_FALSE(port_.GetTimeouts(t));
}

}  // namespace
