// Modbus requests and frames as pure code, without a line: request bytes, answer checks, RTU
// and ASCII frames, checksums and the error texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fieldbus/core/ModbusClient.h"
#include "fieldbus/core/ModbusFrame.h"
#include "fieldbus/core/ModbusPdu.h"

using mb::CLocalModbus;

namespace {

std::vector<uint8_t> WithCrc(std::vector<uint8_t> bytes) {
    const uint16_t crc = mb::Crc16(bytes);
    bytes.push_back(uint8_t(crc));
    bytes.push_back(uint8_t(crc >> 8));
    return bytes;
}

// --- requests and their checks ------------------------------------------------------------

TEST(ModbusPdu, RequestsCarryTheirExpectedAnswersAndRefusals) {
    const mb::pdu::Request read = mb::pdu::ReadHoldingRegisters(5, 0x0102, 2, false);
    EXPECT_EQ(read.bytes, (std::vector<uint8_t>{5, 0x03, 0x01, 0x02, 0x00, 0x02}));
    EXPECT_EQ(read.expected, 7u);
    EXPECT_EQ(mb::pdu::ReadHoldingRegisters(5, 0, 15, true).refused, mb::kMbRequestTooLong);
    EXPECT_EQ(mb::pdu::ReadBank(5, 0x01F0, 0x20).refused, mb::kMbMultiBank);
    EXPECT_EQ(mb::pdu::ReadBank(5, 0x0100, 256).refused, mb::kMbOk);
    const std::vector<uint16_t> many(124, 1);
    EXPECT_EQ(mb::pdu::WriteMultipleRegisters(5, 0, many).refused, mb::kMbRequestTooLong);

    std::vector<uint16_t> words;
    const std::vector<uint8_t> answer{5, 0x03, 4, 0x12, 0x34, 0xAB, 0xCD};
    EXPECT_EQ(mb::pdu::RegistersAnswer(answer, 5, 2, words), mb::kMbOk);
    EXPECT_EQ(words, (std::vector<uint16_t>{0x1234, 0xABCD}));
    EXPECT_EQ(mb::pdu::RegistersAnswer(answer, 5, 1, words), mb::kMbByteCount);
    EXPECT_EQ(mb::pdu::RegistersAnswer(answer, 6, 2, words), mb::kMbInvalidAnswer);
    std::vector<uint32_t> pairs;
    mb::pdu::RegisterPairs(words, true, pairs);
    EXPECT_EQ(pairs, std::vector<uint32_t>{0x1234ABCD});
    mb::pdu::RegisterPairs(words, false, pairs);
    EXPECT_EQ(pairs, std::vector<uint32_t>{0xABCD1234});

    const mb::pdu::Request single = mb::pdu::WriteSingleRegister(5, 1, 2);
    bool stop = false;
    EXPECT_EQ(mb::pdu::WriteSingleAnswer(single.bytes, single, stop), mb::kMbOk);
    EXPECT_FALSE(stop);
    EXPECT_EQ(mb::pdu::WriteSingleAnswer({single.bytes.data(), 3}, single, stop),
              mb::kMbInvalidAnswer);
    EXPECT_TRUE(stop) << "three bytes end the attempts";
}

// --- RTU and ASCII frames ------------------------------------------------------------------

TEST(ModbusRtu, FramesCapsAndAnswers) {
    const std::vector<uint8_t> req{0x05, 0x03, 0x00, 0x00, 0x00, 0x01};
    std::vector<uint8_t> frame;
    size_t expected = 5;
    ASSERT_EQ(mb::rtu::EncodeRequest(req, 0, frame, expected), mb::kMbOk);
    EXPECT_EQ(mb::HexText(frame), "050300000001858E");
    EXPECT_EQ(mb::rtu::ReadCap(512, expected, frame.size(), false), 7u);
    EXPECT_EQ(mb::rtu::ReadCap(512, expected, frame.size(), true), 15u) << "behind the echo";
    EXPECT_EQ(mb::rtu::ReadCap(512, 0, frame.size(), true), 8u + 255) << "any length";

    std::vector<uint8_t> enc;
    size_t enc_expected = 5;
    ASSERT_EQ(mb::rtu::EncodeRequest(req, 0x0742, enc, enc_expected), mb::kMbOk);
    EXPECT_EQ(enc_expected, 7u);
    EXPECT_EQ(mb::HexText({enc.data(), 2}), "0742");
    const std::vector<uint8_t> long_req(81, 1);
    EXPECT_EQ(mb::rtu::EncodeRequest(long_req, 0x0742, enc, enc_expected), mb::kMbRequestTooLong);

    std::vector<uint8_t> answer;
    size_t length = 0;
    const std::vector<uint8_t> reply = WithCrc({5, 3, 2, 0, 0x2A});
    EXPECT_EQ(mb::rtu::DecodeAnswer(reply, frame, false, 5, 0, answer, length), mb::kMbOk);
    EXPECT_EQ(answer, (std::vector<uint8_t>{5, 3, 2, 0, 0x2A}));
    std::vector<uint8_t> echoed = frame;
    echoed.insert(echoed.end(), reply.begin(), reply.end());
    EXPECT_EQ(mb::rtu::DecodeAnswer(echoed, frame, true, 5, 0, answer, length), mb::kMbOk);
    echoed[1] ^= 1;
    EXPECT_EQ(mb::rtu::DecodeAnswer(echoed, frame, true, 5, 0, answer, length),
              mb::kMbInvalidAnswer);
    EXPECT_EQ(mb::rtu::DecodeAnswer(frame, frame, true, 5, 0, answer, length), mb::kMbTimeout)
        << "the echo alone";
    EXPECT_EQ(mb::rtu::DecodeAnswer({}, frame, false, 5, 0, answer, length), mb::kMbTimeout);
    EXPECT_EQ(mb::rtu::DecodeAnswer(WithCrc({5, 0x83, 2}), frame, false, 5, 0, answer, length),
              0x8002);
    std::vector<uint8_t> bad = reply;
    bad.back() ^= 1;
    EXPECT_EQ(mb::rtu::DecodeAnswer(bad, frame, false, 5, 0, answer, length), mb::kMbCrcError);
    EXPECT_EQ(mb::rtu::DecodeAnswer(WithCrc({5, 3, 4, 0}), frame, false, 7, 0, answer, length),
              mb::kMbInvalidAnswer);
    EXPECT_EQ(length, 4u) << "a short answer is handed back";
}

TEST(ModbusAsciiFrame, EncodeAndDecode) {
    const std::vector<uint8_t> req{0x05, 0x03, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(mb::ascii::EncodeRequest(req), ":050300000001F7\r\n");
    const std::string text = ":0503020007EF\r\n";
    const std::vector<uint8_t> read(text.begin(), text.end());
    EXPECT_TRUE(mb::ascii::Ended(read));
    EXPECT_FALSE(mb::ascii::Ended({read.data(), read.size() - 1}));
    std::vector<uint8_t> answer;
    size_t length = 0;
    EXPECT_EQ(mb::ascii::DecodeAnswer(read, answer, length), mb::kMbOk);
    EXPECT_EQ(answer, (std::vector<uint8_t>{5, 3, 2, 0, 7}));
    const std::string bad = ":0503020007EE\r\n";
    EXPECT_EQ(mb::ascii::DecodeAnswer({reinterpret_cast<const uint8_t*>(bad.data()), bad.size()},
                                      answer, length),
              mb::kMbCrcError);
    const std::string exception = ":05830276\r\n";
    EXPECT_EQ(
        mb::ascii::DecodeAnswer(
            {reinterpret_cast<const uint8_t*>(exception.data()), exception.size()}, answer, length),
        0x8002);
}

// --- checksums and texts -------------------------------------------------------------------

TEST(ModbusChecksums, CrcAndLrcFollowTheProtocol) {
    const std::vector<uint8_t> req{0x05, 0x03, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(mb::Crc16(req), 0x8E85);  // sent as 85 8E
    const std::string check = "123456789";
    EXPECT_EQ(mb::Crc16({reinterpret_cast<const uint8_t*>(check.data()), check.size()}), 0x4B37);
    EXPECT_EQ(mb::Crc16({}), 0);
    EXPECT_EQ(mb::Crc16(req, req.size() + 1), 0) << "a length beyond the bytes";
    std::vector<uint8_t> frame = req;
    frame.push_back(0x85);
    frame.push_back(0x8E);
    EXPECT_EQ(mb::Crc16(frame), 0) << "a frame including its CRC checks to 0";
    EXPECT_EQ(mb::Lrc(req), 0xF7);
    EXPECT_EQ(mb::HexText(frame), "050300000001858E");
}

TEST(ModbusChecksums, ErrorTextsAndTheException) {
    CLocalModbus m;
    EXPECT_EQ(m.GetErrorText(0), "Ok");
    EXPECT_EQ(m.GetErrorText(1), "Time Out Error");
    EXPECT_EQ(m.GetErrorText(3), "crc error");
    EXPECT_EQ(m.GetErrorText(10), "Comm port not opened");
    EXPECT_EQ(m.GetErrorText(42), "Большая длина запроса инкапсуллированной функции");
    EXPECT_EQ(m.GetErrorText(0x8002), "Modbus device return an exception code 2");
    EXPECT_EQ(m.GetErrorText(12), "");
    EXPECT_EQ(m.GetErrorText(44), "");

    mb::CModbusException e(m.GetErrorText(1), 1);
    EXPECT_STREQ(e.what(), "Time Out Error error #1");
    char small[10];
    EXPECT_TRUE(e.GetErrorMessage(small, sizeof small));
    EXPECT_STREQ(small, "Time Out ");
    EXPECT_STREQ(mb::CModbusException("Ok", 0).what(), "Ok error");
}

}  // namespace
