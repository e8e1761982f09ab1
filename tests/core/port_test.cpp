#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/serial/serial.h"
#include "platform/time/clock.h"
#include "platform/types/wstr.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/EmulatorTable.h"
#include "service/core/ports/NativePort.h"
#include "tests/core/PortFixture.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempRoot.h"
#include "tests/support/ZrnOracle.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

using namespace drv;
using namespace porttest;
using testsupport::AnswerFrame;
using testsupport::PtyPair;
using testsupport::RequestFrame;
using testsupport::Sum8;

namespace {

bool HasLine(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& l : lines)
        if (l == text) return true;
    return false;
}

bool HasLineStarting(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const auto& l : lines)
        if (l.rfind(prefix, 0) == 0) return true;
    return false;
}

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

}  // namespace

// --- pseudo-terminal lines ---------------------------------------------------------------------

TEST_F(PortTest, AnswersWithAndWithoutEchoAreAcceptedAsSoonAsComplete) {
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    auto& [far, port] = *line_;
    EXPECT_EQ(owner_.Last(), kPortOk);
    EXPECT_EQ(owner_.cleared, 1);

    std::string ans;
    auto t0 = Clock::now();
    ASSERT_TRUE(port.Transact(5, 'X', "94", 9, ans));
    EXPECT_LT(MsSince(t0), 150);  // complete without waiting for an echo that never comes
    EXPECT_EQ(ans, "123");
    EXPECT_EQ(far.LastRequest(), RequestFrame(5, 'X', "94"));
    EXPECT_EQ(port.Stats().Echoes, 0u);

    far.Set({.echo = true, .data = "4:?"});
    t0 = Clock::now();
    ASSERT_TRUE(port.Transact(5, 'X', "94", 9, ans));
    EXPECT_LT(MsSince(t0), 150);
    EXPECT_EQ(ans, "4:?");
    EXPECT_EQ(port.Stats().Echoes, 1u);
    EXPECT_EQ(port.Stats().BytesSent, 14u);
    EXPECT_EQ(port.Stats().BytesReceived, 18u);  // the echo is not counted

    // ReadParam: the value is the second and third data characters as nibbles.
    far.Set({.data = "?1:"});
    uint8_t value = 0;
    std::string data;
    ASSERT_TRUE(port.ReadParam(5, 148, kModeNormal, true, value, &data));
    EXPECT_EQ(far.LastRequest(), RequestFrame(5, 'X', "94"));  // 148 = 0x94
    EXPECT_EQ(data, "?1:");
    EXPECT_EQ(value, 0x1A);

    // The answer is cut to the caller's capacity.
    ASSERT_TRUE(port.Transact(5, 'X', "94", 9, ans, 2));
    EXPECT_EQ(ans, "?1");
    EXPECT_EQ(far.Malformed(), 0);
}

TEST_F(PortTest, ReadsAskOnlyForBytesThatCanEndTheExchange) {
    // A request of 7 bytes and an answer of 9: 16 with an echo in front.
    EXPECT_EQ(ZrnReadSize(0, 9, 16, 9), 9u)
        << "a whole answer without echo: no wait for 7 more bytes that never come";
    EXPECT_EQ(ZrnReadSize(0, 9, 16, 0), 9u);
    EXPECT_EQ(ZrnReadSize(0, 9, 16, 16), 16u) << "echo and answer in one read";
    EXPECT_EQ(ZrnReadSize(0, 9, 16, 11), 11u) << "an answer that runs long is still seen";
    EXPECT_EQ(ZrnReadSize(7, 9, 16, 0), 2u);
    EXPECT_EQ(ZrnReadSize(9, 9, 16, 0), 7u) << "an echo in front: the rest of the answer";
    EXPECT_EQ(ZrnReadSize(0, 1, 8, 0), 1u);
    EXPECT_EQ(ZrnReadSize(16, 9, 16, 3), 0u);

    // An echoing line whose echo comes well before the rest of the answer still works.
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    auto& [far, port] = *line_;
    std::string ans;
    far.Set({.echo = true, .data = "4:?", .split_ms = 40});
    ASSERT_TRUE(port.Transact(5, 'X', "94", 9, ans, 255, true));
    EXPECT_EQ(ans, "4:?");
    EXPECT_EQ(port.Stats().Echoes, 1u);
    EXPECT_EQ(port.Stats().BytesReceived, 9u);
}

