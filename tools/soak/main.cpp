// norvalt_soak: the whole station for minutes under load and faults, with invariants checked
// every second. The real NorvaltDrv runs in a private root over simulated lines (two native
// lines, a field-bus line, a density-meter line, a board bus); client processes (consoles
// running deliveries, OPC clients, a command flood, one killed with -9 and restarted) use it
// over the transport while a seeded schedule injects faults. Every broken invariant is printed
// with its time; a closing table follows. Exit 0 only when every invariant held.
//
//   norvalt_soak [--minutes N] [--seed S] [--service PATH] [ROOT]
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/classes.h"
#include "platform/registry/registry.h"
#include "platform/rpc/client.h"
#include "platform/sysroot/sysroot.h"
#include "platform/types/cotaskmem.h"
#include "platform/types/datetime.h"
#include "platform/types/variant.h"
#include "platform/types/wstr.h"
#include "service/typelib/OpcDaProxy.h"
#include "service/typelib/TypeLib.h"
#include "service/typelib/TypeLibProxy.h"
#include "tools/RawPty.h"
#include "tools/boardsim/BoardSim.h"
#include "tools/demo/DemoRoot.h"
#include "tools/fbsim/Server.h"
#include "tools/fbsim/Sim.h"
#include "tools/soak/Clients.h"
#include "tools/zrnsim/Adapters.h"
#include "tools/zrnsim/Station.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using plat::HRESULT;

// Bounds a healthy service meets with a wide margin on a loaded machine (sanitizers included).
constexpr double kFreshS = 8;   // a State time stamp of an answering post
constexpr double kStaleS = 10;  // a value at 192 after its device went away
constexpr double kLateS = 15;   // a line served after its device appeared
// Stamps taken before a wall-clock step are judged again once a fresh one was due (faketime
// reads its file once a second).
constexpr double kStepGraceS = kFreshS + 1;
constexpr double kSettleS = 45;    // after a line comes back or the service starts
constexpr double kCanaryMs = 100;  // one call of a client that waits for nothing else
constexpr double kStopS = 10;      // a stop asked for
constexpr double kWarmS = 20;      // start-up left out of the growth comparison
constexpr double kFoundS = 90;     // every simulated device in the tree after a start
constexpr double kIdleS = 30;      // every post seen idle after the deliveries ended
// At PROTOCOL=3 every exchange step is logged (some 2 MiB a minute here); a client's repeated
// calls are counted, not written one by one.
constexpr double kLogBytesPerMin = 4 << 20;
constexpr double kRssGrowth = 1.25;  // last third against the first, plus kRssSlackKb
constexpr long kRssSlackKb = 16 << 10;
constexpr long kThreadSlack = 8, kFdSlack = 16;

Clock::time_point g_t0;
double T() {
    return std::chrono::duration<double>(Clock::now() - g_t0).count();
}
std::string Stamp() {
    char b[32];
    std::snprintf(b, sizeof b, "%8.1fs", T());
    return b;
}
std::mutex g_out;
void Say(const std::string& s) {
    std::lock_guard lk(g_out);
    std::printf("%s  %s\n", Stamp().c_str(), s.c_str());
    std::fflush(stdout);
}
int g_failures = 0;
std::atomic<bool> g_stop{false};
void OnSignal(int) {
    g_stop = true;
}
void Fail(const std::string& s) {
    ++g_failures;
    Say("FAIL " + s);
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& out, int* pipe_read,
            const std::vector<std::pair<std::string, std::string>>& env = {}) {
    int p[2] = {-1, -1};
    if (pipe_read && ::pipe2(p, O_CLOEXEC) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // nothing outlives a soak that was killed
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(pipe_read ? p[1] : fd, 1);
        ::dup2(fd, 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        // Nothing of the soak's own (the simulators' pseudo-terminal ends above all) reaches
        // the service or a client: an inherited master keeps a pulled adapter's line alive.
        ::close_range(3, ~0U, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (pipe_read) {
        ::close(p[1]);
        *pipe_read = p[0];
    }
    return pid;
}

// Exit code, 128 + signal, or -1 when it did not end within `seconds`.
int WaitExit(pid_t pid, double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    int st = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (r < 0) return -2;
        if (Clock::now() > until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// A client process and its report lines.
struct Client {
    std::string kind;
    std::vector<std::string> args;
    pid_t pid = -1;
    std::thread reader;
    std::mutex m;
    long issued = 0, completed = 0, refused = 0, timedout = 0, max_ms = 0, calls = 0;
    long base[6] = {};  // totals of the runs before this one
};

// What a native line carries: the simulator on its pty and the posts it answers for.
struct NativeLine {
    int com, shift;
    int master = -1, slave = -1;
    std::shared_ptr<zrnsim::Station> station = std::make_shared<zrnsim::Station>();
    std::unique_ptr<zrnsim::LineRunner> runner;
};

std::string Pty(int com, int& master, int& slave) {
    std::string name;
    if (!tools::OpenRawPty(master, slave, name)) throw std::runtime_error("openpty failed");
    plat::reg::WriteString(plat::reg::Hive::LocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM",
                           "COM" + std::to_string(com), name);
    return name;
}

struct ProcStat {
    long rss_kb = 0, threads = 0, fds = 0;
};
bool ReadProc(pid_t pid, ProcStat& s) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    bool any = false;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) s.rss_kb = std::atol(line.c_str() + 6), any = true;
        if (line.rfind("Threads:", 0) == 0) s.threads = std::atol(line.c_str() + 8);
    }
    std::error_code ec;
    s.fds = 0;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec))
        ++s.fds;
    return any;
}

uintmax_t TreeBytes(const fs::path& dir) {
    uintmax_t n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec)) n += it->file_size(ec);
    return n;
}

enum class Kind {
    Silence,
    Garbage,
    Move,
    DropPort,
    StrayStart,
    Restart,
    ClockStep,
    Unplug,
    Signals,
    LongSilence
};
const char* Name(Kind k) {
    static const char* names[] = {"line silent",
                                  "garbage and bad checksums",
                                  "controller moved",
                                  "port dropped and re-added",
                                  "stray second start",
                                  "stop and fresh start",
                                  "wall clock stepped back",
                                  "adapter unplugged and back",
                                  "SIGHUP, SIGUSR1/2, SIGPIPE",
                                  "line silent until removed"};
    return names[static_cast<int>(k)];
}

