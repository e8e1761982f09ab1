// The port's system device: the Command and TxRx texts, its items in the host, and its writes
// against a fake port and a fake Modbus client.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fieldbus/core/ComDevice.h"
#include "fieldbus/core/Variable.h"
#include "tests/fieldbus/StoreKit.h"
#include "tests/support/TempRoot.h"

using namespace fbtest;
using mb::CaptureCommand;
using mb::TxRxRequest;

namespace {

TEST(CaptureCommandText, KeywordsAndAddresses) {
    CaptureCommand c;
    ASSERT_EQ(mb::ParseCaptureCommand("CAPTUREW=5", 247, c), plat::S_OK);
    EXPECT_EQ(c.kind, CaptureCommand::kCaptureReadWrite);
    EXPECT_EQ(c.address, 5);
    ASSERT_EQ(mb::ParseCaptureCommand("CAPTURER=247", 247, c), plat::S_OK);
    EXPECT_EQ(c.kind, CaptureCommand::kCaptureReadOnly);
    EXPECT_EQ(c.address, 247);
    ASSERT_EQ(mb::ParseCaptureCommand("RELEASE=0", 247, c), plat::S_OK);
    EXPECT_EQ(c.kind, CaptureCommand::kRelease);
    EXPECT_EQ(c.address, 0);
    ASSERT_EQ(mb::ParseCaptureCommand("CAPTUREW=250", 254, c), plat::S_OK) << "DCON addresses";

    for (const char* bad : {"CAPTUREW", "FOO=1", "capturew=5", "", "=5"})
        EXPECT_EQ(mb::ParseCaptureCommand(bad, 247, c), plat::OPC_E_RANGE) << bad;
    // Outside the port's addresses: nothing to capture there.
    for (const char* bad : {"CAPTUREW=0", "CAPTURER=0", "CAPTUREW=248", "RELEASE=248",
                            "CAPTUREW=300", "CAPTUREW=99999999999999999999"})
        EXPECT_EQ(mb::ParseCaptureCommand(bad, 247, c), plat::OPC_E_RANGE) << bad;
    EXPECT_EQ(mb::ParseCaptureCommand("CAPTUREW=11", 10, c), plat::OPC_E_RANGE) << "board bus";
    // Not a number: "RELEASE=abc" must not read as "release every address".
    for (const char* bad : {"CAPTUREW=abc", "RELEASE=abc", "RELEASE=", "CAPTUREW=5x", "CAPTUREW=-1",
                            "CAPTUREW= 5", "RELEASE=0x1"})
        EXPECT_EQ(mb::ParseCaptureCommand(bad, 247, c), plat::E_INVALIDARG) << bad;
}

TEST(TxRxText, KeysValuesAndDerivedFields) {
    TxRxRequest r;
    ASSERT_EQ(mb::ParseTxRx("QUERY=0503000A0001&RESPONSE_LEN=7", r), plat::S_OK);
    EXPECT_EQ(r.query, (std::vector<uint8_t>{0x05, 0x03, 0x00, 0x0A, 0x00, 0x01}));
    EXPECT_EQ(r.Address(), 5);
    EXPECT_EQ(r.ExpectedLength(), 5u) << "RESPONSE_LEN counts the CRC; the transaction does not";
    EXPECT_EQ(r.Encapsulation(), 0);
    EXPECT_FALSE(r.timeout_ms);
    EXPECT_FALSE(r.silent_ms);

    ASSERT_EQ(mb::ParseTxRx("SILENT=40&ADDRESS_EX=9&TIMEOUT=300&query=1&QUERY=ab0c", r),
              plat::S_OK);
    EXPECT_EQ(r.query, (std::vector<uint8_t>{0xAB, 0x0C}));
    EXPECT_EQ(r.Address(), 9);
    EXPECT_EQ(r.Encapsulation(), 0x0942);
    EXPECT_EQ(r.ExpectedLength(), 0u);
    EXPECT_EQ(r.timeout_ms.value_or(0), 300u);
    EXPECT_EQ(r.silent_ms.value_or(0), 40u);

    ASSERT_EQ(mb::ParseTxRx("QUERY=0102&QUERY=FFFF&OTHER=zz", r), plat::S_OK);
    EXPECT_EQ(r.query, (std::vector<uint8_t>{0x01, 0x02})) << "the first QUERY counts";

    const std::string longest(256, 'A');
    ASSERT_EQ(mb::ParseTxRx("QUERY=" + longest, r), plat::S_OK);
    EXPECT_EQ(r.query.size(), 128u);

    for (const std::string& bad : std::vector<std::string>{
             "", "RESPONSE_LEN=7", "QUERY=", "QUERY=050", "QUERY=05G3", "QUERY=05 3", "XQUERY=0503",
             "QUERY=" + longest + "AA", "QUERY=0503&RESPONSE_LEN=x", "QUERY=0503&RESPONSE_LEN=257",
             "QUERY=0503&ADDRESS_EX=248", "QUERY=0503&TIMEOUT=0", "QUERY=0503&TIMEOUT=10001",
             "QUERY=0503&SILENT=", "QUERY=0503&TIMEOUT=-5", "QUERY=0503&TIMEOUT=4294967296"})
        EXPECT_EQ(mb::ParseTxRx(bad, r), plat::E_INVALIDARG) << bad;
}

// Records the host's branch and item calls; pItemDestroy and pParentCreate are plain
// functions, so they reach the test through globals.
std::vector<int32_t> g_destroyed;
std::vector<std::pair<std::u16string, int32_t>> g_branches;

class SystemHost : public RecordingHost {
  public:
    SystemHost() {
        g_destroyed.clear();
        g_branches.clear();
        host.pItemDestroy = [](int32_t h) { g_destroyed.push_back(h); };
        host.pParentCreate = [](const char16_t* name, int32_t parent) -> int32_t {
            g_branches.emplace_back(name, parent);
            return 50;
        };
        item_find = [this](const plat::WideString& name, int16_t& leaf, int32_t&) -> int32_t {
            leaf = 0;
            if (name == u"System") return 10;
            if (name == u"System.COM7" && !g_branches.empty()) return 50;
            return -1;
        };
        item_create = [this](mb::IModbusItem* item, const plat::WideString& name, plat::VARTYPE vt,
                             uint8_t access, int32_t parent, const char*, int32_t&) -> int32_t {
            created.push_back({name, vt, access, parent});
            items[name] = item;
            return 100 + static_cast<int32_t>(created.size());
        };
    }
    struct Created {
        std::u16string name;
        plat::VARTYPE vt;
        uint8_t access;
        int32_t parent;
    };
    std::vector<Created> created;
    std::map<std::u16string, mb::IModbusItem*> items;
};

class CapturePort : public FakePort {
  public:
    using FakePort::FakePort;
    int PortNumber() const override { return 7; }
    int Capture(uint8_t address, bool read_write) override {
        calls.push_back((read_write ? "W" : "R") + std::to_string(address));
        const int32_t now = captures[address];
        if ((read_write && now < 0) || (!read_write && now > 0)) return -10;
        captures[address] += read_write ? 1 : -1;
        return 0;
    }
    int Release(uint8_t address) override {
        calls.push_back("X" + std::to_string(address));
        if (address == 0)
            captures.clear();
        else
            captures.erase(address);
        return 0;
    }
    std::vector<std::string> calls;
};

// A client that answers from a script and notes the time-outs it ran with.
class ScriptedModbus : public mb::CLocalModbus {
  public:
    int Transaction(const uint8_t* request, size_t length, std::vector<uint8_t>& answer,
                    size_t expected, uint16_t encapsulation, size_t& answer_length) override {
        sent.emplace_back(request, request + length);
        seen_expected = expected;
        seen_encapsulation = encapsulation;
        seen_answer_timeout = GetAnswerTimeout();
        seen_silent_timeout = GetSilentTimeout();
        answer = reply;
        answer_length = reply.size();
        return code;
    }
    std::vector<std::vector<uint8_t>> sent;
    std::vector<uint8_t> reply;
    int code = mb::kMbOk;
    size_t seen_expected = 99;
    uint16_t seen_encapsulation = 0;
    uint32_t seen_answer_timeout = 0;
    uint32_t seen_silent_timeout = 0;
};

class SystemDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        modbus_.SetAnswerTimeout(200);
        modbus_.SetSilentTimeout(25);
        device_ = mb::MakeSystemDevice(&port_);
        ASSERT_TRUE(device_);
        sys_ = static_cast<mb::CComDevice*>(device_.get());
    }
    // A client write of the text through the item, run by the device's scan step; the
    // command's result.
    int32_t Write(const char16_t* item, const std::u16string& text) {
        auto it = host_.items.find(item);
        if (it == host_.items.end()) return -12345;
        const int32_t id = it->second->Write(plat::Variant::Str(plat::WideString(text)));
        if (id <= 0) return -23456;
        device_->Scan();
        for (auto& [rid, result] : host_.Results())
            if (rid == id) return result;
        return -34567;
    }
    std::u16string TxRxValue() {
        return static_cast<mb::CVariable*>(sys_->TxRxItem())->Value().bstrVal;
    }

    testsupport::TempRoot root_;  // first: the log reads the registry
    MemoryLog log_;
    SystemHost host_;
    ScriptedModbus modbus_;
    CapturePort port_{&log_, &host_, &modbus_};
    std::unique_ptr<mb::CDevice> device_;
    mb::CComDevice* sys_ = nullptr;
};

