// The controller simulator seen through its byte interfaces: what a port writes and reads.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/time/clock.h"
#include "platform/types/wstr.h"
#include "tests/support/PtyPair.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Family.h"
#include "tools/zrnsim/Frame.h"
#include "tools/zrnsim/Station.h"

using namespace zrnsim;

namespace {

// Independent of the simulator's own helpers: the sum the port checks.
uint8_t AnswerSum(const std::string& a) {
    uint8_t s = 0;
    for (size_t i = 1; i + 2 < a.size(); ++i)
        s = static_cast<uint8_t>(s + static_cast<uint8_t>(a[i]));
    return static_cast<uint8_t>(s + 'E');
}

// The answer's data part (between the command and the checksum).
std::string DataOf(const std::string& a) {
    return a.size() >= 6 ? a.substr(4, a.size() - 6) : "";
}

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetFamilies();
        station_ = std::make_shared<Station>();
        emu_ = plat::MakeCom<HwEmu>(station_);
    }
    void TearDown() override { ResetFamilies(); }

    // One exchange as the port does it: write the frame, read what is due now.
    std::string Call(uint8_t addr, char cmd, const std::string& data = {}) {
        Write(BuildRequest(addr, cmd, data));
        return Read();
    }
    void Write(const std::string& frame) {
        ASSERT_EQ(emu_->WriteCall(plat::BytesToWide(frame)), plat::S_OK);
    }
    std::string Read() {
        plat::WideString w;
        EXPECT_EQ(emu_->ReadAnswer(&w), plat::S_OK);
        return plat::WideToBytes(w);
    }
    // Value characters of a parameter read, checked as a valid 9-byte answer.
    std::string ReadParam(uint8_t addr, uint8_t param) {
        std::string a = Call(addr, 'X', ByteToNibbles(param));
        EXPECT_EQ(a.size(), 9u);
        if (a.size() != 9) return {};
        EXPECT_EQ(static_cast<uint8_t>(a[7]), AnswerSum(a));
        return a.substr(5, 2);
    }

    plat::ScopedFakeClock clock_{false};
    std::shared_ptr<Station> station_;
    plat::ComPtr<HwEmu> emu_;
};

}  // namespace

// --- frames --------------------------------------------------------------------------------

TEST(ZrnFrame, ChecksumsFollowThePortsRules) {
    // 'H' 01 'X' '9' '4' 'E': 0x48+0x01+0x58+0x39+0x34+0x45 = 0x153 -> 0x53.
    EXPECT_EQ(BuildRequest(1, 'X', "94"), std::string("H\x01X94\x53"
                                                      "E"));
    std::string a = BuildAnswer(5, 'X',
                                "\x01"
                                "40");
    ASSERT_EQ(a.size(), 9u);
    EXPECT_EQ(a.substr(0, 4), std::string("AH\x05X"));
    EXPECT_EQ(static_cast<uint8_t>(a[7]), AnswerSum(a));
    EXPECT_EQ(a.back(), 'E');

    Request r;
    EXPECT_EQ(ParseRequest(BuildRequest(7, 'x', "2F5A"), r), FrameError::None);
    EXPECT_EQ(r.address, 7);
    EXPECT_EQ(r.command, 'x');
    EXPECT_EQ(r.data, "2F5A");
    std::string bad = BuildRequest(7, 'D', "");
    bad[3] = static_cast<char>(bad[3] + 1);
    EXPECT_EQ(ParseRequest(bad, r), FrameError::BadChecksum);
    EXPECT_EQ(ParseRequest("H\x01"
                           "DE",
                           r),
              FrameError::TooShort);
    EXPECT_EQ(ParseRequest(std::string("H\x01"
                                       "D\x8F"
                                       "X"),
                           r),
              FrameError::NoEnd);
    EXPECT_EQ(ParseRequest(std::string("Q\x01"
                                       "D\x8F"
                                       "E"),
                           r),
              FrameError::NoStart);
}

