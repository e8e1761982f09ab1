// The Modbus client against a scripted far end: exact request frames, answer checks, retries,
// time-outs, echo, encapsulation, the ASCII framing and the port lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include "fieldbus/core/Archive.h"
#include "fieldbus/core/ByteLine.h"
#include "tests/fieldbus/FieldbusKit.h"

using namespace fbtest;
using mb::CLocalModbus;

namespace {

template <class F>
auto Async(F f) {
    return std::async(std::launch::async, f);
}

// --- a closed or missing port --------------------------------------------------------------

TEST(ModbusPort, ClosedPortAndMissingPort) {
    testsupport::TempRoot root;
    SetParameters("PROTOCOL=2 PROTOCOLPATH=" + root.Path());
    mb::CLogFile log("NorvaltDrv9.lg");
    CLocalModbus m(&log);
    std::vector<uint16_t> words;
    EXPECT_EQ(m.ReadHoldingRegisters(1, 0, 1, words), mb::kMbPortNotOpen);
    long error = 0;
    EXPECT_FALSE(m.Open(9, 19200, 0, error));  // COM9 = /dev/ttyS8, no such port here
    EXPECT_NE(error, 0);
    EXPECT_FALSE(m.IsOpen());
    EXPECT_TRUE(m.Close()) << "closing a closed port";
    EXPECT_NE(ReadText(root.Path() + "/NorvaltDrv9.lg1")
                  .find("WARNING:{5713E766-B958-4818-BA2C-48C8A79D75CC}"),
              std::string::npos);
}

TEST(ModbusPort, SilentTimeoutFloorFollowsTheBaudRate) {
    testsupport::TempRoot root;
    testsupport::PtyPair pty(kCom);
    CLocalModbus m;
    long error = 0;
    ASSERT_TRUE(m.Open(kCom, 9600, 2, error));
    EXPECT_EQ(m.GetSilentTimeout(), 5u);
    EXPECT_EQ(m.GetParity(), 2);
    ASSERT_TRUE(m.Open(0, 19200, 0xFF, error)) << "stored port and parity";
    EXPECT_EQ(m.GetSilentTimeout(), 5u) << "a floor only raises";
    m.SetSilentTimeout(0);
    EXPECT_EQ(m.GetSilentTimeout(), 5u) << "0 leaves it";
    m.SetSilentTimeout(1);
    ASSERT_TRUE(m.Open(0, 19200, 0xFF, error));
    EXPECT_EQ(m.GetSilentTimeout(), 2u);
    EXPECT_EQ(m.GetParity(), 2);
    plat::serial::Timeouts t;
    ASSERT_TRUE(m.GetTimeouts(t));
    EXPECT_EQ(t, (plat::serial::Timeouts{plat::serial::MAXDWORD, 0, 0, 2, 1200}));
    EXPECT_TRUE(m.Close());
    EXPECT_FALSE(m.GetTimeouts(t));
    EXPECT_EQ(t, plat::serial::Timeouts{});

    // Above 48000 baud the formula gives 0; a silent time-out of 0 would fail every read.
    CLocalModbus fast;
    ASSERT_TRUE(fast.Open(kCom, 115200, 0, error));
    EXPECT_EQ(fast.GetSilentTimeout(), 1u);
    fast.Close();
}

// --- request frames and answer checks ------------------------------------------------------

TEST_F(LineTest, ReadOneRegisterSendsTheFrameAndReadsAtMostSevenBytes) {
    auto call = Async([&] {
        std::vector<uint8_t> answer;
        size_t len = 0;
        const uint8_t req[] = {0x05, 0x03, 0x00, 0x00, 0x00, 0x01};
        int code = mb_->Transaction(req, sizeof req, answer, 5, 0, len);
        return std::make_pair(code, len);
    });
    EXPECT_EQ(Hex(pty_.ReadFar(8, 1000)), "050300000001858E");
    // Three bytes of noise behind the answer: were they read, the CRC check would fail.
    pty_.WriteFar(Frame({0x05, 0x03, 0x02, 0x00, 0x2A}) + Bytes({0x11, 0x22, 0x33}));
    auto [code, len] = call.get();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(len, 5u);

    // The noise is purged before the next request.
    auto next = Async([&] {
        std::vector<uint16_t> words;
        int c = mb_->ReadHoldingRegisters(5, 0, 1, words);
        return std::make_pair(c, words);
    });
    EXPECT_EQ(Hex(pty_.ReadFar(8, 1000)), "050300000001858E");
    pty_.WriteFar(Frame({0x05, 0x03, 0x02, 0x01, 0x02}));
    auto [c2, words] = next.get();
    EXPECT_EQ(c2, 0);
    EXPECT_EQ(words, std::vector<uint16_t>{0x0102});
}

TEST_F(LineTest, FramesAreTracedAsUpperCaseHex) {
    auto call = Async([&] {
        std::vector<uint16_t> words;
        return mb_->ReadHoldingRegisters(5, 0, 1, words);
    });
    pty_.ReadFar(8, 1000);
    pty_.WriteFar(Frame({0x05, 0x03, 0x02, 0xAB, 0xCD}));
    EXPECT_EQ(call.get(), 0);
    const std::string text = LogText();
    bool request = false, answer = false, timeouts = false;
    for (const std::string& line : Lines(text)) {
        if (line.find("Запрос") != std::string::npos) {
            EXPECT_TRUE(IsLogLine(line)) << line;
            EXPECT_EQ(line.substr(13), "Запрос 050300000001858E 6");  // (8 + 4) * 11000 / 19200
            request = true;
        }
        if (line.find("Ответ") != std::string::npos) {
            const std::string want = "Ответ " + Hex(Frame({5, 3, 2, 0xAB, 0xCD})) + " ";
            EXPECT_EQ(line.substr(13, want.size()), want);
            answer = true;
        }
        if (line.substr(13) == "Timeout 1000  Silent 2") timeouts = true;
    }
    EXPECT_TRUE(request && answer && timeouts) << text;
}

TEST_F(LineTest, DeviceExceptionEndsTheAttempts) {
    mb_->SetRetries(3);
    auto call = Async([&] {
        std::vector<uint16_t> words;
        return mb_->ReadHoldingRegisters(5, 0, 1, words);
    });
    pty_.ReadFar(8, 1000);
    pty_.WriteFar(Frame({0x05, 0x83, 0x02}));
    const int code = call.get();
    EXPECT_EQ(code, 0x8002);
    EXPECT_EQ(mb_->GetErrorText(code), "Modbus device return an exception code 2");
    EXPECT_EQ(Drain(100), "") << "no further attempt";
}

TEST_F(LineTest, ExceptionAnswerC1HandsItsBodyOver) {
    const std::string body = Bytes({0x05, 0xC1, 0x07, 1, 2, 3, 4, 5, 6});
    auto call = Async([&] {
        std::vector<uint8_t> answer;
        size_t len = 0;
        const uint8_t req[] = {0x05, 0x03, 0x00, 0x00, 0x00, 0x04};
        int code = mb_->Transaction(req, sizeof req, answer, 0, 0, len);
        return std::make_tuple(code, len, std::string(answer.begin(), answer.end()));
    });
    pty_.ReadFar(8, 1000);
    pty_.WriteFar(WithCrc(body));
    auto [code, len, answer] = call.get();
    EXPECT_EQ(code, 0x8007);
    EXPECT_EQ(len, 9u);
    EXPECT_EQ(answer.substr(0, len), body);
}

TEST_F(LineTest, TruncatedExceptionAnswersAreCrcErrors) {
    // An exception answer cut short must not be checked against bytes that never came.
    for (const std::string& reply : {Bytes({0x05, 0xC1, 0x07, 1, 2}), Bytes({0x05, 0x83, 0x02})}) {
        auto call = Async([&] {
            std::vector<uint16_t> words;
            return mb_->ReadHoldingRegisters(5, 0, 1, words);
        });
        pty_.ReadFar(8, 1000);
        pty_.WriteFar(reply);
        EXPECT_EQ(call.get(), mb::kMbCrcError) << Hex(reply);
    }
}

TEST_F(LineTest, CrcErrorsAreRetried) {
    mb_->SetRetries(2);
    auto call = Async([&] {
        std::vector<uint16_t> words;
        return mb_->ReadHoldingRegisters(5, 0, 1, words);
    });
    std::string bad = Frame({0x05, 0x03, 0x02, 0x00, 0x2A});
    bad.back() ^= 0x01;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(pty_.ReadFar(8, 1000).size(), 8u) << "attempt " << i + 1;
        pty_.WriteFar(bad);
    }
    EXPECT_EQ(call.get(), mb::kMbCrcError);
    EXPECT_EQ(Drain(100), "");
}