// The service's wall clock is moved by libfaketime (its monotonic clock stays real).
constexpr const char* kFaketimeLib = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
struct Fault {
    double at, length;
    Kind kind;
    int line;  // 0, 1: native lines; 2: field-bus line
    bool done = false, ok = true;
    int step = 0;  // seconds the wall clock goes back
};

class Soak {
  public:
    Soak(std::string exe, std::string self, std::string root, double minutes, uint32_t seed)
        : exe_(std::move(exe)),
          self_(std::move(self)),
          root_(std::move(root)),
          seconds_(minutes * 60),
          seed_(seed) {}
    int Run();

  private:
    void Simulators();
    std::string Params(bool with_com2) const;
    bool StartService();
    bool StopService(const std::string& why);
    void StartClients();
    void StopClients();
    void StartClient(Client& c);
    void Bind();
    void Unbind();
    void Schedule();
    void Apply(Fault& f, bool begin);
    void Tick();
    void Table();
    bool Answering(int post, double settle);
    double AgeS(plat::DATE stamp) const;
    void SetWallOffset(int seconds);
    void PlugBoards();
    void UnplugBoards();
    bool WriteAllParameters(const std::string& text);
    std::vector<std::string> OpcItems() const;

    std::string exe_, self_, root_;
    double seconds_;
    uint32_t seed_;
    std::mt19937 rng_;
    NativeLine lines_[2] = {{1, 0}, {2, 32}};
    fbsim::Engine fb_;
    std::vector<std::shared_ptr<fbsim::Slave>> fb_slaves_;
    int fb_master_ = -1, fb_slave_ = -1, dm_master_ = -1, dm_slave_ = -1;
    int bb_master_ = -1, bb_slave_ = -1;
    std::unique_ptr<fbsim::RtuServer> fb_server_, dm_server_;
    fbsim::Engine dm_;
    std::unique_ptr<boardsim::BoardBus> boards_;
    std::string board_link_;  // COM5's device path: absent until the adapter is plugged
    double board_due_ = -1;   // when the board bus's adapter appears
    double board_back_ = -1;  // when it appeared, until its boards are served
    double board_since_ = 0;  // when it last appeared
    std::string faketime_file_;
    double wall_offset_s_ = 0, step_grace_until_ = 0;

    pid_t service_ = -1;
    double service_up_ = 0;
    std::vector<std::unique_ptr<Client>> clients_;
    Client* victim_ = nullptr;
    double next_kill_ = 0;
    plat::ComPtr<tlb::INorvalt> tork_;
    plat::ComPtr<opc::IOPCServer> opc_;
    plat::ComPtr<plat::IUnknown> group_;
    std::vector<opc::OPCHANDLE> handles_;
    std::vector<std::string> watched_;

    std::vector<Fault> faults_;
    std::map<int, int> post_line_;            // native post -> line index
    std::map<int, double> line_quiet_until_;  // line -> not expected to answer before
    std::set<int> gone_posts_;                // posts whose controller is away
    std::map<int, double> gone_since_;
    int moved_from_ = 29, moved_to_ = 30;

    std::map<int, long> exchanges_;  // post -> frames answered or not
    struct Sample {
        double t, started;  // when taken; when its service started
        ProcStat s;
    };
    std::vector<Sample> stats_;
    double max_stale_ = 0, max_canary_ = 0;
    uintmax_t log_written_ = 0, log_last_ = 0;
    double log_from_ = 0;
};

void Soak::Simulators() {
    // Line 1: a two-sided dispenser (1, 2), a side with three nozzles (5, 6, 7), one more (9).
    auto& a = *lines_[0].station;
    for (int adr : {1, 2}) {
        auto* c = a.Add(adr, 1, 69);
        c->SetParam(80, 1);
        c->SetParam(81, 2);
    }
    const std::map<int, int> group = {{0, 5}, {3, 6}, {1, 7}};
    for (auto [pos, adr] : group) {
        auto* c = a.Add(adr, 10, 105);
        for (auto [p, b] : group) c->SetExtParam(static_cast<uint8_t>(0x80 + 16 * p), b);
    }
    a.Add(9, 20, 78);
    // Line 2, posts shifted by 32: sparse addresses, one of them moves.
    auto& b = *lines_[1].station;
    b.Add(3, 40, 74);
    b.Add(17, 41, 4);
    b.Add(moved_from_, 40, 74);
    for (auto& l : lines_) {
        for (uint8_t adr : l.station->Addresses()) {
            l.station->Find(adr)->SetFlowRate(20000);
            post_line_[adr + l.shift] = static_cast<int>(&l - lines_);
        }
        Pty(l.com, l.master, l.slave);
        l.runner = std::make_unique<zrnsim::LineRunner>(l.station, l.master);
        l.runner->Start();
    }
    // Field-bus line: a control unit with two posts and a flow sensor.
    fbsim::UnitSetup u;
    u.address = 1;
    u.side1 = 2;
    for (uint16_t n : {70, 71}) {  // the unit's own post numbers name its posts
        fbsim::PostSetup p;
        p.number = n;
        u.posts.push_back(p);
    }
    fb_slaves_.push_back(fbsim::AddUnit(fb_, u));
    fbsim::FlowSensorSetup f;
    f.address = 2;
    f.total_v = 1234500000;
    f.state = 0;
    fb_slaves_.push_back(fbsim::AddFlowSensor(fb_, f));
    Pty(3, fb_master_, fb_slave_);
    ::fcntl(fb_master_, F_SETFL, ::fcntl(fb_master_, F_GETFL) | O_NONBLOCK);
    fb_server_ = std::make_unique<fbsim::RtuServer>(fb_, fb_master_);
    // A density meter: Modbus at 9600 without parity takes no identification, so it has a
    // line of its own. State, density 850.0, temperature 21.46, viscosity 1.0, low half first.
    fbsim::Slave m;
    m.address = 1;
    const uint16_t regs[] = {0x0010, 0x8000, 0x4454, 0xAE14, 0x41AB, 0x0000, 0x3F80};
    for (uint16_t r = 0; r < 7; ++r) m.regs[r] = regs[r];
    dm_.Add(m);
    Pty(4, dm_master_, dm_slave_);
    ::fcntl(dm_master_, F_SETFL, ::fcntl(dm_master_, F_GETFL) | O_NONBLOCK);
    dm_server_ = std::make_unique<fbsim::RtuServer>(dm_, dm_master_);
    // Board bus: two display boards behind an adapter that enumerates only after the service
    // started (its device path appears a few seconds later), and is unplugged now and then.
    board_link_ = root_ + "/dev/ttyBOARD";
    fs::create_directories(root_ + "/dev");
    fs::remove(board_link_);
    plat::reg::WriteString(plat::reg::Hive::LocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM", "COM5",
                           board_link_);
}