TEST_F(SystemDeviceTest, ItemsUnderThePortBranchAndTheirRemoval) {
    ASSERT_EQ(g_branches.size(), 1u);
    EXPECT_EQ(g_branches[0].first, u"COM7");
    EXPECT_EQ(g_branches[0].second, 10) << "the port branch goes under System";
    ASSERT_EQ(host_.created.size(), 2u);
    EXPECT_EQ(host_.created[0].name, u"Command");
    EXPECT_EQ(host_.created[1].name, u"TxRx");
    for (auto& c : host_.created) {
        EXPECT_EQ(c.vt, plat::VT_BSTR);
        EXPECT_EQ(c.access, 3);
        EXPECT_EQ(c.parent, 50);
    }
    auto* command = static_cast<mb::CVariable*>(sys_->CommandItem());
    EXPECT_EQ(command->Quality(), mb::kQualityGood);
    EXPECT_EQ(command->Value().vt, plat::VT_BSTR);
    EXPECT_TRUE(TxRxValue().empty());

    device_.reset();
    EXPECT_EQ(g_destroyed, (std::vector<int32_t>{101, 102, 50})) << "items first, then the branch";
    EXPECT_EQ(log_.Count("{95CA7308-2026-4040-ADB9-D26FA660BB31}"), 1u);
}