TEST_F(PortTest, ChecksumTenBelowTheSumIsAcceptedOnlyInModesOneAndTwo) {
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    auto& [far, port] = *line_;
    std::string ans;

    far.Set({.cs_delta = -0x10});
    EXPECT_TRUE(port.Transact(5, 'X', "94", 9, ans, 255, true, kModeChecksumLow1));
    EXPECT_EQ(ans, "123");
    EXPECT_TRUE(port.Transact(5, 'X', "94", 9, ans, 255, true, kModeChecksumLow2));

    const size_t states = owner_.states.size();
    EXPECT_FALSE(port.Transact(5, 'X', "94", 9, ans, 255, true, kModeNormal));
    EXPECT_TRUE(ans.empty());
    // An invalid answer reopens the line.
    ASSERT_GE(owner_.states.size(), states + 2);
    EXPECT_EQ(owner_.states[states], kPortNotOpen);
    EXPECT_EQ(owner_.Last(), kPortOk);

    far.Set({.cs_delta = +0x10});  // too high is not the tolerated fault
    EXPECT_FALSE(port.Transact(5, 'X', "94", 9, ans, 255, true, kModeChecksumLow1));
    EXPECT_EQ(far.Requests(), 4);
}

TEST_F(PortTest, AnswerAddressMayCarryFlagBitsAboveTheLowNibble) {
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    auto& [far, port] = *line_;
    std::string ans;
    for (int a : {0x05, 0x25, 0x45, 0xE5}) {
        far.Set({.addr = a});
        EXPECT_TRUE(port.Transact(5, 'X', "94", 9, ans, 255, true)) << a;
        EXPECT_EQ(port.LastAnswerAddress(), a);
    }
    far.Set({.addr = 0x15});
    EXPECT_FALSE(port.Transact(5, 'X', "94", 9, ans, 255, true));
    EXPECT_EQ(port.LastAnswerAddress(), 0xE5);

    far.Set({.addr = 21});
    EXPECT_TRUE(port.Transact(21, 'X', "94", 9, ans, 255, true));
    far.Set({.addr = 0x35});
    EXPECT_FALSE(port.Transact(21, 'X', "94", 9, ans, 255, true));
}

TEST_F(PortTest, DamagedAnswersAreRepairedOrCounted) {
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    auto& [far, port] = *line_;
    std::string ans;

    far.Set({.data = "456", .trailing = "ZZ"});
    EXPECT_TRUE(port.Transact(5, 'X', "94", 9, ans, 255, true));
    EXPECT_EQ(ans, "456");

    far.Set({.data = "789", .split_ms = 40});
    EXPECT_TRUE(port.Transact(5, 'X', "94", 9, ans, 255, true));
    EXPECT_EQ(ans, "789");

    far.Set({.first = 'B'});
    EXPECT_FALSE(port.Transact(5, 'X', "94", 9, ans, 255, true));
    EXPECT_EQ(port.Stats().ChecksumErrors, 1u);
    EXPECT_EQ(port.Stats().InvalidPackets, 0u);

    far.Set({.data = "12"});  // shorter than expected
    EXPECT_FALSE(port.Transact(5, 'X', "94", 9, ans, 255, true));
    EXPECT_EQ(port.Stats().InvalidPackets, 1u);

    // An answer whose checksum byte is 'H' and whose final 'E' got lost is completed.
    std::string data;
    for (int c = 0; c < 256 && data.empty(); ++c) {
        std::string d = std::string("12") + static_cast<char>(c);
        if (static_cast<uint8_t>(AnswerFrame(5, 'X', d)[7]) == 'H') data = d;
    }
    ASSERT_FALSE(data.empty());
    far.Set({.data = data, .cut_last = true});
    EXPECT_TRUE(port.Transact(5, 'X', "94", 9, ans, 255, true));
    EXPECT_EQ(ans, data);

    auto lines = LogLines(LogFile(7));
    EXPECT_TRUE(HasLineStarting(lines, "Too long answer "));
    EXPECT_TRUE(HasLineStarting(lines, "Bad answer BH\\x05X"));
    EXPECT_TRUE(HasLineStarting(lines, "Bad answer on CS = BP corrected "));
}

