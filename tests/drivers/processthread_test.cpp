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

TEST_F(PollThread, ProbeFindsControllersAndBuildsTheirPosts) {
    station_->Add(3, 77, 5);   // a family no class knows
    station_->Add(5, 120, 7);  // family above 99: identity in 235/236
    MakeThread(100);
    ASSERT_TRUE(StepUntilFound(3));
    ASSERT_TRUE(StepUntilFound(5));
    auto* x3 = dynamic_cast<TTorkX*>(thread_->GetDevice(3));
    auto* x5 = dynamic_cast<TTorkX*>(thread_->GetDevice(5));
    ASSERT_TRUE(x3 && x5);
    EXPECT_EQ(x3->Family(), 77);
    EXPECT_EQ(x5->Family(), 120);
    EXPECT_EQ(x5->Version(), 7);
    EXPECT_EQ(x3->GetState(), 186);
    EXPECT_EQ(thread_->PostCount(), 2);
    EXPECT_EQ(PortStatus(kCom - 1), 2);
    int32_t state = FindLeafID("Post103.State");
    ASSERT_NE(state, -1);
    EXPECT_NE(FindLeafID("Post103.FirmwareVersion"), -1);
    EXPECT_EQ(GetItemAs<TLeafItem>(FindLeafID("Post105.ControllerVersion"))->PeekValue().lVal, 120);
}

TEST_F(PollThread, FamilyQuestionMarksMeanFamily90) {
    station_->Add(2, 90, 99);
    MakeThread();
    auto* x = dynamic_cast<TTorkX*>(StepUntilFound(2));
    ASSERT_TRUE(x);
    EXPECT_EQ(x->Family(), 90);
    EXPECT_TRUE(x->NewerProgram()) << "version 99 is newer than every family-90 row";
    Steps(3);
    EXPECT_EQ(x->GetState(), 188);
}

// The usual station: right after a start the controllers at 1, 2 and 3 are found in address
// order and served between the first round's probes, which also find one at 20.
TEST_F(PollThread, ControllersPresentAtStartAreFoundAndServedAtOnce) {
    for (int a : {1, 2, 3, 20}) station_->Add(a, 77, 5);
    MakeThread();
    std::map<int, int> chosen;
    for (int i = 0; i < 20; ++i) {
        thread_->PollStep();
        if (i == 0) {
            EXPECT_EQ(thread_->LastChosen(), 1) << "the first probe goes to address 1";
        }
        ++chosen[thread_->LastChosen()];
    }
    for (int a : {1, 2, 3}) {
        EXPECT_TRUE(thread_->GetDevice(a)) << "address " << a;
        EXPECT_GE(chosen[a], 2) << "address " << a << ": found, then served";
    }
    for (int i = 20; i < 62 && !thread_->GetDevice(20); ++i) thread_->PollStep();
    EXPECT_TRUE(thread_->GetDevice(20)) << "found by the first round of probes";
}

TEST_F(PollThread, StepsStayWithinTheControllersAndEveryTenthSweepsAll) {
    for (int a : {1, 2, 3}) station_->Add(a, 77, 5);
    MakeThread();
    for (int a : {1, 2, 3}) ASSERT_TRUE(StepUntilFound(a));
    AfterFirstRound();
    station_->Add(20, 77, 5);  // switched on later
    bool found = false;
    for (int i = 0; i < 400 && !found; ++i) {
        const uint32_t step = thread_->Steps();
        thread_->PollStep();
        if (step % 10 != 0) {
            EXPECT_LE(thread_->LastChosen(), 3) << "step " << step;
        }
        found = thread_->GetDevice(20) != nullptr;
    }
    // Sweeps probe the empty address that waited longest, so 20 comes up within one round of
    // the 28 empty addresses.
    EXPECT_TRUE(found) << "a controller switched on later is found by the sweeps";
}

TEST_F(PollThread, SearchModePutsProbesFirst) {
    station_->Add(1, 77, 5);
    station_->Add(5, 77, 5);
    MakeThread();
    ASSERT_TRUE(StepUntilFound(1));
    ASSERT_TRUE(StepUntilFound(5));
    // Bring every empty address's last probe up to now, so only the search mode ranks them.
    Steps(40);
    SearchMode() = 1;
    int probes = 0;
    for (int i = 0; i < 5; ++i) {
        uint32_t step = thread_->Steps();
        thread_->PollStep();
        if (step % 10 == 0) continue;
        int a = thread_->LastChosen();
        if (a != 1 && a != 5) ++probes;
    }
    EXPECT_GE(probes, 3) << "empty addresses rank first in search mode";
}