TEST_F(SystemDeviceTest, EmulatedPortsAndMissingSystemBranchGetNoItems) {
    FakePort emulated(&log_, &host_, &modbus_);
    emulated.real = false;
    EXPECT_FALSE(mb::MakeSystemDevice(&emulated));
    EXPECT_FALSE(mb::MakeSystemDevice(nullptr));

    host_.created.clear();
    host_.item_find = [](const plat::WideString&, int16_t&, int32_t&) { return -1; };
    g_destroyed.clear();
    {
        auto none = mb::MakeSystemDevice(&port_);
        ASSERT_TRUE(none);
        EXPECT_TRUE(host_.created.empty());
    }
    EXPECT_TRUE(g_destroyed.empty()) << "no branch of ours to remove";
}

TEST_F(SystemDeviceTest, CommandsCaptureAndReleaseThroughThePort) {
    EXPECT_EQ(Write(u"Command", u"CAPTUREW=5"), 0);
    EXPECT_EQ(Write(u"Command", u"CAPTURER=6"), 0);
    EXPECT_EQ(Write(u"Command", u"RELEASE=0"), 0);
    EXPECT_EQ(port_.calls, (std::vector<std::string>{"W5", "R6", "X0"}));
    EXPECT_EQ(log_.Count("{E0E12FF7-A946-4e2c-9951-225A32891247}"), 3u);
    EXPECT_EQ(Write(u"Command", u"CAPTURER=6"), 0);
    EXPECT_EQ(Write(u"Command", u"CAPTURER=6"), 0);
    EXPECT_EQ(Write(u"Command", u"CAPTUREW=6"), -10) << "the port's refusal is the result";

    port_.calls.clear();
    EXPECT_EQ(Write(u"Command", u"CAPTUREW=0"), plat::OPC_E_RANGE);
    EXPECT_EQ(Write(u"Command", u"CAPTUREW=248"), plat::OPC_E_RANGE);
    EXPECT_EQ(Write(u"Command", u"CAPTUREW=abc"), plat::E_INVALIDARG);
    EXPECT_EQ(Write(u"Command", u"RELEASE=abc"), plat::E_INVALIDARG);
    EXPECT_EQ(Write(u"Command", u"LOCK=5"), plat::OPC_E_RANGE);
    EXPECT_TRUE(port_.calls.empty()) << "refused commands reach no address";

    const int32_t id = host_.items[u"Command"]->Write(plat::Variant::I4(5));
    device_->Scan();
    EXPECT_EQ(host_.Results().back(), std::make_pair(id, int32_t{plat::E_INVALIDARG}));
}

