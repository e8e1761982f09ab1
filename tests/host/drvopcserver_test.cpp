// The DA2 server object in this process: driver control, error texts, the wait for a friend's
// name and emulator registration.
#include <gtest/gtest.h>

#include <map>

#include "platform/com/callcontext.h"
#include "platform/registry/registry.h"
#include "platform/time/clock.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/wstr.h"
#include "service/core/controllers/PollThread.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/EmulatorTable.h"
#include "service/core/ports/PortManager.h"
#include "service/core/ports/SystemItems.h"
#include "service/host/DrvOPCServer.h"
#include "tests/support/TempRoot.h"

using drv::ComPtr;
using plat::HRESULT;

namespace {

class CountingPort : public drv::TPortObject {
  public:
    int PostCount() const override { return 0; }
    bool Registered() const override { return true; }
};

class NullEmu : public plat::ComObject<tlb::IHWEmu> {
  public:
    HRESULT WriteCall(const plat::WideString&) override { return plat::S_OK; }
    HRESULT ReadAnswer(plat::WideString* a) override {
        a->clear();
        return plat::S_OK;
    }
    HRESULT Purge() override { return plat::S_OK; }
};

std::string Take(char16_t* p) {
    std::string s = p ? plat::WideToUtf8(p) : std::string("(null)");
    plat::CoTaskMemFree(p);
    return s;
}

class DrvServer : public ::testing::Test {
  protected:
    void SetUp() override {
        drv::SetPortFactory(
            drv::PortKind::Native,
            [this](const drv::PortStartInfo& info) -> std::unique_ptr<drv::TPortObject> {
                ++starts_[info.index];
                drv::SetPortStatusCell(info.index, 7);
                drv::SetPortInfoCell(info.index, 40 + info.index);
                return std::make_unique<CountingPort>();
            });
    }
    void TearDown() override {
        server_ = nullptr;
        drv::StopPorts();
        drv::SetPortFactory(drv::PortKind::Native, nullptr);
        drv::SetParametersChangedHook(nullptr);
        drv::SetLoadAddrSpaceHook(nullptr);
        drv::ClearEmulators();
        drv::SearchMode().store(0);
        if (started_) {
            drv::DoneNameSpace();
            drv::DoneProtocol();
        }
    }
    void Start(const std::string& params) {
        Store(params);
        drv::InitProtocol(drv::kDrvKey, "Parameters");
        drv::InitNameSpace();
        drv::InitDriverItems();
        drv::StartPorts();
        started_ = true;
        server_ = drv::TDrvOPCServer::Create();
    }
    void Store(const std::string& params) {
        ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, drv::kDrvKey, "Parameters",
                                         params),
                  plat::ERROR_SUCCESS);
    }
    std::string ErrorString(HRESULT code, plat::LCID lcid) {
        char16_t* s = nullptr;
        EXPECT_EQ(static_cast<opc::IOPCServer*>(server_.Get())->GetErrorString(code, lcid, &s),
                  plat::S_OK);
        return Take(s);
    }

    testsupport::TempRoot root_;
    plat::ScopedFakeClock clock_;  // sleeps move time at once
    std::map<int, int> starts_;
    ComPtr<drv::TDrvOPCServer> server_;
    bool started_ = false;
};

}  // namespace

TEST_F(DrvServer, ThreadStateOfPortsAndOfNumbersOutsideTheTable) {
    Start("PORT=CUST COM3=ZRN");
    int32_t state = 99, passes = 99;
    ASSERT_EQ(server_->GetThreadState(3, &state, &passes), plat::S_OK);
    EXPECT_EQ(state, 7);
    EXPECT_EQ(passes, 42);
    ASSERT_EQ(server_->GetThreadState(1, &state, &passes), plat::S_OK);
    EXPECT_EQ(state, drv::kPortNotOpen) << "configured without a protocol word";
    for (int8_t bad : {int8_t{0}, int8_t{33}, int8_t{-1}, int8_t{127}}) {
        state = 99;
        ASSERT_EQ(server_->GetThreadState(bad, &state, &passes), plat::S_OK) << int(bad);
        EXPECT_EQ(state, -3) << int(bad);
    }
    EXPECT_EQ(server_->GetThreadState(3, nullptr, &passes), plat::E_POINTER);
}

TEST_F(DrvServer, SearchModeStoresOneForAnyTrueAndZeroesThePassCounts) {
    Start("PORT=CUST COM1=ZRN COM2=ZRN");
    ASSERT_EQ(drv::PortInfo(1), 41);
    // A poll thread that is not running, to see how it ranks an empty address.
    auto poll = drv::TProcessThread::CreateStopped(9, 9600, true, 0, false);
    EXPECT_EQ(poll->MakeProbeRecord(5).busy, 0);

    ASSERT_EQ(server_->SetSearchMode(-1), plat::S_OK);  // a client's TRUE
    EXPECT_EQ(drv::SearchMode().load(), 1) << "the field-bus library searches only while it is 1";
    EXPECT_EQ(drv::PortInfo(0), 0);
    EXPECT_EQ(drv::PortInfo(1), 0);
    EXPECT_EQ(poll->MakeProbeRecord(5).busy, 1) << "probes rank first while searching";

    drv::SetPortInfoCell(1, 5);
    ASSERT_EQ(server_->SetSearchMode(0), plat::S_OK);
    EXPECT_EQ(drv::SearchMode().load(), 0);
    EXPECT_EQ(drv::PortInfo(1), 5) << "ending a search keeps the counts";
    EXPECT_EQ(poll->MakeProbeRecord(5).busy, 0);

    ASSERT_EQ(server_->SetSearchMode(1), plat::S_OK);
    EXPECT_EQ(drv::SearchMode().load(), 1);
    EXPECT_EQ(drv::PortInfo(1), 0);
}

