// Carriers between a Station and a port: the in-process emulator interface and a runner that
// serves a file descriptor (the far end of a pseudo-terminal or a real serial line).
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/com/object.h"
#include "service/typelib/TypeLib.h"
#include "tools/zrnsim/Station.h"

namespace zrnsim {

// Answer bytes waiting for their time.
class OutputQueue {
  public:
    void Push(const std::vector<Segment>& segments);
    // The due bytes (in order, a later segment only after every earlier one), at most `max`.
    std::string TakeDue(uint32_t now, size_t max);
    // Ticks until the first segment is due (0 when due now); nullopt when empty.
    std::optional<uint32_t> UntilNext(uint32_t now) const;
    void Clear();
    bool Empty() const { return q_.empty(); }

  private:
    std::deque<Segment> q_;
};

// The emulator interface a port in emulation mode talks to: WriteCall hands over one request
// frame (one character per byte), ReadAnswer returns the answer bytes that are due (at most
// 255), Purge drops whatever is pending. Build it with plat::MakeCom and register it with
// drv::SetEmulator(com, ptr).
class HwEmu : public plat::ComObject<tlb::IHWEmu> {
  public:
    explicit HwEmu(std::shared_ptr<Station> station);

    plat::HRESULT WriteCall(const plat::WideString& call) override;
    plat::HRESULT ReadAnswer(plat::WideString* answer) override;
    plat::HRESULT Purge() override;

    Station& GetStation() { return *station_; }
    // Answer bytes still waiting (due or not).
    bool Pending();

  private:
    std::shared_ptr<Station> station_;
    std::mutex m_;
    OutputQueue out_;
};

// What a LineRunner saw, for traces.
struct TraceEvent {
    enum Kind { Received, Sent, Dropped, Error } kind;
    std::string bytes;
    std::string note;
};

// Serves a station on a file descriptor from its own thread: reads request bytes, cuts them
// into frames, writes the replies when due (echo, delays and splits as the faults say).
// The descriptor is not owned. Time is the process clock, polled every few milliseconds.
class LineRunner {
  public:
    LineRunner(std::shared_ptr<Station> station, int fd);
    ~LineRunner();
    LineRunner(const LineRunner&) = delete;
    LineRunner& operator=(const LineRunner&) = delete;

    // Set before Start; called on the runner's thread.
    void SetTrace(std::function<void(const TraceEvent&)> trace) { trace_ = std::move(trace); }
    void Start();
    void Stop();
    uint64_t FramesHandled() const { return frames_.load(); }

  private:
    void Run();
    bool WriteAll(const std::string& bytes);
    void Dropped(const std::string& bytes, OutputQueue& out);
    void Trace(TraceEvent::Kind k, std::string bytes, std::string note = {});

    std::shared_ptr<Station> station_;
    int fd_;
    std::function<void(const TraceEvent&)> trace_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> frames_{0};
};

}  // namespace zrnsim
