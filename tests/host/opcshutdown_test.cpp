// The service's stop request to every OPC client, and the advise thread that drives the groups.
#include <chrono>
#include <condition_variable>
#include <future>
#include <stdexcept>
#include <thread>

#include "service/core/base/ChangeRing.h"
#include "service/core/base/SyncLock.h"
#include "tests/host/OpcFixture.h"

namespace opctest {
namespace {

using plat::S_OK;

// Connects `sink` to the server's shutdown point; the cookie comes back.
uint32_t Connect(drv::TOPCServer& s, ShutdownSink& sink, HRESULT* hr_out = nullptr) {
    plat::IConnectionPoint* cp = nullptr;
    EXPECT_EQ(s.FindConnectionPoint(opc::IID_IOPCShutdown, &cp), S_OK);
    if (!cp) return 0;
    uint32_t cookie = 0;
    const HRESULT hr = cp->Advise(static_cast<opc::IOPCShutdown*>(&sink), &cookie);
    if (hr_out)
        *hr_out = hr;
    else
        EXPECT_EQ(hr, S_OK);
    cp->Release();
    return cookie;
}

// Runs RequestShutdownAll on its own thread; false when it has not returned within `seconds`.
class ShutdownRun {
  public:
    ShutdownRun() : done_(promise_.get_future()) {
        std::thread([this] {
            drv::RequestShutdownAll();
            promise_.set_value();
        }).detach();
    }
    bool Ended(int seconds = 20) {
        return done_.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
    }

  private:
    std::promise<void> promise_;
    std::future<void> done_;
};

// A gate a client's call waits at (at most 30 s), as a slow client would.
class Gate {
  public:
    void Wait() {
        entered_.store(true);
        std::unique_lock lk(m_);
        cv_.wait_for(lk, std::chrono::seconds(30), [&] { return open_; });
    }
    void Open() {
        {
            std::lock_guard lk(m_);
            open_ = true;
        }
        cv_.notify_all();
    }
    bool Entered() {
        return hosttest::Eventually([&] { return entered_.load(); }, 20000);
    }

