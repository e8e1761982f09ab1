// A native port in emulation mode against the emulator table as registration fills it: a new
// registration takes over at the next exchange, a vanished emulator frees its slot.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/com/object.h"
#include "platform/registry/registry.h"
#include "platform/rpc/wire.h"
#include "platform/time/clock.h"
#include "platform/types/wstr.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/EmulatorTable.h"
#include "service/core/ports/NativePort.h"
#include "service/core/ports/PortManager.h"
#include "tests/support/ProtocolLines.h"
#include "tests/support/TempRoot.h"
#include "tests/support/ZrnOracle.h"

using plat::ComPtr;
using plat::HRESULT;

namespace {

struct Owner final : drv::IPortOwner {
    int last = 999;
    void SetPortState(int code) override { last = code; }
    void ClearSeen() override {}
};

// Answers every request with data "123"; once `gone`, every call fails as a proxy whose
// process ended does; while `hung`, as a proxy whose process did not answer within the
// callback time-out.
class Emu : public plat::ComObject<tlb::IHWEmu> {
  public:
    HRESULT WriteCall(const plat::WideString& call) override {
        ++calls;
        if (hung) return plat::rpc::RPC_E_TIMEOUT;
        if (gone) return plat::RPC_E_DISCONNECTED;
        ++writes;
        const std::string f = plat::WideToBytes(call);
        pending_ = plat::BytesToWide(testsupport::AnswerFrame(static_cast<uint8_t>(f[1]),
                                                              static_cast<uint8_t>(f[2]), "123"));
        return plat::S_OK;
    }
    HRESULT ReadAnswer(plat::WideString* answer) override {
        ++calls;
        if (hung) return plat::rpc::RPC_E_TIMEOUT;
        if (gone) return plat::RPC_E_DISCONNECTED;
        *answer = std::move(pending_);
        pending_.clear();
        return plat::S_OK;
    }
    HRESULT Purge() override {
        ++calls;
        if (hung) return plat::rpc::RPC_E_TIMEOUT;
        if (gone) return plat::RPC_E_DISCONNECTED;
        pending_.clear();
        return plat::S_OK;
    }
    std::atomic<bool> gone{false};
    std::atomic<bool> hung{false};
    std::atomic<int> writes{0};
    std::atomic<int> calls{0};

  private:
    plat::WideString pending_;
};

class EmulatorLine : public ::testing::Test {
  protected:
    static constexpr int kCom = 7;
    void SetUp() override {
        ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, drv::kDrvKey, "Parameters",
                                         "PROTOCOL=4"),
                  plat::ERROR_SUCCESS);
        drv::InitProtocol(drv::kDrvKey, "Parameters");
    }
    void TearDown() override {
        drv::ClearEmulators();
        drv::DoneProtocol();
    }
    bool Exchange(drv::TZrnPort& port) {
        std::string ans;
        return port.Transact(1, 'X', "94", 9, ans);
    }
    void Reg(const ComPtr<Emu>& e) {
        ASSERT_TRUE(drv::SetEmulator(kCom, ComPtr<tlb::IHWEmu>(e.Get())));
    }

    testsupport::TempRoot root_;
    plat::ScopedFakeClock clock_;
    Owner owner_;
};

}  // namespace

TEST_F(EmulatorLine, ANewRegistrationTakesOverAtTheNextExchange) {
    auto first = plat::MakeCom<Emu>();
    auto second = plat::MakeCom<Emu>();
    Reg(first);
    drv::TZrnPort port(&owner_, 9600, true, kCom);
    ASSERT_EQ(port.Open(), drv::kPortOk);
    ASSERT_TRUE(Exchange(port));
    EXPECT_EQ(first->writes.load(), 1);

    Reg(second);  // while the first still answers
    ASSERT_TRUE(Exchange(port));
    EXPECT_EQ(second->writes.load(), 1);
    EXPECT_EQ(first->writes.load(), 1) << "the replaced emulator got the exchange";
    EXPECT_EQ(owner_.last, drv::kPortOk) << "no restart of the port";
}