TEST_F(LineTest, SilentDeviceCostsEveryAttempt) {
    mb_->SetRetries(3);
    mb_->SetAnswerTimeout(40);
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<uint16_t> words;
    EXPECT_EQ(mb_->ReadHoldingRegisters(5, 0, 1, words), mb::kMbTimeout);
    EXPECT_GE(MsSince(t0), 3 * 40.0);
    EXPECT_EQ(Drain(50).size(), 3 * 8u) << "three requests on the line";

    mb_->SetRetries(0);
    EXPECT_EQ(mb_->ReadHoldingRegisters(5, 0, 1, words), mb::kMbTimeout);
    EXPECT_EQ(Drain(50).size(), 8u) << "retry count 0 still makes one attempt";
}

TEST_F(LineTest, ByteCountMismatch) {
    auto call = Async([&] {
        std::vector<uint16_t> words;
        return mb_->ReadHoldingRegisters(5, 0, 1, words);
    });
    pty_.ReadFar(8, 1000);
    pty_.WriteFar(Frame({0x05, 0x03, 0x03, 0x00, 0x01}));
    EXPECT_EQ(call.get(), mb::kMbByteCount);
}

TEST_F(LineTest, WrongAddressOrFunctionIsAnInvalidAnswer) {
    for (const std::string& reply :
         {Frame({0x06, 0x03, 0x02, 0x00, 0x01}), Frame({0x05, 0x04, 0x02, 0x00, 0x01})}) {
        auto call = Async([&] {
            std::vector<uint16_t> words;
            return mb_->ReadHoldingRegisters(5, 0, 1, words);
        });
        pty_.ReadFar(8, 1000);
        pty_.WriteFar(reply);
        EXPECT_EQ(call.get(), mb::kMbInvalidAnswer) << Hex(reply);
    }
}