void Soak::PlugBoards() {
    std::string name;
    if (!tools::OpenRawPty(bb_master_, bb_slave_, name)) return Fail("openpty failed");
    boards_ = std::make_unique<boardsim::BoardBus>(bb_master_);
    boards_->AddBoard(2);
    boards_->AddBoard(3);
    std::error_code ec;
    fs::create_symlink(name, board_link_, ec);
    board_back_ = board_since_ = T();
    Say("  COM5's adapter appears at " + board_link_);
}

void Soak::UnplugBoards() {
    std::error_code ec;
    fs::remove(board_link_, ec);
    boards_.reset();
    // Closing both ends is the hang-up a port sees when its adapter is pulled.
    for (int* fd : {&bb_master_, &bb_slave_})
        if (*fd >= 0) ::close(*fd), *fd = -1;
    board_back_ = -1;
}

void Soak::SetWallOffset(int seconds) {
    std::ofstream(faketime_file_, std::ios::trunc) << (seconds < 0 ? "" : "+") << seconds << "\n";
    wall_offset_s_ = seconds;
    step_grace_until_ = T() + kStepGraceS;
    Say("  the service's wall clock is now " + std::to_string(seconds) + " s off");
}

std::string Soak::Params(bool with_com2) const {
    std::string p = "PROTOCOL=3 PORT=CUST COM1=ZRN9600 ";
    if (with_com2) p += "COM2=ZRN SHIFT2=32 ";
    return p + "COM3=MN19200 SHIFT3=64 COM4=MN9600 COM5=TN9600";
}

std::vector<std::string> Soak::OpcItems() const {
    std::vector<std::string> items;
    for (auto [post, line] : post_line_) items.push_back("Post" + std::to_string(post) + ".State");
    for (const char* n : {"Post70.State", "Post71.State", "Post66.TotalV", "DensMeter1.Density",
                          "RowRun2.String", "System.AllParameters"})
        items.push_back(n);
    return items;
}

