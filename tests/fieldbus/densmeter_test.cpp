// The density meter: rounding, the Modbus model against an independent Modbus server, and the
// DCON model against simulated modules.
#include <gtest/gtest.h>

#include <bit>

#include "fieldbus/core/DeviceModels.h"
#include "fieldbus/core/Icpcon.h"
#include "fieldbus/core/StringTable.h"
#include "fieldbus/core/Variable.h"
#include "fieldbus/devices/DensMeter.h"
#include "tests/fieldbus/FieldbusKit.h"
#include "tests/fieldbus/StoreKit.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempRoot.h"
#include "tools/boardsim/BoardSim.h"
#if defined(NORVALT_HAVE_LIBMODBUS)
#include "tests/fieldbus/LibmodbusPeer.h"
#endif

using namespace fbtest;

namespace {

class MeterPort : public FakePort {
  public:
    using FakePort::FakePort;
    mb::CLocalICPCON* PortIcpcon() override { return dcon; }
    mb::CLocalICPCON* dcon = nullptr;
};

mb::CVariable* Var(const mb::ItemSlot& s) {
    return dynamic_cast<mb::CVariable*>(s.variable);
}

float R4(const mb::ItemSlot& s) {
    plat::Variant v = Var(s)->Value();
    return v.vt == plat::VT_R4 ? v.fltVal : -999.0f;
}

// A host whose tree answers every branch and item.
void OpenTree(RecordingHost& host) {
    host.item_find = [](const plat::WideString&, int16_t& flag, int32_t&) -> int32_t {
        flag = 0;
        return 10;
    };
    host.item_create = [](mb::IModbusItem*, const plat::WideString&, plat::VARTYPE, uint8_t,
                          int32_t, const char*, int32_t& h) { return h = 20; };
}

TEST(DensMeterRounding, PublishedPlaces) {
    EXPECT_FLOAT_EQ(mb::RoundDensity(850.004f), 0.85f);
    EXPECT_FLOAT_EQ(mb::RoundDensity(850.0f), 0.85f);
    EXPECT_FLOAT_EQ(mb::RoundTemperature(21.456f), 21.46f);
    EXPECT_FLOAT_EQ(mb::RoundTemperature(-3.004f), -3.0f);
    EXPECT_FLOAT_EQ(mb::RoundViscosity(1.23456f), 1.2346f);
    // 0x8000, 0x4454 as low and high halves are 850.0.
    EXPECT_EQ(std::bit_cast<float>(uint32_t{0x4454} << 16 | 0x8000), 850.0f);
}

TEST(DensMeterRows, DetectionRows) {
    int rows = 0;
    for (const auto& m : mb::DeviceModels()) {
        if (std::string(m.type_name) == "LVX3") {
            EXPECT_EQ(m.protocol, mb::kProtocolModbus);
            EXPECT_TRUE(m.plain_9600);
            ++rows;
        }
        if (std::string(m.type_name) == "LVX3ICPCON") {
            EXPECT_EQ(m.protocol, mb::kProtocolDcon);
            EXPECT_STREQ(m.name_format, "DensMeter%i");
            ++rows;
        }
    }
    EXPECT_EQ(rows, 2);
}

#if defined(NORVALT_HAVE_LIBMODBUS)

class ModbusMeter : public LineTest {
  protected:
    void SetUp() override {
        LineTest::SetUp();
        OpenTree(host_);
        port_ = std::make_unique<FakePort>(&mlog_, &host_, mb_.get());
        peer_ = std::make_unique<LibmodbusPeer>(pty_.FarFd(), 5);
        // State 0x10; density 850.0, temperature 21.456, viscosity 1.23456, low half first.
        Registers(0x10, 850.0f, 21.456f, 1.23456f);
        meter_ = std::make_unique<mb::CDensMeter>(port_.get(), 5, "DensMeter5");
    }
    void TearDown() override {
        meter_.reset();
        peer_.reset();
        LineTest::TearDown();
    }
    void Registers(uint16_t state, float d, float t, float v) {
        peer_->SetRegister(0, state);
        const float f[3] = {d, t, v};
        for (int i = 0; i < 3; ++i) {
            const uint32_t bits = std::bit_cast<uint32_t>(f[i]);
            peer_->SetRegister(1 + 2 * i, static_cast<uint16_t>(bits));
            peer_->SetRegister(2 + 2 * i, static_cast<uint16_t>(bits >> 16));
        }
    }
    const mb::ItemSlot& S(size_t i) { return meter_->GetSlot(i); }