TEST_F(LineTest, ShortAnswersAreInvalid) {
    // A CRC-valid answer of one byte holds no address and function: the builder must not look.
    auto call = Async([&] {
        std::vector<uint16_t> words;
        return mb_->ReportSlaveId(5, words);
    });
    pty_.ReadFar(4, 1000);
    pty_.WriteFar(Frame({0x05}));
    EXPECT_EQ(call.get(), mb::kMbInvalidAnswer);

    // Fewer bytes than expected.
    auto read = Async([&] {
        std::vector<uint16_t> words;
        return mb_->ReadHoldingRegisters(5, 0, 2, words);
    });
    pty_.ReadFar(8, 1000);
    pty_.WriteFar(Frame({0x05, 0x03, 0x04, 0x00}));
    EXPECT_EQ(read.get(), mb::kMbInvalidAnswer);
}

TEST_F(LineTest, OverlongAnswerStopsAt255BytesAndLeavesTheLineUsable) {
    auto call = Async([&] {
        std::vector<uint16_t> words;
        return mb_->ReportSlaveId(5, words);
    });
    EXPECT_EQ(Hex(pty_.ReadFar(4, 1000)), Hex(Frame({0x05, 0x11})));
    pty_.WriteFar(std::string(600, '\x5A'));
    EXPECT_EQ(call.get(), mb::kMbCrcError);

    auto next = Async([&] {
        std::vector<uint16_t> words;
        int c = mb_->ReportSlaveId(5, words);
        return std::make_pair(c, words);
    });
    pty_.ReadFar(4, 1000);
    pty_.WriteFar(Frame({0x05, 0x11, 0x02, 0x20, 0xFF}));
    auto [code, words] = next.get();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(words, std::vector<uint16_t>{0x20FF});
}

TEST_F(LineTest, An255ByteAnswerIsCheckedWhole) {
    std::string body = Bytes({0x05, 0x11, 250});
    for (int i = 0; i < 250; ++i) body += static_cast<char>(i);
    const std::string frame = WithCrc(body);
    ASSERT_EQ(frame.size(), 255u);
    auto call = Async([&] {
        std::vector<uint16_t> words;
        int c = mb_->ReportSlaveId(5, words);
        return std::make_pair(c, words);
    });
    pty_.ReadFar(4, 1000);
    pty_.WriteFar(frame);
    auto [code, words] = call.get();
    ASSERT_EQ(code, 0);
    ASSERT_EQ(words.size(), 125u);
    EXPECT_EQ(words[0], 0x0001);
    EXPECT_EQ(words[124], (248 << 8) | 249);
}

TEST_F(LineTest, ReportSlaveIdWithAnOddDataCount) {
    auto call = Async([&] {
        std::vector<uint16_t> words;
        int c = mb_->ReportSlaveId(5, words);
        return std::make_pair(c, words);
    });
    pty_.ReadFar(4, 1000);
    pty_.WriteFar(Frame({0x05, 0x11, 0x03, 0x20, 0xFF, 0x07}));
    auto [code, words] = call.get();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(words, (std::vector<uint16_t>{0x20FF, 0x0700}));
}

// --- the other function codes --------------------------------------------------------------