TEST_F(PortTest, SilenceAcknowledgesInModeThreeOnly) {
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    auto& [far, port] = *line_;
    std::string ans;

    far.Set({.silent = true});
    EXPECT_TRUE(port.Transact(5, 'c', "12", 1, ans, 255, true, kModeSilenceAck));
    EXPECT_EQ(ans, "A");
    // The echo alone is silence too.
    far.Set({.silent = true, .echo = true});
    EXPECT_TRUE(port.Transact(5, 'c', "12", 1, ans, 255, true, kModeSilenceAck));
    EXPECT_EQ(ans, "A");
    EXPECT_EQ(port.Stats().Echoes, 1u);

    far.Set({.silent = true});
    EXPECT_FALSE(port.Transact(5, 'c', "12", 1, ans, 255, true, kModeNormal));
    EXPECT_EQ(far.Requests(), 3);
    EXPECT_TRUE(HasLine(LogLines(LogFile(7)), "No answer H\\x05c12XE"));
}

TEST_F(PortTest, SilentControllerGetsOneAttemptUntilItAnswersAgain) {
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    auto& [far, port] = *line_;
    std::string ans;
    // A few good answers first shorten the read delay, which keeps the silent attempts short.
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(port.Transact(5, 'X', "94", 9, ans));
    int seen = far.Requests();

    far.Set({.silent = true});
    EXPECT_FALSE(port.Transact(5, 'X', "94", 9, ans));
    EXPECT_EQ(far.Requests() - seen, 3);
    EXPECT_TRUE(port.NoAnswerLast(5));
    seen = far.Requests();

    EXPECT_FALSE(port.Transact(5, 'X', "94", 9, ans));
    EXPECT_EQ(far.Requests() - seen, 1);
    seen = far.Requests();

    far.Set({});
    EXPECT_TRUE(port.Transact(5, 'X', "94", 9, ans));
    EXPECT_FALSE(port.NoAnswerLast(5));
    seen = far.Requests();

    far.Set({.silent = true});
    EXPECT_FALSE(port.Transact(5, 'X', "94", 9, ans));
    EXPECT_EQ(far.Requests() - seen, 3);
    EXPECT_LE(port.Stats().ReadDelay, TZrnPort::kMaxReadDelay);
}

TEST_F(PortTest, ReadDelayApproachesTheAnswerTimeOnARealLine) {
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    auto& [far, port] = *line_;
    std::string ans;
    uint64_t last = port.Stats().ReadDelay;
    EXPECT_EQ(last, 200u);
    // A real line under a loaded machine answers with jitter, and a slow answer may raise the
    // delay again for a step: judge where it settles, not every step.
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(port.Transact(5, 'X', "94", 9, ans, 255, true));
        last = port.Stats().ReadDelay;
    }
    const double target = 1.7 * static_cast<double>(port.Stats().AvgAnswerTime);
    EXPECT_LT(last, 100u);
    EXPECT_NEAR(static_cast<double>(last), target, 10.0 + 0.5 * target);
}

