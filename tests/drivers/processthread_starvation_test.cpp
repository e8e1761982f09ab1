#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "platform/registry/registry.h"
#include "platform/time/clock.h"
#include "service/core/base/Errors.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/controllers/ControllerClasses.h"
#include "service/core/controllers/PollThread.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/EmulatorTable.h"
#include "service/drivers/TRKX.h"
#include "tests/drivers/ProcessThreadFixture.h"
#include "tests/support/Eventually.h"
#include "tests/support/InstallDrivers.h"
#include "tests/support/PtyPair.h"
#include "tests/support/SimulatedPort.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TimeHelpers.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

using namespace drv;
using namespace polltest;
using plat::Variant;

// --- starvation and line faults ---------------------------------------------------------------

namespace {

// Age of a post's state sample in seconds.
double StateAgeSeconds(int address) {
    auto state = GetItemAs<TLeafItem>(FindLeafID("Post" + std::to_string(address) + ".State"));
    if (!state) return 1e9;
    DATE time = 0;
    bool good = false;
    state->GetValueAndTime(time, good);
    return (plat::NowLocal() - time) * 86400.0;
}

struct Service {
    size_t exchanges = 0;  // frames that reached the controller
    double max_age = 0;    // oldest its state sample got, seconds
};

// Steps (failed cycles included) for `ms` of fake time; what each controller got meanwhile.
std::map<int, Service> ServeFor(TProcessThread& t, zrnsim::Station& station,
                                std::initializer_list<int> addresses, uint32_t ms,
                                const std::function<void()>& before_step = {}) {
    std::map<int, Service> out;
    for (int a : addresses) station.Find(a)->ClearRequests();
    const uint32_t start = plat::GetTickCount();
    // Steps that take no time (cycles failing before the line) end the run by their number.
    for (int steps = 0; plat::TickDiff(plat::GetTickCount(), start) < ms && steps < 100000;
         ++steps) {
        if (before_step) before_step();
        try {
            t.PollStep();
        } catch (...) {
            // A failed cycle still counts as a step, as on the thread.
        }
        for (int a : addresses) out[a].max_age = std::max(out[a].max_age, StateAgeSeconds(a));
    }
    for (int a : addresses) out[a].exchanges = station.Find(a)->Requests().size();
    return out;
}

// Steps (failed cycles included) until the address holds a controller or `ms` have passed.
TBasicTork* FindWithin(TProcessThread& t, int address, uint32_t ms) {
    int steps = 0;
    testsupport::EventuallyOnProcessClock([&] { return t.GetDevice(address) || steps >= 100000; },
                                          ms,
                                          [&] {
                                              ++steps;
                                              try {
                                                  t.PollStep();
                                              } catch (...) {
                                              }
                                          });
    return t.GetDevice(address);
}

}  // namespace

class SparseLayout : public PollThread,
                     public ::testing::WithParamInterface<std::pair<int, int>> {};

// One bad checksum on a line whose controllers sit at addresses with gaps between them: the
// reopen that follows must not send the poll thread back into probing every empty address.
TEST_P(SparseLayout, OneGlitchDoesNotStarveTheControllers) {
    RegisterTorkClass(TorkClass::T40, &MakeTestTork);
    const auto [lo, hi] = GetParam();
    station_->Add(lo, 40, 74);
    station_->Add(hi, 40, 74);
    MakeThread();
    ASSERT_TRUE(FindWithin(*thread_, lo, 60000));
    ASSERT_TRUE(FindWithin(*thread_, hi, 60000));
    auto before = ServeFor(*thread_, *station_, {lo, hi}, 30000);

    zrnsim::Faults f;
    f.bad_checksum = true;
    f.count = 1;
    station_->SetFaults(f);
    auto after = ServeFor(*thread_, *station_, {lo, hi}, 60000);
    ASSERT_TRUE(thread_->GetDevice(lo) && thread_->GetDevice(hi)) << "both controllers stay";
    for (int a : {lo, hi}) {
        EXPECT_GE(before[a].exchanges, 30u) << "address " << a << ": before the glitch";
        EXPECT_GE(after[a].exchanges, 60u) << "address " << a << ": after the glitch";
        EXPECT_LT(before[a].max_age, 5.0) << "address " << a;
        EXPECT_LT(after[a].max_age, 5.0) << "address " << a << ": its state stays fresh";
    }
}

INSTANTIATE_TEST_SUITE_P(Gaps, SparseLayout,
                         ::testing::Values(std::pair{10, 20}, std::pair{1, 10}, std::pair{3, 17}));