TEST_F(SystemDeviceTest, TxRxNeedsTheCaptureAndSendsNothingWithout) {
    modbus_.reply = {0x05, 0x03, 0x02, 0x12, 0x34};
    EXPECT_EQ(Write(u"TxRx", u"QUERY=050300000001&RESPONSE_LEN=7"), plat::E_FAIL);
    EXPECT_TRUE(modbus_.sent.empty());
    EXPECT_TRUE(TxRxValue().empty());

    EXPECT_EQ(Write(u"TxRx", u"QUERY=050&RESPONSE_LEN=7"), plat::E_INVALIDARG);
    EXPECT_EQ(Write(u"TxRx", u"QUERY=05X3"), plat::E_INVALIDARG);

    port_.captures[5] = -1;  // read-only is enough
    EXPECT_EQ(Write(u"TxRx", u"QUERY=050300000001&RESPONSE_LEN=7"), 0);
    ASSERT_EQ(modbus_.sent.size(), 1u);
    EXPECT_EQ(modbus_.sent[0], (std::vector<uint8_t>{5, 3, 0, 0, 0, 1}));
    EXPECT_EQ(modbus_.seen_expected, 5u);
    EXPECT_EQ(modbus_.seen_encapsulation, 0);
    EXPECT_EQ(TxRxValue(), u"0503021234");
    EXPECT_EQ(static_cast<mb::CVariable*>(sys_->TxRxItem())->Quality(), mb::kQualityGood);
}

TEST_F(SystemDeviceTest, TimeoutsApplyForOneExchangeOnlyAndErrorsBecomeTheValue) {
    port_.captures[9] = 1;
    modbus_.code = mb::kMbTimeout;
    EXPECT_EQ(Write(u"TxRx", u"QUERY=0307&ADDRESS_EX=9&TIMEOUT=300&SILENT=40"), mb::kMbTimeout);
    EXPECT_EQ(modbus_.seen_answer_timeout, 300u);
    EXPECT_EQ(modbus_.seen_silent_timeout, 40u);
    EXPECT_EQ(modbus_.seen_encapsulation, 0x0942);
    EXPECT_EQ(modbus_.GetAnswerTimeout(), 200u);
    EXPECT_EQ(modbus_.GetSilentTimeout(), 25u);
    EXPECT_EQ(TxRxValue(), u"ERROR=1");

    modbus_.code = mb::kMbDeviceException + 2;
    EXPECT_EQ(Write(u"TxRx", u"QUERY=0307&ADDRESS_EX=9"), 0x8002);
    EXPECT_EQ(modbus_.seen_answer_timeout, 200u);
    EXPECT_EQ(TxRxValue(), u"ERROR=32770");
}

}  // namespace