TEST(ZrnFrame, CodecsMatchTheServiceForms) {
    EXPECT_EQ(ByteToNibbles(0x4A), "4:");
    EXPECT_EQ(ByteToNibbles(0xFF), "??");
    uint8_t v = 0;
    EXPECT_TRUE(NibblesToByte("?0", v));
    EXPECT_EQ(v, 0xF0);
    EXPECT_FALSE(NibblesToByte("4@", v));
    EXPECT_EQ(DigitByte(40), 0x40);
    EXPECT_EQ(ByteToNibbles(DigitByte(120)), "<0");
    EXPECT_EQ(FormatFixed(1234567, 6, 2), "012345");            // 123.4567 -> 123.45
    EXPECT_EQ(FormatFixed(1'234'567'890'000, 6, 0), "456789");  // higher digits dropped
    EXPECT_EQ(FormatFixed(-5, 4, 0), "0000");
    EXPECT_EQ(ParseFixed("012345", 2), 1234500);
    EXPECT_FALSE(ParseFixed("12a4", 0));
    EXPECT_FALSE(ParseFixed("", 0));
}

TEST(ZrnFrame, AssemblerCutsAStreamAndDropsBrokenFrames) {
    FrameAssembler fa;
    std::string good1 = BuildRequest(3, 'D', "");
    std::string broken = BuildRequest(3, 'X', "94");
    broken[5] = static_cast<char>(broken[5] ^ 0x01);  // checksum off
    std::string good2 = BuildRequest(4, 'x', "2410");
    std::string stream = "\x00\x7F" + good1 + broken + good2;
    // Arrives in pieces of three bytes.
    std::vector<std::string> got;
    for (size_t i = 0; i < stream.size(); i += 3) {
        fa.Feed(std::string_view(stream).substr(i, 3));
        while (auto f = fa.Next()) got.push_back(*f);
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], good1);
    EXPECT_EQ(got[1], good2);
    std::string dropped = fa.TakeDiscarded();
    EXPECT_NE(dropped.find(broken), std::string::npos);
    EXPECT_EQ(fa.Buffered(), 0u);
}

// --- probe and parameters ------------------------------------------------------------------

TEST_F(SimTest, ProbeParametersGiveFamilyVersionAndProgramId) {
    Controller* c = station_->Add(5, 40, 74);
    ASSERT_NE(c, nullptr);
    c->SetProgramId(0x12, 0x34, 0x56);
    EXPECT_EQ(ReadParam(5, 148), "40");  // DigitsToByte -> 40
    EXPECT_EQ(ReadParam(5, 149), "4:");  // NibblesToByte -> 74
    EXPECT_EQ(ReadParam(5, 147), "56");
    EXPECT_EQ(ReadParam(5, 146), "34");
    EXPECT_EQ(ReadParam(5, 145), "12");

    ASSERT_NE(station_->Add(6, 90, 7), nullptr);
    EXPECT_EQ(ReadParam(6, 148), "??");
    EXPECT_EQ(ReadParam(6, 149), "07");
    // A family beyond two digits answers 0 in 148 and moves to 235/236.
    ASSERT_NE(station_->Add(7, 120, 3), nullptr);
    EXPECT_EQ(ReadParam(7, 148), "00");
    EXPECT_EQ(ReadParam(7, 235), "<0");
    EXPECT_EQ(ReadParam(7, 236), "03");
    // Families without a table of their own still answer the probe.
    ASSERT_NE(station_->Add(8, 33, 101), nullptr);
    EXPECT_EQ(ReadParam(8, 148), "33");
    EXPECT_EQ(ReadParam(8, 149), "65");
    EXPECT_EQ(Call(8, 'D'), "");  // but nothing their table does not list

    EXPECT_EQ(station_->Add(5, 40, 74), nullptr);  // taken
    EXPECT_EQ(station_->Add(0, 40, 74), nullptr);
    EXPECT_EQ(station_->Add(32, 40, 74), nullptr);
    EXPECT_EQ(station_->Add(9, 256, 1), nullptr);
}

