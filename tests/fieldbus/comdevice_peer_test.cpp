// The system device on a line: a libmodbus slave at address 5 on a pseudo-terminal, the real
// Modbus client, the service's item tree and command registry as the host, and the test
// stepping the device in place of the bus thread.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "fieldbus/core/ComDevice.h"
#include "platform/registry/registry.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/items/ExternalItems.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/PortManager.h"
#include "service/core/ports/SystemItems.h"
#include "tests/fieldbus/FieldbusKit.h"
#include "tests/fieldbus/LibmodbusPeer.h"

using namespace fbtest;
using plat::Variant;

namespace {

// Capture counts as the bus thread keeps them, minus the devices.
class CapturingPort : public mb::IDevicePort {
  public:
    CapturingPort(mb::CModbus* modbus, mb::CLogFile* log) : modbus_(modbus), log_(log) {}
    mb::CModbus* PortModbus() override { return modbus_; }
    mb::CLogFile* PortLog() override { return log_; }
    const mb::HostCallbacks* PortHost() override { return &drv::HostCallbackTable(); }
    int PortNumber() const override { return kCom; }
    int32_t CaptureCount(uint8_t a) override { return counts_[a]; }
    int Capture(uint8_t a, bool read_write) override {
        counts_[a] += read_write ? 1 : -1;
        return 0;
    }
    int Release(uint8_t a) override {
        if (a == 0)
            for (auto& c : counts_) c = 0;
        else
            counts_[a] = 0;
        return 0;
    }

  private:
    mb::CModbus* modbus_;
    mb::CLogFile* log_;
    int32_t counts_[256] = {};
};

class SystemDeviceLine : public LineTest {
  protected:
    void SetUp() override {
        LineTest::SetUp();
        ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, drv::kDrvKey, "Parameters",
                                         "PROTOCOL=3"),
                  plat::ERROR_SUCCESS);
        drv::InitProtocol(drv::kDrvKey, "Parameters");
        drv::InitNameSpace();
        drv::InitDriverItems();
        peer_ = std::make_unique<LibmodbusPeer>(pty_.FarFd(), 5);
        peer_->SetRegister(0, 0x1234);
        peer_->SetRegister(1, 0xABCD);
        mb_->SetAnswerTimeout(500);
        port_ = std::make_unique<CapturingPort>(mb_.get(), &dlog_);
        device_ = mb::MakeSystemDevice(port_.get());
        ASSERT_TRUE(device_);
    }
    void TearDown() override {
        device_.reset();
        peer_.reset();
        drv::DropExtItems();
        drv::DoneNameSpace();
        drv::DoneProtocol();
        LineTest::TearDown();
    }
    drv::ComPtr<drv::TExtLeafItem> Leaf(const char16_t* name) {
        int16_t leaf = 0;
        int32_t parent = -1;
        const int32_t h = ExtItemFind(name, &leaf, &parent);
        return h < 0 ? drv::ComPtr<drv::TExtLeafItem>() : drv::FindExtItem(h);
    }
    // A client write through the tree, run by the device's scan step; the command's result.
    int32_t Write(const char16_t* name, const std::u16string& text) {
        auto leaf = Leaf(name);
        if (!leaf) return -12345;
        const int32_t id = leaf->Write(Variant::Str(plat::WideString(text)), 0, 2, 1033);
        if (id < drv::kCmdBegin) return id;
        device_->Scan();
        return drv::CmdWait(id);
    }
    std::u16string TxRx() {
        Variant v;
        uint16_t quality = 0;
        plat::FILETIME t{};
        auto leaf = Leaf(u"System.COM7.TxRx");
        if (!leaf || leaf->ReadCurrent(plat::VT_BSTR, 1033, v, quality, t) != plat::S_OK)
            return u"<unreadable>";
        return v.bstrVal;
    }

    mb::CLogFile dlog_{"System.lg"};
    std::unique_ptr<LibmodbusPeer> peer_;
    std::unique_ptr<CapturingPort> port_;
    std::unique_ptr<mb::CDevice> device_;
};

