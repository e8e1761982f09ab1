// The Modbus client against libmodbus, an independent implementation of the protocol.
#include <gtest/gtest.h>

#include "tests/fieldbus/FieldbusKit.h"
#include "tests/fieldbus/LibmodbusPeer.h"

using namespace fbtest;

namespace {

class PeerTest : public LineTest {
  protected:
    void SetUp() override {
        LineTest::SetUp();
        peer_ = std::make_unique<LibmodbusPeer>(pty_.FarFd(), 5);
        for (int i = 0; i < 64; ++i) peer_->SetRegister(i, static_cast<uint16_t>(0x100 + i));
    }
    void TearDown() override {
        peer_.reset();
        LineTest::TearDown();
    }
    std::unique_ptr<LibmodbusPeer> peer_;
};

TEST_F(PeerTest, ReadsAndWritesRegisters) {
    std::vector<uint16_t> words;
    ASSERT_EQ(mb_->ReadHoldingRegisters(5, 10, 3, words), 0);
    EXPECT_EQ(words, (std::vector<uint16_t>{0x10A, 0x10B, 0x10C}));

    ASSERT_EQ(mb_->WriteSingleRegister(5, 20, 0xBEEF), 0);
    EXPECT_EQ(peer_->Register(20), 0xBEEF);

    const std::vector<uint16_t> block{1, 2, 0xFFFF, 0x8000};
    ASSERT_EQ(mb_->WriteMultipleRegisters(5, 30, block), 0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(peer_->Register(30 + i), block[i]);

    std::vector<uint32_t> pairs;
    ASSERT_EQ(mb_->ReadRegisterPairs(5, 30, 2, pairs, 0, true), 0);
    EXPECT_EQ(pairs, (std::vector<uint32_t>{0x00010002, 0xFFFF8000}));
    ASSERT_EQ(mb_->ReadRegisterPairs(5, 30, 2, pairs, 0, false), 0);
    EXPECT_EQ(pairs, (std::vector<uint32_t>{0x00020001, 0x8000FFFF}));

    // The whole map in one read.
    ASSERT_EQ(mb_->ReadHoldingRegisters(5, 0, 64, words), 0);
    ASSERT_EQ(words.size(), 64u);
    EXPECT_EQ(words[63], 0x13F);
    EXPECT_EQ(peer_->Served(), 6);
}

TEST_F(PeerTest, ReportSlaveId) {
    std::vector<uint16_t> words;
    ASSERT_EQ(mb_->ReportSlaveId(5, words), 0);
    ASSERT_GE(words.size(), 3u);
    // libmodbus answers with its own id byte, the run indicator ON and "LMB" + its version.
    EXPECT_EQ(words[0] & 0xFF, 0xFF);
    EXPECT_EQ(words[1], ('L' << 8) | 'M');
    EXPECT_EQ(words[2] >> 8, 'B');
}

TEST_F(PeerTest, IllegalAddressIsADeviceExceptionWithoutRetry) {
    mb_->SetRetries(3);
    std::vector<uint16_t> words;
    const int code = mb_->ReadHoldingRegisters(5, 60, 10, words);
    EXPECT_EQ(code, 0x8002);  // illegal data address
    EXPECT_EQ(peer_->Served(), 1);
    EXPECT_EQ(mb_->WriteSingleRegister(5, 64, 1), 0x8002);
}

TEST_F(PeerTest, AnotherAddressTimesOutOnEveryAttempt) {
    mb_->SetRetries(2);
    mb_->SetAnswerTimeout(40);
    std::vector<uint16_t> words;
    EXPECT_EQ(mb_->ReadHoldingRegisters(6, 0, 1, words), mb::kMbTimeout);
    EXPECT_EQ(peer_->Ignored(), 2);
    EXPECT_EQ(peer_->Served(), 0);
    mb_->SetAnswerTimeout(1000);
    ASSERT_EQ(mb_->ReadHoldingRegisters(5, 0, 1, words), 0) << "the line is still good";
}

TEST_F(PeerTest, ManyRoundTrips) {
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(mb_->WriteSingleRegister(5, i % 64, static_cast<uint16_t>(i * 7)), 0) << i;
        std::vector<uint16_t> words;
        ASSERT_EQ(mb_->ReadHoldingRegisters(5, i % 64, 1, words), 0) << i;
        EXPECT_EQ(words[0], i * 7);
    }
}

}  // namespace