TEST_F(SimTest, ParameterWriteAndReadRoundTrip) {
    Controller* c = station_->Add(2, 40, 74);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(ReadParam(2, 36), "00");
    EXPECT_EQ(Call(2, 'x', ByteToNibbles(36) + ByteToNibbles(0x5A)), "A");
    EXPECT_EQ(ReadParam(2, 36), "5:");
    EXPECT_EQ(c->Param(36), 0x5A);
    EXPECT_EQ(c->Inspector(), 1);
    EXPECT_EQ(ReadParam(2, 39), "01");  // the inspector counter moved with the write
    // Malformed writes are not acknowledged and change nothing.
    EXPECT_EQ(Call(2, 'x', "24"), "");
    EXPECT_EQ(Call(2, 'x', "24Z0"), "");
    EXPECT_EQ(c->Param(36), 0x5A);
    EXPECT_EQ(Call(2, 'X', "9"), "");
    // Layout defaults depend on the version: calibration 1.000 at 77..79 from version 68.
    EXPECT_EQ(ReadParam(2, 78), "10");
    ASSERT_NE(station_->Add(3, 40, 58), nullptr);
    EXPECT_EQ(ReadParam(3, 58), "10");
    EXPECT_EQ(ReadParam(3, 63), "03");  // its address parameter holds its address
}

TEST_F(SimTest, TotalizerWriteNeedsTheUnlockBeforeEachPair) {
    Controller* c = station_->Add(1, 40, 74);
    ASSERT_NE(c, nullptr);
    // 12345678 units into parameters 48..53: 12 34 56 78 00 00, each after "6052".
    const int pairs[] = {0x12, 0x34, 0x56, 0x78, 0x00, 0x00};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(Call(1, 'x', "6052"), "A");
        EXPECT_EQ(Call(1, 'x',
                       ByteToNibbles(static_cast<uint8_t>(48 + i)) +
                           ByteToNibbles(static_cast<uint8_t>(pairs[i]))),
                  "A");
    }
    EXPECT_EQ(c->TotalV(), 12345678LL * 10000);
    EXPECT_EQ(DataOf(Call(1, 'S')).substr(1), "12345678");
    EXPECT_EQ(c->Param(96), 0x15);        // the unlock is not a write of parameter 0x60
    EXPECT_EQ(Call(1, 'x', "3099"), "");  // 48 again, without the unlock
    EXPECT_EQ(c->Param(48), 0x12);
}

TEST_F(SimTest, AddressWriteMovesTheController) {
    Controller* c = station_->Add(4, 40, 74);
    ASSERT_NE(c, nullptr);
    ASSERT_NE(station_->Add(9, 41, 4), nullptr);
    EXPECT_EQ(Call(4, 'x', ByteToNibbles(86) + ByteToNibbles(9)), "A");  // 9 is taken
    EXPECT_EQ(station_->Find(4), c);
    EXPECT_EQ(Call(4, 'x', ByteToNibbles(86) + ByteToNibbles(12)), "A");
    EXPECT_EQ(station_->Find(4), nullptr);
    EXPECT_EQ(station_->Find(12), c);
    EXPECT_EQ(c->Address(), 12);
    EXPECT_EQ(Call(4, 'X', "94"), "");
    EXPECT_EQ(ReadParam(12, 86), "0<");
}

// --- dose, key, flow -----------------------------------------------------------------------

TEST_F(SimTest, DoseKeyAndFlowRunThroughTheStates) {
    Controller* c = station_->Add(1, 40, 74);
    ASSERT_NE(c, nullptr);
    c->SetTotalV(1000 * 10000);
    // Family 40 status: AND 0x6F gives 0x01 idle, 0x20 waiting, 0x22 working; 0x10 is earth.
    auto status = [&] { return static_cast<uint8_t>(DataOf(Call(1, 'D'))[0]); };
    EXPECT_EQ(status(), 0x11);
    EXPECT_EQ(c->GetState(), State::Idle);

    EXPECT_EQ(Call(1, 'd', "000100"), "A");  // six integer digits, no decimals
    EXPECT_EQ(c->GetState(), State::WaitingKey);
    EXPECT_EQ(status() & 0x6F, 0x20);
    EXPECT_EQ(DataOf(Call(1, 'Q')),
              "\x30"
              "000100");
    clock_->Advance(5000);
    EXPECT_EQ(c->CurrentV(), 0);  // nothing flows before the key

    EXPECT_TRUE(c->PressKey());
    EXPECT_EQ(c->GetState(), State::Working);
    EXPECT_EQ(status() & 0x6F, 0x22);
    clock_->Advance(4000);  // 10 units per second
    std::string d = DataOf(Call(1, 'D'));
    ASSERT_EQ(d.size(), 7u);
    EXPECT_EQ(d.substr(1), "000040");
    EXPECT_EQ(DataOf(Call(1, 'S')).substr(1), "00001040");

    clock_->Advance(60000);  // well past the dose: it stops at the dose
    EXPECT_EQ(c->GetState(), State::Idle);
    EXPECT_EQ(c->CurrentV(), 100 * 10000);
    EXPECT_EQ(DataOf(Call(1, 'D')),
              "\x11"
              "000100");
    EXPECT_EQ(c->TotalV(), 1100 * 10000);
    EXPECT_EQ(c->TotalW(), 100 * 10000);  // density 1 by default
    EXPECT_FALSE(c->PressKey());
}

