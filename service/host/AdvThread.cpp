#include "service/host/AdvThread.h"

#include <chrono>
#include <unordered_set>
#include <vector>

#include "platform/rpc/wire.h"
#include "platform/thread/thread.h"
#include "platform/time/clock.h"
#include "platform/types/datetime.h"
#include "service/core/base/ChangeRing.h"
#include "service/core/base/Errors.h"
#include "service/core/base/SyncLock.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/host/PostCache.h"

namespace drv {

namespace {

constexpr const char* kTagPass = "{3F0B7C52-1D6E-4A8B-9C25-7E41D0A6B913}";
constexpr const char* kTagFatal = "NorvaltEvents Advise Thread fatal";
// Waits on the change ring are cut into slices so that a termination is seen soon.
constexpr uint32_t kWaitSliceMs = 50;
constexpr int kLocalWorkBoundS = 30;

std::atomic<int> g_running{0};

constexpr int64_t KeyOf(int post, int index) {
    return int64_t{post} * 64 + (index - kFirstPostIndex);
}

// The cursor that is further along the ring.
uint32_t Newer(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) > 0 ? a : b;
}

}  // namespace

TAdvThread::TAdvThread(ComPtr<tlb::INorvaltEvents> sink, ComPtr<tlb::INorvaltEventsEx> sink_ex)
    : sink_(std::move(sink)), sink_ex_(std::move(sink_ex)) {}