TEST_F(LineTest, WriteSingleRegister) {
    auto call = Async([&] { return mb_->WriteSingleRegister(5, 0x0102, 0xBEEF); });
    const std::string req = pty_.ReadFar(8, 1000);
    EXPECT_EQ(Hex(req), Hex(Frame({0x05, 0x06, 0x01, 0x02, 0xBE, 0xEF})));
    pty_.WriteFar(req);  // the device echoes the request
    EXPECT_EQ(call.get(), 0);

    auto bad = Async([&] { return mb_->WriteSingleRegister(5, 0x0102, 0xBEEF); });
    pty_.ReadFar(8, 1000);
    pty_.WriteFar(Frame({0x05, 0x06, 0x01, 0x02, 0xBE, 0xEE}));
    EXPECT_EQ(bad.get(), mb::kMbInvalidAnswer);
}

TEST_F(LineTest, WriteMultipleRegisters) {
    const std::vector<uint16_t> words{0x1234, 0xABCD};
    auto call = Async([&] { return mb_->WriteMultipleRegisters(5, 0x0010, words); });
    EXPECT_EQ(Hex(pty_.ReadFar(13, 1000)),
              Hex(Frame({0x05, 0x10, 0x00, 0x10, 0x00, 0x02, 0x04, 0x12, 0x34, 0xAB, 0xCD})));
    pty_.WriteFar(Frame({0x05, 0x10, 0x00, 0x10, 0x00, 0x02}));
    EXPECT_EQ(call.get(), 0);

    mb_->SetRetries(3);
    auto wrong = Async([&] { return mb_->WriteMultipleRegisters(5, 0x0010, words); });
    pty_.ReadFar(13, 1000);
    pty_.WriteFar(Frame({0x05, 0x10, 0x00, 0x11, 0x00, 0x02}));
    pty_.ReadFar(13, 1000);
    pty_.WriteFar(Frame({0x05, 0x10, 0x00, 0x10, 0x00, 0x02}));
    EXPECT_EQ(wrong.get(), 0) << "a mismatch is retried";

    // 124 registers do not fit one frame; the byte count would not even fit its byte.
    std::vector<uint16_t> many(124, 1);
    EXPECT_EQ(mb_->WriteMultipleRegisters(5, 0, many), mb::kMbRequestTooLong);
    many.resize(200);
    EXPECT_EQ(mb_->WriteMultipleRegisters(5, 0, many), mb::kMbRequestTooLong);
    EXPECT_EQ(Drain(50), "");
}

TEST_F(LineTest, ShortAnswersToWritesEndTheAttemptsAtOnce) {
    mb_->SetRetries(3);
    const std::vector<uint16_t> words{0x1234};
    auto multiple = Async([&] { return mb_->WriteMultipleRegisters(5, 0x0010, words); });
    pty_.ReadFar(11, 1000);
    pty_.WriteFar(Frame({0x05, 0x10, 0x00}));  // shorter than 6 bytes
    EXPECT_EQ(multiple.get(), mb::kMbInvalidAnswer);
    EXPECT_EQ(Drain(100), "") << "0x10: no further attempt";

    auto single = Async([&] { return mb_->WriteSingleRegister(5, 0x0102, 0xBEEF); });
    pty_.ReadFar(8, 1000);
    pty_.WriteFar(Frame({0x05, 0x06, 0x01}));  // 3 bytes
    EXPECT_EQ(single.get(), mb::kMbInvalidAnswer);
    EXPECT_EQ(Drain(100), "") << "0x06: no further attempt";

    // Four bytes are no "at once" case for 0x06: the next attempt is made.
    auto four = Async([&] { return mb_->WriteSingleRegister(5, 0x0102, 0xBEEF); });
    pty_.ReadFar(8, 1000);
    pty_.WriteFar(Frame({0x05, 0x06, 0x01, 0x02}));
    const std::string again = pty_.ReadFar(8, 1000);
    EXPECT_EQ(again.size(), 8u) << "a second attempt";
    pty_.WriteFar(again);
    EXPECT_EQ(four.get(), 0);
}

TEST_F(LineTest, ReadExceptionStatus) {
    mb_->SetRetries(3);
    auto call = Async([&] {
        uint8_t status = 0;
        int c = mb_->ReadExceptionStatus(5, status);
        return std::make_pair(c, status);
    });
    EXPECT_EQ(Hex(pty_.ReadFar(4, 1000)), Hex(Frame({0x05, 0x07})));
    pty_.WriteFar(Frame({0x05, 0x07, 0x6D}));
    auto [code, status] = call.get();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(status, 0x6D);

    auto other = Async([&] {
        uint8_t s = 0;
        return mb_->ReadExceptionStatus(5, s);
    });
    pty_.ReadFar(4, 1000);
    pty_.WriteFar(Frame({0x06, 0x07, 0x6D}));
    EXPECT_EQ(other.get(), mb::kMbInvalidAnswer);
    EXPECT_EQ(Drain(100), "") << "another address ends the attempts at once";
}