TEST_F(SimTest, PauseAndContinue) {
    Controller* c = station_->Add(1, 40, 74);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(Call(1, 's'), "A");  // idle: acknowledged, nothing happens
    EXPECT_EQ(c->GetState(), State::Idle);
    Call(1, 'd', "000050");
    EXPECT_EQ(Call(1, 's'), "A");  // waiting: still waiting
    EXPECT_EQ(c->GetState(), State::WaitingKey);
    EXPECT_EQ(Call(1, 'u'), "A");  // direct start
    EXPECT_EQ(c->GetState(), State::Working);
    clock_->Advance(1000);
    EXPECT_EQ(Call(1, 's'), "A");
    EXPECT_EQ(c->GetState(), State::Paused);
    EXPECT_EQ(DataOf(Call(1, 'D'))[0] & 0x6F, 0x08);
    clock_->Advance(10000);
    EXPECT_EQ(c->CurrentV(), 10 * 10000);  // paused: no flow
    EXPECT_EQ(Call(1, 'u'), "A");
    clock_->Advance(2000);
    EXPECT_EQ(c->CurrentV(), 30 * 10000);
    // A pause the controller makes itself leaves its reasons in parameter 46; continuing
    // clears them.
    EXPECT_TRUE(c->Pause(0x03));
    EXPECT_EQ(ReadParam(1, 46), "03");
    EXPECT_TRUE(c->PressKey());
    EXPECT_EQ(c->GetState(), State::Working);
    EXPECT_TRUE(c->Pause(0x01));
    EXPECT_EQ(Call(1, 'u'), "A");
    EXPECT_EQ(ReadParam(1, 46), "00");
    clock_->Advance(100000);
    EXPECT_EQ(c->GetState(), State::Idle);
    EXPECT_EQ(c->CurrentV(), 50 * 10000);
}

TEST_F(SimTest, DoseEdgesAndControllerOptions) {
    Controller* c = station_->Add(1, 40, 74);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(Call(1, 'd', "00x100"), "");  // not digits: no answer, no dose
    EXPECT_EQ(c->GetState(), State::Idle);
    Call(1, 'd', "00100");  // five digits (older firmware) read the same
    EXPECT_EQ(c->Dose(), 100 * 10000);
    c->SetShowDoseWhileWaiting(true);
    EXPECT_EQ(DataOf(Call(1, 'D')).substr(1), "000100");
    Call(1, 'd', "000000");  // a zero dose disarms
    EXPECT_EQ(c->GetState(), State::Idle);
    Call(1, 'd', "000020");
    c->PressKey();
    clock_->Advance(1000);
    Call(1, 'd', "000005");  // lowered below what has flowed: ends at once
    EXPECT_EQ(c->GetState(), State::Idle);
    EXPECT_EQ(c->CurrentV(), 10 * 10000);
    c->SetEarthed(false);
    EXPECT_EQ(DataOf(Call(1, 'D'))[0], '\x01');
    c->SetStatusOverride(0x31);
    EXPECT_EQ(DataOf(Call(1, 'X', "94"))[0], '\x31');
    c->SetTemperature(-52500);  // -5.25 degrees: sign-and-BCD 0x85, hundredths 0x25
    EXPECT_EQ(c->Param(96), 0x85);
    EXPECT_EQ(c->Param(97), 0x25);
}

TEST_F(SimTest, SlowFlowCarriesFractions) {
    Controller* c = station_->Add(1, 40, 74);
    ASSERT_NE(c, nullptr);
    c->SetFlowRate(3);  // 0.0003 units a second: 3 ×10000 units per 1000 ms
    Call(1, 'd', "000001");
    c->PressKey();
    for (int i = 0; i < 1000; ++i) {
        clock_->Advance(1);
        station_->Update();
    }
    EXPECT_EQ(c->CurrentV(), 3);
}

