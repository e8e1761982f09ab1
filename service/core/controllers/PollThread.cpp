#include "service/core/controllers/PollThread.h"

#include <charconv>

#include "platform/registry/registry.h"
#include "platform/thread/thread.h"
#include "platform/time/clock.h"
#include "service/core/controllers/ControllerClasses.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {

std::string Num(int64_t v) {
    return std::to_string(v);
}

constexpr std::string_view kTagNoController = "5D99566D-22F3-41EA-B245-EE77418333EE";
constexpr std::string_view kTagProbe = "12628300-912A-41BA-98DE-589217D13EC0";
constexpr std::string_view kNoConnect = "No connect";
constexpr std::string_view kTagFromReg = "FromReg";
constexpr std::string_view kTagRegKey = "EB70B836-EEFC-40FC-859A-4D8F780BCADB";
constexpr std::string_view kTagRegPost = "7D14AF10-8C4C-4D1F-AD8C-E4C2C141B0FD";
constexpr std::string_view kBadRegEntry = "ZrnDev entry";

}  // namespace

// --- construction and the thread --------------------------------------------------------------

TProcessThread::TProcessThread(NoStart, int index, uint32_t baud, bool emulation, int shift,
                               bool default_mode)
    : index_(index), shift_(shift) {
    port_ = std::make_unique<TZrnPort>(this, baud, emulation, static_cast<uint8_t>(index + 1));
    int open = port_->Open();
    registered_ = open != kPortNotFound || default_mode;
}

TProcessThread::TProcessThread(int index, uint32_t baud, bool emulation, int shift,
                               bool default_mode)
    : TProcessThread(NoStart{}, index, baud, emulation, shift, default_mode) {
    if (registered_) Start();
}

std::unique_ptr<TProcessThread> TProcessThread::CreateStopped(int index, uint32_t baud,
                                                              bool emulation, int shift,
                                                              bool default_mode) {
    return std::unique_ptr<TProcessThread>(
        new TProcessThread(NoStart{}, index, baud, emulation, shift, default_mode));
}

void TProcessThread::Start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Execute(); });
}

TProcessThread::~TProcessThread() {
    terminated_ = true;
    if (thread_.joinable())
        thread_.join();
    else
        Shutdown();
}

void TProcessThread::Install() {
    SetPortFactory(PortKind::Native, [](const PortStartInfo& info) -> std::unique_ptr<TPortObject> {
        return std::make_unique<TProcessThread>(info.index, info.baud, info.emulation, info.shift,
                                                info.default_mode);
    });
}

void TProcessThread::Execute() {
    std::string refusal;
    plat::SetCurrentThreadPriority(plat::ThreadPriority::Highest, &refusal);
    plat::SetCurrentThreadName("COM" + std::to_string(index_ + 1));
    port_->Log().Log("Start " + Num(plat::CurrentThreadId()) + " " + Num(shift_), PL_INFO);
    if (!refusal.empty()) port_->Log().Log(refusal, PL_INFO);
    step_ = 0;
    ScanRegisteredDevices();
    while (!terminated_.load()) {
        try {
            PollStep();
        } catch (...) {
            ProtocolCurrentException("TProcessThread.PollStep COM" + std::to_string(index_ + 1));
        }
    }
    Shutdown();
}

void TProcessThread::Shutdown() {
    for (int a = 1; a <= 31; ++a) {
        try {
            RemoveDevice(a);
        } catch (...) {
            ProtocolCurrentException("TProcessThread.RemoveDevice");
        }
    }
    if (port_) {
        port_->Log().Log("Stop", PL_INFO);
        port_->Close();
    }
}

// --- owner duties -------------------------------------------------------------------------

void TProcessThread::SetPortState(int code) {
    drv::SetPortState(this, index_, code);
}

void TProcessThread::ClearSeen() {
    // The probe times survive: zeroed, every empty address would rank "never served" after
    // each reopen, and the silent probes that follow bring on the next reopen.
    // decisions CORE-18
    last_seen_.fill(0);
}

void TProcessThread::PostCountChanged(int delta) {
    post_count_ += delta;
    SetPortState(0);
}

TBasicTork* TProcessThread::GetDevice(int address) {
    if (address < 1 || address > 31) return nullptr;
    return devices_[static_cast<size_t>(address)].Get();
}