    MemoryLog mlog_;
    RecordingHost host_;
    std::unique_ptr<FakePort> port_;
    std::unique_ptr<LibmodbusPeer> peer_;
    std::unique_ptr<mb::CDensMeter> meter_;
};

TEST_F(ModbusMeter, SeenAtItsFirstStepWithoutAClientRead) {
    meter_->Scan();
    EXPECT_EQ(peer_->Served(), 4) << "the first step initialises: three values and State";
    EXPECT_FLOAT_EQ(R4(S(mb::CDensMeter::kDensity)), 0.85f);
    EXPECT_FLOAT_EQ(R4(S(mb::CDensMeter::kTemperature)), 21.46f);
    EXPECT_FLOAT_EQ(R4(S(mb::CDensMeter::kViscosity)), 1.2346f);
    EXPECT_EQ(Var(S(mb::CDensMeter::kState))->Value().lVal, 0x10);
    for (size_t i = 0; i < mb::CDensMeter::kSlotCount; ++i)
        EXPECT_EQ(Var(S(i))->Quality(), mb::kQualityGood) << i;
    EXPECT_FALSE(meter_->NeedsReinit());
}

TEST_F(ModbusMeter, PollsOnlyForAClientAndPublishesRounded) {
    // The client's poll on its own, without the first step's initialisation.
    meter_->ClearReinit();
    EXPECT_EQ(meter_->Scan(), 1);
    EXPECT_EQ(peer_->Served(), 0) << "nobody asked: no measurement request";

    meter_ = std::make_unique<mb::CDensMeter>(port_.get(), 5, "DensMeter5");
    meter_->ClearReinit();
    Var(S(mb::CDensMeter::kTemperature))->RequestRead();
    EXPECT_EQ(meter_->Scan(), 1);
    EXPECT_EQ(peer_->Served(), 1) << "one request of seven registers";
    EXPECT_FLOAT_EQ(R4(S(mb::CDensMeter::kDensity)), 0.85f);
    EXPECT_FLOAT_EQ(R4(S(mb::CDensMeter::kTemperature)), 21.46f);
    EXPECT_FLOAT_EQ(R4(S(mb::CDensMeter::kViscosity)), 1.2346f);
    EXPECT_EQ(Var(S(mb::CDensMeter::kState))->Value().lVal, 0x10);
    EXPECT_EQ(Var(S(mb::CDensMeter::kDensity))->Quality(), mb::kQualityGood);
    EXPECT_EQ(Var(S(mb::CDensMeter::kTemperature))->ReadRequests(), 1);
    EXPECT_EQ(meter_->Scan(), 0) << "the next poll waits 2500 ms";
    EXPECT_EQ(peer_->Served(), 1);

    // State 0x10 names its alarm text in either language.
    for (plat::LCID lang : {plat::LCID{1049}, plat::LCID{1033}}) {
        std::string want;
        ASSERT_TRUE(mb::LoadText(4101, lang, want));
        EXPECT_EQ(meter_->DefineErrorText(0x10, lang), want);
    }
}

TEST_F(ModbusMeter, ZeroMeansNoMeasurementExceptForTemperature) {
    Registers(0, 0.0f, 0.0f, 0.0f);
    meter_->Init();
    EXPECT_EQ(Var(S(mb::CDensMeter::kTemperature))->Quality(), mb::kQualityBad)
        << "0 from Init is no value";
    EXPECT_TRUE(meter_->ReadItem(S(0).variable));
    EXPECT_EQ(Var(S(mb::CDensMeter::kTemperature))->Quality(), mb::kQualityGood)
        << "0 from a poll is a temperature";
    EXPECT_EQ(Var(S(mb::CDensMeter::kDensity))->Quality(), mb::kQualityBad);
    EXPECT_EQ(Var(S(mb::CDensMeter::kViscosity))->Quality(), mb::kQualityBad);
}

TEST_F(ModbusMeter, InitDecodesLikeThePoll) {
    meter_->Init();
    EXPECT_FLOAT_EQ(R4(S(mb::CDensMeter::kDensity)), 0.85f);
    EXPECT_FLOAT_EQ(R4(S(mb::CDensMeter::kTemperature)), 21.46f);
    EXPECT_EQ(Var(S(mb::CDensMeter::kState))->Value().lVal, 0x10) << "State is one register";
    EXPECT_EQ(Var(S(mb::CDensMeter::kDensity))->Quality(), mb::kQualityGood);
}

TEST_F(ModbusMeter, AFailedPollLeavesLastUsableValues) {
    ASSERT_TRUE(meter_->ReadItem(S(0).variable));
    peer_.reset();  // the meter falls silent
    EXPECT_FALSE(meter_->ReadItem(S(0).variable));
    EXPECT_EQ(Var(S(mb::CDensMeter::kDensity))->Quality(), mb::kQualityUncertain);
    EXPECT_EQ(Var(S(mb::CDensMeter::kState))->Quality(), mb::kQualityUncertain);
    EXPECT_EQ(meter_->GetErrorCount(), 1);
    meter_->SetBadQuality();
    EXPECT_EQ(Var(S(mb::CDensMeter::kState))->Quality(), mb::kQualityBad);
}

#endif  // NORVALT_HAVE_LIBMODBUS

class DconMeter : public ::testing::Test {
  protected:
    void SetUp() override {
        SetParameters("PROTOCOL=4 PROTOCOLPATH=" + root_.Path() + "/logs");
        OpenTree(host_);
        ASSERT_EQ(dcon_.Open(kCom, 9600, 0), 0);
        port_.dcon = &dcon_;
        bus_.SetModule(0x0A, {});
    }
    std::unique_ptr<mb::CDensMeterICPCON> Meter(uint8_t address) {
        return std::make_unique<mb::CDensMeterICPCON>(&port_, address, "DensMeter10");
    }
    void AskAll(mb::CDensMeterICPCON& m) {
        Var(m.GetSlot(mb::CDensMeterICPCON::kDensity))->RequestRead();
    }