  private:
    std::atomic<bool> entered_{false};
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

class OpcShutdown : public OpcTest {};

// The container lists its one point, the shutdown point, and no other.
TEST_F(OpcShutdown, TheContainerListsOnlyTheShutdownPoint) {
    auto s = drv::TOPCServer::Create();
    plat::IEnumConnectionPoints* e = nullptr;
    ASSERT_EQ(s->EnumConnectionPoints(&e), S_OK);
    ASSERT_TRUE(e);
    plat::IConnectionPoint* got[2] = {};
    uint32_t fetched = 0;
    EXPECT_EQ(e->Next(2, got, &fetched), plat::S_FALSE);
    ASSERT_EQ(fetched, 1u);
    plat::IID iid{};
    EXPECT_EQ(got[0]->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, opc::IID_IOPCShutdown);
    got[0]->Release();
    e->Release();
}

TEST_F(OpcShutdown, EveryClientHearsTheReasonThenTheStopWaits) {
    auto a = drv::TOPCServer::Create();
    auto b = drv::TOPCServer::Create();
    auto quiet = drv::TOPCServer::Create();
    auto sa = plat::MakeCom<ShutdownSink>();
    auto sb = plat::MakeCom<ShutdownSink>();
    Connect(*a, *sa);
    const uint32_t b_cookie = Connect(*b, *sb);
    std::vector<char> order;
    std::mutex order_mutex;
    sa->on_call = [&] {
        std::lock_guard lk(order_mutex);
        order.push_back('a');
    };
    sb->on_call = [&] {
        std::lock_guard lk(order_mutex);
        order.push_back('b');
    };

    const uint32_t start = clock_.Tick();
    drv::RequestShutdownAll();
    const uint32_t end = clock_.Tick();
    const std::u16string reason = u"NorvaltDrv received stop request from service manager.";
    EXPECT_EQ(sa->Reasons(), std::vector<std::u16string>{reason});
    EXPECT_EQ(sb->Reasons(), std::vector<std::u16string>{reason});
    EXPECT_EQ(order, (std::vector<char>{'b', 'a'})) << "from the last server to the first";
    ASSERT_EQ(sa->Ticks().size(), 1u);
    EXPECT_GE(plat::TickDiff(end, sa->Ticks()[0]), 2000u) << "the sleep follows the calls";

    // A second sink on the same server is refused; a disconnected one hears nothing.
    auto extra = plat::MakeCom<ShutdownSink>();
    HRESULT hr = S_OK;
    Connect(*a, *extra, &hr);
    EXPECT_EQ(hr, plat::CONNECT_E_ADVISELIMIT);
    plat::IConnectionPoint* cp = nullptr;
    ASSERT_EQ(b->FindConnectionPoint(opc::IID_IOPCShutdown, &cp), S_OK);
    EXPECT_EQ(cp->Unadvise(b_cookie), S_OK);
    cp->Release();
    drv::RequestShutdownAll();
    EXPECT_EQ(sa->Reasons().size(), 2u);
    EXPECT_EQ(sb->Reasons().size(), 1u);
    EXPECT_EQ(extra->Reasons().size(), 0u);
    EXPECT_GE(plat::TickDiff(clock_.Tick(), start), 4000u);

    a = b = quiet = nullptr;
    EXPECT_FALSE(drv::OPCServerExists());
    // With no client at all the stop still waits.
    const uint32_t before = clock_.Tick();
    drv::RequestShutdownAll();
    EXPECT_GE(plat::TickDiff(clock_.Tick(), before), 2000u);
}

TEST_F(OpcShutdown, AFailingClientAndOneThatLetsGoInsideTheCallStopNothing) {
    auto first = drv::TOPCServer::Create();
    auto failing = drv::TOPCServer::Create();
    auto leaving = drv::TOPCServer::Create();
    auto s1 = plat::MakeCom<ShutdownSink>();
    auto s2 = plat::MakeCom<ShutdownSink>();
    auto s3 = plat::MakeCom<ShutdownSink>();
    Connect(*first, *s1);
    Connect(*failing, *s2);
    Connect(*leaving, *s3);
    s2->result = plat::E_FAIL;
    // The client releases its server while it is being asked to shut down.
    s3->on_call = [&] { leaving = nullptr; };

    ShutdownRun run;
    ASSERT_TRUE(run.Ended()) << "the stop hung";
    EXPECT_EQ(s3->Reasons().size(), 1u);
    EXPECT_EQ(s2->Reasons().size(), 1u);
    EXPECT_EQ(s1->Reasons().size(), 1u) << "the walk went on after the failure";
    EXPECT_EQ(LinesContaining("Ошибка вызова ShutdownRequest. Код:-2147467259"), 1u);
    EXPECT_EQ(drv::TOPCServer::LiveCount(), 2);
    first = failing = nullptr;
    EXPECT_FALSE(drv::OPCServerExists());
}

TEST_F(OpcShutdown, ASlowClientDoesNotHoldTheServerList) {
    auto slow = drv::TOPCServer::Create();
    auto sink = plat::MakeCom<ShutdownSink>();
    Connect(*slow, *sink);
    Gate gate;
    sink->on_call = [&] { gate.Wait(); };
    ShutdownRun run;
    ASSERT_TRUE(gate.Entered());
    // Another client comes and goes while the slow one is still inside its call.
    auto arrived = std::async(std::launch::async, [] {
        auto s = drv::TOPCServer::Create();
        s = nullptr;
    });
    const bool in_time = arrived.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    gate.Open();
    EXPECT_TRUE(in_time) << "a new client waited for the slow one";
    ASSERT_TRUE(run.Ended());
    arrived.wait();
    slow = nullptr;
}

TEST_F(OpcShutdown, ClientsThatNeverAnswerHoldTheStopNoLongerThanTheNoticeDeadline) {
    std::vector<ComPtr<drv::TOPCServer>> servers;
    std::vector<ComPtr<ShutdownSink>> sinks;
    Gate gate;
    for (int i = 0; i < 4; ++i) {
        servers.push_back(drv::TOPCServer::Create());
        sinks.push_back(plat::MakeCom<ShutdownSink>());
        Connect(*servers.back(), *sinks.back());
        sinks.back()->on_call = [&] { gate.Wait(); };
    }
    const uint32_t start = clock_.Tick();
    ShutdownRun run;
    // Deadline and sleep are 5 s of the paced clock, one of real time; 30 s each in turn before.
    const bool ended = run.Ended(10);
    const uint32_t took = plat::TickDiff(clock_.Tick(), start);
    for (auto& sink : sinks) EXPECT_EQ(sink->Reasons().size(), 1u) << "a notice never went out";
    gate.Open();
    ASSERT_TRUE(ended) << "the stop waited for its clients";
    EXPECT_GE(took, drv::kShutdownNoticeDeadlineMs + 2000u);
    EXPECT_EQ(LinesContaining("OPCServer stop notices: 4 clients did not answer in time"), 1u);
    EXPECT_TRUE(hosttest::Eventually([] { return drv::ShutdownNoticesInFlight() == 0; }, 20000));
    servers.clear();
}

// --- advise thread ------------------------------------------------------------------------------

// A group whose callback step the test provides.
class HookGroup : public drv::TGroup {
  public:
    HookGroup(std::weak_ptr<drv::TServerCore> owner, const drv::TGroupArgs& args,
              std::function<uint32_t()> step)
        : TGroup(std::move(owner), args), step_(std::move(step)) {}
    uint32_t CallbackStep() override { return step_(); }

