// Fixtures of the host tests: a process clock that runs fast but steadily, posts built straight
// into the item tree, posts of simulated controllers found by a running poll thread, and a sink
// that records what it is told.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/classes.h"
#include "platform/com/object.h"
#include "platform/registry/registry.h"
#include "platform/rpc/server.h"
#include "platform/time/clock.h"
#include "platform/types/datetime.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/controllers/ControllerBase.h"
#include "service/core/controllers/ControllerClasses.h"
#include "service/core/controllers/PollThread.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/EmulatorTable.h"
#include "service/core/ports/PortManager.h"
#include "service/core/posts/PostItems.h"
#include "service/host/AdvThread.h"
#include "service/host/TRKSrv.h"
#include "tests/support/Eventually.h"
#include "tests/support/InstallDrivers.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempRoot.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

namespace hosttest {

using drv::ComPtr;
using plat::HRESULT;
using plat::S_OK;

// The class store's record of `clsid` as served by this test program; the result of storing it.
inline long RegisterTestClass(const plat::CLSID& clsid, std::string_view description) {
    plat::ClassRegistration r;
    r.clsid = clsid;
    r.description = std::string(description);
    r.server_path = "/proc/self/exe";
    return plat::RegisterClass(r);
}

// The transport on the root's own socket, local callers only.
inline plat::rpc::ServerOptions LocalTransport(const std::string& socket_path) {
    plat::rpc::ServerOptions o;
    o.socket_path = socket_path;
    o.socket_activation = false;
    o.tcp_enabled = false;
    return o;
}

// Polls a predicate for up to `ms` of real time (10 s unless told).
using testsupport::Eventually;

// A fake process clock moved by a thread at `speed` times real time: long time-outs pass
// quickly, yet every waiter sleeps instead of spinning and the order of events stays natural.
class PacedClock {
  public:
    explicit PacedClock(int speed = 50) : clock_(false), speed_(speed) {
        plat::SetClock(&clock_);
        pacer_ = std::thread([this] {
            auto last = std::chrono::steady_clock::now();
            int64_t carry_us = 0;
            while (!stop_.load()) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                auto now = std::chrono::steady_clock::now();
                carry_us +=
                    std::chrono::duration_cast<std::chrono::microseconds>(now - last).count() *
                    speed_;
                last = now;
                if (carry_us >= 1000) {
                    clock_.Advance(static_cast<uint32_t>(carry_us / 1000));
                    carry_us %= 1000;
                }
            }
        });
    }
    ~PacedClock() {
        stop_.store(true);
        pacer_.join();
        plat::SetClock(nullptr);
    }
    plat::FakeClock& Fake() { return clock_; }
    uint32_t Tick() { return clock_.TickCount(); }

  private:
    plat::FakeClock clock_;
    const int speed_;
    std::atomic<bool> stop_{false};
    std::thread pacer_;
};

// Records the events it is told, in order; can be told to fail or to act inside an event.
class RecordingSink : public plat::ComObject<tlb::INorvaltEventsEx, tlb::INorvaltEvents> {
  public:
    HRESULT PostFound(int8_t post) override { return Note("PostFound " + std::to_string(post)); }
    HRESULT StateChanged(int8_t post, tlb::TState st) override {
        last_state_time = st.TimeStamp;
        return Note("StateChanged " + std::to_string(post) + " " + std::to_string(st.Value));
    }
    HRESULT VarValueChanged(int8_t post, tlb::TVariableEnum var, tlb::TVariableValue v) override {
        return Note("VarValueChanged " + std::to_string(post) + " " + std::to_string(var) + " " +
                    std::to_string(v.Value.int64));
    }
    HRESULT PostDeleted(int8_t post) override {
        return Note("PostDeleted " + std::to_string(post));
    }
    HRESULT PostWithoutChanges(int8_t post, plat::DATE stamp) override {
        last_quiet_stamp = stamp;
        return Note("PostWithoutChanges " + std::to_string(post));
    }

    std::vector<std::string> Events() {
        std::lock_guard lk(m_);
        return events_;
    }
    size_t Count() {
        std::lock_guard lk(m_);
        return events_.size();
    }
    size_t CountOf(const std::string& prefix) {
        std::lock_guard lk(m_);
        size_t n = 0;
        for (auto& e : events_) n += e.rfind(prefix, 0) == 0;
        return n;
    }
    bool WaitFor(const std::string& event, int ms = 10000) {
        return Eventually([&] { return Has(event); }, ms);
    }
    bool Has(const std::string& event) {
        std::lock_guard lk(m_);
        return std::find(events_.begin(), events_.end(), event) != events_.end();
    }
    void Clear() {
        std::lock_guard lk(m_);
        events_.clear();
    }

    std::atomic<HRESULT> fail{S_OK};
    std::function<void(const std::string&)> on_event;  // set before registering
    std::atomic<double> last_state_time{0};
    std::atomic<double> last_quiet_stamp{0};

