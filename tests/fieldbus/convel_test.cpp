// The board bus: frame codec, block exchange over a scripted line, unframed writes, and the
// port against simulated boards on a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "fieldbus/core/Convel.h"
#include "fieldbus/core/ModbusClient.h"
#include "platform/types/hresult.h"
#include "tests/fieldbus/FieldbusKit.h"
#include "tests/fieldbus/StoreKit.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempRoot.h"
#include "tools/boardsim/BoardSim.h"

using namespace fbtest;
namespace cv = mb::convel;

namespace {

std::vector<uint8_t> V(const std::string& s) {
    return {s.begin(), s.end()};
}
std::string S(const std::vector<uint8_t>& v) {
    return {v.begin(), v.end()};
}
std::span<const uint8_t> Span(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// One scripted answer per write; reads drain the answer given to the last writes.
class ScriptLine : public mb::IByteLine {
  public:
    long Open(const mb::LineConfig&, bool*) override { return 0; }
    bool Close() override { return true; }
    bool IsOpen() const override { return true; }
    bool Purge(bool, bool) override { return true; }
    long Write(const uint8_t* bytes, size_t count, size_t& done, uint32_t) override {
        written.emplace_back(reinterpret_cast<const char*>(bytes), count);
        if (!answers.empty()) {
            pending += answers.front();
            answers.pop_front();
        }
        done = count;
        return 0;
    }
    mb::LineRead Read(uint8_t* buffer, size_t size, uint32_t) override {
        mb::LineRead r;
        r.got = std::min(size, pending.size());
        std::copy_n(pending.begin(), r.got, buffer);
        pending.erase(0, r.got);
        return r;
    }
    std::vector<std::string> written;
    std::deque<std::string> answers;
    std::string pending;
};

// The answer a board gives to a block for board `a` (source 0 0, destination a 1).
std::string Reply(uint8_t a, uint8_t command, uint8_t seq, const std::string& data = {}) {
    return boardsim::RefFrame(Bytes({0, 0, a, 1, command, seq}) + data);
}

// The unescaped body of a frame as sent.
std::string Unescape(const std::string& frame) {
    std::string out;
    for (size_t i = 1; i + 1 < frame.size(); ++i)
        out += frame[i] == '\x7D' ? static_cast<char>(frame[++i] ^ 0x20) : frame[i];
    return out;
}

const uint8_t kSource[2] = {0, 0};
const uint8_t kBoard3[2] = {3, 1};

TEST(ConvelCodec, ChecksumsMatchTheCheckValues) {
    const std::string check = "123456789";
    EXPECT_EQ(cv::Crc16Arc(Span(check)), 0xBB3D);
    EXPECT_EQ(cv::Crc8Maxim(Span(check)), 0xA1);
    EXPECT_EQ(mb::Crc16(Span(check)), 0x4B37) << "the Modbus CRC is another one";
    // The simulator's references agree, so the peer tests check the library independently.
    EXPECT_EQ(boardsim::RefCrc16Arc(check), 0xBB3D);
    EXPECT_EQ(boardsim::RefCrc8Maxim(check), 0xA1);
}

TEST(ConvelCodec, LinkCheckFrameAndItsAnswer) {
    const auto frame = cv::EncodeFrame(V(Bytes({3, 1, 0, 0, 1, 0x80, 0xAA, 0xBB, 0xCC, 0xDF})));
    EXPECT_EQ(Hex(S(frame)), "7E030100000180AABBCCDFB8F57C");

    const std::string answer =
        Bytes({0x7E, 0, 0, 3, 1, 1, 0x80, 0xAA, 0xBB, 0xCC, 0xDF, 0x00, 0x7D, 0x5E, 0xCF, 0x7C});
    std::vector<uint8_t> collected;
    size_t used = 0;
    ASSERT_EQ(cv::DecodeAnswer(Span(answer + "junk"), kSource, kBoard3, collected, used), 0);
    EXPECT_EQ(used, answer.size());
    EXPECT_EQ(Hex(S(collected)), "000003010180AABBCCDF007ECF")
        << "the low CRC byte 7E arrives escaped";
}

TEST(ConvelCodec, EscapesDataAndCrcBytes) {
    auto frame = S(cv::EncodeFrame(V(Bytes({3, 1, 0, 0, 0x12, 0x80, 0x7E, 0x7D, 0x7C}))));
    EXPECT_NE(frame.find(Bytes({0x7D, 0x5E, 0x7D, 0x5D, 0x7D, 0x5C})), std::string::npos);
    // A body whose CRC has the low byte 0x7C, found with the reference CRC.
    std::string body;
    for (int n = 0; n < 0x10000; ++n) {
        body = Bytes({3, 1, 0, 0, 0x12, 0x80, n >> 8, n & 0xFF});
        const uint16_t crc = boardsim::RefCrc16Arc(body);
        if ((crc & 0xFF) == 0x7C && (crc >> 8) < 0x7C && (n >> 8) < 0x7C && (n & 0xFF) < 0x7C)
            break;
    }
    ASSERT_EQ(boardsim::RefCrc16Arc(body) & 0xFF, 0x7C);
    frame = S(cv::EncodeFrame(V(body)));
    EXPECT_EQ(frame.substr(frame.size() - 4, 3).substr(0, 2), Bytes({0x7D, 0x5C}));
    EXPECT_EQ(frame, boardsim::RefFrame(body));
    EXPECT_EQ(Unescape(frame).substr(0, body.size()), body);
}

TEST(ConvelCodec, AnswerChecks) {
    std::vector<uint8_t> c;
    size_t used = 0;
    // Too short to hold a header and a CRC: "~|" would pass the CRC of nothing.
    EXPECT_EQ(cv::DecodeAnswer(Span("~|"), kSource, kBoard3, c, used), cv::kInvalid);
    EXPECT_EQ(cv::DecodeAnswer(Span(Bytes({0x7E, 0, 0, 3, 0x7C})), kSource, kBoard3, c, used),
              cv::kInvalid);
    EXPECT_EQ(cv::CheckAnswer({}, kSource, kBoard3), cv::kInvalid);

    std::string good = Reply(3, 1, 0x80, "x");
    EXPECT_EQ(cv::DecodeAnswer(Span(good), kSource, kBoard3, c, used), 0);
    std::string bad = good;
    bad[bad.size() - 2] ^= 1;  // a CRC byte (never an escaped one here)
    EXPECT_EQ(cv::DecodeAnswer(Span(bad), kSource, kBoard3, c, used), cv::kCrcError);
    // The answer must swap the addresses.
    const std::string unswapped = boardsim::RefFrame(Bytes({3, 1, 0, 0, 1, 0x80}));
    EXPECT_EQ(cv::DecodeAnswer(Span(unswapped), kSource, kBoard3, c, used), cv::kInvalid);
    const std::string other = Reply(4, 1, 0x80);
    EXPECT_EQ(cv::DecodeAnswer(Span(other), kSource, kBoard3, c, used), cv::kInvalid);
    EXPECT_EQ(cv::DecodeAnswer(Span("A" + good), kSource, kBoard3, c, used), cv::kInvalid);

    // 4095 collected bytes are fine, one more is out of range.
    std::string longest = "~" + std::string(4095, 'a');
    EXPECT_EQ(cv::DecodeAnswer(Span(longest), kSource, kBoard3, c, used), cv::kTimeout);
    EXPECT_EQ(cv::DecodeAnswer(Span(longest + "a|"), kSource, kBoard3, c, used), plat::OPC_E_RANGE);
    // 7D right before '|' escapes the '|': the frame has not ended.
    std::string cut = good.substr(0, good.size() - 1) + "\x7D|";
    EXPECT_EQ(cv::DecodeAnswer(Span(cut), kSource, kBoard3, c, used), cv::kTimeout);
}

// --- the exchange over a scripted line ------------------------------------------------------

class ConvelExchange : public ::testing::Test {
  protected:
    void SetUp() override {
        proto_.SetAddress(3, 1);
        proto_.SetMaxLength(180);
    }
    testsupport::TempRoot root_;  // first: the log reads the registry
    ScriptLine line_;
    MemoryLog log_;
    mb::CConvelProtocol proto_{&line_, &log_};
    uint8_t cmd_ = 0;
    std::vector<uint8_t> data_;
};

TEST_F(ConvelExchange, ThreeBlocksNeedCommandFourOnTheInnerOnes) {
    proto_.SetMaxLength(2);
    line_.answers = {Reply(3, 4, 0), Reply(3, 4, 1), Reply(3, 0x12, 0x82, "ok")};
    ASSERT_EQ(proto_.Exchange(0x12, Span("abcde"), cmd_, data_), 0);
    ASSERT_EQ(line_.written.size(), 3u);
    EXPECT_EQ(Unescape(line_.written[0]).substr(0, 8), Bytes({3, 1, 0, 0, 0x12, 0x00, 'a', 'b'}));
    EXPECT_EQ(Unescape(line_.written[1]).substr(0, 8), Bytes({3, 1, 0, 0, 0x12, 0x01, 'c', 'd'}));
    EXPECT_EQ(Unescape(line_.written[2]).substr(0, 7), Bytes({3, 1, 0, 0, 0x12, 0x82, 'e'}));
    EXPECT_EQ(cmd_, 0x12);
    EXPECT_EQ(S(data_), "ok");

    // An inner block answered with anything but 4 ends the exchange.
    line_ = {};
    line_.answers = {Reply(3, 0x12, 0), Reply(3, 4, 1), Reply(3, 0x12, 0x82)};
    EXPECT_EQ(proto_.Exchange(0x12, Span("abcde"), cmd_, data_), cv::kInvalid);
    EXPECT_EQ(line_.written.size(), 1u);
}

TEST_F(ConvelExchange, SequenceWrapsAfterFifteen) {
    proto_.SetMaxLength(1);
    for (int i = 0; i < 17; ++i) line_.answers.push_back(Reply(3, 4, 0));
    line_.answers.push_back(Reply(3, 14, 0x81));
    ASSERT_EQ(proto_.Exchange(7, Span(std::string(18, 'x')), cmd_, data_), 0)
        << "14 closes an exchange as well";
    ASSERT_EQ(line_.written.size(), 18u);
    EXPECT_EQ(Unescape(line_.written[15])[5], 15);
    EXPECT_EQ(Unescape(line_.written[16])[5], 0);
    EXPECT_EQ(static_cast<uint8_t>(Unescape(line_.written[17])[5]), 0x81);
}

TEST_F(ConvelExchange, ResendOnCommandFiveAtMostThreeSends) {
    line_.answers = {Reply(3, 5, 0x80), Reply(3, 1, 0x80, "z")};
    ASSERT_EQ(proto_.Exchange(1, Span("q"), cmd_, data_), 0);
    ASSERT_EQ(line_.written.size(), 2u);
    EXPECT_EQ(line_.written[0], line_.written[1]) << "the same block again";

    line_ = {};
    for (int i = 0; i < 5; ++i) line_.answers.push_back(Reply(3, 5, 0x80));
    EXPECT_EQ(proto_.Exchange(1, Span("q"), cmd_, data_), cv::kInvalid);
    EXPECT_EQ(line_.written.size(), 3u);
}

TEST_F(ConvelExchange, BadStartTimeoutAndWrongFinalCommand) {
    line_.answers = {"A" + Reply(3, 1, 0x80)};
    EXPECT_EQ(proto_.Exchange(1, Span("q"), cmd_, data_), cv::kInvalid);
    EXPECT_EQ(log_.Count("T:Error BYTE 41"), 1u);

    line_ = {};
    EXPECT_EQ(proto_.Exchange(1, Span("q"), cmd_, data_), cv::kTimeout);

    line_ = {};
    line_.answers = {Reply(3, 2, 0x80)};
    EXPECT_EQ(proto_.Exchange(1, Span("q"), cmd_, data_), cv::kInvalid);
    // An empty request is one last block.
    line_ = {};
    line_.answers = {Reply(3, 9, 0x80)};
    EXPECT_EQ(proto_.Exchange(9, {}, cmd_, data_), 0);
    EXPECT_EQ(Unescape(line_.written[0]).substr(0, 6), Bytes({3, 1, 0, 0, 9, 0x80}));
}

TEST_F(ConvelExchange, UnframedWritesWantOk) {
    const std::string data = "123456789";
    line_.answers = {"OK"};
    EXPECT_EQ(proto_.SendData(0x42, Span(data)), 0);
    EXPECT_EQ(Hex(line_.written[0]), Hex("\x42" + data + "\xA1"));
    line_ = {};
    line_.answers = {"NO"};
    EXPECT_EQ(proto_.SendData(0x42, Span(data)), cv::kFailed);
    line_ = {};
    line_.answers = {"O"};
    EXPECT_EQ(proto_.SendData(0x42, Span(data)), plat::E_FAIL);
    EXPECT_EQ(log_.Count("E:{0D730412-8E8C-43d3-A0F9-291CB97698C4}"), 1u);
    line_ = {};
    line_.answers = {"OK"};
    EXPECT_EQ(proto_.SendCommandByte(), 0);
    EXPECT_EQ(line_.written[0], "\xCC");
}

// --- the port against simulated boards ------------------------------------------------------

class ConvelPort : public ::testing::Test {
  protected:
    void SetUp() override {
        SetParameters("PROTOCOL=4 PROTOCOLPATH=" + root_.Path() + "/logs");
        ASSERT_EQ(port_.Open(kCom, 9600, 0), 0);
    }
    testsupport::TempRoot root_;
    testsupport::PtyPair pty_{kCom};
    MemoryLog log_;
    mb::CLocalConvel port_{&log_};
};

TEST_F(ConvelPort, LinkCheckBytesOnTheWire) {
    std::string seen;
    std::thread far([&] {
        seen = pty_.ReadFar(14, 3000);
        pty_.WriteFar(Bytes(
            {0x7E, 0, 0, 3, 1, 1, 0x80, 0xAA, 0xBB, 0xCC, 0xDF, 0x00, 0x7D, 0x5E, 0xCF, 0x7C}));
    });
    EXPECT_EQ(port_.CheckLink(3), 0);
    far.join();
    EXPECT_EQ(Hex(seen), "7E030100000180AABBCCDFB8F57C");
    EXPECT_EQ(port_.Protocol().MaxLength(), 180u);
}

TEST_F(ConvelPort, LinkCheckAgainstScriptedBoards) {
    boardsim::BoardBus bus(pty_.FarFd());
    bus.AddBoard(2);
    boardsim::BoardScript crc;
    crc.bad_crc = true;
    bus.SetScript(4, crc);
    boardsim::BoardScript swapped;
    swapped.swap_addresses = true;
    bus.SetScript(5, swapped);
    boardsim::BoardScript wrong;
    wrong.final_command = 7;
    bus.SetScript(6, wrong);
    boardsim::BoardScript done;
    done.final_command = 14;
    bus.SetScript(7, done);

    EXPECT_EQ(port_.CheckLink(2), 0);
    EXPECT_EQ(port_.CheckLink(4), cv::kCrcError);
    EXPECT_EQ(port_.CheckLink(5), cv::kInvalid);
    EXPECT_EQ(port_.CheckLink(6), cv::kInvalid);
    EXPECT_EQ(port_.CheckLink(7), cv::kInvalid) << "14 ends the exchange but is no link answer";
    EXPECT_EQ(port_.CheckLink(9), cv::kTimeout) << "nobody at 9";
    EXPECT_EQ(log_.Count("I:{BEBF337A-D042-4089-82F6-BA4B21EBBFC4}"), 1u);
    EXPECT_EQ(mb::CLocalConvel::GetErrorText(3), "CRC Error");
    EXPECT_EQ(mb::CLocalConvel::GetErrorText(8), "Unknown");

    port_.SetFramedMode(false);
    bus.Clear();
    EXPECT_EQ(port_.CheckLink(9), 0);
    EXPECT_TRUE(pty_.ReadFar(1, 100).empty());
    EXPECT_TRUE(bus.Raw().empty()) << "no traffic with framed mode off";
}

TEST_F(ConvelPort, RequestsAndDataWrites) {
    boardsim::BoardBus bus(pty_.FarFd());
    bus.AddBoard(2);
    const std::string text = "hello\x1A";
    EXPECT_EQ(port_.Request(1, 2, 0x12, Span(text)), 0);
    EXPECT_EQ(bus.Text(2), text);
    // A 0x1A inside the data does not cut it: the length is the caller's.
    const std::string inner =
        "a\x1A"
        "b\x1A";
    EXPECT_EQ(port_.Request(1, 2, 0x12, Span(inner)), 0);
    EXPECT_EQ(bus.Text(2), inner);

    bus.Clear();
    EXPECT_EQ(port_.Request(1, 2, 0x12, Span(std::string(3501, 'x'))), plat::OPC_E_RANGE);
    EXPECT_EQ(port_.Request(1, 2, 0x12, Span(std::string(3500, 'x'))), 0);
    EXPECT_EQ(bus.Text(2).size(), 3500u);
    EXPECT_EQ(bus.Frames().size(), 20u) << "blocks of 180";

    boardsim::BoardScript done;
    done.final_command = 14;
    bus.SetScript(2, done);
    EXPECT_EQ(port_.Request(1, 2, 0x12, Span(text)), cv::kFailed)
        << "the request wants its own command back";

    bus.Clear();
    EXPECT_EQ(port_.WriteData(Span("abc")), 0);
    EXPECT_EQ(bus.Unframed(), "abc");
    EXPECT_EQ(Hex(bus.Raw()), Hex("\xCC\x42"
                                  "abc" +
                                  std::string(1, boardsim::RefCrc8Maxim("abc"))));
    boardsim::BoardScript refuse;
    refuse.ok = false;
    bus.SetScript(0, refuse);
    EXPECT_EQ(port_.WriteData(Span("abc")), cv::kFailed);

    port_.Close();
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_EQ(port_.Request(1, 2, 0x12, Span(text)), cv::kFailed);
    EXPECT_EQ(port_.WriteData(Span("abc")), cv::kFailed);
    EXPECT_EQ(log_.Count("W:{49DDADCD-C110-4a00-A81F-F5F95F42FCCA}"), 1u);
}

TEST(ConvelPortOpen, MissingPortAndSettings) {
    testsupport::TempRoot root;
    mb::CLocalConvel port;
    EXPECT_NE(port.Open(9, 9600, 0), 0) << "COM9 is not there";
    EXPECT_FALSE(port.IsOpen());
    EXPECT_NE(port.Open(7, 9600, 7), 0);
    testsupport::PtyPair pty(kCom);
    ASSERT_EQ(port.Open(kCom, 19200, 2), 0);
    plat::serial::Timeouts t;
    ASSERT_TRUE(port.GetTimeouts(t));
    EXPECT_EQ(t, (plat::serial::Timeouts{100, 100, 1000, 100, 1000}));
    EXPECT_TRUE(port.Close());
}

}  // namespace