TEST_F(PortTest, OpenErrorsMapToPortStatus) {
    ASSERT_EQ(
        plat::reg::WriteString(plat::reg::Hive::LocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM",
                               "COM9", "/nonexistent/ttyNone"),
        plat::ERROR_SUCCESS);
    {
        plat::ScopedFakeClock clock;
        TZrnPort missing(&owner_, 4800, false, 9);
        EXPECT_EQ(missing.Open(), kPortNotFound);
        EXPECT_EQ(owner_.Last(), kPortNotFound);
        EXPECT_FALSE(missing.IsOpen());
        EXPECT_EQ(owner_.cleared, 0);

        // A transaction on a closed line fails at the write; the line is opened again only
        // once a second has passed since the failed open.
        std::string ans;
        EXPECT_FALSE(missing.Transact(1, 'X', "94", 9, ans));
        EXPECT_EQ(missing.Stats().Requests, 1u) << "no reopen within the second";
        EXPECT_EQ(missing.OpenAttempts(), 1u);
        clock->Advance(TZrnPort::kReopenIntervalMs);
        EXPECT_FALSE(missing.Transact(1, 'X', "94", 9, ans));
        EXPECT_EQ(missing.Stats().Requests, 0u);  // reset by the reopen
        EXPECT_EQ(missing.OpenAttempts(), 2u);
        EXPECT_EQ(owner_.Last(), kPortNotFound);
        const auto lines = LogLines(LogFile(9));
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) {
                                    return l.find("DA7AF53D-BB1D-4984-BDA9-716F7CFC7968") !=
                                           std::string::npos;
                                }),
                  1)
            << "the same open error is logged once";
    }

    PtyPair pty(8);
    plat::serial::SerialPort other;
    ASSERT_EQ(other.Open("COM8"), plat::ERROR_SUCCESS);
    Owner busy_owner;
    TZrnPort busy(&busy_owner, 4800, false, 8);
    EXPECT_EQ(busy.Open(), kPortDenied);
    EXPECT_EQ(busy_owner.Last(), kPortDenied);
    other.Close();
    EXPECT_EQ(busy.Open(), kPortOk);
    EXPECT_EQ(busy_owner.Last(), kPortOk);
}

TEST_F(PortTest, AMissingPortKeepsItsStatusWhenClosed) {
    OpenAndDropMissingCom9();
    EXPECT_EQ(owner_.Last(), kPortNotFound);
}

TEST_F(PortTest, OpenFailuresNameTheDevice) {
    OpenAndDropMissingCom9();
    const auto lines = LogLines(LogFile(9));
    EXPECT_TRUE(HasLine(lines, "DA7AF53D-BB1D-4984-BDA9-716F7CFC7968 /nonexistent/ttyNone"));
}

// "In use" and "access denied" both give -3; the port log says which, with the device, even
// at PROTOCOL=1.
TEST_F(PortTest, OpenFailuresNameTheirCauseAtTheLowestLevel) {
    DoneProtocol();
    ASSERT_EQ(
        plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters", "PROTOCOL=1"),
        plat::ERROR_SUCCESS);
    InitProtocol(kDrvKey, "Parameters");
    PtyPair pty(8);
    plat::serial::SerialPort other;
    ASSERT_EQ(other.Open("COM8"), plat::ERROR_SUCCESS);
    TZrnPort busy(&owner_, 4800, false, 8);
    EXPECT_EQ(busy.Open(), kPortDenied);
    ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine,
                                     "HARDWARE\\DEVICEMAP\\SERIALCOMM", "COM10", root_.Path()),
              plat::ERROR_SUCCESS);
    TZrnPort denied(&owner_, 4800, false, 10);  // a folder opens for nobody
    EXPECT_EQ(denied.Open(), kPortDenied);
    EXPECT_TRUE(HasLine(LogLines(LogFile(8)),
                        "Open COM8 failed: status -3 error 32 " + pty.SlavePath() + ": in use"));
    EXPECT_TRUE(HasLine(LogLines(LogFile(10)), "Open COM10 failed: status -3 error 5 " +
                                                   root_.Path() + ": access denied"));
}

