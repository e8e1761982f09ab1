#include "tools/zrnsim/Adapters.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/time/clock.h"
#include "platform/types/wstr.h"

namespace zrnsim {

namespace {
uint32_t Now() {
    return plat::SysClock().TickCount();
}

// Due when the tick has reached it; the difference is read as signed so a due tick a little
// in the past (or across the 32-bit wrap) counts as reached.
bool Reached(uint32_t now, uint32_t due) {
    return static_cast<int32_t>(now - due) >= 0;
}
}  // namespace

// --- OutputQueue --------------------------------------------------------------------------

void OutputQueue::Push(const std::vector<Segment>& segments) {
    for (const Segment& s : segments)
        if (!s.bytes.empty()) q_.push_back(s);
}

std::string OutputQueue::TakeDue(uint32_t now, size_t max) {
    std::string out;
    while (!q_.empty() && out.size() < max && Reached(now, q_.front().due_tick)) {
        Segment& s = q_.front();
        size_t take = std::min(max - out.size(), s.bytes.size());
        out.append(s.bytes, 0, take);
        s.bytes.erase(0, take);
        if (s.bytes.empty()) q_.pop_front();
    }
    return out;
}

std::optional<uint32_t> OutputQueue::UntilNext(uint32_t now) const {
    if (q_.empty()) return std::nullopt;
    uint32_t due = q_.front().due_tick;
    return Reached(now, due) ? 0 : due - now;
}

void OutputQueue::Clear() {
    q_.clear();
}

// --- HwEmu --------------------------------------------------------------------------------

HwEmu::HwEmu(std::shared_ptr<Station> station) : station_(std::move(station)) {}

plat::HRESULT HwEmu::WriteCall(const plat::WideString& call) {
    Reply r = station_->Handle(plat::WideToBytes(call));
    std::lock_guard<std::mutex> lk(m_);
    out_.Push(r.segments);
    return plat::S_OK;
}

plat::HRESULT HwEmu::ReadAnswer(plat::WideString* answer) {
    if (!answer) return plat::E_POINTER;
    std::string due;
    {
        std::lock_guard<std::mutex> lk(m_);
        due = out_.TakeDue(Now(), kMaxFrame);
    }
    *answer = plat::BytesToWide(due);
    return plat::S_OK;
}

plat::HRESULT HwEmu::Purge() {
    std::lock_guard<std::mutex> lk(m_);
    out_.Clear();
    return plat::S_OK;
}

bool HwEmu::Pending() {
    std::lock_guard<std::mutex> lk(m_);
    return !out_.Empty();
}

// --- LineRunner ---------------------------------------------------------------------------

LineRunner::LineRunner(std::shared_ptr<Station> station, int fd)
    : station_(std::move(station)), fd_(fd) {}

LineRunner::~LineRunner() {
    Stop();
}

void LineRunner::Start() {
    if (thread_.joinable()) return;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void LineRunner::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void LineRunner::Trace(TraceEvent::Kind k, std::string bytes, std::string note) {
    if (trace_) trace_(TraceEvent{k, std::move(bytes), std::move(note)});
}

bool LineRunner::WriteAll(const std::string& bytes) {
    size_t done = 0;
    int stalls = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 100) <= 0 && ++stalls > 20) return false;
    }
    return true;
}

void LineRunner::Dropped(const std::string& bytes, OutputQueue& out) {
    size_t h = bytes.find(kRequestStart);
    if (h != 0 && !bytes.empty()) Trace(TraceEvent::Dropped, bytes.substr(0, h), "not a frame");
    if (h == std::string::npos) return;
    // A broken request (a bad checksum, most often): the station logs it as invalid, and a
    // line echo, if configured, returns it.
    std::string broken = bytes.substr(h);
    Reply rep = station_->Handle(broken);
    Trace(TraceEvent::Dropped, broken, rep.note);
    out.Push(rep.segments);
}

void LineRunner::Run() {
    using namespace std::chrono_literals;
    FrameAssembler frames;
    OutputQueue out;
    char buf[512];
    while (!stop_) {
        std::string due = out.TakeDue(Now(), SIZE_MAX);
        if (!due.empty()) {
            if (WriteAll(due))
                Trace(TraceEvent::Sent, due);
            else
                Trace(TraceEvent::Error, due, std::string("write failed: ") + std::strerror(errno));
        }
        // Real-time polling in short steps: the clock may be a fake that only a test moves.
        int wait_ms = 5;
        if (auto until = out.UntilNext(Now()))
            wait_ms = static_cast<int>(std::min<uint32_t>(*until, 5));
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, wait_ms);
        if (r < 0) {
            if (errno == EINTR) continue;
            Trace(TraceEvent::Error, {}, std::string("poll: ") + std::strerror(errno));
            std::this_thread::sleep_for(20ms);
            continue;
        }
        if (r == 0) continue;
        if (p.revents & POLLNVAL) {
            Trace(TraceEvent::Error, {}, "descriptor closed; runner stops");
            return;
        }
        if (!(p.revents & POLLIN)) {
            // A pseudo-terminal whose other end nobody holds reports a hang-up until someone
            // opens it again.
            std::this_thread::sleep_for(20ms);
            continue;
        }
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            std::this_thread::sleep_for(20ms);
            continue;
        }
        frames.Feed(std::string_view(buf, static_cast<size_t>(n)));
        while (auto f = frames.Next()) {
            Dropped(frames.TakeDiscarded(), out);
            Reply rep = station_->Handle(*f);
            frames_.fetch_add(1);
            Trace(TraceEvent::Received, *f, rep.note);
            out.Push(rep.segments);
        }
        Dropped(frames.TakeDiscarded(), out);
    }
}

}  // namespace zrnsim