TEST_F(EmulatorLine, AVanishedEmulatorFreesItsSlotAndTheNextOneIsTaken) {
    auto dead = plat::MakeCom<Emu>();
    Reg(dead);
    drv::TZrnPort port(&owner_, 9600, true, kCom);
    ASSERT_EQ(port.Open(), drv::kPortOk);
    ASSERT_TRUE(Exchange(port));

    dead->gone = true;
    EXPECT_FALSE(Exchange(port));
    EXPECT_FALSE(drv::GetEmulator(kCom)) << "the dead emulator kept its slot";
    EXPECT_EQ(owner_.last, drv::kPortNoEmulator);
    EXPECT_FALSE(port.IsOpen());

    auto next = plat::MakeCom<Emu>();
    Reg(next);
    clock_->Advance(drv::TZrnPort::kReopenIntervalMs);
    ASSERT_TRUE(port.OpenIfDue());
    EXPECT_EQ(owner_.last, drv::kPortOk);
    ASSERT_TRUE(Exchange(port));
    EXPECT_EQ(next->writes.load(), 1);
}

TEST_F(EmulatorLine, AnEmulatorThatStopsAnsweringLeavesThePortUntilItAnswersAgain) {
    drv::SetProtocolHook(&testsupport::ProtocolLines::Record);
    testsupport::ProtocolLines::Clear();
    auto emu = plat::MakeCom<Emu>();
    Reg(emu);
    drv::TZrnPort port(&owner_, 9600, true, kCom);
    ASSERT_EQ(port.Open(), drv::kPortOk);
    ASSERT_TRUE(Exchange(port));

    emu->hung = true;
    const int before = emu->calls.load();
    EXPECT_FALSE(Exchange(port));
    EXPECT_EQ(emu->calls.load(), before + 1) << "the port waited on the silent emulator again";
    EXPECT_EQ(owner_.last, drv::kPortNoEmulator);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(Exchange(port)) << "an exchange with a silent emulator fails at once";
    EXPECT_FALSE(port.OpenIfDue()) << "asked again before its interval";
    EXPECT_EQ(emu->calls.load(), before + 1);

    clock_->Advance(drv::kSilentProbeMs);
    EXPECT_FALSE(port.OpenIfDue()) << "still silent";
    EXPECT_EQ(emu->calls.load(), before + 2) << "one call asks whether it answers again";
    EXPECT_EQ(owner_.last, drv::kPortNoEmulator);
    EXPECT_TRUE(drv::EmulatorSlotFor(kCom)->acquire(drv::EmulatorSlotFor(kCom)->context) == nullptr)
        << "a library port would wait on it";

    emu->hung = false;
    clock_->Advance(drv::kSilentProbeMs);
    ASSERT_TRUE(port.OpenIfDue());
    EXPECT_EQ(owner_.last, drv::kPortOk);
    ASSERT_TRUE(Exchange(port));
    EXPECT_EQ(testsupport::ProtocolLines::Count("Emulator of COM7 does not answer"), 1);

    // Silent again, and a new emulator registers: it serves the port without a wait.
    emu->hung = true;
    EXPECT_FALSE(Exchange(port));
    auto next = plat::MakeCom<Emu>();
    Reg(next);
    clock_->Advance(drv::TZrnPort::kReopenIntervalMs);
    ASSERT_TRUE(port.OpenIfDue());
    ASSERT_TRUE(Exchange(port));
    EXPECT_EQ(next->writes.load(), 1);
    drv::SetProtocolHook(nullptr);
}

TEST_F(EmulatorLine, AFailureOfTheOldEmulatorLeavesANewRegistrationAlone) {
    auto old = plat::MakeCom<Emu>();
    auto fresh = plat::MakeCom<Emu>();
    Reg(fresh);
    EXPECT_FALSE(drv::ClearEmulatorIf(kCom, old.Get()));
    EXPECT_EQ(drv::GetEmulator(kCom).Get(), static_cast<tlb::IHWEmu*>(fresh.Get()));
    EXPECT_FALSE(drv::ClearEmulatorIf(kCom, nullptr));
    EXPECT_TRUE(drv::ClearEmulatorIf(kCom, fresh.Get()));
    EXPECT_FALSE(drv::GetEmulator(kCom));
}