TEST_F(PortTest, VanishedFarEndFailsTheExchangeAndReopensTheLine) {
    PtyPair pty(7);
    auto far = std::make_unique<FarEnd>(pty, 7);
    TZrnPort port(&owner_, kFastBaud, false, 7);
    ASSERT_EQ(port.Open(), kPortOk);
    std::string ans;
    ASSERT_TRUE(port.Transact(5, 'X', "94", 9, ans));
    far.reset();
    pty.CloseFar();
    const size_t states = owner_.states.size();

    auto t0 = Clock::now();
    EXPECT_FALSE(port.Transact(5, 'X', "94", 9, ans));
    EXPECT_LT(MsSince(t0), 1000);
    ASSERT_GE(owner_.states.size(), states + 2);
    EXPECT_EQ(owner_.states[states], kPortNotOpen);
    EXPECT_NE(owner_.Last(), kPortOk);
    EXPECT_FALSE(port.IsOpen());

    auto lines = LogLines(LogFile(7));
    EXPECT_TRUE(HasLine(lines, "904A5416-1F41-49F8-AB43-E10EB27C1958"));
    EXPECT_TRUE(HasLine(lines, "WriteFile error 31") || HasLine(lines, "ReadFile error 31"));
    EXPECT_TRUE(HasLine(lines, "Close COM7"));

    // Later exchanges fail at once and keep trying to reopen.
    EXPECT_FALSE(port.Transact(5, 'X', "94", 9, ans));
}

TEST_F(PortTest, CloseReportAndExchangeLinesInThePortLog) {
    {
        PtyPair pty(7);
        FarEnd far(pty, 7);
        TZrnPort port(&owner_, kFastBaud, false, 7);
        ASSERT_EQ(port.Open(), kPortOk);
        std::string ans;
        far.Set({.data = "?12"});
        ASSERT_TRUE(port.Transact(5, 'X', "94", 9, ans));
        ASSERT_TRUE(port.Transact(5, 'X', "94", 9, ans));
        far.Set({.silent = true});
        ASSERT_FALSE(port.Transact(6, 'X', "94", 9, ans, 255, true));
        port.Close();
        EXPECT_EQ(owner_.Last(), kPortNotOpen);
    }
    auto lines = LogLines(LogFile(7));
    EXPECT_TRUE(HasLine(lines, "97B81474-5CF8-48A0-A820-806E2163B48F 7"));
    EXPECT_TRUE(HasLine(lines, "14258DFD-164D-48BB-AF75-3F26D18B466D"));
    // The good exchange: the raw text and the answer (here the same, no echo).
    const std::string raw = "AH\\x05X?12\\x8CE";
    EXPECT_TRUE(HasLine(lines, raw + " " + raw)) << raw;
    EXPECT_TRUE(HasLine(lines, "No answer H\\x06X94XE"));

    auto it = std::find(lines.begin(), lines.end(), "Close COM7");
    ASSERT_NE(it, lines.end());
    const std::vector<std::string> head = {"Close COM7",      "  Requests:3", "  Writes:3",
                                           "  WriteErrors:0", "  Echoes:0",   "  Reads:"};
    for (size_t i = 0; i < head.size(); ++i) {
        ASSERT_LT(static_cast<size_t>(it - lines.begin()) + i, lines.size());
        EXPECT_EQ(it[i].rfind(head[i], 0), 0u) << it[i];
    }
    const std::vector<std::string> rest = {"  SuccReads:2",
                                           "  Pops:0",
                                           "  Unexpected:0",
                                           "  ChecksumErrors:0",
                                           "  InvalidPackets:0",
                                           "  BytesSent:21",
                                           "  BytesReceived:18",
                                           "  TimeTotal:",
                                           "  TimeForNoAnswerPackets:",
                                           "  TimeForDrvCalc:",
                                           "  TimeForLine:",
                                           "  TimeForSlaveCalc:",
                                           "   Addr:5 Cmd:58 Cnt:2",
                                           "   Addr:6 Cmd:58 Cnt:1"};
    for (size_t i = 0; i < rest.size(); ++i) {
        ASSERT_LT(static_cast<size_t>(it - lines.begin()) + 6 + i, lines.size());
        EXPECT_EQ(it[6 + i].rfind(rest[i], 0), 0u) << it[6 + i];
    }
    // Only one report: the destructor found the line closed.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Close COM7"), 1);
}