TEST_F(LineTest, DiagnosticsWantsItsRequestBack) {
    auto call = Async([&] { return mb_->Diagnostics(5); });
    const std::string req = pty_.ReadFar(8, 1000);
    EXPECT_EQ(Hex(req), Hex(Frame({0x05, 0x08, 0, 0, 0, 0})));
    pty_.WriteFar(req);
    EXPECT_EQ(call.get(), 0);

    auto bad = Async([&] { return mb_->Diagnostics(5); });
    pty_.ReadFar(8, 1000);
    pty_.WriteFar(Frame({0x05, 0x08, 0, 0, 0, 1}));
    EXPECT_EQ(bad.get(), mb::kMbInvalidAnswer);
}

TEST_F(LineTest, ReadBankStaysInOneBank) {
    std::vector<uint8_t> bytes;
    EXPECT_EQ(mb_->ReadBank(5, 0x01F0, 0x20, bytes), mb::kMbMultiBank);
    EXPECT_EQ(Drain(50), "") << "refused without traffic";

    mb_->SetAnswerTimeout(20);
    EXPECT_EQ(mb_->ReadBank(5, 0x0100, 256, bytes), mb::kMbTimeout);
    EXPECT_EQ(Hex(Drain(50)), Hex(Frame({0x05, 0x43, 0x01, 0x00, 0x01, 0x00}))) << "sent";

    mb_->SetAnswerTimeout(1000);
    auto call = Async([&] {
        std::vector<uint8_t> out;
        int c = mb_->ReadBank(5, 0x0210, 4, out);
        return std::make_pair(c, out);
    });
    EXPECT_EQ(Hex(pty_.ReadFar(8, 1000)), Hex(Frame({0x05, 0x43, 0x02, 0x10, 0x00, 0x04})));
    pty_.WriteFar(Frame({0x05, 0x43, 0x04, 9, 8, 7, 6}));
    auto [code, out] = call.get();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out, (std::vector<uint8_t>{9, 8, 7, 6}));

    auto mismatch = Async([&] {
        std::vector<uint8_t> out2;
        return mb_->ReadBank(5, 0x0210, 4, out2);
    });
    pty_.ReadFar(8, 1000);
    pty_.WriteFar(Frame({0x05, 0x43, 0x03, 9, 8, 7, 6}));
    EXPECT_EQ(mismatch.get(), mb::kMbByteCount);
}

TEST_F(LineTest, EncapsulatedRequests) {
    const uint16_t unit = 7 * 256 + 0x42;
    std::vector<uint16_t> words;
    EXPECT_EQ(mb_->ReadHoldingRegisters(5, 1, 15, words, unit), mb::kMbRequestTooLong);
    std::vector<uint8_t> long_req(81, 0x01), answer;
    size_t len = 0;
    EXPECT_EQ(mb_->Transaction(long_req.data(), long_req.size(), answer, 0, unit, len),
              mb::kMbRequestTooLong);
    EXPECT_EQ(Drain(50), "");

    auto call = Async([&] {
        std::vector<uint16_t> w;
        int c = mb_->ReadHoldingRegisters(5, 1, 1, w, unit);
        return std::make_pair(c, w);
    });
    EXPECT_EQ(Hex(pty_.ReadFar(10, 1000)),
              Hex(Frame({0x07, 0x42, 0x05, 0x03, 0x00, 0x01, 0x00, 0x01})));
    pty_.WriteFar(Frame({0x07, 0x42, 0x05, 0x03, 0x02, 0x00, 0x2A}));
    auto [code, w] = call.get();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(w, std::vector<uint16_t>{42});

    auto inner = Async([&] {
        std::vector<uint16_t> w2;
        return mb_->ReadHoldingRegisters(5, 1, 1, w2, unit);
    });
    pty_.ReadFar(10, 1000);
    pty_.WriteFar(Frame({0x07, 0x42, 0x05, 0x83, 0x02}));
    EXPECT_EQ(inner.get(), 0x8002) << "the inner device's exception";
}

