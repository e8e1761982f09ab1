// The event thread of one TStation with a registered sink: tells the client which posts appear
// and go, and every change of a post's state or offered variable, one call at a time.
#pragma once
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>

#include "platform/com/unknown.h"
#include "service/core/base/ObjectBase.h"
#include "service/host/StationTable.h"
#include "service/typelib/TypeLib.h"

namespace drv {

class TAdvThread : public std::enable_shared_from_this<TAdvThread> {
  public:
    // Either sink may be null, not both (the thread then ends at once with "No Intfs").
    TAdvThread(ComPtr<tlb::INorvaltEvents> sink, ComPtr<tlb::INorvaltEventsEx> sink_ex);
    ~TAdvThread();
    TAdvThread(const TAdvThread&) = delete;
    TAdvThread& operator=(const TAdvThread&) = delete;

    // `predecessor`: the thread this one replaces; it is waited for before the first event
    // (unless this one is terminated first), so a client never hears two threads at once.
    void Start(std::shared_ptr<TAdvThread> predecessor = nullptr);
    // Asks the thread to end and wakes it.
    void Terminate();
    // Terminates the thread and waits for its end, but never on the client: while the thread
    // is inside a sink call it waits at most `grace_ms` of the process clock, then leaves the
    // thread to end by itself when the call returns (the thread owns itself until then). Does
    // not wait when called on the thread itself (a client that unregisters inside an event).
    // True when the thread has ended.
    bool Stop(uint32_t grace_ms = kStopGraceMs);
    bool Terminated() const { return terminated_.load(); }
    bool Finished() const { return finished_.load(); }
    // Inside a call to the client's sink.
    bool InCall();
    uint32_t ErrorCount() const { return errors_.load(); }
    // Held until the thread has ended: the place it takes in its client's quota.
    void SetCharge(std::shared_ptr<void> charge) { charge_ = std::move(charge); }

    // Threads between the start and the end of Execute, in this process.
    static int Running();
    // Waits up to `ms` of the process clock until no event thread runs; false when some still do.
    static bool WaitAllEnded(uint32_t ms);

    static constexpr uint32_t kStopGraceMs = 1000;

    static constexpr uint32_t kWaitMs = 10000;
    static constexpr uint32_t kMaxErrors = 100;
    static constexpr uint32_t kErrorPauseMs = 100;
    static constexpr uint32_t kExceptionPauseMs = 1000;
    // Event post numbers are signed 8-bit.
    static constexpr int kMaxEventPost = 127;

  private:
    struct Entry {
        bool seen = false;
        bool pending = false;
        int64_t value = 0;  // Currency, or the state
        double time = 0;
    };
    using PostTable = std::array<Entry, kPostIndexCount>;

    void Execute();
    // One pass; false when a sink call failed (the rest of the pass is skipped).
    bool Pass();
    bool ScanPosts();
    void ScanChanges();
    void Examine(int post, int index, int32_t id);
    void ExaminePost(int post);
    bool SendOne();
    bool Check(std::string_view event, HRESULT hr);
    // Runs one call into the client's sink, marked as such for Stop.
    template <class F>
    HRESULT CallSink(F&& call);
    void WaitForPredecessor();
    // Sleeps on the process clock unless terminated first.
    void Pause(uint32_t ms);

    ComPtr<tlb::INorvaltEvents> sink_;
    ComPtr<tlb::INorvaltEventsEx> sink_ex_;

    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    bool in_call_ = false;  // wake_mutex_
    std::atomic<uint32_t> errors_{0};
    std::mutex wake_mutex_;
    std::condition_variable wake_cv_;
    std::mutex join_mutex_;
    std::thread thread_;
    std::shared_ptr<TAdvThread> predecessor_;
    std::shared_ptr<void> charge_;
    ComPtr<tlb::INorvaltEvents> events_;  // sink_, or sink_ex_ through its base

    // The thread's own state.
    bool version_known_ = false;
    int32_t version_ = 0;
    uint32_t cursor_ = 0;
    uint32_t wait_mark_ = 0;
    bool rescan_ = true;
    std::map<int, PostTable> posts_;  // marked posts
    bool any_pending_ = false;
    int64_t rr_key_ = 0;  // post * 64 + index + 1 of the next event to look at
    std::set<int> unreportable_;
};

}  // namespace drv
