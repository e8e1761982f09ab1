// The DCON port: answer checks, and the status and value queries against simulated modules on a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <thread>

#include "fieldbus/core/Icpcon.h"
#include "tests/fieldbus/FieldbusKit.h"
#include "tests/fieldbus/StoreKit.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempRoot.h"
#include "tools/boardsim/BoardSim.h"

using namespace fbtest;
namespace dc = mb::dcon;

namespace {

TEST(DconAnswers, ChecksAndFields) {
    EXPECT_EQ(dc::StatusCommand(0x0A), "$0AI\r");
    EXPECT_EQ(dc::ValueCommand(0xFE), "#FE0\r");
    uint8_t status = 0;
    EXPECT_EQ(dc::ParseStatus("!0A3F\r", "$0AI\r", status), 0);
    EXPECT_EQ(status, 0x3F);
    EXPECT_EQ(dc::ParseStatus("!0a3f\r", "$0AI\r", status), dc::kBadAddress);
    EXPECT_EQ(dc::ParseStatus("!0A3f\r", "$0AI\r", status), 0) << "lower-case hex is hex";
    EXPECT_EQ(status, 0x3F);
    EXPECT_EQ(dc::ParseStatus("!0AG0\r", "$0AI\r", status), dc::kBadAnswer)
        << "not a number is no status 0";
    EXPECT_EQ(dc::ParseStatus("?0A3F\r", "$0AI\r", status), dc::kBadAnswer);
    EXPECT_EQ(dc::ParseStatus("!0B3F#", "$0AI\r", status), dc::kBadAddress) << "73 wins";
    EXPECT_EQ(dc::ParseStatus("!0A3F#", "$0AI\r", status), dc::kBadAnswer);
    EXPECT_EQ(dc::ParseStatus("!0A", "$0AI\r", status), dc::kTimeout);
    EXPECT_EQ(dc::ParseStatus("", "$0AI\r", status), dc::kTimeout);

    float v[3] = {9, 9, 9};
    EXPECT_EQ(dc::ParseValues(">0A+850.0-21.46+1.234\r", "#0A0\r", v), 0);
    EXPECT_FLOAT_EQ(v[0], 850.0f);
    EXPECT_FLOAT_EQ(v[1], -21.46f);
    EXPECT_FLOAT_EQ(v[2], 1.234f);
    EXPECT_EQ(dc::ParseValues(">0A+850.0+21.4x+1.234\r", "#0A0\r", v), dc::kBadAnswer);
    EXPECT_EQ(dc::ParseValues(">0A+850.0++21.4+1.234\r", "#0A0\r", v), dc::kBadAnswer);
    EXPECT_EQ(dc::ParseValues(">0A+850.0 21.46+1.234\r", "#0A0\r", v), dc::kBadAnswer);
    EXPECT_EQ(dc::ParseValues("?0A+850.0+21.46+1.234\r", "#0A0\r", v), dc::kRefused);
    EXPECT_FLOAT_EQ(v[1], 21.46f) << "a refusal still carries its fields";
    EXPECT_EQ(dc::ParseValues("?0A\r", "#0A0\r", v), dc::kRefused);
    EXPECT_EQ(v[0], 0.0f);
    bool read[3] = {true, true, true};
    EXPECT_EQ(dc::ParseValues("?0A\r", "#0A0\r", v, read), dc::kRefused);
    EXPECT_FALSE(read[0] || read[1] || read[2]) << "a short refusal carries no field";
    EXPECT_EQ(dc::ParseValues("?0A+850.0+21.4x+1.234\r", "#0A0\r", v, read), dc::kRefused);
    EXPECT_TRUE(read[0] && !read[1] && read[2]);
    EXPECT_EQ(v[1], 0.0f);
    EXPECT_EQ(dc::ParseValues(">0A\r", "#0A0\r", v), dc::kBadAnswer);
}

class DconPort : public ::testing::Test {
  protected:
    void SetUp() override {
        SetParameters("PROTOCOL=4 PROTOCOLPATH=" + root_.Path() + "/logs");
        ASSERT_EQ(port_.Open(kCom, 9600, 0), 0);
    }
    testsupport::TempRoot root_;
    testsupport::PtyPair pty_{kCom};
    MemoryLog log_;
    mb::CLocalICPCON port_{&log_};
    uint8_t status_ = 0;
    float v_[3] = {0, 0, 0};
};

TEST_F(DconPort, StatusQueryOnTheWire) {
    std::string seen;
    std::thread far([&] {
        seen = pty_.ReadFar(5, 3000);
        pty_.WriteFar("!0A3F\r");
    });
    EXPECT_EQ(port_.ReadStatus(0x0A, status_), 0);
    far.join();
    EXPECT_EQ(seen, "$0AI\r");
    EXPECT_EQ(status_, 0x3F);
    EXPECT_EQ(log_.Count("T:Запрос $0AI"), 1u);
    EXPECT_EQ(log_.Count("I:OK"), 1u);
}

TEST_F(DconPort, ScriptedModules) {
    boardsim::DconBus bus(pty_.FarFd());
    bus.SetModule(0x0A, {});
    boardsim::ModuleScript other;
    other.answer_as = 0x0B;
    bus.SetModule(0x0C, other);
    boardsim::ModuleScript refuse;
    refuse.refuse_values = true;
    bus.SetModule(0x0D, refuse);
    boardsim::ModuleScript no_cr;
    no_cr.no_cr = true;
    bus.SetModule(0x0E, no_cr);
    boardsim::ModuleScript short_refusal;
    short_refusal.refuse_short = true;
    bus.SetModule(0x0F, short_refusal);

    EXPECT_EQ(port_.ReadParameter(0x0A, v_), 0);
    EXPECT_FLOAT_EQ(v_[0], 850.0f);
    EXPECT_FLOAT_EQ(v_[1], 21.46f);
    EXPECT_FLOAT_EQ(v_[2], 1.234f);
    EXPECT_EQ(port_.ReadStatus(0x0C, status_), dc::kBadAddress);
    EXPECT_EQ(port_.ReadStatus(0x0E, status_), dc::kBadAnswer);
    EXPECT_EQ(port_.ReadParameter(0x0D, v_), dc::kRefused);
    EXPECT_FLOAT_EQ(v_[0], 850.0f);
    // A real refusal is four characters; it is no time-out.
    bus.Clear();
    EXPECT_EQ(port_.ReadParameter(0x0F, v_), dc::kRefused);
    EXPECT_EQ(bus.Commands().size(), 1u);
    // Wrong answers stay wrong answers after the three tries: they are no time-out.
    bus.Clear();
    EXPECT_EQ(port_.ReadParameter(0x0C, v_), dc::kBadAddress);
    EXPECT_EQ(bus.Commands().size(), 3u);
    EXPECT_EQ(mb::CLocalICPCON::GetErrorText(73), "Неверный адрес ответа");
    EXPECT_EQ(mb::CLocalICPCON::GetErrorText(80), "");
}

TEST_F(DconPort, SilenceAndRetries) {
    boardsim::DconBus bus(pty_.FarFd());
    boardsim::ModuleScript late;
    late.silent_count = 2;
    bus.SetModule(0x0A, late);
    EXPECT_EQ(port_.ReadParameter(0x0A, v_), 0) << "the third try answers";
    EXPECT_EQ(bus.Commands().size(), 3u);
    bus.Clear();
    EXPECT_EQ(port_.ReadParameter(0x21, v_), dc::kTimeout);
    EXPECT_EQ(bus.Commands().size(), 3u);
    EXPECT_TRUE(port_.IsOpen());
}

TEST_F(DconPort, LineFailuresAreWriteAndReadErrors) {
    pty_.CloseFar();
    EXPECT_EQ(port_.ReadStatus(0x0A, status_), dc::kWriteError);
    EXPECT_FALSE(port_.IsOpen()) << "a vanished line is closed for the owner to reopen";
    EXPECT_EQ(port_.ReadStatus(0x0A, status_), dc::kWriteError);
}

}  // namespace
