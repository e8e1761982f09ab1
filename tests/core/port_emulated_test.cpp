#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/time/clock.h"
#include "platform/types/wstr.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/EmulatorTable.h"
#include "service/core/ports/NativePort.h"
#include "tests/core/PortFixture.h"
#include "tests/support/ZrnOracle.h"

using namespace drv;
using namespace porttest;
using testsupport::AnswerFrame;
using testsupport::RequestFrame;

// --- emulated lines (no serial port; a fake clock where only the port's timing matters) -------

TEST_F(PortTest, EmulatedLineCarriesEveryByteValueUnchanged) {
    TestEmu& emu = emu_;
    emu.reply = [](const std::string& frame) {
        std::string data = frame.substr(3, frame.size() - 5);
        std::reverse(data.begin(), data.end());
        return AnswerFrame(static_cast<uint8_t>(frame[1]), static_cast<uint8_t>(frame[2]), data);
    };
    ASSERT_TRUE(SetEmulator(12, plat::ComPtr<tlb::IHWEmu>(&emu)));
    plat::ScopedFakeClock clock;
    TZrnPort port(&owner_, 4800, true, 12);
    ASSERT_EQ(port.Open(), kPortOk);

    for (int half = 0; half < 2; ++half) {
        std::string data;
        for (int i = 0; i < 128; ++i) data += static_cast<char>(half * 128 + i);
        std::string ans;
        ASSERT_TRUE(port.Transact(3, 0xFF, data, 4 + 128 + 2, ans)) << half;
        const std::string frame = RequestFrame(3, 0xFF, data);
        ASSERT_EQ(emu.calls.back().size(), frame.size());
        for (size_t i = 0; i < frame.size(); ++i)
            ASSERT_EQ(emu.calls.back()[i], static_cast<char16_t>(static_cast<uint8_t>(frame[i])));
        std::string expect(data.rbegin(), data.rend());
        EXPECT_EQ(ans, expect);
    }
    EXPECT_GE(emu.purges, 2);
}

TEST_F(PortTest, EmulatorMissingOrGoneFailsTheLine) {
    TestEmu& emu = emu_;
    emu.reply = GoodAnswer;
    plat::ScopedFakeClock clock;
    TZrnPort port(&owner_, 4800, true, 13);
    EXPECT_EQ(port.Open(), kPortNoEmulator);
    EXPECT_EQ(owner_.Last(), kPortNoEmulator);

    ASSERT_TRUE(SetEmulator(13, plat::ComPtr<tlb::IHWEmu>(&emu)));
    ASSERT_EQ(port.Open(), kPortOk);
    std::string ans;
    ASSERT_TRUE(port.Transact(1, 'X', "94", 9, ans));
    EXPECT_EQ(emu.refs.load(), 3u);  // the test, the table, the port

    ASSERT_TRUE(SetEmulator(13, nullptr));
    EXPECT_FALSE(port.Transact(1, 'X', "94", 9, ans));
    EXPECT_EQ(emu.refs.load(), 1u);  // the port let go of it
    EXPECT_EQ(owner_.Last(), kPortNoEmulator);
    EXPECT_EQ(emu.calls.size(), 1u);
}

TEST_F(PortTest, ReadDelayHalvesTowardsTheAnswerTimeAndRisesToTwoHundred) {
    TestEmu& emu = emu_;
    emu.reply = GoodAnswer;
    ASSERT_TRUE(SetEmulator(14, plat::ComPtr<tlb::IHWEmu>(&emu)));
    plat::ScopedFakeClock clock;  // the answer is there after the computed wait exactly
    TZrnPort port(&owner_, 4800, true, 14);
    ASSERT_EQ(port.Open(), kPortOk);
    std::string ans;
    // Wait = (9 + 7) * 11000 / 4800 + 15 = 51.7 -> 52 ms, so 1.7 x 52 = 88.4.
    std::vector<uint64_t> delays;
    for (int i = 0; i < 9; ++i) {
        ASSERT_TRUE(port.Transact(1, 'X', "94", 9, ans));
        delays.push_back(port.Stats().ReadDelay);
    }
    EXPECT_EQ(port.Stats().AvgAnswerTime, 52u);
    EXPECT_EQ(delays, (std::vector<uint64_t>{144, 116, 102, 95, 91, 89, 88, 88, 88}));

    // Failed attempts on a port with enough good answers raise it by 20, up to 200 exactly.
    emu.reply = nullptr;
    for (int i = 0; i < 7; ++i) {
        EXPECT_FALSE(port.Transact(1, 'X', "94", 9, ans, 255, true));
        EXPECT_LE(port.Stats().ReadDelay, TZrnPort::kMaxReadDelay);
    }
    EXPECT_EQ(port.Stats().ReadDelay, 200u);
    EXPECT_EQ(port.Stats().Requests, 16u);  // no reopen on the way
    auto lines = LogLines(LogFile(14));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "IncReadDelay 14"), 6);

    // Per address: address 2 was never silent and keeps its three attempts.
    const size_t calls = emu.calls.size();
    EXPECT_FALSE(port.Transact(1, 'X', "94", 9, ans));
    EXPECT_EQ(emu.calls.size(), calls + 1);
    EXPECT_FALSE(port.Transact(2, 'X', "94", 9, ans));
    EXPECT_EQ(emu.calls.size(), calls + 4);
}