  private:
    HRESULT Note(std::string e) {
        {
            std::lock_guard lk(m_);
            events_.push_back(e);
        }
        if (on_event) on_event(e);
        return fail.load();
    }
    std::mutex m_;
    std::vector<std::string> events_;
};

// Holds the event thread inside the sink's call for one event (once armed) until opened, or at
// most 30 s, as a slow or stuck client would.
class SinkGate {
  public:
    SinkGate(RecordingSink& sink, std::string event, bool armed = true)
        : event_(std::move(event)), armed_(armed), entered_future_(entered_.get_future()) {
        sink.on_event = [this](const std::string& e) {
            if (!armed_.load() || e != event_) return;
            armed_ = false;
            entered_.set_value();
            std::unique_lock lk(m_);
            cv_.wait_for(lk, std::chrono::seconds(30), [&] { return open_; });
        };
    }
    void Arm() { armed_ = true; }
    // True once the thread is inside the call.
    bool Entered(int seconds = 20) {
        return entered_future_.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
    }
    void Open() {
        {
            std::lock_guard lk(m_);
            open_ = true;
        }
        cv_.notify_all();
    }

  private:
    const std::string event_;
    std::atomic<bool> armed_;
    std::promise<void> entered_;
    std::future<void> entered_future_;
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

// A post made straight in the item tree: its State item and the variables asked for.
struct DirectPost {
    int number = 0;
    int32_t branch = -1;
    ComPtr<drv::TStateItem> state;
    std::vector<ComPtr<drv::TVarItem>> vars;

    ComPtr<drv::TVarItem> Var(int code) {
        for (auto& v : vars)
            if (v->Code() == code) return v;
        return {};
    }
    void SetState(int32_t s) { state->SetStateValue(s, plat::NowLocal()); }
    void SetVar(int code, int64_t value) {
        Var(code)->StoreValue(value, plat::NowLocal(), drv::LQ_FRESH);
    }
    void Remove() {
        if (auto b = drv::GetItem(branch)) b->RemoveFromNS();
    }
};

// Common records of the variables the direct posts use (indexes into the common table).
enum CommonRecord {
    kRecPriceV = 6,
    kRecInspector = 13,
    kRecDozeV = 14,
    kRecCurrentV = 18,
    kRecTotalV = 19,
    kRecStateWithFlags = 29,
    kRecEarthed = 31,
    kRecAddress = 2,
};

// Item tree, protocol, stations and a paced clock for one test.
class HostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Descriptors outlive every item that points at them.
        for (int rec : {kRecPriceV, kRecInspector, kRecDozeV, kRecCurrentV, kRecTotalV,
                        kRecStateWithFlags, kRecEarthed, kRecAddress})
            descriptors_[rec] = drv::CopyVariableInfo(rec);
        descriptors_[kRecDozeV].WriteLevel = 1;  // only administrators when users are restricted
        ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, drv::kDrvKey, "Parameters",
                                         Parameters()),
                  plat::ERROR_SUCCESS);
        drv::InitProtocol(drv::kDrvKey, "Parameters");
        drv::InitNameSpace();
        drv::InitStations();
        drv::StartPorts();  // every port switched off; the manager then reports its ports started
    }
    void TearDown() override {
        drv::StopPorts();
        drv::DoneStations();
        drv::DoneNameSpace();
        drv::DoneProtocol();
        drv::RestrictUsers() = false;
        EXPECT_TRUE(Eventually([] { return drv::TAdvThread::Running() == 0; }))
            << "an event thread kept running";
    }
    virtual std::string Parameters() { return "PROTOCOL=4 DISABLEALLPORTS=1"; }

    // The variables join first and the State item last, with its value already set, so that
    // the post appears whole.
    DirectPost MakePost(int number, std::vector<int> records, int32_t state = tlb::csIdle) {
        DirectPost p;
        p.number = number;
        p.branch = drv::FindOrCreateBranch(-1, "", "Post" + std::to_string(number));
        p.state = drv::New<drv::TStateItem>(number, false);
        for (int rec : records) {
            auto v =
                drv::New<drv::TVarItem>(number, false, &p.state->Queue(), &descriptors_.at(rec));
            v->AddToNS(p.branch);
            p.vars.push_back(v);
        }
        p.SetState(state);
        p.state->AddToNS(p.branch);
        return p;
    }

    ComPtr<drv::TStation> NewStation() { return drv::TStation::Create(); }

    testsupport::TempRoot root_;
    PacedClock clock_;
    std::map<int, drv::TVariableInfoEx> descriptors_;
};

// A small driver on the base's own behaviour: dose, price, counters, read with 'D' and 'S'.
class TestTork : public drv::TBasicTork {
  public:
    explicit TestTork(const drv::TorkCreateArgs& args) : TBasicTork(args) {}