TEST_F(PollThread, RegisteredAddressesComeFromZrnDevAndBadEntriesAreSkipped) {
    using plat::reg::Hive;
    auto add = [](const std::string& name, uint32_t com) {
        plat::reg::WriteDword(Hive::LocalMachine, std::string(kZrnDevKey) + name, "ComPort", com);
    };
    add("12", kCom);   // post 12 - shift 10 = address 2
    add("45", kCom);   // address 35: outside the port
    add("abc", kCom);  // no post number
    add("13", 3);      // another port
    MakeThread(10);
    thread_->ScanRegisteredDevices();
    EXPECT_EQ(thread_->RegisteredSet(), 1u << 2);
    EXPECT_EQ(thread_->MakeProbeRecord(2).kind, 4);
    EXPECT_EQ(thread_->MakeProbeRecord(3).kind, 3);
}

TEST_F(PollThread, SilenceForThirtySecondsRemovesTheController) {
    auto* c = station_->Add(4, 77, 5);
    MakeThread();
    ASSERT_TRUE(StepUntilFound(4));
    zrnsim::Faults f;
    f.silent = true;
    c->SetFaults(f);
    for (int i = 0; i < 400 && thread_->GetDevice(4); ++i) thread_->PollStep();
    EXPECT_FALSE(thread_->GetDevice(4));
    EXPECT_EQ(FindItemID("Post4.State"), -1);
    EXPECT_EQ(thread_->PostCount(), 0);
}

// A line where nothing answers, at PROTOCOL=3: its first probes tell which addresses are silent;
// after that it writes its state changes only, not a line for every probe.
TEST_F(PollThread, SilentLineWritesAlmostNothingAfterItsFirstMinute) {
    DoneProtocol();
    ASSERT_EQ(
        plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters", "PROTOCOL=3"),
        plat::ERROR_SUCCESS);
    InitProtocol(kDrvKey, "Parameters");
    plat::reg::WriteDword(plat::reg::Hive::LocalMachine, std::string(kZrnDevKey) + "3", "ComPort",
                          kCom);
    MakeThread();
    const std::string log = thread_->Port().Log().FileName();
    ASSERT_FALSE(log.empty());
    const uint32_t start = plat::GetTickCount();
    auto run_until = [&](uint32_t ms) {
        for (int i = 0; i < 200000 && plat::TickDiff(plat::GetTickCount(), start) < ms; ++i)
            thread_->PollStep();
    };
    run_until(60000);
    const uintmax_t first_minute = std::filesystem::file_size(log);
    EXPECT_GE(thread_->Steps(), 62u) << "every address was probed";
    run_until(11 * 60000);
    const uintmax_t ten_more = std::filesystem::file_size(log) - first_minute;
    EXPECT_LE(ten_more, 1024u) << testsupport::ReadFile(log).substr(first_minute);
}

TEST_F(PollThread, StateWriteReachesTheWireAndItsResultComesBack) {
    auto* t = FindTestTork();
    ASSERT_TRUE(t);
    ThreadSteps(5);
    ASSERT_EQ(t->GetState(), 0);
    auto dose = GetItemAs<TLeafItem>(FindLeafID("Post6.DozeV"));
    ASSERT_TRUE(dose);
    int32_t dose_cmd = dose->Write(Variant::R8(12.5), 0, 0, 1033);
    ASSERT_TRUE(IsCmdID(dose_cmd));
    auto state = GetItemAs<TLeafItem>(FindLeafID("Post6.State"));
    int32_t start_cmd = state->Write(Variant::I4(1), 0, 0, 1033);
    ASSERT_TRUE(IsCmdID(start_cmd));
    station_->ClearRequests();
    for (int i = 0; i < 20 && (CmdIsPending(dose_cmd) || CmdIsPending(start_cmd)); ++i)
        ThreadSteps(1);
    EXPECT_EQ(CmdQuery(dose_cmd), 0);
    EXPECT_EQ(CmdQuery(start_cmd), 0);
    std::string dose_data;
    for (auto& r : station_->Requests())
        if (r.address == 6 && r.frame.size() > 5 && r.frame[2] == 'd')
            dose_data = r.frame.substr(3, r.frame.size() - 5);
    EXPECT_EQ(dose_data, "01250") << "the dose went out with 'd'";
    ThreadSteps(5);
    EXPECT_EQ(t->GetState(), 1) << "the post waits for the key";
}

TEST_F(PollThread, WriteWhileWorkingIsRefusedBeforeTheWire) {
    auto* t = FindTestTork();
    ASSERT_TRUE(t);
    t->SetStateValue(7, plat::NowLocal());
    auto price = t->Var(tlb::cvLiterPrice);
    int32_t id = price->Write(Variant::R8(12.34), 0, 0, 1033);
    station_->ClearRequests();
    t->ExecuteNextCommand();
    EXPECT_EQ(CmdQuery(id), -2);
    for (auto& r : station_->Requests())
        EXPECT_NE(r.frame.size() > 2 ? r.frame[2] : 0, 'c') << "nothing written";
}