TAdvThread::~TAdvThread() {
    if (!thread_.joinable()) return;
    // The last owner may be the thread itself (its start routine holds one).
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

int TAdvThread::Running() {
    return g_running.load();
}

// decisions HOST-31
void TAdvThread::Start(std::shared_ptr<TAdvThread> predecessor) {
    std::lock_guard lk(join_mutex_);
    if (thread_.joinable()) return;
    predecessor_ = std::move(predecessor);
    thread_ = std::thread([self = shared_from_this()] { self->Execute(); });
}

void TAdvThread::Terminate() {
    {
        std::lock_guard lk(wake_mutex_);
        terminated_.store(true);
    }
    wake_cv_.notify_all();
}

bool TAdvThread::Stop(uint32_t grace_ms) {
    Terminate();
    {
        std::lock_guard lk(join_mutex_);
        if (!thread_.joinable()) return finished_.load();
        // From inside an event (the client unregisters in its handler): the thread sees the
        // termination when the call returns and ends by itself.
        if (thread_.get_id() == std::this_thread::get_id()) return false;
    }
    std::unique_lock lk(wake_mutex_);
    // Outside sink calls the thread does only local work and sees the termination within a
    // wait slice; the bound is a safety net.
    wake_cv_.wait_for(lk, std::chrono::seconds(kLocalWorkBoundS),
                      [&] { return finished_.load() || in_call_; });
    // Inside one, its end depends on the client: a reply may have to come through the very
    // connection whose release brought us here.
    if (!finished_.load()) plat::WaitFor(wake_cv_, lk, grace_ms, [&] { return finished_.load(); });
    return finished_.load();
}

bool TAdvThread::InCall() {
    std::lock_guard lk(wake_mutex_);
    return in_call_;
}

template <class F>
HRESULT TAdvThread::CallSink(F&& call) {
    struct Mark {
        TAdvThread& t;
        explicit Mark(TAdvThread& t) : t(t) { Set(true); }
        ~Mark() { Set(false); }
        void Set(bool v) {
            {
                std::lock_guard lk(t.wake_mutex_);
                t.in_call_ = v;
            }
            t.wake_cv_.notify_all();
        }
    } mark(*this);
    return call();
}

void TAdvThread::WaitForPredecessor() {
    std::unique_lock lk(predecessor_->wake_mutex_);
    while (!predecessor_->finished_.load() && !terminated_.load())
        plat::WaitFor(predecessor_->wake_cv_, lk, kWaitSliceMs,
                      [&] { return predecessor_->finished_.load(); });
}

bool TAdvThread::WaitAllEnded(uint32_t ms) {
    const uint32_t start = plat::GetTickCount();
    while (g_running.load() > 0) {
        if (plat::TickDiff(plat::GetTickCount(), start) >= ms) return false;
        plat::Sleep(10);
    }
    return true;
}

void TAdvThread::Pause(uint32_t ms) {
    std::unique_lock lk(wake_mutex_);
    plat::WaitFor(wake_cv_, lk, ms, [&] { return terminated_.load(); });
}

void TAdvThread::Execute() {
    g_running.fetch_add(1);
    try {
        plat::SetCurrentThreadName("NorvaltEvents");
        if (predecessor_) {
            WaitForPredecessor();
            predecessor_.reset();
        }
        if (!sink_ && !sink_ex_) throw Exception("No Intfs");
        events_ = sink_ ? sink_ : ComPtr<tlb::INorvaltEvents>(sink_ex_.Get());
        cursor_ = wait_mark_ = ChangeRing().Head();
        rescan_ = true;
        while (!terminated_.load()) {
            try {
                Pass();
            } catch (const std::exception& e) {
                WriteProtocolLine(
                    std::string(kTagPass) + " " + ExceptionClassName(e) + " " + e.what(),
                    PL_EXTERNAL);
                Pause(kExceptionPauseMs);
            }
        }
    } catch (const std::exception& e) {
        ProtocolException(e, kTagFatal);
    } catch (...) {
        ProtocolCurrentException(kTagFatal);
    }
    // The client's references go back from this thread, before anyone is told it ended.
    events_ = nullptr;
    sink_ = nullptr;
    sink_ex_ = nullptr;
    predecessor_.reset();
    charge_.reset();
    g_running.fetch_sub(1);
    {
        std::lock_guard lk(wake_mutex_);
        finished_.store(true);
    }
    wake_cv_.notify_all();
}

bool TAdvThread::Pass() {
    if (!ScanPosts()) return false;
    ScanChanges();
    // A terminated thread calls the client no more: it may have let go of the station already.
    if (terminated_.load()) return true;
    if (any_pending_ && !SendOne()) return false;
    // While events wait, the next pass follows at once: one event per pass, not per wait.
    if (any_pending_ || terminated_.load()) return true;

    uint32_t mark = Newer(cursor_, wait_mark_);
    bool moved = false;
    for (uint32_t waited = 0; waited < kWaitMs && !terminated_.load(); waited += kWaitSliceMs) {
        if (ChangeRing().Wait(mark, kWaitSliceMs) == TChangeRing::Moved) {
            moved = true;
            break;
        }
    }
    wait_mark_ = mark;
    if (!moved && sink_ex_ && !terminated_.load())
        // decisions HOST-27
        return Check("PostWithoutChanges",
                     CallSink([&] { return sink_ex_->PostWithoutChanges(0, plat::NowLocal()); }));
    return true;
}

bool TAdvThread::ScanPosts() {
    const int32_t version = CurrentAddrSpaceVersion();
    if (version_known_ && version == version_) return true;
    std::set<int> present;
    for (int post : PostsWithState()) {
        if (post <= kMaxEventPost) {
            present.insert(post);
        } else if (unreportable_.insert(post).second) {
            WriteProtocolLine("NorvaltEvents post " + std::to_string(post) +
                                  " has no 8-bit event number and is not reported",
                              PL_EXTERNAL);
        }
    }
    std::set<int> all = present;
    for (const auto& entry : posts_) all.insert(entry.first);
    for (int post : all) {
        if (terminated_.load()) return false;
        const bool is_present = present.count(post) != 0;
        const bool marked = posts_.count(post) != 0;
        if (is_present && !marked) {
            if (!Check("PostFound",
                       CallSink([&] { return events_->PostFound(static_cast<int8_t>(post)); })))
                return false;
            posts_[post] = PostTable{};
            // The client learns the new post's state and values without waiting for a change.
            ExaminePost(post);
        } else if (!is_present && marked) {
            if (!Check("PostDeleted",
                       CallSink([&] { return events_->PostDeleted(static_cast<int8_t>(post)); })))
                return false;
            posts_.erase(post);
        }
    }
    any_pending_ = false;
    for (const auto& [post, table] : posts_)
        for (const Entry& e : table) any_pending_ = any_pending_ || e.pending;
    // Variables may have joined posts that were already known: look at every post again.
    rescan_ = true;
    // Recorded only after a scan without a failed call: a failure repeats the scan.
    version_ = version;
    version_known_ = true;
    return true;
}

void TAdvThread::ScanChanges() {
    std::vector<int32_t> ids;
    std::unordered_set<int32_t> seen;
    bool overrun = false;
    for (;;) {
        int32_t value = 0;
        const int r = ChangeRing().Read(cursor_, value);
        if (r == TChangeRing::Nothing) break;
        if (r == TChangeRing::Overrun) {
            overrun = true;
            break;
        }
        ++cursor_;
        if (value >= 0 && seen.insert(value).second) ids.push_back(value);
    }
    if (overrun || rescan_) {
        rescan_ = false;
        for (const auto& entry : posts_) ExaminePost(entry.first);
        return;
    }
    for (int32_t id : ids) {
        int post = 0, index = 0;
        if (FindPostOfItem(id, post, index) && posts_.count(post)) Examine(post, index, id);
    }
}

void TAdvThread::ExaminePost(int post) {
    TPostRecord r;
    if (!GetPostRecord(post, r)) return;
    if (r.Has(kFirstPostIndex)) Examine(post, kFirstPostIndex, r.ItemID(kFirstPostIndex));
    for (int i = 0; i < r.count; ++i) {
        const int index = r.codes[static_cast<size_t>(i)];
        Examine(post, index, r.ItemID(index));
    }
}

void TAdvThread::Examine(int post, int index, int32_t id) {
    auto table = posts_.find(post);
    if (table == posts_.end() || index < kFirstPostIndex || index > kLastPostIndex) return;
    ComPtr<TLeafItem> item = GetItemAs<TLeafItem>(id);
    if (!item) return;
    int64_t value;
    double time;
    if (index == kFirstPostIndex) {
        const tlb::TState st = ReadStateValue(*item);
        value = st.Value;
        time = st.TimeStamp;
    } else {
        tlb::TVariableValue vv;
        if (plat::Failed(ReadVariableValue(*item, vv))) return;
        value = vv.Value.int64;
        time = vv.TimeStamp;
    }
    Entry& e = table->second[static_cast<size_t>(index - kFirstPostIndex)];
    if (e.seen && e.value == value) {
        if (e.pending) e.time = time;  // sent once, with the newest stamp
        return;
    }
    e.seen = true;
    e.value = value;
    e.time = time;
    e.pending = true;
    any_pending_ = true;
}

bool TAdvThread::SendOne() {
    // The first pending entry at or after the round-robin position, else the first of all.
    struct Pick {
        const Entry* entry = nullptr;
        int post = 0, index = 0;
        int64_t key = 0;
    } found, first;
    int pending = 0;
    for (auto& [post, table] : posts_) {
        for (int index = kFirstPostIndex; index <= kLastPostIndex; ++index) {
            const Entry& e = table[static_cast<size_t>(index - kFirstPostIndex)];
            if (!e.pending) continue;
            ++pending;
            const Pick here{&e, post, index, KeyOf(post, index)};
            if (!first.entry) first = here;
            if (!found.entry && here.key >= rr_key_) found = here;
        }
    }
    if (!found.entry) found = first;
    if (!found.entry) {
        any_pending_ = false;
        return true;
    }
    const int found_post = found.post, found_index = found.index;
    const int64_t found_key = found.key;
    const Entry* const entry = found.entry;

    const auto post8 = static_cast<int8_t>(found_post);
    HRESULT hr;
    const char* name;
    if (found_index == kFirstPostIndex) {
        name = "StateChanged";
        const tlb::TState st{static_cast<tlb::TStateEnum>(entry->value), entry->time};
        hr = CallSink([&] { return events_->StateChanged(post8, st); });
    } else {
        // decisions HOST-26
        name = "VarValueChanged";
        tlb::TVariableValue v;
        v.Value.int64 = entry->value;
        v.TimeStamp = entry->time;
        hr = CallSink([&] {
            return events_->VarValueChanged(post8, static_cast<tlb::TVariableEnum>(found_index), v);
        });
    }
    // A failed call keeps the event: it goes out with the next pass that gets through.
    if (!Check(name, hr)) return false;
    auto table = posts_.find(found_post);
    if (table != posts_.end())
        table->second[static_cast<size_t>(found_index - kFirstPostIndex)].pending = false;
    rr_key_ = found_key + 1;
    any_pending_ = pending > 1;
    return true;
}

bool TAdvThread::Check(std::string_view event, HRESULT hr) {
    if (plat::Succeeded(hr)) {
        if (const uint32_t n = errors_.exchange(0); n > 0)
            WriteProtocolLine("INorvaltEvents." + std::string(event) + " works again after " +
                                  std::to_string(n) + " errors",
                              PL_EXTERNAL);
        return true;
    }
    // decisions HOST-28
    if (hr == plat::RPC_E_DISCONNECTED || hr == plat::rpc::CO_E_OBJNOTCONNECTED) {
        // The client is gone: no retry can ever reach it.
        WriteProtocolLine("INorvaltEvents." + std::string(event) + " error " + std::to_string(hr),
                          PL_EXTERNAL);
        errors_.fetch_add(1);
        Terminate();
        return false;
    }
    Pause(kErrorPauseMs);
    WriteProtocolLine("INorvaltEvents." + std::string(event) + " error " + std::to_string(hr),
                      PL_EXTERNAL);
    if (errors_.fetch_add(1) + 1 > kMaxErrors) {
        WriteProtocolLine(
            "NorvaltEvents thread stops after " + std::to_string(errors_.load()) + " failed calls",
            PL_EXTERNAL);
        Terminate();
    }
    return false;
}

}  // namespace drv