TEST_F(DrvServer, RestartRereadsTheStringRestartsChangedPortsAndRefreshesTheSystemItems) {
    Start("PORT=CUST COM1=ZRN COM2=ZRN");
    ASSERT_EQ(starts_[0], 1);
    ASSERT_EQ(starts_[1], 1);
    Store("PORT=CUST COM1=ZRN COM2=ZRN9600 COM3=ZRN");
    ASSERT_EQ(server_->Restart(), plat::S_OK);
    EXPECT_EQ(starts_[0], 1) << "an unchanged port keeps running";
    EXPECT_EQ(starts_[1], 2);
    EXPECT_EQ(starts_[2], 1) << "a newly configured port starts";
    auto all = drv::GetItemAs<drv::TLeafItem>(drv::FindLeafID("System.AllParameters"));
    ASSERT_TRUE(all);
    EXPECT_EQ(plat::WideToUtf8(all->PeekValue().bstrVal),
              "PORT=CUST COM1=ZRN COM2=ZRN9600 COM3=ZRN");

    ASSERT_EQ(server_->Restart(), plat::S_OK);
    EXPECT_EQ(starts_[1], 2) << "nothing changed, nothing restarts";
}

TEST_F(DrvServer, RestartWithAnUnreadableStringKeepsThePortsAndFails) {
    Start("PORT=CUST COM1=ZRN");
    ASSERT_EQ(drv::PortStatus(0), 7);
    testsupport::WriteFile(plat::reg::HiveFile(plat::reg::Hive::LocalMachine), "not a hive\n");
    EXPECT_TRUE(plat::Failed(server_->Restart()));
    EXPECT_EQ(drv::PortStatus(0), 7) << "the running port stays";
    EXPECT_EQ(starts_[0], 1);
    EXPECT_TRUE(drv::PortRunning(0));
    EXPECT_EQ(drv::CachedParameters(), "PORT=CUST COM1=ZRN");
    auto all = drv::GetItemAs<drv::TLeafItem>(drv::FindLeafID("System.AllParameters"));
    ASSERT_TRUE(all);
    EXPECT_EQ(plat::WideToUtf8(all->PeekValue().bstrVal), "PORT=CUST COM1=ZRN");
}

TEST_F(DrvServer, UsePortNeedsAnAdministratorAndAPortNumber) {
    Start("PORT=CUST COM1=ZRN COM2=ZRN");
    ComPtr<drv::TDrvOPCServer> plain;
    {
        plat::CallContext ctx;
        ctx.transported = true;
        ctx.uid = 65534;
        ctx.gid = 65534;
        ctx.admin = false;
        plat::CallContextScope scope(ctx);
        plain = drv::TDrvOPCServer::Create();
    }
    ASSERT_FALSE(plain->Privileged());
    for (int32_t port : {1, 2, 0, 33, -1})
        EXPECT_EQ(plain->SetUsePort(port, 0), plat::E_ACCESSDENIED) << port;
    EXPECT_TRUE(drv::PortRunning(0));

    ASSERT_TRUE(server_->Privileged());
    EXPECT_EQ(server_->SetUsePort(0, 0), plat::E_INVALIDARG);
    EXPECT_EQ(server_->SetUsePort(33, 1), plat::E_INVALIDARG);
    EXPECT_EQ(server_->SetUsePort(1, 0), plat::S_OK);
    EXPECT_FALSE(drv::PortRunning(0));
    EXPECT_EQ(drv::PortStatus(0), drv::kPortSwitchedOff);
    EXPECT_EQ(server_->SetUsePort(1, 0), plat::S_FALSE);
    EXPECT_EQ(server_->SetUsePort(1, -1), plat::S_OK);
    EXPECT_TRUE(drv::PortRunning(0));
    EXPECT_EQ(server_->SetUsePort(1, 1), plat::S_FALSE);
}