void TProcessThread::RemoveDevice(int address) {
    if (address < 1 || address > 31) return;
    ComPtr<TBasicTork> dev = std::move(devices_[static_cast<size_t>(address)]);
    devices_[static_cast<size_t>(address)] = nullptr;
    if (!dev) return;
    empty_probes_[static_cast<size_t>(address)] =
        0;  // a removed post's address is looked for again first
    unsampled_cycle_[static_cast<size_t>(address)] = 0;
    dev->Remove();
    highest_ = 0;
    for (int a = 31; a >= 1; --a)
        if (devices_[static_cast<size_t>(a)]) {
            highest_ = a;
            break;
        }
}

void TProcessThread::RegisterAddress(int address) {
    if (address >= 1 && address <= 31) registered_set_ |= 1u << address;
}

// --- polling -------------------------------------------------------------------------------

TPollPriority TProcessThread::MakeProbeRecord(int address) {
    TPollPriority r;
    // A registered address ranks ahead of the posts only for its first kRegisteredProbeTries
    // probes that leave it empty (silent, or no object could be built); then it takes its turn
    // with the other empty addresses.
    const bool registered = ((registered_set_.load() >> address) & 1u) &&
                            empty_probes_[static_cast<size_t>(address)] < kRegisteredProbeTries;
    r.kind = registered ? 4 : 3;
    r.cls = registered ? 0 : 4;
    // decisions CORE-17
    r.busy = SearchMode().load() != 0 ? 1 : 0;  // the "highest priority" byte of a probe
    r.probe = 1;
    // Ranked by the last attempt: an address that never answers would otherwise count as
    // never served and win every step, starving the controllers.
    r.tick = std::max(last_seen_[static_cast<size_t>(address)],
                      last_probe_[static_cast<size_t>(address)]);
    r.factor = 1.0;
    return r;
}

void TProcessThread::PollStep() {
    // decisions CORE-20
    const uint32_t step = step_.load();
    // A closed line is opened again at most once a second. Until then no address is probed,
    // and the controllers still get their cycles: their exchanges fail at once, so their
    // posts show the lost link instead of keeping the last good state.
    const bool line_open = port_->OpenIfDue();
    if (!line_open) plat::Sleep(kClosedStepMs);
    if (line_open && post_count_.load() == 0) {
        // Told once when the port is left without controllers; every step after that only at
        // the detail level, or a dead line fills the log with it.
        // decisions CORE-59
        const bool repeat = no_controller_told_;
        port_->Log().Log(kTagNoController, repeat ? PL_DETAIL : PL_INFO,
                         repeat ? kTagNoController : "");
        no_controller_told_ = true;
        port_->CheckLine();
        ScanRegisteredDevices(repeat);
    }
    if (post_count_.load() != 0) no_controller_told_ = false;
    // Until every address has been probed once since the thread started, every other step
    // walks them all and ends at the lowest one not yet probed, which then wins as never
    // served: the controllers present are found in address order within the first steps,
    // and those found are served in the steps between. Walking only up to the one controller
    // found first, the others waited for the sweeps of every tenth step.
    // decisions CORE-54
    const int unprobed = line_open ? LowestUnprobed() : 0;
    const bool first_round = unprobed != 0 && (step % 2 == 0 || highest_ == 0);
    const int range = first_round || step % 10 == 0 || highest_ == 0 ? 31 : highest_;
    const int start =
        first_round ? unprobed % 31 + 1 : static_cast<int>(step % static_cast<uint32_t>(range)) + 1;
    TPollPriority best;
    int chosen = 0;
    for (int k = 0; k < range; ++k) {
        const int a = (start - 1 + k) % range + 1;
        TBasicTork* dev = devices_[static_cast<size_t>(a)].Get();
        if (!dev && !line_open) continue;
        if (dev && dev->LinkState() != LINK_OK) {
            chosen = a;
            break;
        }
        TPollPriority rec = dev ? dev->GetPollPriority() : MakeProbeRecord(a);
        // A cycle that raised or ran a command left no state sample behind; it still counts as
        // a service, or a post failing that way or kept busy with writes would win every step.
        if (dev) {
            const uint64_t sampled = rec.tick;  // a copy: the record is packed
            rec.tick = std::max(sampled, unsampled_cycle_[static_cast<size_t>(a)]);
            // Waiting commands rank a post first only now and then: a client that keeps its
            // queue full would otherwise have the line to itself.
            uint8_t& spent = priority_spent_[static_cast<size_t>(a)];
            uint32_t& since = priority_since_[static_cast<size_t>(a)];
            if (const uint32_t back = (step - since) / kPriorityEvery; spent != 0 && back != 0) {
                spent = back >= spent ? 0 : static_cast<uint8_t>(spent - back);
                since += back * kPriorityEvery;
            }
            if (rec.busy && spent >= kPriorityBurst) rec.busy = 0;
        }
        if (ComparePollPriority(best, rec)) {
            chosen = a;
            if (rec.busy) {
                port_->Log().Log(" highest priority addr=" + Num(a), PL_INFO);
                if (dev && priority_spent_[static_cast<size_t>(a)]++ == 0)
                    priority_since_[static_cast<size_t>(a)] = step;
                break;
            }
        }
    }
    last_chosen_ = chosen;
    // Counted before the work: a cycle that raises must not hold the counter, or the sweep of
    // every tenth step would never come again.
    step_ = step + 1;
    if (chosen != 0) {
        if (ComPtr<TBasicTork> dev = devices_[static_cast<size_t>(chosen)]) {
            port_->Log().Log(" priority addr=" + Num(chosen) + " " + Num(dev->RoundRobinCode()),
                             PL_INFO);
            const uint8_t link = dev->LinkState();
            if (link != LINK_OK) {
                if (link == LINK_REGISTER) RegisterAddress(chosen);
                RemoveDevice(chosen);
                port_->Log().Log("347341A5-64F9-437B-93F8-9B4715ABAACC " + Num(chosen), PL_INFO);
            } else {
                // decisions CORE-50
                const bool command = dev->Queue().HasCommands();
                try {
                    dev->ExecuteNextCommand();
                } catch (...) {
                    unsampled_cycle_[static_cast<size_t>(chosen)] = plat::GetTickCount64();
                    throw;
                }
                if (command) unsampled_cycle_[static_cast<size_t>(chosen)] = plat::GetTickCount64();
            }
        } else {
            ProbeAddress(chosen);
        }
    }
}