    void DefineVariables(uint8_t) override {
        DefineVar(drv::VarRec::ControllerVersion);
        DefineVar(drv::VarRec::FirmwareVersion);
        // Administrators only when users are restricted.
        DefineVar(drv::VarRec::DozeV).WriteLevel = 1;
        DefineVar(drv::VarRec::CurrentV);
        DefineVar(drv::VarRec::TotalV);
        DefineVar(drv::VarRec::StateWithFlags);
        has_money_ = true;
        DefineMoneyVariables();  // PriceV, DozeM, CurrentM
        BuildItemNames(address_, 0, 0);
    }
    void ReReadVarValue(uint8_t code) override {
        int64_t v = 0;
        switch (code) {
            case tlb::cvCurrentV:
                if (ReadCounter('D', 13, 8, v)) SetVarRaw(code, drv::LQ_FRESH, plat::NowLocal(), v);
                return;
            case tlb::cvTotalV:
                if (ReadCounter('S', 15, 10, v))
                    SetVarRaw(code, drv::LQ_FRESH, plat::NowLocal(), v);
                return;
            case tlb::cvDozeV:
            case tlb::cvDozeM:
            case tlb::cvLiterPrice: {
                drv::TVarValue r = VarRecord(code);
                SetVarRaw(code, drv::LQ_FRESH, plat::NowLocal(), r.value);
                return;
            }
            default:
                TBasicTork::ReReadVarValue(code);
        }
    }
    int32_t SetVarValue(uint8_t code, int64_t value) override {
        switch (code) {
            case tlb::cvDozeV:
                return WriteDose(value, 3, 2, true, false);
            case tlb::cvDozeM:
                SetVarRaw(code, drv::LQ_FRESH, plat::NowLocal(), value);
                return 0;
            case tlb::cvLiterPrice:
                return WritePrice(value);
            default:
                return -3;
        }
    }
    void ParseReply(char status, char, plat::DATE time) override {
        const int s = status & 0x6F;
        int state = s == 0x01                ? 0
                    : s == 0x20 || s == 0x60 ? 1
                    : s == 0x02 || s == 0x22 ? 7
                    : s == 0x08              ? 80
                                             : 177;
        SetStateValue(state, time);
    }
};

// A post's state, or -1 while the post is not in the tree (a post that went away under load must
// fail the check that waits for it, not the whole run).
inline int PostStateOr(int post, int missing = -1) {
    auto item = drv::PostItem(post, -1);
    return item ? drv::ReadStateValue(*item).Value : missing;
}

inline ComPtr<drv::TBasicTork> MakeTestTork(const drv::TorkCreateArgs& args) {
    return ComPtr<drv::TBasicTork>(drv::TBasicTork::Make<TestTork>(args).Get());
}

// Posts of simulated controllers on an emulated line, served by a running poll thread.
class SimulatedHostTest : public HostTest {
  protected:
    static constexpr int kCom = 5;

    void SetUp() override {
        HostTest::SetUp();
        drv::RegisterTorkClass(drv::TorkClass::T40, &MakeTestTork);
        line_ = std::make_shared<zrnsim::Station>();
        emu_ = plat::MakeCom<zrnsim::HwEmu>(line_);
        drv::SetEmulator(kCom, ComPtr<tlb::IHWEmu>(emu_.Get()));
    }
    void TearDown() override {
        poll_.reset();
        drv::SetEmulator(kCom, nullptr);
        drv::RegisterTorkClass(drv::TorkClass::T40, nullptr);
        HostTest::TearDown();
    }
    void StartLine() {
        poll_ = drv::TProcessThread::CreateStopped(kCom - 1, 9600, true, 0, false);
        poll_->Start();
    }
    // The post of a controller is in the tree with a known state.
    bool WaitForPost(int post, int ms = 20000) {
        return Eventually(
            [&] {
                auto item = drv::PostItem(post, -1);
                return item && drv::ReadStateValue(*item).Value == tlb::csIdle;
            },
            ms);
    }

    std::shared_ptr<zrnsim::Station> line_;
    ComPtr<zrnsim::HwEmu> emu_;
    std::unique_ptr<drv::TProcessThread> poll_;
};

// Simulated controllers on a pseudo-terminal line, for the service's own port and poll thread.
class PtyStation {
  public:
    explicit PtyStation(int com) : pty_(com) {}
    zrnsim::Station* operator->() { return station_.get(); }
    // Before the service starts: the far end answers and the poll thread is installed.
    void Start() {
        runner_ = std::make_unique<zrnsim::LineRunner>(station_, pty_.FarFd());
        runner_->Start();
        drv::TProcessThread::Install();
    }
    // Once the service has stopped.
    void Stop() {
        drv::SetPortFactory(drv::PortKind::Native, nullptr);
        runner_->Stop();
    }

  private:
    std::shared_ptr<zrnsim::Station> station_ = std::make_shared<zrnsim::Station>();
    testsupport::PtyPair pty_;
    std::unique_ptr<zrnsim::LineRunner> runner_;
};

}  // namespace hosttest