TEST_F(LineTest, SendEncapsulatedHandsBackTheAnswerBody) {
    const uint8_t payload[] = {0x05, 0x06, 0x00, 0x01, 0x00, 0x02};
    auto call = Async([&] {
        std::vector<uint8_t> out;
        size_t n = 0;
        int c = mb_->SendEncapsulated(7, payload, sizeof payload, out, n);
        return std::make_tuple(c, out, n);
    });
    EXPECT_EQ(Hex(pty_.ReadFar(10, 1000)),
              Hex(Frame({0x07, 0x42, 0x05, 0x06, 0x00, 0x01, 0x00, 0x02})));
    pty_.WriteFar(Frame({0x07, 0x42, 0x05, 0x06, 0x00, 0x01, 0x00, 0x02}));
    auto [code, out, n] = call.get();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(out, std::vector<uint8_t>(payload, payload + 6));
}

// --- echo, exceptions, the lock ------------------------------------------------------------

TEST_F(LineTest, EchoIsRemovedAndChecked) {
    mb_->SetEcho(true);
    auto call = Async([&] {
        std::vector<uint16_t> words;
        int c = mb_->ReadHoldingRegisters(5, 0, 1, words);
        return std::make_pair(c, words);
    });
    std::string req = pty_.ReadFar(8, 1000);
    pty_.WriteFar(req + Frame({0x05, 0x03, 0x02, 0x00, 0x09}));
    auto [code, words] = call.get();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(words, std::vector<uint16_t>{9});

    // An answer of any length behind the echo is not cut at the echo's end.
    auto any = Async([&] {
        std::vector<uint16_t> w;
        int c = mb_->ReportSlaveId(5, w);
        return std::make_pair(c, w);
    });
    req = pty_.ReadFar(4, 1000);
    pty_.WriteFar(req + Frame({0x05, 0x11, 0x02, 0x20, 0xFF}));
    auto [c2, w2] = any.get();
    EXPECT_EQ(c2, 0);
    EXPECT_EQ(w2, std::vector<uint16_t>{0x20FF});

    mb_->SetAnswerTimeout(50);
    auto echo_only = Async([&] {
        std::vector<uint16_t> w;
        return mb_->ReadHoldingRegisters(5, 0, 1, w);
    });
    req = pty_.ReadFar(8, 1000);
    pty_.WriteFar(req);
    EXPECT_EQ(echo_only.get(), mb::kMbTimeout);

    auto garbled = Async([&] {
        std::vector<uint16_t> w;
        return mb_->ReadHoldingRegisters(5, 0, 1, w);
    });
    req = pty_.ReadFar(8, 1000);
    req[2] ^= 0x40;
    pty_.WriteFar(req + Frame({0x05, 0x03, 0x02, 0x00, 0x09}));
    EXPECT_EQ(garbled.get(), mb::kMbInvalidAnswer);
}

TEST_F(LineTest, ExceptionSwitchThrowsWithTheCodeText) {
    mb_->SetExceptionSwitch(true);
    mb_->SetAnswerTimeout(20);
    std::vector<uint16_t> words;
    try {
        mb_->ReadHoldingRegisters(5, 0, 1, words);
        FAIL() << "no exception";
    } catch (const mb::CModbusException& e) {
        EXPECT_EQ(e.Code(), 1);
        EXPECT_STREQ(e.what(), "Time Out Error error #1");
    }
    std::vector<uint8_t> bytes;
    EXPECT_THROW(mb_->ReadBank(5, 0x01F0, 0x20, bytes), mb::CModbusException) << "refusals too";
}

TEST_F(LineTest, PortLockTimeOut) {
    mb_->SetAnswerTimeout(400);
    std::atomic<bool> done{false};
    std::thread holder([&] {
        std::vector<uint16_t> words;
        EXPECT_EQ(mb_->ReadHoldingRegisters(5, 0, 1, words), mb::kMbTimeout);
        done = true;
    });
    ASSERT_EQ(pty_.ReadFar(8, 1000).size(), 8u) << "the first transaction holds the lock";
    mb_->SetLockTimeout(30);
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<uint16_t> words;
    EXPECT_EQ(mb_->ReadHoldingRegisters(5, 0, 1, words), mb::kMbLockTimeout);
    EXPECT_LT(MsSince(t0), 300.0);
    EXPECT_FALSE(done.load()) << "the holder was still waiting";
    uint8_t buf[8];
    size_t got = 0;
    EXPECT_EQ(mb_->RawExchange(buf, 1, buf, sizeof buf, got, 10), mb::kMbLockTimeout);
    holder.join();
    mb_->SetLockTimeout(mb::CModbus::kInfinite);
    EXPECT_EQ(Drain(50), "") << "nothing was sent without the lock";
}