class DeadRegistered : public PollThread,
                       public ::testing::WithParamInterface<std::tuple<int, int, int>> {};

// A ZrnDev entry for an address where no controller answers any more outranks live posts as a
// probe; after a few silent probes it must take its turn with the other empty addresses.
TEST_P(DeadRegistered, SilentRegisteredAddressDoesNotStarveLivePosts) {
    RegisterTorkClass(TorkClass::T40, &MakeTestTork);
    const auto [lo, dead, hi] = GetParam();
    ASSERT_EQ(
        plat::reg::WriteDword(plat::reg::Hive::LocalMachine,
                              std::string(kZrnDevKey) + std::to_string(dead), "ComPort", kCom),
        plat::ERROR_SUCCESS);
    station_->Add(lo, 40, 74);
    station_->Add(hi, 40, 74);
    MakeThread();
    thread_->ScanRegisteredDevices();
    ASSERT_EQ(thread_->RegisteredSet(), 1u << dead);
    ASSERT_TRUE(FindWithin(*thread_, lo, 60000));
    ASSERT_TRUE(FindWithin(*thread_, hi, 60000));
    auto served = ServeFor(*thread_, *station_, {lo, hi}, 60000);
    for (int a : {lo, hi}) {
        EXPECT_GE(served[a].exchanges, 60u) << "address " << a;
        EXPECT_LT(served[a].max_age, 5.0) << "address " << a << ": its state stays fresh";
    }

    // The dead address still gets probed now and then, and a controller that comes back there
    // is found.
    station_->Add(dead, 40, 74);
    FindWithin(*thread_, dead, 60000);
    EXPECT_TRUE(thread_->GetDevice(dead)) << "a controller back at the registered address is found";
}

INSTANTIATE_TEST_SUITE_P(Layouts, DeadRegistered,
                         ::testing::Values(std::tuple{1, 2, 3}, std::tuple{1, 5, 10}));

// The same when a controller answers the probe at the registered address but no object can be
// built for it: each attempt costs a probe and a definition, and must not come every other step.
TEST_F(PollThread, RegisteredAddressThatCannotBeBuiltDoesNotStarveLivePosts) {
    RegisterTorkClass(TorkClass::T40, [](const TorkCreateArgs& args) -> ComPtr<TBasicTork> {
        if (args.address == 2) throw Exception("definition failed");
        return MakeTestTork(args);
    });
    ASSERT_EQ(plat::reg::WriteDword(plat::reg::Hive::LocalMachine, std::string(kZrnDevKey) + "2",
                                    "ComPort", kCom),
              plat::ERROR_SUCCESS);
    for (int a : {1, 2, 3}) station_->Add(a, 40, 74);
    MakeThread();
    thread_->ScanRegisteredDevices();
    ASSERT_TRUE(FindWithin(*thread_, 1, 60000));
    ASSERT_TRUE(FindWithin(*thread_, 3, 60000));
    station_->Find(2)->ClearRequests();
    auto served = ServeFor(*thread_, *station_, {1, 3}, 60000);
    for (int a : {1, 3}) {
        EXPECT_GE(served[a].exchanges, 60u) << "address " << a;
        EXPECT_LT(served[a].max_age, 5.0) << "address " << a << ": its state stays fresh";
    }
    EXPECT_FALSE(thread_->GetDevice(2));
    EXPECT_LT(station_->Find(2)->Requests().size(), station_->Find(1)->Requests().size())
        << "the address that fails takes less of the line than a served post";
}

// A post whose every cycle raises before it reaches the line never gets a new state sample;
// ranked by that sample alone it would win every step.
TEST_F(PollThread, PostWhoseCyclesAlwaysFailDoesNotStarveTheOthers) {
    class FailingTork : public TestTork {
      public:
        using TestTork::TestTork;
        void ReReadVarValue(uint8_t) override { throw Exception("driver failure"); }
    };
    RegisterTorkClass(TorkClass::T40, [](const TorkCreateArgs& args) -> ComPtr<TBasicTork> {
        if (args.address == 1) return ComPtr<TBasicTork>(TBasicTork::Make<FailingTork>(args).Get());
        return MakeTestTork(args);
    });
    for (int a : {1, 3}) station_->Add(a, 40, 74);
    MakeThread();
    ASSERT_TRUE(FindWithin(*thread_, 1, 60000));
    ASSERT_TRUE(FindWithin(*thread_, 3, 60000));
    auto served = ServeFor(*thread_, *station_, {3}, 60000);
    EXPECT_GE(served[3].exchanges, 60u);
    EXPECT_LT(served[3].max_age, 5.0) << "the healthy post's state stays fresh";
}

