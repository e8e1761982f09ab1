// The library's variables in the service's item tree: a device on a pseudo-terminal with a
// libmodbus slave behind it, the service's tree and command registry on the host side, and
// the test stepping the device in place of the bus thread.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "fieldbus/core/Device.h"
#include "fieldbus/core/Variable.h"
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

class HostPort : public mb::IDevicePort {
  public:
    HostPort(mb::CModbus* modbus, mb::CLogFile* log) : modbus_(modbus), log_(log) {}
    mb::CModbus* PortModbus() override { return modbus_; }
    mb::CLogFile* PortLog() override { return log_; }
    const mb::HostCallbacks* PortHost() override { return &drv::HostCallbackTable(); }
    int32_t CaptureCount(uint8_t) override { return 0; }

  private:
    mb::CModbus* modbus_;
    mb::CLogFile* log_;
};

// A level it reads (two registers at 10) and a set point it reads and writes (at 20).
class Tank : public mb::CDevice {
  public:
    Tank(uint8_t address, mb::IDevicePort* port) : CDevice(address, port) {
        slots[0] = {.raw_type = plat::VT_I4,
                    .min_interval_ms = 0,
                    .parent = "Mb1",
                    .name = "Level",
                    .reg = 10,
                    .access = 1};
        slots[1] = {.raw_type = plat::VT_I4,
                    .min_interval_ms = 0,
                    .parent = "Mb1",
                    .name = "SetPoint",
                    .reg = 20,
                    .access = 3};
    }
    ~Tank() override { DestroyVariables(slots); }
    int Scan() override {
        for (auto& s : slots)
            if (s.variable != nullptr) ReadVariable(*s.variable);
        return 1;
    }
    int WriteItem(mb::CDeviceItem* item, Variant& value, int32_t id) override {
        const int code = WriteVariant(item->ItemRegister(), value);
        SetWriteResult(id, code);
        return code;
    }
    mb::ItemSlot slots[2];
};

class LibraryItems : public LineTest {
  protected:
    void SetUp() override {
        LineTest::SetUp();
        ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, drv::kDrvKey, "Parameters",
                                         "PROTOCOL=3"),
                  plat::ERROR_SUCCESS);
        drv::InitProtocol(drv::kDrvKey, "Parameters");
        drv::InitNameSpace();
        drv::InitDriverItems();
        ASSERT_GE(ExtParentCreate(u"Mb1", -1), 0);
        peer_ = std::make_unique<LibmodbusPeer>(pty_.FarFd(), 5);
        mb_->SetAnswerTimeout(500);
        port_ = std::make_unique<HostPort>(mb_.get(), &dlog_);
        tank_ = std::make_unique<Tank>(5, port_.get());
    }
    void TearDown() override {
        tank_.reset();
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

    mb::CLogFile dlog_{"Tank.lg"};
    std::unique_ptr<LibmodbusPeer> peer_;
    std::unique_ptr<HostPort> port_;
    std::unique_ptr<Tank> tank_;
};

TEST_F(LibraryItems, ValuesAndWritesCrossTheBoundary) {
    ASSERT_TRUE(tank_->CreateVariables(tank_->slots));
    auto level = Leaf(u"Mb1.Level");
    auto set_point = Leaf(u"Mb1.SetPoint");
    ASSERT_TRUE(level);
    ASSERT_TRUE(set_point);
    EXPECT_EQ(level->AccessRights(), 1);
    EXPECT_EQ(set_point->AccessRights(), 3);

    // A register change reaches the leaf with good quality.
    peer_->SetRegister(10, 0);
    peer_->SetRegister(11, 1234);
    tank_->Scan();
    Variant v;
    uint16_t quality = 0;
    plat::FILETIME t{};
    ASSERT_EQ(level->ReadCurrent(plat::VT_I4, 1033, v, quality, t), plat::S_OK);
    EXPECT_EQ(quality, 192);
    EXPECT_EQ(v.lVal, 1234);

    // A client write: leaf -> variable -> queue -> the slave's register -> the command's result.
    const int32_t id = set_point->Write(Variant::I4(6), 0, 2, 1033);
    ASSERT_GE(id, drv::kCmdBegin) << id;
    EXPECT_EQ(tank_->WriteQueue().GetCount(), 1u);
    tank_->ExecuteNextWrite();
    EXPECT_EQ(peer_->Register(20), 0);
    EXPECT_EQ(peer_->Register(21), 6);
    EXPECT_EQ(drv::CmdWait(id), 0);

    // The properties come from the library's variable.
    EXPECT_EQ(set_point->GetItemProperty(5000, 1049, v), plat::S_OK);
    EXPECT_EQ(v.boolVal, plat::VARIANT_TRUE);
    EXPECT_EQ(set_point->GetItemProperty(104, 1049, v), plat::OPC_E_INVALID_PID);

    // After the library removed the items nothing reaches its variables, which are gone.
    auto* var = static_cast<mb::CVariable*>(tank_->slots[1].variable);
    var->AddRef();
    tank_->DestroyVariables(tank_->slots);
    EXPECT_EQ(tank_->slots[1].variable, nullptr);
    var->SetReadRequests(0);
    EXPECT_EQ(set_point->Write(Variant::I4(7), 0, 2, 1033), plat::OPC_E_UNKNOWNITEMID);
    set_point->RequestRefresh();
    EXPECT_EQ(set_point->GetItemProperty(5000, 1049, v), plat::OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(var->ReadRequests(), 0);
    EXPECT_EQ(tank_->WriteQueue().GetCount(), 0u);
    EXPECT_EQ(tank_->ReadBacksPending(), 0);
    EXPECT_EQ(var->Release(), 0u) << "the host let go of its reference";
    EXPECT_FALSE(Leaf(u"Mb1.SetPoint")) << "the item left the tree";
}

}  // namespace