TEST_F(LineTest, RawExchangeKeepsTheTimeouts) {
    plat::serial::Timeouts before;
    ASSERT_TRUE(mb_->GetTimeouts(before));
    auto call = Async([&] {
        uint8_t buf[16] = {};
        size_t got = 0;
        const uint8_t out[] = {'P', 'I', 'N', 'G'};
        int c = mb_->RawExchange(out, sizeof out, buf, sizeof buf, got, 150);
        return std::make_pair(c, std::string(reinterpret_cast<char*>(buf), got));
    });
    EXPECT_EQ(pty_.ReadFar(4, 1000), "PING");
    pty_.WriteFar("PONG");
    auto [code, text] = call.get();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(text, "PONG");

    uint8_t buf[4];
    size_t got = 0;
    EXPECT_EQ(mb_->RawExchange(buf, 1, buf, sizeof buf, got, 30), mb::kMbTimeout);
    plat::serial::Timeouts after;
    ASSERT_TRUE(mb_->GetTimeouts(after));
    EXPECT_EQ(after, before);
}

TEST_F(LineTest, VanishedDeviceClosesThePortForAReopen) {
    pty_.CloseFar();
    std::vector<uint16_t> words;
    const int code = mb_->ReadHoldingRegisters(5, 0, 1, words);
    EXPECT_TRUE(code == mb::kMbWriteError || code == mb::kMbReadError) << code;
    EXPECT_FALSE(mb_->IsOpen()) << "the owner must see the port as lost";
    EXPECT_EQ(mb_->ReadHoldingRegisters(5, 0, 1, words), mb::kMbPortNotOpen);

    // The adapter is back under the same name.
    testsupport::PtyPair again(kCom);
    long error = 0;
    ASSERT_TRUE(mb_->Open(0, 0, 0xFF, error));
    auto call = Async([&] {
        std::vector<uint16_t> w;
        return mb_->ReadHoldingRegisters(5, 0, 1, w);
    });
    again.ReadFar(8, 1000);
    again.WriteFar(Frame({0x05, 0x03, 0x02, 0x00, 0x01}));
    EXPECT_EQ(call.get(), 0);
}

// --- stored settings and the ASCII framing -------------------------------------------------

mb::CArchive Settings(uint16_t ascii, uint32_t open, uint8_t port = kCom) {
    mb::CArchive ar;
    ar << uint16_t{2} << uint32_t{0} << uint32_t{0};  // retries, switch, pause
    ar << uint32_t{20} << uint32_t{300} << port << uint8_t{0} << uint32_t{19200} << open
       << uint8_t{0} << uint8_t{0} << ascii << uint16_t{8};
    return ar;
}

TEST(ModbusSettings, StoreLoadAndDamagedArchives) {
    testsupport::TempRoot root;
    testsupport::PtyPair pty(kCom);
    CLocalModbus a;
    a.SetRetries(4);
    a.SetAnswerTimeout(250);
    a.SetSilentTimeout(30);
    long error = 0;
    ASSERT_TRUE(a.Open(kCom, 9600, 2, error));
    mb::CArchive out;
    a.Serialize(out);
    EXPECT_EQ(out.Data().size(), 2u + 4 + 4 + 4 + 4 + 1 + 1 + 4 + 4 + 1 + 1 + 2 + 2);
    a.Close();

    CLocalModbus b;
    mb::CArchive in(out.Data());
    b.Serialize(in);
    EXPECT_FALSE(in.Failed());
    EXPECT_EQ(b.GetRetries(), 4);
    EXPECT_EQ(b.GetAnswerTimeout(), 250u);
    EXPECT_EQ(b.GetSilentTimeout(), 30u);
    EXPECT_EQ(b.GetBaud(), 9600u);
    EXPECT_EQ(b.GetParity(), 2);
    EXPECT_EQ(b.GetPortNumber(), kCom);
    EXPECT_TRUE(b.IsOpen()) << "the stored open flag reopens the port";
    EXPECT_FALSE(b.IsAscii());

    std::vector<uint8_t> cut = out.Data();
    cut.resize(cut.size() - 3);
    CLocalModbus c;
    mb::CArchive damaged(cut);
    c.Serialize(damaged);
    EXPECT_TRUE(damaged.Failed());
    EXPECT_EQ(c.GetRetries(), 1) << "nothing is taken from a damaged archive";
    EXPECT_EQ(c.GetAnswerTimeout(), 1000u);
    EXPECT_FALSE(c.IsOpen());
}