// --- a family added as data ----------------------------------------------------------------

TEST_F(SimTest, RegisteredFamilyAnswersByItsLayout) {
    FamilyTable t;
    t.name = "test";
    t.families = {77};
    t.reads = {{'X', Quantity::Param, 2},          {'D', Quantity::CurrentV, 6},
               {'K', Quantity::CurrentW, 6},       {'C', Quantity::Price, 4},
               {'Z', Quantity::Temperature, 5, 1}, {'J', Quantity::Status, 0},
               {'F', Quantity::Flow, 5, 2}};
    t.writes = {{'d', Action::SetDose}, {'c', Action::SetPrice, 4}, {'u', Action::Continue}};
    t.status = {0x81, 0xA0, 0xA2, 0x88, 0};
    t.answer_address_flags = 0x80;
    t.volume_decimals = 2;
    t.price_decimals = 2;
    t.flow_per_second = 25000;  // 2.5 a second
    RegisterFamily(t);

    Controller* c = station_->Add(3, 77, 1);
    ASSERT_NE(c, nullptr);
    c->SetDensity(7500);
    c->SetTemperature(-25000);
    std::string a = Call(3, 'J');
    ASSERT_EQ(a.size(), 7u);
    EXPECT_EQ(static_cast<uint8_t>(a[2]), 0x83);  // address byte with the family's flag
    EXPECT_EQ(static_cast<uint8_t>(a[4]), 0x81);
    EXPECT_EQ(static_cast<uint8_t>(a[5]), AnswerSum(a));
    EXPECT_EQ(DataOf(Call(3, 'Z')).substr(1), "-02,5");
    EXPECT_EQ(Call(3, 'c', "1234"), "A");
    EXPECT_EQ(DataOf(Call(3, 'C')).substr(1), "1234");
    EXPECT_EQ(c->Price(), 123400);
    EXPECT_EQ(Call(3, 'c', "123"), "");     // wrong length
    EXPECT_EQ(Call(3, 'd', "01000"), "A");  // 10.00
    EXPECT_EQ(Call(3, 'u'), "A");
    clock_->Advance(2000);
    EXPECT_EQ(DataOf(Call(3, 'D')).substr(1), "000500");
    EXPECT_EQ(DataOf(Call(3, 'K')).substr(1), "000375");
    EXPECT_EQ(DataOf(Call(3, 'F')).substr(1), "00250");
    EXPECT_EQ(Call(3, 's'), "");  // not in its table
    c->SetVolumeDecimals(1);
    EXPECT_EQ(DataOf(Call(3, 'D')).substr(1), "000050");
}

// --- faults --------------------------------------------------------------------------------