    testsupport::TempRoot root_;
    testsupport::PtyPair pty_{kCom};
    boardsim::DconBus bus_{pty_.FarFd()};
    MemoryLog log_;
    RecordingHost host_;
    MeterPort port_{&log_, &host_};
    mb::CLocalICPCON dcon_{&log_};
};

TEST_F(DconMeter, StatusAlwaysValuesOnRequest) {
    auto m = Meter(0x0A);
    EXPECT_EQ(m->Scan(), 0);
    EXPECT_EQ(bus_.Commands(), std::vector<std::string>{"$0AI"}) << "only the status query";
    EXPECT_EQ(Var(m->GetSlot(mb::CDensMeterICPCON::kState))->Value().lVal, 0x3F);
    EXPECT_EQ(m->LastStatus(), 0x3F);

    m = Meter(0x0A);
    AskAll(*m);
    bus_.Clear();
    m->Scan();
    EXPECT_EQ(bus_.Commands(), (std::vector<std::string>{"#0A0", "$0AI"}));
    using M = mb::CDensMeterICPCON;
    EXPECT_FLOAT_EQ(R4(m->GetSlot(M::kDensity)), 0.85f);
    EXPECT_FLOAT_EQ(R4(m->GetSlot(M::kTemperature)), 21.46f);
    EXPECT_FLOAT_EQ(R4(m->GetSlot(M::kViscosity)), 1.234f);
    EXPECT_EQ(Var(m->GetSlot(M::kDensity))->Quality(), mb::kQualityGood);
    EXPECT_EQ(Var(m->GetSlot(M::kDensity))->ReadRequests(), 1);
    bus_.Clear();
    EXPECT_EQ(m->Scan(), 0);
    EXPECT_TRUE(bus_.Commands().empty()) << "3000 ms between polls";
}

TEST_F(DconMeter, RefusalKeepsTheTemperature) {
    boardsim::ModuleScript refuse;
    refuse.refuse_values = true;
    bus_.SetModule(0x0A, refuse);
    auto m = Meter(0x0A);
    AskAll(*m);
    m->Scan();
    using M = mb::CDensMeterICPCON;
    EXPECT_EQ(Var(m->GetSlot(M::kTemperature))->Quality(), mb::kQualityGood);
    EXPECT_FLOAT_EQ(R4(m->GetSlot(M::kTemperature)), 21.46f);
    EXPECT_EQ(Var(m->GetSlot(M::kDensity))->Quality(), mb::kQualityBad);
    EXPECT_EQ(Var(m->GetSlot(M::kViscosity))->Quality(), mb::kQualityBad);

    // The short refusal carries no fields: its temperature is no reading of 0.0.
    refuse.refuse_values = false;
    refuse.refuse_short = true;
    bus_.SetModule(0x0A, refuse);
    m = Meter(0x0A);
    AskAll(*m);
    m->Scan();
    EXPECT_EQ(Var(m->GetSlot(M::kTemperature))->Quality(), mb::kQualityBad);
    EXPECT_EQ(Var(m->GetSlot(M::kDensity))->Quality(), mb::kQualityBad);
    EXPECT_EQ(m->GetErrorCount(), 0) << "the module answered";
}

TEST_F(DconMeter, WrongAnswersAreNoLinkErrors) {
    boardsim::ModuleScript other;
    other.answer_as = 0x0B;
    bus_.SetModule(0x0A, other);
    auto m = Meter(0x0A);
    AskAll(*m);
    m->Scan();
    using M = mb::CDensMeterICPCON;
    EXPECT_EQ(m->GetErrorCount(), 0);
    EXPECT_EQ(Var(m->GetSlot(M::kDensity))->Quality(), mb::kQualityBad);
    EXPECT_EQ(Var(m->GetSlot(M::kState))->Quality(), mb::kQualityBad);

    auto silent = Meter(0x21);
    silent->Scan();
    EXPECT_EQ(silent->GetErrorCount(), 1) << "a silent status query is";
}

}  // namespace