TEST_F(PollThread, FailingCycleStillAnswersItsCommand) {
    auto* t = FindTestTork();
    ASSERT_TRUE(t);
    t->SetStateValue(0, plat::NowLocal());
    t->throw_on_write = true;
    int32_t id = t->Var(tlb::cvDozeV)->Write(Variant::R8(5), 0, 0, 1033);
    EXPECT_THROW(t->ExecuteNextCommand(), Exception);
    EXPECT_EQ(CmdQuery(id), plat::E_FAIL) << "the command is not lost with the cycle";
}

TEST_F(PollThread, HealthyPostRefreshesEveryVariableWithoutFailedCycles) {
    auto* t = FindTestTork();
    ASSERT_TRUE(t);
    ThreadSteps(3);
    ASSERT_EQ(t->GetState(), 0);
    // Two full rounds of the round robin, money variables included.
    for (int i = 0; i < 2 * 256; ++i) {
        try {
            t->ExecuteNextCommand();
        } catch (const std::exception& e) {
            FAIL() << "cycle " << i << " raised: " << e.what();
        }
    }
}

TEST_F(PollThread, MoneyReadBackAcceptsACorrectWrite) {
    auto* t = FindTestTork();
    ASSERT_TRUE(t);
    t->SetStateValue(0, plat::NowLocal());
    t->SetVarRaw(tlb::cvLiterPrice, LQ_FRESH, plat::NowLocal(), 123400);  // 12.34, step 0.01
    int32_t id = t->Var(tlb::cvDozeM)->Write(Variant::R8(100), 0, 0, 1033);
    t->ExecuteNextCommand();
    EXPECT_EQ(CmdQuery(id), 0) << "a money value read back as written is no mismatch";
}

TEST_F(PollThread, SavedValuesRoundTripAndOldOnesAreIgnored) {
    auto* t = FindTestTork();
    ASSERT_TRUE(t);
    const DATE now = plat::NowLocal();
    t->SetVarRaw(tlb::cvDozeV, LQ_FRESH, now - 0.25, 777700);
    t->SetVarRaw(tlb::cvLiterPrice, LQ_FRESH, now - 2.0, 120000);  // two days old
    thread_->RemoveDevice(6);
    const std::string key = std::string(kZrnDevKey) + "6";
    uint32_t com = 0;
    ASSERT_EQ(plat::reg::ReadDword(plat::reg::Hive::LocalMachine, key, "ComPort", com),
              plat::ERROR_SUCCESS);
    EXPECT_EQ(com, static_cast<uint32_t>(kCom));

    auto* again = dynamic_cast<TestTork*>(StepUntilFound(6));
    ASSERT_TRUE(again);
    TVarValue dose = again->VarRecord(tlb::cvDozeV);
    EXPECT_EQ(dose.value, 777700);
    EXPECT_EQ(dose.link_quality, LQ_KEPT);
    EXPECT_NE(again->VarRecord(tlb::cvLiterPrice).value, 120000)
        << "a value older than a day is ignored";
}

// The whole road on a real line: a poll thread on a pseudo-terminal finds two simulated
// controllers, builds their posts, and carries a client's state write to the wire and back.
TEST(PollThreadPty, FindsTwoControllersAndCarriesAStateWrite) {
    testsupport::TempRoot root;
    ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters",
                                     "PROTOCOL=4 PORT=CUST COM9=ZRN9600 SHIFT9=20"),
              plat::ERROR_SUCCESS);
    InitProtocol(kDrvKey, "Parameters");
    InitNameSpace();
    RegisterTorkClass(TorkClass::T40, &MakeTestTork);
    auto station = std::make_shared<zrnsim::Station>();
    station->Add(1, 40, 74);
    station->Add(10, 40, 74);  // the first sweep ends at address 10, never probed yet
    testsupport::PtyPair pty(9);
    zrnsim::LineRunner runner(station, pty.FarFd());
    runner.Start();
    TProcessThread::Install();
    StartPorts();

    auto wait_for = [](auto cond) {
        return testsupport::Eventually(cond, 30000, std::chrono::milliseconds(5));
    };
    // The State item joins the tree first, then the variables: wait for both.
    EXPECT_TRUE(wait_for([] {
        return FindLeafID("Post21.State") != -1 && FindLeafID("Post30.State") != -1 &&
               FindLeafID("Post30.DozeV") != -1;
    }));
    EXPECT_TRUE(wait_for([] { return PortStatus(8) == 2; })) << "the port reports its two posts";
    auto state = GetItemAs<TLeafItem>(FindLeafID("Post30.State"));
    ASSERT_TRUE(state);
    ASSERT_TRUE(wait_for([&] { return state->PeekValue().lVal == 0; })) << "the post reports idle";
    auto dose = GetItemAs<TLeafItem>(FindLeafID("Post30.DozeV"));
    ASSERT_TRUE(IsCmdID(dose->Write(Variant::R8(3), 0, 0, 1033)));
    int32_t id = state->Write(Variant::I4(1), 0, 0, 1033);
    ASSERT_TRUE(IsCmdID(id));
    EXPECT_EQ(CmdWait(id), 0);
    bool dose_sent = false;
    for (auto& r : station->Requests())
        dose_sent |= r.address == 10 && r.frame.size() > 2 && r.frame[2] == 'd';
    EXPECT_TRUE(dose_sent);
    EXPECT_TRUE(wait_for([&] { return state->PeekValue().lVal == 1; }))
        << "the post waits for the key";

    // Back to idle first, so that stopping does not wait for the post to come to rest.
    station->Find(10)->Stop();
    EXPECT_TRUE(wait_for([&] { return state->PeekValue().lVal == 0; }));
    StopPorts();
    runner.Stop();
    RegisterTorkClass(TorkClass::T40, nullptr);
    DoneNameSpace();
    DoneProtocol();
}