TEST_F(SimTest, FaultsChangeTheAnswerAsTheySay) {
    ASSERT_NE(station_->Add(5, 40, 74), nullptr);
    Controller* c = station_->Find(5);
    std::string req = BuildRequest(5, 'X', "94");
    std::string clean = Call(5, 'X', "94");
    ASSERT_EQ(clean.size(), 9u);

    Faults f;
    f.silent = true;
    c->SetFaults(f);
    EXPECT_EQ(Call(5, 'X', "94"), "");

    f = {};
    f.echo = true;
    c->SetFaults(f);
    EXPECT_EQ(Call(5, 'X', "94"), req + clean);

    f = {};
    f.bad_checksum = true;
    c->SetFaults(f);
    std::string a = Call(5, 'X', "94");
    EXPECT_EQ(static_cast<uint8_t>(a[7]), static_cast<uint8_t>(AnswerSum(a) + 1));

    f = {};
    f.checksum_low = true;
    c->SetFaults(f);
    a = Call(5, 'X', "94");
    EXPECT_EQ(static_cast<uint8_t>(a[7] + 0x10), AnswerSum(a));

    f = {};
    f.start_with_b = true;
    c->SetFaults(f);
    EXPECT_EQ(Call(5, 'X', "94"), "B" + clean.substr(1));
    EXPECT_EQ(Call(5, 'x', "2400"), "B");

    for (uint8_t flag : {0x20, 0x40, 0xE0}) {
        f = {};
        f.address_flags = flag;
        c->SetFaults(f);
        a = Call(5, 'X', "94");
        EXPECT_EQ(static_cast<uint8_t>(a[2]), 5 | flag);
        EXPECT_EQ(static_cast<uint8_t>(a[7]), AnswerSum(a));  // summed as sent
    }

    f = {};
    f.trailing = "\x13\x37";
    c->SetFaults(f);
    EXPECT_EQ(Call(5, 'X', "94"), clean + "\x13\x37");

    f = {};
    f.delay_ms = 40;
    c->SetFaults(f);
    EXPECT_EQ(Call(5, 'X', "94"), "");
    clock_->Advance(39);
    EXPECT_EQ(Read(), "");
    clock_->Advance(1);
    EXPECT_EQ(Read(), clean);

    f = {};
    f.split = true;
    f.split_delay_ms = 25;
    c->SetFaults(f);
    EXPECT_EQ(Call(5, 'X', "94"), clean.substr(0, 4));
    clock_->Advance(24);
    EXPECT_EQ(Read(), "");
    clock_->Advance(1);
    EXPECT_EQ(Read(), clean.substr(4));
    f.split_at = 7;
    c->SetFaults(f);
    EXPECT_EQ(Call(5, 'X', "94"), clean.substr(0, 7));
    EXPECT_TRUE(emu_->Pending());
    EXPECT_EQ(emu_->Purge(), plat::S_OK);  // a purge drops the late half
    clock_->Advance(100);
    EXPECT_EQ(Read(), "");

    // A counted fault ends by itself.
    f = {};
    f.silent = true;
    f.count = 2;
    c->SetFaults(f);
    EXPECT_EQ(Call(5, 'X', "94"), "");
    EXPECT_EQ(Call(5, 'X', "94"), "");
    EXPECT_EQ(Call(5, 'X', "94"), clean);
    EXPECT_FALSE(c->GetFaults().Any());
}

TEST_F(SimTest, StationFaultsReachEveryFrame) {
    ASSERT_NE(station_->Add(1, 40, 74), nullptr);
    Faults f;
    f.echo = true;
    station_->SetFaults(f);
    // A line echo returns frames nobody answers, broken ones included.
    std::string none = BuildRequest(2, 'X', "94");
    EXPECT_EQ(Call(2, 'X', "94"), none);
    std::string bad = BuildRequest(1, 'X', "94");
    bad[5] = static_cast<char>(bad[5] + 1);
    Write(bad);
    EXPECT_EQ(Read(), bad);
    std::string ok = Call(1, 'X', "94");
    EXPECT_EQ(ok.substr(0, 7), BuildRequest(1, 'X', "94"));
    EXPECT_EQ(ok.size(), 7u + 9u);

    // Station and controller faults add up.
    f = {};
    f.address_flags = 0x20;
    station_->SetFaults(f);
    Faults cf;
    cf.address_flags = 0x40;
    cf.delay_ms = 10;
    station_->Find(1)->SetFaults(cf);
    EXPECT_EQ(Call(1, 'X', "94"), "");
    clock_->Advance(10);
    std::string a = Read();
    ASSERT_EQ(a.size(), 9u);
    EXPECT_EQ(static_cast<uint8_t>(a[2]), 0x61);
}

TEST_F(SimTest, ReadAnswerGivesAtMost255Bytes) {
    Controller* c = station_->Add(1, 40, 74);
    ASSERT_NE(c, nullptr);
    Faults f;
    f.trailing = std::string(300, 'g');
    c->SetFaults(f);
    std::string first = Call(1, 'X', "94");
    EXPECT_EQ(first.size(), 255u);
    std::string rest = Read();
    EXPECT_EQ(first.size() + rest.size(), 9u + 300u);
}

// --- what gets no answer, and the log ------------------------------------------------------