// --- codecs --------------------------------------------------------------------------------------

TEST(PortCodecs, NibblesDigitsAndBcd) {
    EXPECT_EQ(ByteToNibbles(0x00), "00");
    EXPECT_EQ(ByteToNibbles(0xAF), ":?");
    EXPECT_EQ(ByteToNibbles(0xFF), "??");
    for (int v = 0; v < 256; ++v)
        ASSERT_EQ(NibblesToByte(ByteToNibbles(static_cast<uint8_t>(v))), v);
    EXPECT_EQ(NibblesToByte("0@"), 0);  // '@' lies just above '?'
    EXPECT_EQ(NibblesToByte("/0"), 0);
    EXPECT_EQ(NibblesToByte("1"), 0);
    EXPECT_EQ(DigitsToByte("12"), 12);
    EXPECT_EQ(DigitsToByte("??"), 165);
    EXPECT_EQ(DigitsToByte("1A"), 0);
    EXPECT_EQ(DigitsToByte(""), 0);
    EXPECT_EQ(ByteToBcd(0), 0x00);
    EXPECT_EQ(ByteToBcd(9), 0x09);
    EXPECT_EQ(ByteToBcd(10), 0x10);
    EXPECT_EQ(ByteToBcd(99), 0x99);
    EXPECT_EQ(ByteToBcd(100), 0xA0);
    EXPECT_EQ(ByteToBcd(255), 0x95);  // 405 kept to 8 bits
}

TEST(PortCodecs, FormatDecimalPadsRoundsAndDropsHigherDigits) {
    EXPECT_EQ(FormatDecimal(2, 2, 123400), "1234");  // 12.34
    EXPECT_EQ(FormatDecimal(2, 2, 12345), "0123");   // 1.2345
    EXPECT_EQ(FormatDecimal(2, 2, 12350), "0124");   // 1.235, half away from zero
    EXPECT_EQ(FormatDecimal(3, 0, 9999), "001");
    EXPECT_EQ(FormatDecimal(4, 0, 0), "0000");
    EXPECT_EQ(FormatDecimal(0, 6, 12), "001200");
    EXPECT_EQ(FormatDecimal(2, 2, 1234500), "2345");       // 123.45: the hundreds are dropped
    EXPECT_EQ(FormatDecimal(6, -1, 1234560000), "12346");  // tens of units
    EXPECT_EQ(FormatDecimal(0, 0, 5), "");
    EXPECT_EQ(FormatDecimal(20, 0, INT64_MAX), "00000922337203685478");
    EXPECT_EQ(FormatDecimal(2, 2, INT64_MIN).size(), 4u);

    EXPECT_TRUE(FitsDecimal(2, 2, 999900));
    EXPECT_TRUE(FitsDecimal(2, 2, 999949));   // rounds to 99.99
    EXPECT_FALSE(FitsDecimal(2, 2, 999950));  // rounds to 100.00
    EXPECT_FALSE(FitsDecimal(2, 2, 1000000));
    EXPECT_FALSE(FitsDecimal(2, 2, -1));
    EXPECT_TRUE(FitsDecimal(2, 2, 0));
    EXPECT_FALSE(FitsDecimal(300, 0, 1));
}

namespace {
std::mutex g_hook_mutex;
std::vector<std::string> g_hooked;
void Hook(const std::string& text, int) {
    std::lock_guard<std::mutex> lk(g_hook_mutex);
    g_hooked.push_back(text);
}
}  // namespace