TEST_F(DrvServer, DriverErrorTextsComeBeforeTheInheritedOnes) {
    Start("PORT=CUST");
    EXPECT_EQ(ErrorString(-5, 1049), "Нет ответа от устройства");
    EXPECT_EQ(ErrorString(-5, 1033), "No answer from device");
    EXPECT_EQ(ErrorString(-5, 0x0819), "Нет ответа от устройства") << "any Russian sublanguage";
    EXPECT_EQ(ErrorString(-2, 1033), "Requested actions available only on idle state (State = 0)");
    EXPECT_EQ(ErrorString(static_cast<HRESULT>(0x80000000), 1033),
              "Can't write address value conflicted with other device");
    EXPECT_EQ(ErrorString(-11, 1049),
              "Невозможно захватить устройство, оно находится в недопустимом состоянии");
    // Not a driver code: the server's own table answers.
    EXPECT_EQ(ErrorString(plat::E_ACCESSDENIED, 1033),
              drv::OPCErrorText(plat::E_ACCESSDENIED, 1033));
    EXPECT_EQ(ErrorString(-6, 1033), drv::OPCErrorText(-6, 1033));

    char16_t* s = nullptr;
    ASSERT_EQ(server_->SetLocaleID(1049), plat::S_OK);
    ASSERT_EQ(static_cast<opc::IOPCCommon*>(server_.Get())->GetErrorString(-4, &s), plat::S_OK);
    EXPECT_EQ(Take(s), "Нет поста с указанным номером");
}

TEST_F(DrvServer, BrowsingWaitsForAFriendNameUntilFiveSecondsAfterTheStart) {
    Start("PORT=CUST");
    auto browse = [&](drv::TDrvOPCServer& s) {
        opc::IEnumString* e = nullptr;
        EXPECT_EQ(s.BrowseOPCItemIDs(opc::OPC_FLAT, u"", plat::VT_EMPTY, 0, &e), plat::S_OK);
        if (e) e->Release();
    };
    // A stranger waits out the five seconds since its server was made.
    const uint32_t start = server_->StartTick();
    plat::Sleep(1000);
    browse(*server_);
    const uint32_t waited = plat::TickDiff(plat::GetTickCount(), start);
    EXPECT_GE(waited, drv::kClientNameWaitMs);
    EXPECT_LT(waited, drv::kClientNameWaitMs + drv::kClientNameLookMs);
    // Once the time is up, at once.
    const uint32_t again = plat::GetTickCount();
    browse(*server_);
    EXPECT_EQ(plat::GetTickCount(), again);

    // A friend never waits.
    auto friendly = drv::TDrvOPCServer::Create();
    ASSERT_EQ(friendly->SetClientName(std::u16string(drv::kFriendClientName).c_str()), plat::S_OK);
    const uint32_t before = plat::GetTickCount();
    browse(*friendly);
    EXPECT_EQ(plat::GetTickCount(), before);
}

TEST_F(DrvServer, EmulatorRegistrationTakesPortsOneToThirtyTwoOnly) {
    Start("PORT=CUST");
    auto emu = plat::MakeCom<NullEmu>();
    for (int32_t bad : {0, 33, -1, 256}) {
        int32_t protocol = 77;
        EXPECT_EQ(server_->Reg(bad, &protocol, emu.Get()), plat::E_INVALIDARG) << bad;
        EXPECT_EQ(server_->Unreg(bad), plat::E_INVALIDARG) << bad;
    }
    EXPECT_FALSE(drv::GetEmulator(33)) << "the table reaches further than the ports";

    int32_t protocol = 77;
    ASSERT_EQ(server_->Reg(32, &protocol, emu.Get()), plat::S_OK);
    EXPECT_EQ(protocol, 0);
    EXPECT_EQ(drv::GetEmulator(32).Get(), static_cast<tlb::IHWEmu*>(emu.Get()));
    auto other = plat::MakeCom<NullEmu>();
    ASSERT_EQ(server_->Reg(32, &protocol, other.Get()), plat::S_OK);
    EXPECT_EQ(drv::GetEmulator(32).Get(), static_cast<tlb::IHWEmu*>(other.Get()))
        << "a new Reg replaces";
    ASSERT_EQ(server_->Unreg(32), plat::S_OK);
    EXPECT_FALSE(drv::GetEmulator(32));
}

TEST_F(DrvServer, ClassObjectMakesAServerPerCreationWithBothInterfaces) {
    Start("PORT=CUST");
    auto factory = drv::MakeDrvOPCServerFactory();
    tlb::IDrvControl* a = nullptr;
    tlb::IDrvControl* b = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, tlb::IID_IDrvControl, reinterpret_cast<void**>(&a)),
              plat::S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, tlb::IID_IDrvControl, reinterpret_cast<void**>(&b)),
              plat::S_OK);
    EXPECT_NE(a, b);
    tlb::IHWEmuReg* reg = nullptr;
    ASSERT_EQ(a->QueryInterface(tlb::IID_IHWEmuReg, reinterpret_cast<void**>(&reg)), plat::S_OK);
    opc::IOPCServer* opc_server = nullptr;
    ASSERT_EQ(reg->QueryInterface(opc::IID_IOPCServer, reinterpret_cast<void**>(&opc_server)),
              plat::S_OK);
    opc_server->Release();
    reg->Release();
    a->Release();
    b->Release();

    const uint32_t cookie = drv::RegisterDrvOPCServerClass();
    EXPECT_NE(cookie, 0u);
    EXPECT_EQ(drv::RegisterDrvOPCServerClass(), 0u) << "one class object for DA2";
    EXPECT_EQ(plat::RevokeClassObject(cookie), plat::S_OK);
}