bool Soak::StartService() {
    Say("starting NorvaltDrv");
    // The service runs under libfaketime when it is installed, so that its wall clock can be
    // stepped without touching the machine's; the monotonic clock is left real.
    std::vector<std::pair<std::string, std::string>> env;
    if (!faketime_file_.empty()) {
        const char* asan = std::getenv("ASAN_OPTIONS");
        env = {{"LD_PRELOAD", kFaketimeLib},
               {"FAKETIME_TIMESTAMP_FILE", faketime_file_},
               {"FAKETIME_CACHE_DURATION", "1"},
               {"FAKETIME_DONT_FAKE_MONOTONIC", "1"},
               // The preloaded library comes before the sanitizer's runtime.
               {"ASAN_OPTIONS", (asan && *asan ? std::string(asan) + ":" : std::string()) +
                                    "verify_asan_link_order=0"}};
    }
    service_ = Spawn({exe_}, root_ + "/service.out", nullptr, env);
    service_up_ = T();
    if (board_due_ < 0 && !boards_ && board_back_ < 0) board_due_ = T() + 5;
    const auto until = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < until) {
        if (WaitExit(service_, 0) != -1) break;
        plat::ComPtr<tlb::INorvalt> n;
        if (plat::Succeeded(plat::CreateInstance(tlb::CLSID_TORK, n))) {
            n = nullptr;
            Bind();
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    Fail("the service did not come up (see " + root_ + "/service.out)");
    return false;
}

void Soak::Bind() {
    plat::CreateInstance(tlb::CLSID_TORK, tork_);
    plat::CreateInstance(tlb::CLSID_DA2, opc_);
    if (!tork_ || !opc_) return Fail("cannot bind the service: " + plat::GetErrorText());
    opc::OPCHANDLE h = 0;
    uint32_t revised = 0;
    void* unk = nullptr;
    opc_->AddGroup(u"soak-monitor", 1, 1000, 1, nullptr, nullptr, 1033, &h, &revised,
                   plat::IID_IUnknown, &unk);
    group_ = plat::ComPtr<plat::IUnknown>::Attach(static_cast<plat::IUnknown*>(unk));
    handles_.clear();
    watched_.clear();
}

void Soak::Unbind() {
    group_ = nullptr;
    opc_ = nullptr;
    tork_ = nullptr;
    plat::rpc::DisconnectAll();
}

// Asks for a stop with /STOP; it has to end within kStopS.
bool Soak::StopService(const std::string& why) {
    Unbind();
    // The service refuses a stop while a post is at work: the operators end their deliveries
    // at the dispensers first, and the stop is asked again until the posts show it. A start a
    // killed client left queued still reaches its controller after that and arms it, with
    // nobody left to lift the nozzle: the controllers are stopped again before every ask.
    const auto asked = Clock::now();
    auto t0 = asked;
    int rc = 3;
    while (rc == 3 && Clock::now() < asked + std::chrono::seconds(int(kIdleS))) {
        for (auto& l : lines_)
            for (uint8_t adr : l.station->Addresses()) l.station->Find(adr)->Stop();
        t0 = Clock::now();
        rc = WaitExit(Spawn({exe_, "/STOP"}, root_ + "/service.out", nullptr), 30);
        if (rc == 3) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    if (rc == 3) {
        plat::ComPtr<tlb::INorvalt> n;
        std::string busy;
        if (plat::Succeeded(plat::CreateInstance(tlb::CLSID_TORK, n)))
            for (int post = 1; post < 128; ++post) {
                tlb::TState st{};
                if (plat::Succeeded(n->GetState(static_cast<int16_t>(post), &st)) &&
                    st.Value != tlb::csIdle && st.Value != tlb::csNone)
                    busy += " Post" + std::to_string(post) + "=" + std::to_string(st.Value);
            }
        n = nullptr;
        plat::rpc::DisconnectAll();
        Say("posts not idle:" + busy);
    }
    if (rc == 3)
        Fail("/STOP still refused " + std::to_string(int(kIdleS)) +
             " s after the deliveries ended and the clients left");
    const int code = WaitExit(service_, kStopS);
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    Say("/STOP (" + why + "): /STOP exit " + std::to_string(rc) + ", service exit " +
        std::to_string(code) + " after " + std::to_string(took).substr(0, 5) + " s (first asked " +
        std::to_string(std::chrono::duration<double>(t0 - asked).count()).substr(0, 5) +
        " s before)");
    if (code == -1) {
        Fail("the service did not end within " + std::to_string(int(kStopS)) + " s of /STOP");
        ::kill(service_, SIGKILL);
        WaitExit(service_, 10);
        return false;
    }
    if (code != 0) {
        Fail("the service ended with " + std::to_string(code) + " on /STOP");
        return false;
    }
    return true;
}

void Soak::StartClient(Client& c) {
    std::vector<std::string> args{self_, "--client", c.kind};
    args.insert(args.end(), c.args.begin(), c.args.end());
    int fd = -1;
    c.pid = Spawn(args, root_ + "/clients.out", &fd);
    if (c.reader.joinable()) c.reader.join();
    {
        std::lock_guard lk(c.m);
        long* now[6] = {&c.issued, &c.completed, &c.refused, &c.timedout, &c.max_ms, &c.calls};
        for (int i = 0; i < 6; ++i)
            if (i != 4) c.base[i] += *now[i], *now[i] = 0;
    }
    c.reader = std::thread([&c, fd] {
        FILE* in = ::fdopen(fd, "r");
        char buf[512];
        while (in && std::fgets(buf, sizeof buf, in)) {
            std::string s(buf);
            if (!s.empty() && s.back() == '\n') s.pop_back();
            if (s.rfind("C ", 0) == 0) {
                long v[6] = {};
                if (std::sscanf(s.c_str(), "C %ld %ld %ld %ld %ld %ld", &v[0], &v[1], &v[2], &v[3],
                                &v[4], &v[5]) == 6) {
                    std::lock_guard lk(c.m);
                    c.issued = v[0], c.completed = v[1], c.refused = v[2], c.timedout = v[3];
                    c.max_ms = std::max(c.max_ms, v[4]), c.calls = v[5];
                }
            } else if (s.rfind("F ", 0) == 0) {
                Fail("client " + c.kind + ": " + s.substr(2));
            }
        }
        if (in) std::fclose(in);
    });
}

void Soak::StartClients() {
    if (clients_.empty()) {
        auto add = [&](std::string kind, std::vector<std::string> args) {
            auto c = std::make_unique<Client>();
            c->kind = std::move(kind);
            c->args = std::move(args);
            clients_.push_back(std::move(c));
            return clients_.back().get();
        };
        add("tork", {"1", "2", "5", "35"});
        add("tork", {"6", "7", "49", "61", "62"});
        if (!std::getenv("SOAK_NOFLOOD")) add("flood", {"9"});
        const auto items = OpcItems();
        add("sync", items);
        add("async", items);
        add("da1", items);
        victim_ = add("victim", items);
    }
    for (auto& c : clients_) StartClient(*c);
    next_kill_ = T() + 2 + rng_() % 4;
}

void Soak::StopClients() {
    for (auto& c : clients_)
        if (c->pid > 0) ::kill(c->pid, SIGKILL);
    for (auto& c : clients_) {
        if (c->pid > 0) WaitExit(c->pid, 10);
        c->pid = -1;
        if (c->reader.joinable()) c->reader.join();
    }
}

void Soak::Schedule() {
    // Every kind once per round, in a seeded order; one fault at a time, gaps between.
    // The machine's own faults come first, with shorter gaps, so that a 3-minute run has them.
    std::vector<Kind> machine = {Kind::ClockStep, Kind::Unplug, Kind::Signals, Kind::LongSilence};
    std::vector<Kind> kinds = {Kind::Silence,  Kind::Garbage,    Kind::Move,
                               Kind::DropPort, Kind::StrayStart, Kind::Restart};
    kinds.insert(kinds.end(), machine.begin(), machine.end());
    if (faketime_file_.empty()) {
        std::printf("libfaketime is not installed (%s): no wall-clock steps\n", kFaketimeLib);
        std::erase(machine, Kind::ClockStep);
        std::erase(kinds, Kind::ClockStep);
    }
    double at = 20;
    for (bool added = true, first = true; added; first = false) {
        added = false;
        auto round = first ? machine : kinds;
        std::shuffle(round.begin(), round.end(), rng_);
        for (Kind k : round) {
            Fault f{at, 0, k, static_cast<int>(rng_() % 3)};
            if (k == Kind::Silence) f.length = 10 + rng_() % 31;
            if (k == Kind::Garbage) f.length = 5 + rng_() % 10;
            if (k == Kind::Move || k == Kind::DropPort) f.length = 15 + rng_() % 20, f.line = 1;
            if (k == Kind::StrayStart || k == Kind::Restart || k == Kind::Signals) f.line = -1;
            if (k == Kind::ClockStep)
                f.length = 20 + rng_() % 6, f.line = -1, f.step = rng_() % 2 ? 3600 : 120;
            if (k == Kind::Unplug) f.length = 10 + rng_() % 6, f.line = -1;
            // Past the 30 s after which a post whose controller is silent is removed.
            if (k == Kind::LongSilence)
                f.length = 40 + rng_() % 6, f.line = static_cast<int>(rng_() % 2);
            if (at + f.length + 15 > seconds_) continue;  // a shorter one may still fit
            faults_.push_back(f);
            added = true;
            at += f.length + (first ? 12 + rng_() % 8 : 15 + rng_() % 15);
            if (k == Kind::Restart) at += 20;
        }
    }
}

bool Soak::WriteAllParameters(const std::string& text) {
    auto mgt = plat::QueryAs<opc::IOPCItemMgt>(group_.Get());
    auto io = plat::QueryAs<opc::IOPCSyncIO>(group_.Get());
    if (!mgt || !io) return false;
    std::u16string id = u"System.AllParameters";
    opc::OPCITEMDEF def;
    def.szItemID = id.data();
    def.bActive = 1;
    def.hClient = 999;
    opc::OPCITEMRESULT* res = nullptr;
    HRESULT* err = nullptr;
    mgt->AddItems(1, &def, &res, &err);
    const bool added = res && err && err[0] == plat::S_OK;
    const opc::OPCHANDLE h = added ? res[0].hServer : 0;
    if (res) plat::CoTaskMemFree(res[0].pBlob);
    plat::CoTaskMemFree(res);
    plat::CoTaskMemFree(err);
    if (!added) return false;
    const plat::Variant v = plat::Variant::Str(plat::Utf8ToWide(text));
    err = nullptr;
    const HRESULT hr = io->Write(1, &h, &v, &err);
    const bool ok = hr == plat::S_OK && err && err[0] == plat::S_OK;
    plat::CoTaskMemFree(err);
    err = nullptr;
    mgt->RemoveItems(1, &h, &err);
    plat::CoTaskMemFree(err);
    return ok;
}

void Soak::Apply(Fault& f, bool begin) {
    const std::string line = f.line == 2 ? "COM3" : "COM" + std::to_string(f.line + 1);
    switch (f.kind) {
        case Kind::ClockStep:
            SetWallOffset(begin ? -f.step : 0);
            break;
        case Kind::Unplug:
            if (begin)
                UnplugBoards();
            else
                PlugBoards();
            break;
        case Kind::Signals: {
            if (!begin) break;
            // A terminal that closes, a stray kill -USR1 and a peer that went away: none of
            // them is a stop.
            for (int sig : {SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE}) {
                ::kill(service_, sig);
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                if (const int rc = WaitExit(service_, 0); rc != -1) {
                    f.ok = false;
                    Fail("the service ended with " + std::to_string(rc) + " on signal " +
                         std::to_string(sig));
                    StopClients();
                    if (StartService()) StartClients();
                    break;
                }
            }
            break;
        }
        case Kind::LongSilence:
        case Kind::Silence:
        case Kind::Garbage: {
            if (f.line == 2) {
                if (f.kind == Kind::Garbage) {
                    fbsim::Faults x;
                    x.corrupt_crc = begin ? 1000 : 0;
                    fb_.Inject(x);
                } else {
                    fb_.With([&] {
                        for (auto& s : fb_slaves_) s->unplugged = begin;
                    });
                    for (int post : {66, 70, 71})
                        if (begin)
                            gone_since_.emplace(post, T());
                        else
                            gone_since_.erase(post);
                }
                break;
            }
            zrnsim::Faults x;
            if (begin && f.kind != Kind::Garbage) x.silent = true;
            if (begin && f.kind == Kind::Garbage) {
                x.bad_checksum = rng_() % 2 == 0;
                x.trailing = std::string("\x7F\0\xFF garbage", 11);
                x.count = 200;
                Say(x.bad_checksum ? "  bad checksums and trailing bytes" : "  trailing bytes");
            }
            lines_[f.line].station->SetFaults(x);
            if (!begin) line_quiet_until_[f.line] = T() + kSettleS;
            // A post whose every answer fails its checksum has no good exchange, so its State
            // stays at the comm error's stamp: it is not answering. Trailing bytes alone are.
            if (begin && (f.kind != Kind::Garbage || x.bad_checksum))
                for (auto [post, l] : post_line_)
                    if (l == f.line) gone_since_.emplace(post, T());
            if (!begin)
                for (auto [post, l] : post_line_)
                    if (l == f.line) gone_since_.erase(post);
            break;
        }
        case Kind::Move: {
            auto& st = *lines_[1].station;
            const int from = begin ? moved_from_ : moved_to_, to = begin ? moved_to_ : moved_from_;
            st.Remove(from);
            st.Add(to, 40, 74)->SetFlowRate(20000);
            post_line_.erase(from + 32);
            post_line_[to + 32] = 1;
            gone_posts_.insert(from + 32);
            gone_posts_.erase(to + 32);
            gone_since_[from + 32] = T();
            gone_since_.erase(to + 32);
            line_quiet_until_[1] = T() + kSettleS;
            Say("  controller " + std::to_string(from) + " of COM2 now answers at " +
                std::to_string(to));
            break;
        }
        case Kind::DropPort: {
            if (!WriteAllParameters(Params(!begin))) {
                f.ok = false;
                Fail("System.AllParameters write refused");
            }
            for (auto [post, l] : post_line_)
                if (l == 1) {
                    if (begin)
                        gone_since_.emplace(post, T());
                    else
                        gone_since_.erase(post);
                }
            if (!begin) line_quiet_until_[1] = T() + kSettleS;
            break;
        }
        case Kind::StrayStart: {
            if (!begin) break;
            const pid_t stray = Spawn({exe_}, root_ + "/stray.out", nullptr);
            const int rc = WaitExit(stray, 10);
            Say("  the stray start ended with " + std::to_string(rc));
            if (rc == -1) {
                ::kill(stray, SIGKILL);
                WaitExit(stray, 5);
            }
            if (rc != 1) {
                f.ok = false;
                Fail("a second start of the service ended with " + std::to_string(rc) +
                     " (wanted 1 within 10 s)");
            }
            if (WaitExit(service_, 0) != -1) {
                f.ok = false;
                Fail("the running service ended after a stray second start");
            }
            break;
        }
        case Kind::Restart: {
            if (!begin) break;
            StopClients();
            if (!StopService("mid-run")) f.ok = false;
            if (!StartService()) {
                f.ok = false;
                break;
            }
            StartClients();
            for (auto& [l, until] : line_quiet_until_) until = T() + kSettleS;
            break;
        }
    }
}

// Whether `post` has answered steadily long enough to be held to the freshness bound.
bool Soak::Answering(int post, double settle) {
    auto it = post_line_.find(post);
    if (it == post_line_.end() || gone_since_.count(post)) return false;
    if (T() < service_up_ + settle) return false;
    auto q = line_quiet_until_.find(it->second);
    return q == line_quiet_until_.end() || T() >= q->second;
}

long AsInt(const plat::Variant& v) {
    plat::Variant n;
    return plat::Succeeded(plat::VariantChangeType(n, v, 0, plat::VT_I4)) ? n.lVal : -1;
}

// Age of a service's stamp, read on the service's wall clock.
double Soak::AgeS(plat::DATE stamp) const {
    return (plat::NowLocal() - stamp) * 86400.0 + wall_offset_s_;
}

void Soak::Tick() {
    if (WaitExit(service_, 0) != -1) {
        Fail("the service ended by itself (see " + root_ + "/service.out)");
        StartService();
        return;
    }
    // The operator at the dispenser presses the key of every post that waits for it.
    for (auto& l : lines_)
        for (uint8_t adr : l.station->Addresses())
            if (auto* c = l.station->Find(adr); c && c->GetState() == zrnsim::State::WaitingKey)
                c->PressKey();
    // Exchanges per post from the simulators' logs.
    for (auto& l : lines_) {
        for (const auto& e : l.station->Requests()) ++exchanges_[e.address + l.shift];
        l.station->ClearRequests();
    }
    for (auto* e : {&fb_, &dm_}) {
        for (const auto& hex : e->Requests())
            ++exchanges_[(e == &fb_ ? 300 : 400) + std::stoi(hex.substr(0, 2), nullptr, 16)];
        e->ClearRequests();
    }
    if (board_due_ >= 0 && T() >= board_due_) board_due_ = -1, PlugBoards();
    if (boards_) {
        bool served = false;
        for (const auto& f : boards_->Frames()) ++exchanges_[500 + f.dest0], served = true;
        boards_->Clear();
        if (board_back_ >= 0 && served) {
            Say("  COM5 served " + std::to_string(int(T() - board_back_)) +
                " s after its adapter appeared");
            board_back_ = -1;
        } else if (board_back_ >= 0 && T() - board_back_ > kLateS) {
            Fail("COM5 not served " + std::to_string(int(kLateS)) +
                 " s after its adapter appeared");
            board_back_ = -1;
        }
    }
    // Canary: one plain call. A loaded machine may deschedule this process for a moment, so a
    // slow answer is asked again at once; three slow answers in a row are the service's.
    if (tork_) {
        double ms = 0;
        HRESULT hr = plat::S_OK;
        for (int tries = 0; tries < 3; ++tries) {
            const auto c0 = Clock::now();
            tlb::TState st{};
            hr = tork_->GetState(1, &st);
            ms = std::chrono::duration<double, std::milli>(Clock::now() - c0).count();
            max_canary_ = std::max(max_canary_, tries == 0 ? ms : 0.0);
            if (plat::Failed(hr) || ms <= kCanaryMs) break;
            Say("canary call took " + std::to_string(int(ms)) + " ms");
        }
        if (plat::Failed(hr))
            Fail("canary call failed");
        else if (ms > kCanaryMs)
            Fail("three canary calls in a row took over " + std::to_string(int(kCanaryMs)) +
                 " ms, the last " + std::to_string(int(ms)) + " ms");
        // State time stamps of the posts whose controllers answer.
        for (auto [post, line] : post_line_) {
            tlb::TState s{};
            const bool got = plat::Succeeded(tork_->GetState(static_cast<int16_t>(post), &s));
            if (!Answering(post, kSettleS)) continue;
            // The service answers a post it does not hold with csNone and no time stamp.
            if (!got || s.TimeStamp == 0) {
                Fail("Post" + std::to_string(post) +
                     " is not served though its controller answers");
                continue;
            }
            const double age = AgeS(s.TimeStamp);
            if (age > kFreshS && T() >= step_grace_until_)
                Fail("Post" + std::to_string(post) + " State " + std::to_string(s.Value) + " is " +
                     std::to_string(int(age)) + " s old though its controller answers");
        }
    }
    // Values at quality 192 of devices that went away.
    if (group_) {
        if (handles_.empty() && T() > service_up_ + 10) {
            auto mgt = plat::QueryAs<opc::IOPCItemMgt>(group_.Get());
            std::vector<std::string> names;
            for (auto [post, line] : post_line_)
                names.push_back("Post" + std::to_string(post) + ".State");
            names.push_back("Post" + std::to_string(moved_to_ + 32) + ".State");
            for (const char* n :
                 {"Post70.State", "Post71.State", "Post66.TotalV", "Post1.TotalV", "Post35.TotalV",
                  "DensMeter1.Density", "RowRun2.String", "RowRun3.String"})
                names.push_back(n);
            std::vector<std::u16string> ids;
            for (auto& n : names) ids.push_back(plat::Utf8ToWide(n));
            std::vector<opc::OPCITEMDEF> defs(ids.size());
            for (size_t i = 0; i < ids.size(); ++i) {
                defs[i].szItemID = ids[i].data();
                defs[i].bActive = 1;
                defs[i].hClient = static_cast<opc::OPCHANDLE>(i);
            }
            opc::OPCITEMRESULT* res = nullptr;
            HRESULT* err = nullptr;
            if (mgt) mgt->AddItems(static_cast<uint32_t>(defs.size()), defs.data(), &res, &err);
            for (size_t i = 0; res && err && i < ids.size(); ++i) {
                if (err[i] == plat::S_OK) {
                    handles_.push_back(res[i].hServer);
                    watched_.push_back(names[i]);
                }
                plat::CoTaskMemFree(res[i].pBlob);
            }
            plat::CoTaskMemFree(res);
            plat::CoTaskMemFree(err);
            std::string missing;
            for (auto& n : names)
                if (std::find(watched_.begin(), watched_.end(), n) == watched_.end() &&
                    n.find("Post" + std::to_string(moved_to_ + 32) + ".") != 0 &&
                    // The boards' items are there only while their adapter is plugged.
                    (n.rfind("RowRun", 0) != 0 || (boards_ && T() > board_since_ + kFoundS)))
                    missing += " " + n;
            if (!missing.empty()) {
                // Asked again next second: the bus threads may still be finding their devices.
                HRESULT* rerr = nullptr;
                if (mgt && !handles_.empty())
                    mgt->RemoveItems(static_cast<uint32_t>(handles_.size()), handles_.data(),
                                     &rerr);
                plat::CoTaskMemFree(rerr);
                handles_.clear();
                watched_.clear();
                if (T() > service_up_ + kFoundS) Fail("not in the tree:" + missing);
            }
        }
        auto io = plat::QueryAs<opc::IOPCSyncIO>(group_.Get());
        opc::OPCITEMSTATE* st = nullptr;
        HRESULT* err = nullptr;
        const auto n = static_cast<uint32_t>(handles_.size());
        if (io && n && io->Read(opc::OPC_DS_CACHE, n, handles_.data(), &st, &err) >= 0 && st) {
            for (uint32_t i = 0; i < n; ++i) {
                const int post = std::atoi(watched_[i].c_str() + 4);
                auto gone = gone_since_.find(post);
                // A State that tells the lost link (160 and above) is no stale value.
                const bool state = watched_[i].find(".State") != std::string::npos;
                if (gone != gone_since_.end() && err[i] == plat::S_OK && st[i].wQuality == 192 &&
                    !(state && AsInt(st[i].vDataValue) >= tlb::csNone)) {
                    const double stale = T() - gone->second;
                    max_stale_ = std::max(max_stale_, stale);
                    if (stale > kStaleS)
                        Fail(watched_[i] + " still has quality 192 (value " +
                             std::to_string(AsInt(st[i].vDataValue)) + ") " +
                             std::to_string(int(stale)) + " s after its controller went away");
                }
                st[i].~OPCITEMSTATE();
            }
        }
        plat::CoTaskMemFree(st);
        plat::CoTaskMemFree(err);
    }
    // The service's resources and its log folder.
    ProcStat ps;
    if (ReadProc(service_, ps)) stats_.push_back({T(), service_up_, ps});
    const uintmax_t logs = TreeBytes(root_ + "/c");
    if (log_from_ == 0) log_from_ = T();
    if (logs > log_last_) log_written_ += logs - log_last_;
    log_last_ = logs;
    // The client killed with -9 and started again.
    if (victim_ && T() >= next_kill_ && victim_->pid > 0) {
        ::kill(victim_->pid, SIGKILL);
        WaitExit(victim_->pid, 10);
        StartClient(*victim_);
        next_kill_ = T() + 2 + rng_() % 5;
    }
    for (auto& c : clients_) {
        if (c.get() == victim_ || c->pid <= 0) continue;
        if (const int rc = WaitExit(c->pid, 0); rc != -1) {
            Fail("client " + c->kind + " ended with " + std::to_string(rc));
            StartClient(*c);
        }
    }
}

int Soak::Run() {
    g_t0 = Clock::now();
    rng_.seed(seed_);
    if (fs::exists(kFaketimeLib)) {
        faketime_file_ = root_ + "/faketime.rc";
        std::ofstream(faketime_file_, std::ios::trunc) << "+0\n";
    }
    Schedule();
    std::printf("norvalt_soak: %.1f minutes, seed %u, root %s\nfault schedule:\n", seconds_ / 60,
                seed_, root_.c_str());
    for (auto& f : faults_)
        std::printf("  %7.1fs  %-26s %s%s\n", f.at, Name(f.kind),
                    f.line < 0 ? ""
                               : (f.line == 2 ? "COM3"
                                  : f.line    ? "COM2"
                                              : "COM1"),
                    f.length > 0 ? (" for " + std::to_string(int(f.length)) + " s").c_str() : "");
    std::fflush(stdout);
    Simulators();
    const std::string params = Params(true);
    const pid_t install = Spawn(
        {exe_, "/INSTALL", "/SILENT", "/PROTOCOL=3", "/PORT=CUST", "/COM1=ZRN9600", "/COM2=ZRN",
         "/SHIFT2=32", "/COM3=MN19200", "/SHIFT3=64", "/COM4=MN9600", "/COM5=TN9600"},
        root_ + "/service.out", nullptr);
    if (WaitExit(install, 60) != 0) {
        Fail("/INSTALL failed");
        return 1;
    }
    if (!StartService()) return 1;
    StartClients();
    size_t next = 0;
    std::vector<Fault*> open;
    while (T() < seconds_ && !g_stop) {
        const double tick = T();
        while (next < faults_.size() && faults_[next].at <= T()) {
            Fault& f = faults_[next++];
            Say("fault: " + std::string(Name(f.kind)) +
                (f.line < 0    ? ""
                 : f.line == 2 ? " on COM3"
                 : f.line      ? " on COM2"
                               : " on COM1"));
            Apply(f, true);
            if (f.length > 0)
                open.push_back(&f);
            else
                f.done = true;
        }
        for (auto it = open.begin(); it != open.end();) {
            if ((*it)->at + (*it)->length > T()) {
                ++it;
                continue;
            }
            Say("fault ends: " + std::string(Name((*it)->kind)));
            Apply(**it, false);
            (*it)->done = true;
            it = open.erase(it);
        }
        Tick();
        const double rest = 1.0 - (T() - tick);
        if (rest > 0) std::this_thread::sleep_for(std::chrono::duration<double>(rest));
    }
    if (g_stop) Fail("interrupted");
    for (Fault* f : open) Apply(*f, false);
    StopClients();
    StopService("end of run");
    for (auto& l : lines_) l.runner->Stop();
    fb_server_.reset();
    dm_server_.reset();
    boards_.reset();
    // A sanitizer's report in any of our processes' output is a failure.
    for (const char* file : {"service.out", "clients.out", "stray.out"}) {
        std::ifstream in(root_ + "/" + file);
        std::string line;
        while (std::getline(in, line))
            if (line.find("ERROR: AddressSanitizer") != std::string::npos ||
                line.find("ERROR: LeakSanitizer") != std::string::npos ||
                line.find("runtime error:") != std::string::npos ||
                line.find("WARNING: ThreadSanitizer") != std::string::npos) {
                Fail(std::string(file) + ": " + line);
                break;
            }
    }
    Table();
    std::printf("norvalt_soak: %s (seed %u)\n", g_failures ? "FAILED" : "passed", seed_);
    return g_failures ? 1 : 0;
}

void Soak::Table() {
    const double secs = T();
    std::printf("\n== closing table (%.0f s) ==\nexchanges/s per post:", secs);
    // Native posts by number; field-bus devices as COMn#address.
    for (auto [key, n] : exchanges_) {
        if (key < 300 && !post_line_.count(key) && key != moved_from_ + 32) continue;
        if (key >= 300 && key != 301 && key != 302 && key != 401 && key != 502 && key != 503)
            continue;
        if (key < 300)
            std::printf(" Post%d %.1f", key, n / secs);
        else
            std::printf(" COM%d#%d %.1f", key / 100, key % 100, n / secs);
    }
    std::printf("\n%-8s %8s %9s %8s %8s %8s %9s\n", "client", "issued", "completed", "refused",
                "timedout", "max ms", "calls");
    for (auto& c : clients_) {
        std::lock_guard lk(c->m);
        std::printf("%-8s %8ld %9ld %8ld %8ld %8ld %9ld\n", c->kind.c_str(), c->base[0] + c->issued,
                    c->base[1] + c->completed, c->base[2] + c->refused, c->base[3] + c->timedout,
                    c->max_ms, c->base[5] + c->calls);
    }
    std::map<std::string, std::pair<int, int>> by;
    for (auto& f : faults_)
        if (f.done) ++by[Name(f.kind)].first, by[Name(f.kind)].second += f.ok;
    std::printf("faults injected / survived:\n");
    for (auto& [k, n] : by) std::printf("  %-28s %d / %d\n", k.c_str(), n.first, n.second);
    std::printf("largest stale age %.1f s (bound %.0f); largest canary %.1f ms (bound %.0f)\n",
                max_stale_, kStaleS, max_canary_, kCanaryMs);
    // Growth: the last third of the samples against the first (after the start-up settles).
    std::vector<ProcStat> first, last;
    long rmin = 0, rmax = 0, tmin = 0, tmax = 0;
    // Growth is judged within the longest-lived service, after its start-up made its items
    // and threads (a fresh start begins low again).
    std::map<double, std::pair<double, double>> lives;  // start -> first, last sample
    for (auto& x : stats_) {
        auto& l = lives.try_emplace(x.started, x.t, x.t).first->second;
        l.second = x.t;
    }
    double life = -1, from = 0, span = 0;
    for (auto& [start, l] : lives)
        if (l.second - start > life)
            life = l.second - start, from = start + kWarmS, span = l.second - from;
    for (auto& [t, started, s] : stats_) {
        if (rmin == 0 || s.rss_kb < rmin) rmin = s.rss_kb;
        if (tmin == 0 || s.threads < tmin) tmin = s.threads;
        rmax = std::max(rmax, s.rss_kb);
        tmax = std::max(tmax, s.threads);
        if (span <= 0 || t < from) continue;
        if (t < from + span / 3) first.push_back(s);
        if (t > from + 2 * span / 3) last.push_back(s);
    }
    std::printf("RSS %ld..%ld KiB, threads %ld..%ld\n", rmin, rmax, tmin, tmax);
    auto median = [](std::vector<long> v) {
        if (v.empty()) return 0L;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    auto pick = [](const std::vector<ProcStat>& v, long ProcStat::*f) {
        std::vector<long> out;
        for (auto& s : v) out.push_back(s.*f);
        return out;
    };
    if (!first.empty() && !last.empty()) {
        const long r1 = median(pick(first, &ProcStat::rss_kb)),
                   r3 = median(pick(last, &ProcStat::rss_kb));
        const long t1 = median(pick(first, &ProcStat::threads)),
                   t3 = median(pick(last, &ProcStat::threads));
        const long f1 = median(pick(first, &ProcStat::fds)),
                   f3 = median(pick(last, &ProcStat::fds));
        std::printf("median first/last third: RSS %ld/%ld KiB, threads %ld/%ld, fds %ld/%ld\n", r1,
                    r3, t1, t3, f1, f3);
        if (r3 > r1 * kRssGrowth + kRssSlackKb)
            Fail("RSS grew from " + std::to_string(r1) + " to " + std::to_string(r3) + " KiB");
        if (t3 > t1 + kThreadSlack)
            Fail("threads grew from " + std::to_string(t1) + " to " + std::to_string(t3));
        if (f3 > f1 + kFdSlack)
            Fail("descriptors grew from " + std::to_string(f1) + " to " + std::to_string(f3));
    }
    const double per_min = log_written_ / std::max(1.0, (secs - log_from_) / 60);
    std::printf("log bytes/minute %.0f (bound %.0f)\n", per_min, kLogBytesPerMin);
    if (per_min > kLogBytesPerMin)
        Fail("the log folder grows " + std::to_string(long(per_min)) + " bytes a minute");
}

}  // namespace

int main(int argc, char** argv) {
    const std::string self = fs::canonical("/proc/self/exe").string();
    if (argc >= 3 && std::string(argv[1]) == "--client")
        soak::RunClient(argv[2], std::vector<std::string>(argv + 3, argv + argc));
    double minutes = 3;
    uint32_t seed = static_cast<uint32_t>(std::random_device{}());
    std::string exe = (fs::path(self).parent_path() / ".." / "bin" / "NorvaltDrv").string();
    std::string root = "/tmp/norvalt-soak";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--minutes" && v)
            minutes = std::atof(v), ++i;
        else if (a == "--seed" && v)
            seed = static_cast<uint32_t>(std::strtoul(v, nullptr, 0)), ++i;
        else if (a == "--service" && v)
            exe = v, ++i;
        else if (!a.empty() && a[0] != '-')
            root = a;
        else {
            std::fprintf(stderr,
                         "usage: norvalt_soak [--minutes N] [--seed S] [--service PATH] [ROOT]\n"
                         "  ROOT: private system root, default /tmp/norvalt-soak (made and "
                         "marked, cleared on every run)\n");
            return 2;
        }
    }
    if (minutes <= 0) minutes = 3;
    root = fs::absolute(root).lexically_normal().string();
    if (const std::string problem = demo::PrepareRoot(root); !problem.empty()) {
        std::fprintf(stderr, "norvalt_soak: %s\n", problem.c_str());
        return 1;
    }
    std::error_code ec;
    for (const char* d : {"c", "run", "units"}) fs::remove_all(fs::path(root) / d, ec);
    for (const char* f : {"service.out", "clients.out", "stray.out"})
        fs::remove(fs::path(root) / f, ec);
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGINT, OnSignal);
    ::signal(SIGTERM, OnSignal);
#if defined(__SANITIZE_ADDRESS__)
    // A small quarantine, so that the service's RSS shows growth rather than freed memory held.
    const char* asan = std::getenv("ASAN_OPTIONS");
    ::setenv("ASAN_OPTIONS",
             ((asan && *asan ? std::string(asan) + ":" : std::string()) + "quarantine_size_mb=16")
                 .c_str(),
             1);
#endif
    plat::SetSystemRoot(root);
    ::setenv("NORVALT_ROOT", root.c_str(), 1);
    ::setenv("NORVALT_UNIT_DIR", (root + "/units").c_str(), 1);
    tlb::RegisterTypeLibInterfaces();
    opc::RegisterOpcDaInterfaces();
    Soak soak(fs::absolute(exe).string(), self, root, minutes, seed);
    return soak.Run();
}