TEST_F(SystemDeviceLine, CapturedAddressAnswersThroughTxRx) {
    ASSERT_TRUE(Leaf(u"System.COM7.Command"));
    ASSERT_TRUE(Leaf(u"System.COM7.TxRx"));
    EXPECT_EQ(Leaf(u"System.COM7.Command")->AccessRights(), 3);

    // Not captured: refused, and the slave hears nothing.
    EXPECT_EQ(Write(u"System.COM7.TxRx", u"QUERY=050300000001&RESPONSE_LEN=7"), plat::E_FAIL);
    EXPECT_EQ(Drain(300), "");
    EXPECT_EQ(peer_->Served() + peer_->Ignored(), 0);

    EXPECT_EQ(Write(u"System.COM7.Command", u"CAPTUREW=5"), 0);
    // One register: 7 bytes on the line with the CRC.
    EXPECT_EQ(Write(u"System.COM7.TxRx", u"QUERY=050300000001&RESPONSE_LEN=7"), 0);
    EXPECT_EQ(TxRx(), u"0503021234");
    EXPECT_EQ(Write(u"System.COM7.TxRx", u"QUERY=050300000002&RESPONSE_LEN=9"), 0);
    EXPECT_EQ(TxRx(),
              u"050304"
              u"1234ABCD");
    EXPECT_EQ(peer_->Served(), 2);

    EXPECT_EQ(Write(u"System.COM7.TxRx", u"QUERY=05030000000&RESPONSE_LEN=7"), plat::E_INVALIDARG);
    EXPECT_EQ(Write(u"System.COM7.TxRx", u"QUERY=0503ZZ000001"), plat::E_INVALIDARG);
    EXPECT_EQ(TxRx(),
              u"050304"
              u"1234ABCD")
        << "refused writes leave the value";

    EXPECT_EQ(Write(u"System.COM7.Command", u"RELEASE=0"), 0);
    EXPECT_EQ(Write(u"System.COM7.TxRx", u"QUERY=050300000001&RESPONSE_LEN=7"), plat::E_FAIL);
    EXPECT_EQ(peer_->Served(), 2);
}

TEST_F(SystemDeviceLine, ExchangeTimeoutsAreRestoredAfterSilence) {
    const uint32_t silent = mb_->GetSilentTimeout();
    mb_->SetAnswerTimeout(4000);
    EXPECT_EQ(Write(u"System.COM7.Command", u"CAPTUREW=6"), 0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Write(u"System.COM7.TxRx", u"QUERY=060300000001&RESPONSE_LEN=7&TIMEOUT=50&SILENT=9"),
              mb::kMbTimeout);
    EXPECT_LT(MsSince(t0), 2000) << "the exchange waited its own 50 ms, not the port's 4 s";
    EXPECT_EQ(TxRx(), u"ERROR=1");
    EXPECT_EQ(mb_->GetAnswerTimeout(), 4000u);
    EXPECT_EQ(mb_->GetSilentTimeout(), silent);

    EXPECT_EQ(Write(u"System.COM7.Command", u"CAPTUREW=abc"), plat::E_INVALIDARG);
    EXPECT_EQ(Write(u"System.COM7.Command", u"CAPTUREW=248"), plat::OPC_E_RANGE);
    EXPECT_EQ(port_->CaptureCount(6), 1) << "RELEASE=abc must not read as RELEASE=0";
    EXPECT_EQ(Write(u"System.COM7.Command", u"RELEASE=abc"), plat::E_INVALIDARG);
    EXPECT_EQ(port_->CaptureCount(6), 1);
}

TEST_F(SystemDeviceLine, StoppedDeviceTakesItsItemsAlong) {
    ASSERT_TRUE(Leaf(u"System.COM7.TxRx"));
    device_.reset();
    EXPECT_FALSE(Leaf(u"System.COM7.Command"));
    EXPECT_FALSE(Leaf(u"System.COM7.TxRx"));
}

}  // namespace