TEST_F(PortTest, ParseDecimalPositionsCommaSignAndErrors) {
    int err = -1;
    EXPECT_EQ(ParseDecimal("12,5", 1, 255, false, 0, err), 125000);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(ParseDecimal("12", 1, 4, false, 2, err), 1200000);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(ParseDecimal("X123456", 2, 6, false, 0, err), 12345600);  // 1234.56
    EXPECT_EQ(ParseDecimal("1,23456", 1, 255, false, 0, err), 12345);   // past 4 places: nothing
    EXPECT_EQ(ParseDecimal("Z-12,5", 3, 255, true, 0, err), -125000);
    EXPECT_EQ(ParseDecimal("Z-12,5", 3, 255, false, 0, err), 125000);
    EXPECT_EQ(ParseDecimal("-7", 1, 255, true, 0, err), 0);  // the sign is not a digit
    EXPECT_EQ(err, 1);
    EXPECT_EQ(ParseDecimal("12345", 2, 5, false, 3, err), 2300000);  // "23" and a missing digit

    SetProtocolHook(Hook);
    EXPECT_EQ(ParseDecimal("12a4", 1, 4, false, 0, err), 0);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(ParseDecimal("1,2,3", 1, 255, false, 0, err), 0);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(ParseDecimal("12", 1, 4, false, 5, err), 0);  // beyond the text
    EXPECT_EQ(err, 1);
    EXPECT_EQ(ParseDecimal("12", 0, 4, false, 0, err), 0);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(ParseDecimal(std::string(16, '9'), 1, 255, false, 0, err), 0);  // 10^16 x 10^4
    EXPECT_EQ(err, 2);
    EXPECT_EQ(ParseDecimal("99", 1, 200, false, 0, err), 0);  // scaled beyond 64 bits
    EXPECT_EQ(err, 2);
    SetProtocolHook(nullptr);
    std::lock_guard<std::mutex> lk(g_hook_mutex);
    bool found = false;
    for (const auto& l : g_hooked)
        found |= l.find("640E8493-6910-40A0-8DEE-6DF82A1B6ED7 12a4 FromPos1 ToPos4 DecPos4") !=
                 std::string::npos;
    EXPECT_TRUE(found);
}

// --- against the controller simulator on a pseudo-terminal
// ----------------------------------------

TEST_F(PortTest, SimulatedControllerAnswersWithAndWithoutEchoAndThroughFaults) {
    testsupport::PtyPair pty(15);
    auto station = std::make_shared<zrnsim::Station>();
    zrnsim::Controller* c = station->Add(5, 40, 74);
    zrnsim::LineRunner runner(station, pty.FarFd());
    runner.Start();
    TZrnPort port(&owner_, 9600, false, 15);
    ASSERT_EQ(port.Open(), 0);

    uint8_t family = 0, version = 0;
    ASSERT_TRUE(port.ReadParam(5, 148, kModeNormal, false, family));
    ASSERT_TRUE(port.ReadParam(5, 149, kModeNormal, false, version));
    EXPECT_EQ(DigitsToByte(ByteToNibbles(family)), 40);
    EXPECT_EQ(version, 74);
    EXPECT_EQ(port.Stats().Echoes, 0u);

    zrnsim::Faults f;
    f.echo = true;
    station->SetFaults(f);
    ASSERT_TRUE(port.ReadParam(5, 149, kModeNormal, false, version));
    EXPECT_EQ(version, 74);
    EXPECT_EQ(port.Stats().Echoes, 1u) << "the echo is cut off and counted";

    f = zrnsim::Faults{};
    f.checksum_low = true;
    c->SetFaults(f);
    EXPECT_FALSE(port.ReadParam(5, 149, kModeNormal, true, version))
        << "mode 0 refuses a low checksum";
    EXPECT_TRUE(port.ReadParam(5, 149, kModeChecksumLow1, true, version));

    f = zrnsim::Faults{};
    f.silent = true;
    c->SetFaults(f);
    std::string answer;
    const uint64_t writes = port.Stats().Writes;
    EXPECT_FALSE(port.Transact(5, 'D', "", 13, answer));
    EXPECT_EQ(port.Stats().Writes - writes, 3u) << "three attempts after a good answer";
    EXPECT_TRUE(port.NoAnswerLast(5));
    EXPECT_FALSE(port.Transact(5, 'D', "", 13, answer));
    EXPECT_EQ(port.Stats().Writes - writes, 4u) << "one attempt after a silent transaction";
    port.Close();
    runner.Stop();
}