TEST(ModbusAscii, FramingSelectedByStoredSettings) {
    testsupport::TempRoot root;
    testsupport::PtyPair pty(kCom);
    CLocalModbus m;
    mb::CArchive ar(Settings(1, 1).Data());
    m.Serialize(ar);
    ASSERT_TRUE(m.IsOpen());
    ASSERT_TRUE(m.IsAscii());

    auto call = Async([&] {
        std::vector<uint16_t> words;
        int c = m.ReadHoldingRegisters(5, 0, 1, words);
        return std::make_pair(c, words);
    });
    EXPECT_EQ(pty.ReadFar(17, 1000), ":050300000001F7\r\n");
    pty.WriteFar(":0503020007EF\r\n");  // LRC of 05 03 02 00 07
    auto [code, words] = call.get();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(words, std::vector<uint16_t>{7});

    auto bad_lrc = Async([&] {
        std::vector<uint16_t> w;
        return m.ReadHoldingRegisters(5, 0, 1, w);
    });
    for (int i = 0; i < 2; ++i) {  // two attempts
        pty.ReadFar(17, 1000);
        pty.WriteFar(":0503020007EE\r\n");
    }
    EXPECT_EQ(bad_lrc.get(), mb::kMbCrcError);

    auto exception = Async([&] {
        std::vector<uint16_t> w;
        return m.ReadHoldingRegisters(5, 0, 1, w);
    });
    pty.ReadFar(17, 1000);
    pty.WriteFar(":05830276\r\n");
    EXPECT_EQ(exception.get(), 0x8002);

    // Any length: the whole answer reaches the caller.
    auto any = Async([&] {
        std::vector<uint16_t> w;
        int c = m.ReportSlaveId(5, w);
        return std::make_pair(c, w);
    });
    EXPECT_EQ(pty.ReadFar(9, 1000), ":0511EA\r\n");
    pty.WriteFar(":0511042001ABCD4D\r\n");
    auto [c4, w4] = any.get();
    EXPECT_EQ(c4, 0);
    EXPECT_EQ(w4, (std::vector<uint16_t>{0x2001, 0xABCD}));
}

// --- another line under the client ---------------------------------------------------------

// A line plugged in instead of the serial one: the framing reaches it only through the line's
// calls.
class ScriptedLine final : public mb::IByteLine {
  public:
    long Open(const mb::LineConfig&, bool*) override {
        open = true;
        return 0;
    }
    bool Close() override {
        open = false;
        return true;
    }
    bool IsOpen() const override { return open; }
    bool Purge(bool, bool) override {
        ++purges;
        return true;
    }
    long Write(const uint8_t* frame, size_t length, size_t& written, uint32_t) override {
        sent.assign(frame, frame + length);
        written = length;
        return 0;
    }
    mb::LineRead Read(uint8_t* buffer, size_t size, uint32_t) override {
        seen_cap = size;
        mb::LineRead r;
        r.error = failed ? plat::E_FAIL : 0;
        r.overrun = overrun;
        if (failed || overrun) return r;
        r.got = std::min(size, reply.size());
        std::copy_n(reply.begin(), r.got, buffer);
        r.end = true;
        return r;
    }
    bool Paced() const override { return false; }

    bool open = false;
    int purges = 0;
    std::vector<uint8_t> sent;
    std::vector<uint8_t> reply;
    size_t seen_cap = 0;
    bool failed = false;
    bool overrun = false;
};

TEST(ModbusOtherLine, TheFramingTalksToTheLineItWasGiven) {
    auto owned = std::make_unique<ScriptedLine>();
    ScriptedLine& line = *owned;
    CLocalModbus m(std::move(owned), nullptr);
    long error = -1;
    ASSERT_TRUE(m.Open(3, 19200, 0, error));
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(m.IsOpen());

    line.reply = {0x05, 0x03, 0x02, 0x12, 0x34};
    const uint16_t crc = mb::Crc16(line.reply);
    line.reply.push_back(uint8_t(crc));
    line.reply.push_back(uint8_t(crc >> 8));
    std::vector<uint16_t> regs;
    ASSERT_EQ(m.ReadHoldingRegisters(5, 0, 1, regs), mb::kMbOk);
    EXPECT_EQ(regs, std::vector<uint16_t>{0x1234});
    EXPECT_EQ(line.sent, (std::vector<uint8_t>{0x05, 0x03, 0, 0, 0, 1, 0x85, 0x8E}));
    EXPECT_EQ(line.seen_cap, 7u) << "the expected answer caps the read";
    EXPECT_EQ(line.purges, 1);

    line.overrun = true;
    EXPECT_EQ(m.ReadHoldingRegisters(5, 0, 1, regs), mb::kMbInvalidAnswer)
        << "a refused overlong answer is a broken answer, not silence";
    line.overrun = false;
    line.failed = true;
    EXPECT_EQ(m.ReadHoldingRegisters(5, 0, 1, regs), mb::kMbReadError);

    EXPECT_TRUE(m.Close());
    EXPECT_FALSE(m.IsOpen());
}

}  // namespace