TEST_F(SimTest, BadFramesAndOtherAddressesGetNoAnswerButAreLogged) {
    Controller* c = station_->Add(1, 40, 74);
    ASSERT_NE(c, nullptr);
    clock_->Advance(7);
    uint32_t t0 = plat::GetTickCount();
    std::string bad = BuildRequest(1, 'X', "94");
    bad[5] = static_cast<char>(bad[5] - 1);
    Write(bad);
    EXPECT_EQ(Read(), "");
    EXPECT_EQ(Call(2, 'X', "94"), "");
    EXPECT_EQ(Call(1, 'W'), "");  // a command the family does not answer
    Write("garbage");
    EXPECT_EQ(Read(), "");
    clock_->Advance(3);
    EXPECT_EQ(Call(1, 'X', "94").size(), 9u);

    auto log = station_->Requests();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].frame, bad);
    EXPECT_EQ(log[0].error, FrameError::BadChecksum);
    EXPECT_EQ(log[0].tick, t0);
    EXPECT_TRUE(log[0].answer.empty());
    EXPECT_EQ(log[1].address, 2);
    EXPECT_NE(log[1].note.find("no controller"), std::string::npos);
    EXPECT_EQ(log[2].command, 'W');
    EXPECT_TRUE(log[2].answer.empty());
    EXPECT_EQ(log[3].error, FrameError::NoStart);
    EXPECT_EQ(log[4].tick, t0 + 3);
    EXPECT_EQ(log[4].command, 'X');
    EXPECT_EQ(log[4].answer.size(), 9u);

    // The controller keeps the frames addressed to it.
    auto own = c->Requests();
    ASSERT_EQ(own.size(), 2u);
    EXPECT_EQ(own[0].command, 'W');
    EXPECT_EQ(own[1].frame, BuildRequest(1, 'X', "94"));
    station_->ClearRequests();
    EXPECT_TRUE(station_->Requests().empty());
    EXPECT_EQ(c->Requests().size(), 2u);
}

// --- adapters ------------------------------------------------------------------------------

namespace {

// The port's side of a pseudo-terminal, opened as a device.
struct PortEnd {
    explicit PortEnd(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY)) {}
    ~PortEnd() {
        if (fd >= 0) ::close(fd);
    }
    bool Write(const std::string& s) {
        return ::write(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size());
    }
    std::string Read(size_t want, int timeout_ms) {
        std::string out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out.size() < want) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) break;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char buf[256];
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    int fd;
};

}  // namespace

TEST_F(SimTest, LineRunnerServesAPseudoTerminal) {
    testsupport::PtyPair pty;
    ASSERT_NE(station_->Add(1, 40, 74), nullptr);
    Faults f;
    f.echo = true;
    f.split = true;
    f.split_delay_ms = 5;
    station_->Find(1)->SetFaults(f);
    LineRunner runner(station_, pty.FarFd());
    std::vector<TraceEvent> trace;
    std::mutex tm;
    runner.SetTrace([&](const TraceEvent& e) {
        std::lock_guard<std::mutex> lk(tm);
        trace.push_back(e);
    });
    runner.Start();
    PortEnd port(pty.SlavePath());
    ASSERT_GE(port.fd, 0);

    // Noise and a broken frame before the real request; one write of everything.
    std::string broken = BuildRequest(1, 'D', "");
    broken[3] = static_cast<char>(broken[3] + 1);
    std::string req = BuildRequest(1, 'X', "94");
    ASSERT_TRUE(port.Write("\x7F" + broken + req));
    std::string head = port.Read(req.size() + 4, 2000);
    EXPECT_EQ(head, req + std::string("AH\x01X"));
    // The second half waits for the fake clock.
    EXPECT_EQ(port.Read(1, 15), "");
    clock_->Advance(5);
    std::string tail = port.Read(5, 2000);
    std::string answer = head.substr(req.size()) + tail;
    ASSERT_EQ(answer.size(), 9u);
    EXPECT_EQ(answer.substr(5, 2), "40");
    EXPECT_EQ(static_cast<uint8_t>(answer[7]), AnswerSum(answer));
    runner.Stop();
    EXPECT_EQ(runner.FramesHandled(), 1u);

    auto log = station_->Requests();
    ASSERT_EQ(log.size(), 2u);  // the broken frame is logged as such
    EXPECT_EQ(log[0].error, FrameError::BadChecksum);
    EXPECT_EQ(log[1].frame, req);
    std::lock_guard<std::mutex> lk(tm);
    bool dropped_noise = false, received = false;
    for (const TraceEvent& e : trace) {
        dropped_noise |= e.kind == TraceEvent::Dropped && e.bytes == "\x7F";
        received |= e.kind == TraceEvent::Received && e.bytes == req;
    }
    EXPECT_TRUE(dropped_noise);
    EXPECT_TRUE(received);
}
