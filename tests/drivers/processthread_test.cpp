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
#include "tests/support/Eventually.h"
#include "tests/support/InstallDrivers.h"
#include "tests/support/PtyPair.h"
#include "tests/support/SimulatedPort.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TimeHelpers.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

using namespace drv;
using plat::Variant;

namespace {

// A small driver on the base's own behaviour, standing in for a firmware class: it keeps a
// dose, a price and the counters, reads 'D' and 'S', and writes through the base routines.
class TestTork : public TBasicTork {
  public:
    explicit TestTork(const TorkCreateArgs& args) : TBasicTork(args) {}

    void DefineVariables(uint8_t) override {
        DefineVar(drv::VarRec::ControllerVersion);
        DefineVar(drv::VarRec::FirmwareVersion);
        DefineVar(drv::VarRec::DozeV);
        DefineVar(drv::VarRec::CurrentV);
        DefineVar(drv::VarRec::TotalV);
        DefineVar(drv::VarRec::ProductivityNeverStale);
        DefineVar(drv::VarRec::StateWithFlags);
        has_money_ = true;
        DefineMoneyVariables();  // PriceV, DozeM, CurrentM
        BuildItemNames(address_, 0, 0);
    }
    void ReReadVarValue(uint8_t code) override {
        int64_t v = 0;
        switch (code) {
            case tlb::cvCurrentV:
                if (ReadCounter('D', 13, 8, v)) SetVarRaw(code, LQ_FRESH, plat::NowLocal(), v);
                return;
            case tlb::cvTotalV: {
                TVarValue old = VarRecord(code);
                if (ReadCounter('S', 15, 10, v)) {
                    SetVarRaw(code, LQ_FRESH, plat::NowLocal(), v);
                    FlowUpdate(old, VarRecord(code));
                }
                return;
            }
            case tlb::cvDozeV:
            case tlb::cvDozeM:
            case tlb::cvLiterPrice: {           // this family has no price read
                TVarValue r = VarRecord(code);  // kept as written: stored again as it is
                SetVarRaw(code, LQ_FRESH, plat::NowLocal(), r.value);
                return;
            }
            default:
                TBasicTork::ReReadVarValue(code);
        }
    }
    int32_t SetVarValue(uint8_t code, int64_t value) override {
        if (throw_on_write) throw Exception("driver failure");
        switch (code) {
            case tlb::cvDozeV:
                return WriteDose(value, 3, 2, true, false);
            case tlb::cvDozeM:
                SetVarRaw(code, LQ_FRESH, plat::NowLocal(), value);
                return 0;
            case tlb::cvLiterPrice:
                return WritePrice(value);
            default:
                return -3;
        }
    }
    void ParseReply(char status, char, DATE time) override {
        const int s = status & 0x6F;
        int state = s == 0x01                ? 0
                    : s == 0x20 || s == 0x60 ? 1
                    : s == 0x02 || s == 0x22 ? 7
                    : s == 0x08              ? 80
                                             : 177;
        SetStateValue(state, time);
    }
    // For the price test: the controller's price is read with 'C'.
    bool throw_on_write = false;
};

ComPtr<TBasicTork> MakeTestTork(const TorkCreateArgs& args) {
    return ComPtr<TBasicTork>(TBasicTork::Make<TestTork>(args).Get());
}

// A two-sided controller's post: side 2, position 1, with the post-number variables that the
// hierarchical layout leaves out.
class SideTork : public TestTork {
  public:
    using TestTork::TestTork;
    void DefineVariables(uint8_t v) override {
        TestTork::DefineVariables(v);
        DefineVar(drv::VarRec::BasePost);
        DefineVar(drv::VarRec::SidePost);
        DefineVar(drv::VarRec::Side);
        DefineVar(drv::VarRec::USSTimeout);  // on the post branch
        BuildItemNames(address_, 2, 1);
    }
};

ComPtr<TBasicTork> MakeSideTork(const TorkCreateArgs& args) {
    return ComPtr<TBasicTork>(TBasicTork::Make<SideTork>(args).Get());
}

constexpr int kCom = 7;

class PollThread : public testsupport::SimulatedPortTest {
  protected:
    PollThread() : SimulatedPortTest(kCom) {}
    // Steps as the thread runs them: a cycle that raises ends that step only.
    void ThreadSteps(int n) {
        for (int i = 0; i < n; ++i) {
            try {
                thread_->PollStep();
            } catch (...) {
            }
        }
    }
    // A test controller of family 40 at address 6, found by a new thread.
    TestTork* FindTestTork() {
        RegisterTorkClass(TorkClass::T40, &MakeTestTork);
        station_->Add(6, 40, 74);
        MakeThread();
        auto* t = dynamic_cast<TestTork*>(StepUntilFound(6));
        AfterFirstRound();
        return t;
    }
    // Steps until every address was probed once: from then on the line runs as for good.
    void AfterFirstRound() {
        for (int i = 0; i < 200 && !thread_->AllProbed(); ++i) ThreadSteps(1);
        ASSERT_TRUE(thread_->AllProbed());
    }
    void TearDown() override {
        RegisterTorkClass(TorkClass::T40, nullptr);
        SearchMode() = 0;
        SimulatedPortTest::TearDown();
    }
};

}  // namespace

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