// The wall clock put back two minutes, then the zone's offset put back an hour (the end of
// summer time): the ranking of the addresses runs on the monotonic clock, so both posts keep
// their share of the line and their states stay fresh.
TEST_F(PollThread, WallClockStepsBackDoNotHoldThePosts) {
    testsupport::ScopedTz summer("XST-2");
    RegisterTorkClass(TorkClass::T40, &MakeTestTork);
    for (int a : {1, 10}) station_->Add(a, 40, 74);
    MakeThread();
    ASSERT_TRUE(FindWithin(*thread_, 1, 60000));
    ASSERT_TRUE(FindWithin(*thread_, 10, 60000));
    AfterFirstRound();
    ServeFor(*thread_, *station_, {1, 10}, 10000);
    clock_->StepWall(-120LL * 10000000);
    const auto stepped = ServeFor(*thread_, *station_, {1, 10}, 30000);
    testsupport::ScopedTz winter("XST-1");
    const auto shifted = ServeFor(*thread_, *station_, {1, 10}, 30000);
    for (int a : {1, 10}) {
        EXPECT_GE(stepped.at(a).exchanges, 30u) << "address " << a << ": after the step";
        EXPECT_LT(stepped.at(a).max_age, 5.0) << "address " << a << ": after the step";
        EXPECT_GE(shifted.at(a).exchanges, 30u) << "address " << a << ": after the offset change";
        EXPECT_LT(shifted.at(a).max_age, 5.0) << "address " << a << ": after the offset change";
    }
}

// A client that keeps one post's command queue full must not take the line from the other
// posts: they keep nine tenths of their exchanges, and the queue stays bounded.
TEST_F(PollThread, FloodedCommandQueueLeavesTheOtherPostsTheirShareOfTheLine) {
    RegisterTorkClass(TorkClass::T40, &MakeTestTork);
    for (int a : {1, 3}) station_->Add(a, 40, 74);
    MakeThread();
    ASSERT_TRUE(FindWithin(*thread_, 1, 60000));
    ASSERT_TRUE(FindWithin(*thread_, 3, 60000));
    const auto quiet = ServeFor(*thread_, *station_, {1, 3}, 30000);
    TBasicTork* flooded = thread_->GetDevice(1);
    size_t issued = 0, refused = 0;
    const auto flood = ServeFor(*thread_, *station_, {1, 3}, 30000, [&] {
        // What a client's call loop puts in between two steps of the line.
        for (int i = 0; i < 4; ++i)
            ++(IsCmdID(flooded->Write(Variant::I4(tlb::csWaitingKey), 1, 0, 1033)) ? issued
                                                                                   : refused);
    });
    EXPECT_GE(flood.at(3).exchanges * 10, quiet.at(3).exchanges * 9)
        << "flooded " << flood.at(3).exchanges << " quiet " << quiet.at(3).exchanges;
    EXPECT_LT(flood.at(3).max_age, 5.0);
    EXPECT_GT(issued, 0u);
    EXPECT_GT(refused, 0u) << "a full queue refuses at once";
}

// The same with dose writes, which run without a state read: the cycles they take count as the
// post's service, or its ageing state sample wins it every step.
TEST_F(PollThread, FloodedDoseWritesLeaveTheOtherPostsTheirShareOfTheLine) {
    RegisterTorkClass(TorkClass::T40, &MakeTestTork);
    for (int a : {1, 3}) station_->Add(a, 40, 74);
    MakeThread();
    ASSERT_TRUE(FindWithin(*thread_, 1, 60000));
    ASSERT_TRUE(FindWithin(*thread_, 3, 60000));
    const auto quiet = ServeFor(*thread_, *station_, {1, 3}, 30000);
    auto dose = GetItemAs<TLeafItem>(FindLeafID("Post1.DozeV"));
    ASSERT_TRUE(dose);
    size_t issued = 0;
    const auto flood = ServeFor(*thread_, *station_, {1, 3}, 30000, [&] {
        for (int i = 0; i < 4; ++i) issued += IsCmdID(dose->Write(Variant::R8(5), 0, 0, 1033));
    });
    EXPECT_GE(flood.at(3).exchanges * 10, quiet.at(3).exchanges * 9)
        << "flooded " << flood.at(3).exchanges << " quiet " << quiet.at(3).exchanges;
    EXPECT_LT(flood.at(3).max_age, 5.0);
    EXPECT_GT(issued, 0u);
}