int TProcessThread::LowestUnprobed() const {
    for (int a = 1; a <= 31; ++a)
        if (!devices_[static_cast<size_t>(a)] && last_probe_[static_cast<size_t>(a)] == 0) return a;
    return 0;
}

std::string TProcessThread::ProgramIDText(int address) {
    std::string text;
    for (uint8_t p : {147, 146, 145}) {
        uint8_t v = 0;
        if (!port_->ReadParam(static_cast<uint8_t>(address), p, kModeChecksumLow2, true, v))
            return {};
        text += ByteToNibbles(v);
    }
    return text;
}

void TProcessThread::ProbeAddress(int address) {
    const auto a = static_cast<uint8_t>(address);
    // An address whose silence was told is probed without a line of its own each time: its
    // probes are counted (decisions CORE-59).
    const uint32_t bit = 1u << address;
    const bool silent = (silence_told_ & bit) != 0;
    port_->Log().Log(std::string(kTagProbe) + " " + Num(address), PL_DETAIL,
                     silent ? kTagProbe : "");
    last_probe_[a] = plat::GetTickCount64();
    if (empty_probes_[a] < 255) ++empty_probes_[a];  // cleared when an object stays
    uint8_t value = 0;
    std::string data;
    if (!port_->ReadParam(a, 148, kModeChecksumLow2, true, value, &data) || data.size() < 3) {
        port_->Log().Log(std::string(kNoConnect) + " " + Num(address), silent ? PL_DETAIL : PL_INFO,
                         silent ? kNoConnect : "");
        silence_told_ |= bit;
        return;
    }
    silence_told_ &= ~bit;
    const DATE now = plat::NowLocal();
    last_seen_[a] = plat::GetTickCount64();
    uint8_t family = data.substr(1, 2) == "??" ? 90 : DigitsToByte(data.substr(1, 2));
    port_->Log().Log("98CD8DD1-540D-4B53-8000-863FD5939704 " + Num(address) + " " + Num(family),
                     PL_INFO);
    uint8_t version_param = 149;
    if (family == 0) {
        if (!port_->ReadParam(a, 235, kModeChecksumLow2, true, value, &data) || data.size() < 3)
            return;
        family = DigitsToByte(data.substr(1, 2));
        port_->Log().Log("A5A29FF7-828E-472E-846C-5E508E9B110A " + Num(address) + " " + Num(family),
                         PL_INFO);
        version_param = 236;
    }
    if (!port_->ReadParam(a, version_param, kModeChecksumLow2, true, value, &data) ||
        data.size() < 3) {
        port_->Log().Log("0D693CBF-75D4-44CF-9A32-BA511431F8B2", PL_EXTERNAL);
        return;
    }
    last_seen_[a] = plat::GetTickCount64();
    const uint8_t version = value;
    port_->Log().Log("00A11CA1-2E0A-4355-A91F-3A392E00A4DF " + Num(address) + " " + Num(version),
                     PL_INFO);

    // Every program ID of the table is empty, so the identity text is read only for a fallback.
    const ProgramMatch program = FindProgram(family, version);
    TorkCreateArgs args{this, a, family, version, now};
    ComPtr<TBasicTork> obj;
    try {
        if (program.found) obj = CreateTork(program.cls, args);
        if (!obj) {
            if (program.found)
                WriteProtocolLine("COM" + std::to_string(index_ + 1) + " address " + Num(address) +
                                      ": no driver for family " + Num(family) + " version " +
                                      Num(version) + " yet",
                                  PL_EXTERNAL);
            else
                WriteProtocolLine("67B787FC-55E8-45A4-8F03-72A1FB2BA80E", PL_EXTERNAL);
            obj = CreateTorkX(args, program.family_known && version > program.newest,
                              ProgramIDText(address), false);
        }
        if (obj && obj->LinkState() == LINK_FAILED) {
            obj->Remove();
            WriteProtocolLine("C55AFBAB-DD21-4070-B0AB-2C45CE81CEC9", PL_EXTERNAL);
            obj = CreateTorkX(args, true, ProgramIDText(address), true);
        }
        // Without the drivers library installed nothing can stand for the controller.
        if (!obj) return;
        if (obj->LinkState() != LINK_OK) {
            obj->Remove();
            return;
        }
    } catch (...) {
        ProtocolCurrentException("TProcessThread.ProbeAddress " + Num(address));
        if (obj) obj->Remove();
        return;
    }
    highest_ = std::max(highest_, address);
    obj->ParseReply(data.empty() ? '\0' : data[0], 'X', plat::NowLocal());
    if (obj->LinkState() == LINK_OK) obj->AddItemsToNS();
    devices_[a] = obj;
    empty_probes_[a] = 0;
}

