// The event thread in this process, on posts built in the item tree: what a sink is told and
// in which order, coalescing, the quiet-time call, failing and dead sinks, and every way the
// thread ends.
#include <gtest/gtest.h>

#include <future>

#include "platform/rpc/wire.h"
#include "service/core/base/ChangeRing.h"
#include "tests/host/HostFixture.h"

using namespace hosttest;
using drv::TAdvThread;
using drv::TStation;

namespace {

class Events : public HostTest {
  protected:
    // Waits until the sink has `n` events and then nothing new for a while.
    static std::vector<std::string> Settled(RecordingSink& sink, size_t n) {
        EXPECT_TRUE(Eventually([&] { return sink.Count() >= n; })) << sink.Count() << " of " << n;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return sink.Events();
    }
};

using Strings = std::vector<std::string>;

TEST_F(Events, PostsAppearWithTheirValuesThenChangesFollowInOrder) {
    DirectPost p3 = MakePost(3, {kRecDozeV, kRecEarthed});
    p3.SetVar(tlb::cvDozeV, 1500);
    DirectPost p5 = MakePost(5, {}, tlb::csWorking);
    auto s = NewStation();
    auto sink = plat::MakeCom<RecordingSink>();
    ASSERT_EQ(s->RegisterSinkInterface(sink.Get()), S_OK);
    EXPECT_EQ(Settled(*sink, 6),
              (Strings{"PostFound 3", "PostFound 5", "StateChanged 3 0", "VarValueChanged 3 1 0",
                       "VarValueChanged 3 3 1500", "StateChanged 5 7"}));
    EXPECT_TRUE(s->EventThreadRunning());

    sink->Clear();
    p5.SetState(tlb::csPaused);
    ASSERT_TRUE(sink->WaitFor("StateChanged 5 80"));
    p3.SetVar(tlb::cvEarthed, 10000);
    ASSERT_TRUE(sink->WaitFor("VarValueChanged 3 1 10000")) << "a Boolean as 1";
    p3.SetVar(tlb::cvDozeV, 1500);  // stamped again, same value
    DirectPost p9 = MakePost(9, {kRecTotalV});
    ASSERT_TRUE(sink->WaitFor("VarValueChanged 9 9 0"));
    p3.Remove();
    ASSERT_TRUE(sink->WaitFor("PostDeleted 3"));
    EXPECT_EQ(Settled(*sink, 6),
              (Strings{"StateChanged 5 80", "VarValueChanged 3 1 10000", "PostFound 9",
                       "StateChanged 9 0", "VarValueChanged 9 9 0", "PostDeleted 3"}))
        << "an unchanged value is not sent again";

    // A post that comes back is found again, with its values.
    sink->Clear();
    DirectPost again = MakePost(3, {}, tlb::csWaitingKey);
    EXPECT_EQ(Settled(*sink, 2), (Strings{"PostFound 3", "StateChanged 3 1"}));
    EXPECT_EQ(s->UnRegisterSinkInterface(), S_OK);
    EXPECT_FALSE(s->EventThreadRunning());
    EXPECT_EQ(TAdvThread::Running(), 0);
    EXPECT_EQ(sink->RefCount(), 1u);
}

TEST_F(Events, ABurstGoesOutOneByOneFromWhereTheLastStoppedAndCoalesces) {
    DirectPost p3 = MakePost(3, {kRecDozeV});
    DirectPost p5 = MakePost(5, {kRecTotalV});
    auto s = NewStation();
    auto sink = plat::MakeCom<RecordingSink>();
    std::promise<void> entered;
    std::shared_future<void> go;
    std::promise<void> release;
    go = release.get_future().share();
    std::atomic<bool> armed{false};
    std::atomic<uint32_t> last_tick{0};
    sink->on_event = [&](const std::string& e) {
        last_tick = clock_.Tick();
        if (armed.load() && e == "StateChanged 5 7") {
            armed = false;
            entered.set_value();
            go.wait();
        }
    };
    ASSERT_EQ(s->RegisterSinkInterface(sink.Get()), S_OK);
    Settled(*sink, 6);
    sink->Clear();
    armed = true;
    p5.SetState(tlb::csWorking);
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    // While the thread is inside the call for post 5's state:
    p3.SetState(tlb::csWaitingKey);
    p3.SetVar(tlb::cvDozeV, 100);
    p3.SetVar(tlb::cvDozeV, 200);
    p5.SetVar(tlb::cvTotalV, 7);
    p5.SetVar(tlb::cvTotalV, 9);
    const uint32_t released = clock_.Tick();
    release.set_value();
    EXPECT_EQ(Settled(*sink, 4), (Strings{"StateChanged 5 7", "VarValueChanged 5 9 9",
                                          "StateChanged 3 1", "VarValueChanged 3 3 200"}))
        << "after post 5's state: its variables, then round to post 3; each value once, the newest";
    EXPECT_LT(plat::TickDiff(last_tick.load(), released), TAdvThread::kWaitMs)
        << "waiting events go out one pass after another, not one per wait";
    EXPECT_EQ(s->UnRegisterSinkInterface(), S_OK);  // before the locals the sink uses go
}

TEST_F(Events, AnOverrunRingIsReadAgainWhole) {
    DirectPost p = MakePost(4, {kRecDozeV});
    auto s = NewStation();
    auto sink = plat::MakeCom<RecordingSink>();
    SinkGate gate(*sink, "StateChanged 4 7", false);
    ASSERT_EQ(s->RegisterSinkInterface(sink.Get()), S_OK);
    Settled(*sink, 3);
    sink->Clear();
    gate.Arm();
    p.SetState(tlb::csWorking);
    ASSERT_TRUE(gate.Entered(10));
    p.SetVar(tlb::cvDozeV, 4200);
    for (uint32_t i = 0; i < drv::TChangeRing::kSize + 10; ++i) drv::ChangeRing().Push(-3);
    gate.Open();
    EXPECT_EQ(Settled(*sink, 2), (Strings{"StateChanged 4 7", "VarValueChanged 4 3 4200"}))
        << "the change that the ring lost is found by the rescan";
    EXPECT_EQ(s->UnRegisterSinkInterface(), S_OK);
}

TEST_F(Events, AnExtendedSinkHearsOfQuietTimes) {
    MakePost(2, {});
    auto s = NewStation();
    auto sink = plat::MakeCom<RecordingSink>();
    std::atomic<uint32_t> last_tick{0}, quiet_tick{0};
    sink->on_event = [&](const std::string& e) {
        if (e.rfind("PostWithoutChanges", 0) == 0) {
            if (!quiet_tick.load()) quiet_tick = clock_.Tick();
        } else {
            last_tick = clock_.Tick();
        }
    };
    ASSERT_EQ(s->RegisterSinkInterfaceEx(sink.Get()), S_OK);
    ASSERT_TRUE(sink->WaitFor("PostWithoutChanges 0"));
    const Strings ev = sink->Events();
    ASSERT_GE(ev.size(), 3u);
    EXPECT_EQ(ev[0], "PostFound 2");
    EXPECT_EQ(ev[1], "StateChanged 2 0") << "the extended sink gets the ordinary events too";
    EXPECT_GE(plat::TickDiff(quiet_tick.load(), last_tick.load()), TAdvThread::kWaitMs);
    EXPECT_GT(sink->last_quiet_stamp.load(), 40000.0) << "stamped now";

    // An ordinary registration replaces it: no more quiet-time calls.
    auto plain = plat::MakeCom<RecordingSink>();
    ASSERT_EQ(s->RegisterSinkInterface(plain.Get()), S_OK);
    ASSERT_TRUE(plain->WaitFor("StateChanged 2 0"));
    const size_t before = sink->Count();
    const uint32_t t0 = clock_.Tick();
    ASSERT_TRUE(
        Eventually([&] { return plat::TickDiff(clock_.Tick(), t0) > 2 * TAdvThread::kWaitMs; }));
    EXPECT_EQ(sink->Count(), before) << "the first sink hears nothing after it was replaced";
    EXPECT_EQ(plain->CountOf("PostWithoutChanges"), 0u);
    EXPECT_EQ(sink->RefCount(), 1u);
    EXPECT_EQ(TAdvThread::Running(), 1);
    EXPECT_EQ(s->UnRegisterSinkInterface(), S_OK);
}

TEST_F(Events, AFailingSinkIsGivenUpAfterItsHundredAndFirstFailure) {
    MakePost(1, {});
    auto s = NewStation();
    auto sink = plat::MakeCom<RecordingSink>();
    sink->fail = plat::E_FAIL;
    ASSERT_EQ(s->RegisterSinkInterface(sink.Get()), S_OK);
    ASSERT_TRUE(Eventually([&] { return !s->EventThreadRunning(); }, 30000));
    const uint32_t t0 = clock_.Tick();
    ASSERT_TRUE(Eventually([&] { return plat::TickDiff(clock_.Tick(), t0) > 2000; }));
    EXPECT_EQ(sink->Count(), 101u);
    EXPECT_EQ(sink->CountOf("PostFound 1"), 101u)
        << "the scan is repeated until a call gets through";
    EXPECT_EQ(TAdvThread::Running(), 0);

    // Registering again starts over.
    sink->Clear();
    sink->fail = S_OK;
    ASSERT_EQ(s->RegisterSinkInterface(sink.Get()), S_OK);
    ASSERT_TRUE(sink->WaitFor("StateChanged 1 0"));
}

TEST_F(Events, ASinkThatRecoversLosesNothing) {
    MakePost(1, {kRecDozeV});
    auto s = NewStation();
    auto sink = plat::MakeCom<RecordingSink>();
    std::atomic<int> failures{5};
    sink->fail = plat::E_FAIL;
    RecordingSink* raw = sink.Get();  // the thread holds the object; the test's ComPtr goes first
    sink->on_event = [&failures, raw](const std::string&) {
        if (--failures <= 0) raw->fail = S_OK;
    };
    ASSERT_EQ(s->RegisterSinkInterface(sink.Get()), S_OK);
    EXPECT_EQ(Settled(*sink, 7),
              (Strings{"PostFound 1", "PostFound 1", "PostFound 1", "PostFound 1", "PostFound 1",
                       "StateChanged 1 0", "VarValueChanged 1 3 0"}));
    EXPECT_TRUE(s->EventThreadRunning());
}

TEST_F(Events, ADisconnectedSinkEndsTheThreadAtOnce) {
    MakePost(1, {});
    auto s = NewStation();
    auto sink = plat::MakeCom<RecordingSink>();
    sink->fail = plat::RPC_E_DISCONNECTED;
    ASSERT_EQ(s->RegisterSinkInterface(sink.Get()), S_OK);
    ASSERT_TRUE(Eventually([&] { return sink->Count() > 0 && drv::TAdvThread::Running() == 0; }));
    EXPECT_EQ(sink->Count(), 1u) << "no retries towards a client that is gone";
    EXPECT_FALSE(s->EventThreadRunning());
}

TEST_F(Events, AClientMayUnregisterFromInsideAnEvent) {
    MakePost(1, {});
    MakePost(2, {});
    auto s = NewStation();
    auto sink = plat::MakeCom<RecordingSink>();
    sink->on_event = [&](const std::string& e) {
        if (e == "PostFound 1") {
            EXPECT_EQ(s->UnRegisterSinkInterface(), S_OK);
        }
    };
    ASSERT_EQ(s->RegisterSinkInterface(sink.Get()), S_OK);
    ASSERT_TRUE(Eventually([&] { return sink->Count() > 0 && drv::TAdvThread::Running() == 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(sink->Events(), (Strings{"PostFound 1"}));
    EXPECT_TRUE(Eventually([&] { return sink->RefCount() == 1; }));
}

TEST_F(Events, ReleasingTheStationEndsItsThread) {
    MakePost(1, {});
    auto sink = plat::MakeCom<RecordingSink>();
    {
        auto s = NewStation();
        ASSERT_EQ(s->RegisterSinkInterface(sink.Get()), S_OK);
        ASSERT_TRUE(sink->WaitFor("StateChanged 1 0"));
        EXPECT_EQ(TAdvThread::Running(), 1);
    }
    EXPECT_EQ(TStation::LiveCount(), 0);
    EXPECT_EQ(TAdvThread::Running(), 0);
    EXPECT_EQ(sink->RefCount(), 1u);
}

TEST_F(Events, ReleasingTheStationDoesNotWaitForACallStillInTheClient) {
    MakePost(1, {});
    auto sink = plat::MakeCom<RecordingSink>();
    SinkGate gate(*sink, "PostFound 1");
    auto s = NewStation();
    ASSERT_EQ(s->RegisterSinkInterface(sink.Get()), S_OK);
    ASSERT_TRUE(gate.Entered());

    auto release = std::async(std::launch::async, [&] { s = nullptr; });
    const bool returned = release.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    const int live = TStation::LiveCount();
    gate.Open();
    release.wait();
    EXPECT_TRUE(returned) << "the release waited for the client's call";
    EXPECT_EQ(live, 0);
    EXPECT_TRUE(Eventually([] { return TAdvThread::Running() == 0; }));
    EXPECT_TRUE(Eventually([&] { return sink->RefCount() == 1; }));
    EXPECT_EQ(sink->Events(), (Strings{"PostFound 1"})) << "nothing after the release";
}

TEST_F(Events, PostsBeyondTheEventNumbersAreNotReportedWrongly) {
    MakePost(127, {});
    MakePost(200, {});
    auto s = NewStation();
    auto sink = plat::MakeCom<RecordingSink>();
    ASSERT_EQ(s->RegisterSinkInterface(sink.Get()), S_OK);
    EXPECT_EQ(Settled(*sink, 2), (Strings{"PostFound 127", "StateChanged 127 0"}))
        << "post 200 would have been told as -56";
    tlb::TState st{};
    ASSERT_EQ(s->GetState(200, &st), S_OK);
    EXPECT_EQ(st.Value, tlb::csIdle) << "it is still there for the calls";
}

}  // namespace