// A dose write's acknowledgement carries no status: the flooded post itself still reads its
// state now and then, so what the dispenser does shows while the client keeps writing.
TEST_F(PollThread, FloodedPostKeepsItsStateFresh) {
    RegisterTorkClass(TorkClass::T40, &MakeTestTork);
    station_->Add(1, 40, 74);
    MakeThread();
    ASSERT_TRUE(FindWithin(*thread_, 1, 60000));
    auto dose = GetItemAs<TLeafItem>(FindLeafID("Post1.DozeV"));
    ASSERT_TRUE(dose);
    const auto flood = ServeFor(*thread_, *station_, {1}, 30000, [&] {
        for (int i = 0; i < 4; ++i) dose->Write(Variant::R8(5), 0, 0, 1033);
    });
    EXPECT_LT(flood.at(1).max_age, 5.0);
}

// The line goes away under a served post (the emulator unregisters): the post shows the lost
// link and leaves after its silence, the line is retried once a second, and when it is back
// the controller is found again.
TEST_F(PollThread, VanishedLineIsRetriedOnceASecondAndThePostTellsTheLoss) {
    RegisterTorkClass(TorkClass::T40, &MakeTestTork);
    station_->Add(4, 40, 74);
    MakeThread();
    ASSERT_TRUE(FindWithin(*thread_, 4, 60000));
    ThreadSteps(20);
    ASSERT_EQ(thread_->GetDevice(4)->GetState(), 0);

    SetEmulator(kCom, nullptr);
    const uint64_t opens = thread_->Port().OpenAttempts();
    bool comm_error = false;
    const uint32_t start = plat::GetTickCount();
    for (int i = 0; i < 100000 && plat::TickDiff(plat::GetTickCount(), start) < 40000; ++i) {
        ThreadSteps(1);
        if (TBasicTork* d = thread_->GetDevice(4)) comm_error |= d->GetState() == 169;
    }
    EXPECT_TRUE(comm_error) << "the post showed the lost link";
    EXPECT_FALSE(thread_->GetDevice(4)) << "and left after its silence";
    EXPECT_LE(thread_->Port().OpenAttempts() - opens, 42u) << "about one open a second";
    EXPECT_EQ(PortStatus(kCom - 1), kPortNoEmulator);

    SetEmulator(kCom, ComPtr<tlb::IHWEmu>(emu_.Get()));
    EXPECT_TRUE(FindWithin(*thread_, 4, 60000)) << "found again once the line is back";
    EXPECT_EQ(PortStatus(kCom - 1), 1);
}

namespace {

std::atomic<int> g_lines{0};

void CountingHook(const std::string&, int) {
    ++g_lines;
}

}  // namespace

// A port that does not exist (default mode keeps its thread): the thread retries the open once
// a second and logs a failed open once per change of its error, while the status cell keeps
// telling that the port is missing; a port that turns up is taken within a second or so.
TEST(PollThreadMissingPort, RetriesOpenOncePerSecondAndLogsQuietly) {
    testsupport::TempRoot root;
    ASSERT_EQ(
        plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters", "PROTOCOL=0"),
        plat::ERROR_SUCCESS);
    InitProtocol(kDrvKey, "Parameters");
    InitNameSpace();
    {
        plat::ScopedFakeClock clock;
        auto t = TProcessThread::CreateStopped(11, 9600, false, 0, true);  // COM12: no such port
        ASSERT_TRUE(t->Registered());
        EXPECT_EQ(PortStatus(11), kPortNotFound);
        g_lines = 0;
        SetProtocolHook(CountingHook);
        const uint64_t opens = t->Port().OpenAttempts();
        const uint32_t start = plat::GetTickCount();
        int steps = 0;
        while (plat::TickDiff(plat::GetTickCount(), start) < 20000 && steps < 100000) {
            t->PollStep();
            ++steps;
            ASSERT_EQ(PortStatus(11), kPortNotFound) << "step " << steps;
        }
        SetProtocolHook(nullptr);
        const uint64_t tried = t->Port().OpenAttempts() - opens;
        EXPECT_LE(tried, 21u) << "at most one open a second";
        EXPECT_GE(tried, 10u) << "the open is still retried";
        EXPECT_LE(g_lines.load(), 20) << "a missing port does not flood the log";

        testsupport::PtyPair pty(12);  // the port turns up
        for (int i = 0; i < 30 && !t->Port().IsOpen(); ++i) t->PollStep();
        EXPECT_TRUE(t->Port().IsOpen());
        EXPECT_EQ(PortStatus(11), 0) << "an open port without posts";
    }
    DoneNameSpace();
    DoneProtocol();
}