TEST_F(PortTest, ThirtyOneWritesWithoutAnAnswerByteReopenThePort) {
    TestEmu& emu = emu_;  // silent; mode 3 keeps every exchange a success
    ASSERT_TRUE(SetEmulator(15, plat::ComPtr<tlb::IHWEmu>(&emu)));
    plat::ScopedFakeClock clock;
    TZrnPort port(&owner_, 4800, true, 15);
    ASSERT_EQ(port.Open(), kPortOk);
    std::string ans;
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(port.Transact(1, 'c', "12", 1, ans, 255, true, kModeSilenceAck));
    EXPECT_EQ(port.Stats().Requests, 30u);
    EXPECT_EQ(port.Stats().WritesSinceAnswerByte, 30u);
    const size_t states = owner_.states.size();

    ASSERT_TRUE(port.Transact(1, 'c', "12", 1, ans, 255, true, kModeSilenceAck));
    EXPECT_EQ(port.Stats().Requests, 0u);
    EXPECT_EQ(port.Stats().Writes, 0u);
    EXPECT_EQ(port.Stats().WritesSinceAnswerByte, 0u);
    EXPECT_EQ(port.Stats().ReadDelay, 200u);
    EXPECT_EQ(port.Stats().BytesSent, 31u * 7);  // kept over the reopen
    EXPECT_EQ(port.CommandCount(1, 'c'), 31u);
    EXPECT_EQ(owner_.states.size(), states + 2);
    EXPECT_EQ(owner_.Last(), kPortOk);
}

TEST_F(PortTest, ASilentLineWritesAFewLinesAnHourAndReopensOnceAMinute) {
    DoneProtocol();
    ASSERT_EQ(
        plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters", "PROTOCOL=3"),
        plat::ERROR_SUCCESS);
    InitProtocol(kDrvKey, "Parameters");
    TestEmu& emu = emu_;  // opens, never answers
    ASSERT_TRUE(SetEmulator(16, plat::ComPtr<tlb::IHWEmu>(&emu)));
    plat::ScopedFakeClock clock;
    TZrnPort port(&owner_, 4800, true, 16);
    ASSERT_EQ(port.Open(), kPortOk);
    const uint32_t t0 = plat::GetTickCount();
    auto run_until = [&](uint32_t ms) {
        // As the poll thread on a port without controllers: a probe and the line check.
        for (int a = 1; plat::TickDiff(plat::GetTickCount(), t0) < ms; a = a % 31 + 1) {
            uint8_t v = 0;
            port.ReadParam(static_cast<uint8_t>(a), 148, kModeChecksumLow2, true, v);
            port.CheckLine();
        }
    };
    run_until(10 * 60000);
    const uint64_t early = std::filesystem::file_size(LogFile(16));
    const uint64_t opens = port.OpenAttempts();
    run_until(60 * 60000);
    const uint64_t late = std::filesystem::file_size(LogFile(16));
    EXPECT_LT(late, 8192u) << "a few KB an hour";
    EXPECT_LT(late - early, 1024u) << "the silence is told once, not every minute";
    EXPECT_GE(port.OpenAttempts() - opens, 40u) << "still reopened about once a minute";
    EXPECT_LE(port.OpenAttempts() - opens, 60u);
}

TEST_F(PortTest, ArgumentsThatCannotMakeAFrameAreRefusedBeforeSending) {
    TestEmu& emu = emu_;
    emu.reply = GoodAnswer;
    ASSERT_TRUE(SetEmulator(16, plat::ComPtr<tlb::IHWEmu>(&emu)));
    plat::ScopedFakeClock clock;
    TZrnPort port(&owner_, 4800, true, 16);
    ASSERT_EQ(port.Open(), kPortOk);
    std::string ans;
    EXPECT_FALSE(port.Transact(32, 'X', "94", 9, ans));
    EXPECT_FALSE(port.Transact(1, 'X', "94", 0, ans));
    EXPECT_FALSE(port.Transact(1, 'X', "94", 256, ans));
    EXPECT_FALSE(port.Transact(1, 'X', std::string(251, '0'), 9, ans));
    EXPECT_TRUE(emu.calls.empty());
    EXPECT_EQ(port.Stats().Requests, 0u);
    EXPECT_TRUE(port.Transact(1, 'X', std::string(250, '0'), 9, ans));
}