TEST_F(PollThread, HierarchicalNamesWithFlatPostsOff) {
    ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, kDrvKey, "Parameters",
                                     "PROTOCOL=4 FLATPOSTS=0 DISABLEALLPORTS=1"),
              plat::ERROR_SUCCESS);
    StartPorts();  // takes the naming switch; every port stays off
    ASSERT_FALSE(FlatPosts());
    RegisterTorkClass(TorkClass::T40, &MakeSideTork);
    station_->Add(5, 40, 74);
    MakeThread(100);
    ASSERT_TRUE(StepUntilFound(5));
    EXPECT_NE(FindLeafID("Post105.S2.P1.State"), -1);
    EXPECT_NE(FindLeafID("Post105.S2.P1.DozeV"), -1) << "position variables under P1";
    EXPECT_NE(FindLeafID("Post105.USSTimeout"), -1) << "post variables under the post branch";
    EXPECT_EQ(FindItemID("Post105.BasePost"), -1);
    EXPECT_EQ(FindItemID("Post105.S2.P1.Side"), -1);
    EXPECT_EQ(FindItemID("Post105.S2.SidePost"), -1)
        << "BasePost, SidePost and Side stay out of the tree";
    StopPorts();
    WriteParameters("PROTOCOL=4");
    StartPorts();  // back to flat names for the other tests
    StopPorts();
}

TEST_F(PollThread, UnsupportedControllerRefusesCommandsAndKeepsItsValues) {
    auto* c = station_->Add(4, 77, 5);
    MakeThread();
    auto* x = dynamic_cast<TTorkX*>(StepUntilFound(4));
    ASSERT_TRUE(x);
    Steps(5);
    auto state = GetItemAs<TLeafItem>(FindLeafID("Post4.State"));
    int32_t start = state->Write(Variant::I4(1), 0, 0, 1033);
    x->ExecuteNextCommand();
    EXPECT_EQ(CmdQuery(start), -2);
    EXPECT_EQ(x->SetVarValue(tlb::cvAddress, 50000), -3);

    // It stops answering parameter 149: the last values and time stamps stay.
    TVarValue fw = x->VarRecord(tlb::cvFirmwareVersion);
    zrnsim::Faults f;
    f.silent = true;
    c->SetFaults(f);
    x->ReReadVarValue(tlb::cvFirmwareVersion);
    TVarValue after = x->VarRecord(tlb::cvFirmwareVersion);
    EXPECT_EQ(after.value, fw.value);
    EXPECT_EQ(after.time, fw.time);
}

TEST_F(PollThread, FallbackAfterAFailedDefinitionStepsAsideForANewProbe) {
    // The first definition fails (a lost answer while defining); the fallback shows a new
    // controller, then after a while lets the probe try the real class again.
    static int attempts;
    attempts = 0;
    RegisterTorkClass(TorkClass::T40, [](const TorkCreateArgs& args) {
        auto t = TBasicTork::Make<TestTork>(args);
        if (++attempts == 1) t->SetLinkState(LINK_FAILED);
        return ComPtr<TBasicTork>(t.Get());
    });
    station_->Add(6, 40, 74);
    MakeThread();
    auto* x = dynamic_cast<TTorkX*>(StepUntilFound(6));
    ASSERT_TRUE(x) << "a failed definition leaves the fallback";
    Steps(3);
    EXPECT_EQ(x->GetState(), 188);
    clock_->Advance(TTorkX::kReprobeMs + 1000);
    TestTork* real = nullptr;
    for (int i = 0; i < 600 && !real; ++i) {
        thread_->PollStep();
        real = dynamic_cast<TestTork*>(thread_->GetDevice(6));
    }
    EXPECT_TRUE(real) << "the probe tries the controller's own class again";
}