  private:
    std::function<uint32_t()> step_;
};

class HookServer : public drv::TOPCServer {
  public:
    HookServer() = default;
    std::function<uint32_t()> step;  // set before AddGroup

  protected:
    ComPtr<drv::TGroup> MakeGroup(const drv::TGroupArgs& args) override {
        return ComPtr<drv::TGroup>(drv::New<HookGroup>(CoreRef(), args, step).Get());
    }
};

// Ticks at which the step ran.
class StepLog {
  public:
    void Note() {
        std::lock_guard lk(m_);
        ticks_.push_back(plat::GetTickCount());
    }
    std::vector<uint32_t> Ticks() {
        std::lock_guard lk(m_);
        return ticks_;
    }
    size_t Count() { return Ticks().size(); }

  private:
    std::mutex m_;
    std::vector<uint32_t> ticks_;
};

ComPtr<plat::IUnknown> AddOne(drv::TOPCServer& s) {
    opc::OPCHANDLE h = 0;
    uint32_t rate = 0;
    void* out = nullptr;
    EXPECT_EQ(s.AddGroup(u"G", 1, 1000, 1, nullptr, nullptr, plat::LOCALE_EN_US, &h, &rate,
                         plat::IID_IUnknown, &out),
              S_OK);
    return ComPtr<plat::IUnknown>::Attach(static_cast<plat::IUnknown*>(out));
}

class OpcAdvise : public OpcTest {};

TEST_F(OpcAdvise, AFailedPassPausesASecond) {
    auto s = drv::TOPCServer::Create<HookServer>();
    StepLog log;
    s->step = [&]() -> uint32_t {
        log.Note();
        if (log.Count() == 1) throw std::runtime_error("step failed");
        return plat::GetTickCount() + 10000;
    };
    auto g = AddOne(*s);
    ASSERT_TRUE(hosttest::Eventually([&] { return log.Count() >= 2; }));
    const auto ticks = log.Ticks();
    EXPECT_GE(plat::TickDiff(ticks[1], ticks[0]), 1000u);
    EXPECT_EQ(LinesContaining("step failed"), 1u);
    g = nullptr;
}

TEST_F(OpcAdvise, TheWaitEndsWhenTheChangeRingMovesOrTheGroupIsDue) {
    auto s = drv::TOPCServer::Create<HookServer>();
    StepLog log;
    std::atomic<uint32_t> next_in{10000};
    s->step = [&]() -> uint32_t {
        log.Note();
        return plat::GetTickCount() + next_in.load();
    };
    auto g = AddOne(*s);
    ASSERT_TRUE(hosttest::Eventually([&] { return log.Count() >= 1; }));
    next_in = 300;
    drv::ChangeRing().Push(-10);
    ASSERT_TRUE(hosttest::Eventually([&] { return log.Count() >= 2; }));
    auto ticks = log.Ticks();
    EXPECT_LT(plat::TickDiff(ticks[1], ticks[0]), 10000u) << "the ring woke the wait";
    // Due in 300 ms: the next pass comes then, not before.
    ASSERT_TRUE(hosttest::Eventually([&] { return log.Count() >= 3; }));
    ticks = log.Ticks();
    EXPECT_GE(plat::TickDiff(ticks[2], ticks[1]), 300u);
    g = nullptr;
}

TEST_F(OpcAdvise, AGroupWhoseLastOtherReferenceTheThreadHeldGoesWithoutADeadlock) {
    auto s = drv::TOPCServer::Create<HookServer>();
    Gate gate;
    std::atomic<int> steps{0};
    s->step = [&]() -> uint32_t {
        if (steps.fetch_add(1) == 0) gate.Wait();
        return plat::GetTickCount() + 10000;
    };
    auto g = AddOne(*s);
    auto thread = s->AdviseThread();
    ASSERT_TRUE(gate.Entered());
    // The client lets go while the thread is inside the group's step.
    g = nullptr;
    EXPECT_EQ(s->GroupCount(), 1u);
    gate.Open();
    EXPECT_TRUE(hosttest::Eventually([&] { return thread->Finished(); }, 20000))
        << "the advise thread hung";
    EXPECT_EQ(s->GroupCount(), 0u);
    EXPECT_FALSE(s->HasAdviseThread());
}

}  // namespace
}  // namespace opctest