void TProcessThread::ScanRegisteredDevices(bool repeat) {
    using plat::reg::Hive;
    // decisions CORE-59
    const int info = repeat ? PL_DETAIL : PL_INFO;
    auto key = [repeat](std::string_view k) { return repeat ? k : std::string_view(); };
    port_->Log().Log(kTagFromReg, info, key(kTagFromReg));
    std::string root(kZrnDevKey);
    root.pop_back();  // without the trailing separator
    std::vector<std::string> names;
    if (plat::reg::EnumSubKeys(Hive::LocalMachine, root, names) != plat::ERROR_SUCCESS) return;
    for (const std::string& name : names) {
        port_->Log().Log(std::string(kTagRegKey) + " " + name, info, key(kTagRegKey));
        uint32_t com = 0;
        if (plat::reg::ReadDword(Hive::LocalMachine, root + "\\" + name, "ComPort", com) !=
                plat::ERROR_SUCCESS ||
            com != static_cast<uint32_t>(index_ + 1))
            continue;
        int post = 0;
        auto r = std::from_chars(name.data(), name.data() + name.size(), post);
        // A key that is no post number, or a post outside this port's 31 addresses, is skipped.
        if (r.ec != std::errc() || r.ptr != name.data() + name.size() || post - shift_ < 1 ||
            post - shift_ > 31) {
            port_->Log().Log(
                std::string(kBadRegEntry) + " \"" + name + "\" does not name a post of this port",
                PL_EXTERNAL, key(kBadRegEntry));
            continue;
        }
        RegisterAddress(post - shift_);
        port_->Log().Log(std::string(kTagRegPost) + name, info, key(kTagRegPost));
    }
}

}  // namespace drv
