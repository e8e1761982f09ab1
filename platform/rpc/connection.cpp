#include "platform/rpc/connection.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <thread>

#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/rpc/decode.h"
#include "platform/rpc/interfaces.h"
#include "platform/rpc/internal.h"
#include "platform/time/clock.h"

namespace plat::rpc {

// --- Log ---------------------------------------------------------------------------------------

namespace {

std::mutex& LogMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::function<void(const std::string&)>& LogSinkRef() {
    static auto* f = new std::function<void(const std::string&)>;
    return *f;
}

std::atomic<uint32_t> g_callback_timeout_ms{kDefaultCallbackTimeoutMs};
std::atomic<uint32_t> g_client_call_timeout_ms{0};
std::atomic<size_t> g_process_budget{kMaxProcessBytes};
std::atomic<size_t> g_held_bytes{0};

// Takes `n` bytes of the process's message budget; false (nothing taken) when it has no room.
bool ChargeProcess(size_t n) {
    size_t now = g_held_bytes.load(std::memory_order_relaxed);
    do {
        if (now + n > g_process_budget.load(std::memory_order_relaxed)) return false;
    } while (!g_held_bytes.compare_exchange_weak(now, now + n, std::memory_order_relaxed));
    return true;
}
void UnchargeProcess(size_t n) {
    g_held_bytes.fetch_sub(n, std::memory_order_relaxed);
}

}  // namespace

void SetCallbackTimeout(uint32_t ms) {
    g_callback_timeout_ms.store(ms);
}
void SetClientCallTimeout(uint32_t ms) {
    g_client_call_timeout_ms.store(ms);
}
void SetProcessMessageBudget(size_t bytes) {
    g_process_budget.store(bytes ? bytes : kMaxProcessBytes);
}
size_t HeldMessageBytes() {
    return g_held_bytes.load();
}
bool ChargeProcessMessageBytes(size_t n) {
    return ChargeProcess(n);
}
void UnchargeProcessMessageBytes(size_t n) {
    if (n) UnchargeProcess(n);
}

void SetLogSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lk(LogMutex());
    LogSinkRef() = std::move(sink);
}

void Log(const std::string& line) {
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard lk(LogMutex());
        sink = LogSinkRef();
    }
    if (sink)
        sink(line);
    else
        std::fprintf(stderr, "%s\n", line.c_str());
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

// How long a caller looks for its reply before it sleeps.
// decisions PLAT-RPC-5
constexpr auto kReplySpin = std::chrono::microseconds(200);

void ServeIncoming(Incoming& in) {
    std::shared_ptr<Connection> conn = std::move(in.conn);
    conn->Serve(in);
}

// --- Connection ----------------------------------------------------------------------------------

// A local peer is its uid; a remote one its host (the peer text without the port).
static std::string UserOf(const CallContext& peer) {
    if (!peer.remote) return "uid:" + std::to_string(peer.uid);
    const size_t colon = peer.peer.rfind(':');
    return colon == std::string::npos ? peer.peer : peer.peer.substr(0, colon);
}

Connection::Connection(int fd, Role role, CallContext peer,
                       std::function<void(Connection*)> on_closed)
    : fd_(fd),
      role_(role),
      peer_(std::move(peer)),
      on_closed_(std::move(on_closed)),
      user_(UserOf(peer_)) {}

Connection::~Connection() {
    std::lock_guard lk(write_mu_);
    if (!fd_closed_) ::close(fd_);
}

std::shared_ptr<Connection> Connection::Start(int fd, Role role, CallContext peer,
                                              std::function<void(Connection*)> on_closed) {
    RegisterBuiltins();
    timeval tv{kSendTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::shared_ptr<Connection> c(new Connection(fd, role, std::move(peer), std::move(on_closed)));
    // A server's calls go to clients (callbacks): a client that never answers must not hold the
    // server's thread for good. A client waits as long as the server's object works, unless it
    // chose a bound of its own.
    c->call_timeout_ms_.store(role == Role::Server ? g_callback_timeout_ms.load()
                                                   : g_client_call_timeout_ms.load());
    Writer w;
    BeginFrame(w, MsgType::Hello, 0, kHelloUnderstandsAbandon);
    Hello h;
    h.role = static_cast<uint16_t>(role);
    h.pid = static_cast<uint32_t>(::getpid());
    WriteHello(w, h);
    EndFrame(w);
    c->Send(w);
    Pool::Get().StartReading(c);
    return c;
}

void Connection::Close() {
    std::lock_guard lk(fd_mu_);
    if (!fd_closed_) ::shutdown(fd_, SHUT_RDWR);
}

void Connection::WaitClosed() {
    std::unique_lock lk(done_mu_);
    done_cv_.wait(lk, [&] { return done_; });
}

size_t Connection::ExportedObjects() const {
    std::lock_guard lk(exports_mu_);
    return exports_.size();
}

uint64_t Connection::ExportedReferences() const {
    std::lock_guard lk(exports_mu_);
    uint64_t n = 0;
    for (const auto& e : exports_) n += e.second.refs;
    return n;
}

size_t Connection::ImportedObjects() const {
    std::lock_guard lk(imports_mu_);
    return imports_.size();
}

bool Connection::Send(const Writer& w) {
    std::lock_guard lk(write_mu_);
    if (fd_closed_) return false;
    const uint8_t* p = w.Bytes().data();
    size_t n = w.Size();
    while (n) {
        ssize_t k = ::send(fd_, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            // Timed out or broken: the peer is gone or stopped reading.
            ::shutdown(fd_, SHUT_RDWR);
            return false;
        }
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool Connection::SendWithin(const Writer& w, std::chrono::milliseconds most,
                            std::string_view what) {
    const auto end = std::chrono::steady_clock::now() + most;
    auto give_up = [&] {
        // Close() takes only the descriptor's lock: the shutdown also wakes a sender blocked
        // behind the full buffer, and a caller other than the reader may be here.
        Log("rpc: " + peer_.peer + ": " + std::string(what) + "; connection dropped");
        Close();
        return false;
    };
    // Polled with try_lock rather than a timed lock: the sanitizers do not see the clock-based
    // lock call, and the wait is short and rare.
    std::unique_lock lk(write_mu_, std::try_to_lock);
    while (!lk.owns_lock()) {
        if (std::chrono::steady_clock::now() >= end) return give_up();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        lk.try_lock();
    }
    if (fd_closed_) return false;
    const uint8_t* p = w.Bytes().data();
    size_t n = w.Size();
    while (n) {
        ssize_t k = ::send(fd_, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return give_up();
            pollfd pf{fd_, POLLOUT, 0};
            ::poll(&pf, 1, static_cast<int>(left.count()) + 1);
            continue;
        }
        if (k <= 0) {
            ::shutdown(fd_, SHUT_RDWR);
            return false;
        }
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

void Connection::SendRejection(uint32_t call_id, HRESULT hr, std::string_view text) {
    Writer w;
    size_t at = BeginReply(w, call_id);
    FinishReply(w, at, ReplyStatus::Rejected, hr, text);
    // Sent by the reader: a peer that stops reading must not hold it for the send time-out.
    SendWithin(w, kRejectionSendTime);
}

void Connection::SendRelease(uint64_t id, uint32_t refs) {
    Writer w;
    BeginFrame(w, MsgType::Release, 0);
    w.U32(1);
    w.U64(id);
    w.U32(refs);
    EndFrame(w);
    Send(w);
}

void Connection::ProtocolViolation(const std::string& why) {
    Log("rpc: " + peer_.peer + ": " + why + "; connection dropped");
    Close();
}

ssize_t Connection::Recv(void* into, size_t n) {
    // Small frames come in one read together with their length (often with the next frame).
    if (rpos_ < rend_) {
        const size_t k = std::min(n, rend_ - rpos_);
        std::memcpy(into, rbuf_ + rpos_, k);
        rpos_ += k;
        return static_cast<ssize_t>(k);
    }
    if (n >= sizeof rbuf_) return ::recv(fd_, into, n, 0);
    const ssize_t got = ::recv(fd_, rbuf_, sizeof rbuf_, 0);
    if (got <= 0) return got;
    rpos_ = 0;
    rend_ = static_cast<size_t>(got);
    return Recv(into, n);
}

bool Connection::ReadFull(void* buf, size_t n) {
    auto* p = static_cast<uint8_t*>(buf);
    while (n) {
        ssize_t k = Recv(p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool Connection::ReadLoop() {
    std::vector<uint8_t> frame;
    size_t drained = 0;  // frames read while requests were held
    for (;;) {
        if (!held_.empty()) {
            // An abandon sent after its call may already be here: read on before the calls
            // start (decisions PLAT-RPC-20).
            if (drained < kMaxHeldFrames && FrameWaiting()) {
                ++drained;
            } else {
                drained = 0;
                Incoming here;
                DispatchHeld(&here);
                if (here.conn) {
                    // Another thread reads on; this one serves the call at once.
                    std::shared_ptr<Connection> self = here.conn;
                    ServeIncoming(here);
                    Pool::Get().ServedOnReader(*self);
                    return true;
                }
            }
        }
        uint32_t len;
        if (!ReadFull(&len, sizeof len)) break;
        const FrameLength rule = CheckFrameLength(len, got_hello_);
        if (rule == FrameLength::Refuse) {
            ProtocolViolation(len < kFrameHeaderSize ? "frame shorter than its header"
                                                     : "not a transport peer");
            break;
        }
        if (rule == FrameLength::Skip) {
            SkipOversized(len);
            continue;
        }
        size_t charged = 0;
        bool kept = true;
        const bool read = ReadBody(len, frame, charged, kept);
        bool go_on = read && (kept ? HandleFrame(frame, charged) : RefuseUnkept(frame));
        UnchargeProcess(charged);
        frame = {};  // an idle connection holds no buffer
        if (!go_on) break;
    }
    // Calls read before the end are answered as before (each still honours its abandon).
    DispatchHeld(nullptr);
    OnClosed();
    return false;
}

bool Connection::FrameWaiting() {
    size_t have = rend_ - rpos_;
    if (have < sizeof(uint32_t)) {
        if (have) std::memmove(rbuf_, rbuf_ + rpos_, have);
        rpos_ = 0;
        rend_ = have;
        const ssize_t got = ::recv(fd_, rbuf_ + rend_, sizeof rbuf_ - rend_, MSG_DONTWAIT);
        if (got > 0) rend_ += static_cast<size_t>(got);
        have = rend_ - rpos_;
        if (have < sizeof(uint32_t)) return false;
    }
    uint32_t len;
    std::memcpy(&len, rbuf_ + rpos_, sizeof len);
    if (have >= sizeof len + size_t{len}) return true;
    int queued = 0;
    if (::ioctl(fd_, FIONREAD, &queued) != 0 || queued < 0) return false;
    return have + static_cast<size_t>(queued) >= sizeof len + size_t{len};
}

void Connection::DispatchHeld(Incoming* here) {
    std::vector<Incoming> held;
    held.swap(held_);
    for (size_t i = 0; i < held.size(); ++i) {
        Incoming& in = held[i];
        if (WaiterRegistry::Get().TryDeliver(in)) continue;
        if (here && i + 1 == held.size() && Pool::Get().ServeOnReader(*this))
            *here = std::move(in);
        else
            Pool::Get().Submit(std::move(in));
    }
}

bool Connection::ReadBody(uint32_t len, std::vector<uint8_t>& frame, size_t& charged, bool& kept) {
    // Bytes are stored as they arrive, so a length that is claimed but never sent costs
    // nothing; each step at most doubles what arrived.
    constexpr size_t kFirst = 64u << 10;
    constexpr size_t kHead = kFrameHeaderSize + kRequestHeaderSize;
    kept = bytes_in_flight_.load() + len <= kMaxBytesInFlight;
    // A hello is tiny and always taken: a full budget must not turn new peers away unheard.
    const bool exempt = !got_hello_;
    frame.clear();
    size_t have = 0;
    uint8_t sink[16384];
    while (have < len) {
        size_t want = len - have;
        uint8_t* into;
        if (kept) {
            if (have == frame.capacity()) {
                const size_t cap = std::min<size_t>(len, std::max(kFirst, 2 * have));
                if (exempt) {
                    frame.reserve(cap);
                } else if (ChargeProcess(cap - charged)) {
                    frame.reserve(cap);
                    charged = cap;
                } else {
                    // Beyond the process's budget: keep the head to answer, drop the rest.
                    kept = false;
                    frame.resize(std::min(have, kHead));
                    frame.shrink_to_fit();
                    UnchargeProcess(charged);
                    charged = 0;
                    continue;
                }
            }
            want = std::min(want, frame.capacity() - have);
            frame.resize(have + want);
            into = frame.data() + have;
        } else if (have < kHead) {
            want = std::min(want, kHead - have);
            frame.resize(have + want);
            into = frame.data() + have;
        } else {
            want = std::min(want, sizeof sink);
            into = sink;
        }
        ssize_t k = Recv(into, want);
        if (k < 0 && errno == EINTR)
            k = 0;
        else if (k <= 0)
            return false;
        have += static_cast<size_t>(k);
        if (kept || frame.size() > have) frame.resize(std::min(frame.size(), have));
    }
    return true;
}

// A frame that did not fit the memory budgets: a request is answered as refused, a reply fails
// the call waiting for it; anything else so large is no peer of ours.
bool Connection::RefuseUnkept(const std::vector<uint8_t>& head) {
    Reader r(head);
    FrameHeader fh;
    if (!ReadFrameHeader(r, fh)) {
        ProtocolViolation("unknown message type");
        return false;
    }
    if (fh.type == MsgType::Request) {
        SendRejection(fh.call_id, RPC_S_SERVER_TOO_BUSY, "too much message data in progress");
        return true;
    }
    if (fh.type == MsgType::Reply) {
        std::lock_guard lk(pending_mu_);
        auto it = pending_.find(fh.call_id);
        if (it != pending_.end()) {
            Waiter* w = it->second;
            pending_.erase(it);
            std::lock_guard wl(w->m);
            w->failed = E_OUTOFMEMORY;
            w->signalled.store(true, std::memory_order_release);
            w->cv.notify_one();
            return true;
        }
        if (abandoned_.erase(fh.call_id)) return true;
    }
    ProtocolViolation("message beyond the memory budget");
    return false;
}

void Connection::SkipOversized(uint32_t len) {
    uint8_t head[kFrameHeaderSize + kRequestHeaderSize];
    if (!ReadFull(head, sizeof head)) return;
    Reader r(head, sizeof head);
    FrameHeader fh;
    if (!ReadFrameHeader(r, fh) || fh.type != MsgType::Request) {
        ProtocolViolation("oversized frame (" + std::to_string(len) + " bytes)");
        return;
    }
    SendRejection(fh.call_id, RPC_E_INVALID_DATA, "message too large");
    uint8_t sink[16384];
    size_t left = len - sizeof head;
    while (left) {
        size_t k = std::min(left, sizeof sink);
        if (!ReadFull(sink, k)) return;
        left -= k;
    }
}

bool Connection::HandleFrame(std::vector<uint8_t>& frame, size_t& charged) {
    Reader r(frame);
    FrameHeader fh;
    if (!ReadFrameHeader(r, fh)) {
        ProtocolViolation("unknown message type");
        return false;
    }
    if (!got_hello_) {
        Hello h;
        if (fh.type != MsgType::Hello || !ReadHello(r, h) || h.magic != kMagic) {
            ProtocolViolation("not a transport peer");
            return false;
        }
        if (h.version != kVersion) {
            ProtocolViolation("protocol version " + std::to_string(h.version) + " not supported");
            return false;
        }
        got_hello_ = true;
        peer_without_abandon_.store((fh.flags & kHelloUnderstandsAbandon) == 0);
        return true;
    }
    switch (fh.type) {
        case MsgType::Hello:
            ProtocolViolation("second hello");
            return false;
        case MsgType::Request: {
            Incoming in;
            in.call_id = fh.call_id;
            if (!ReadRequestHeader(r, in.hdr)) {
                SendRejection(fh.call_id, RPC_E_INVALID_DATA, "truncated request header");
                return true;
            }
            const size_t size = frame.size();
            if (calls_in_flight_.load() >= kMaxCallsInFlight ||
                bytes_in_flight_.load() + size > kMaxBytesInFlight) {
                SendRejection(fh.call_id, RPC_S_SERVER_TOO_BUSY, "too many calls in progress");
                return true;
            }
            calls_in_flight_.fetch_add(1);
            bytes_in_flight_.fetch_add(size);
            in.conn = shared_from_this();
            in.params_at = frame.size() - r.Left();
            in.frame = std::move(frame);
            in.charged = std::exchange(charged, 0);
            frame = {};
            {
                std::lock_guard lk(unstarted_mu_);
                unstarted_.emplace(in.call_id, false);
            }
            held_.push_back(std::move(in));
            return true;
        }
        case MsgType::Abandon: {
            if (!r.AtEnd()) {
                ProtocolViolation("malformed abandon");
                return false;
            }
            // A call started, answered or never sent is left alone: nothing is kept for it.
            std::lock_guard lk(unstarted_mu_);
            auto it = unstarted_.find(fh.call_id);
            if (it != unstarted_.end()) it->second = true;
            return true;
        }
        case MsgType::Reply: {
            Waiter* w = nullptr;
            GivenUp late;
            bool is_late = false;
            {
                std::lock_guard lk(pending_mu_);
                auto it = pending_.find(fh.call_id);
                if (it != pending_.end()) {
                    w = it->second;
                    pending_.erase(it);
                    std::lock_guard wl(w->m);
                    w->reply = std::move(frame);
                    w->has_reply = true;
                    w->signalled.store(true, std::memory_order_release);
                    w->cv.notify_one();  // under the lock: the waiter may be gone once it is free
                } else if (auto a = abandoned_.find(fh.call_id); a != abandoned_.end()) {
                    late = std::move(a->second);  // the answer to a call given up on
                    abandoned_.erase(a);
                    is_late = true;
                }
            }
            if (is_late) return TakeLateReply(late, frame);
            frame = {};
            if (!w) {
                ProtocolViolation("reply to no call");
                return false;
            }
            return true;
        }
        case MsgType::Release: {
            uint32_t n;
            if (!r.Count(n, 12)) {
                ProtocolViolation("malformed release");
                return false;
            }
            if (r.Left() != size_t{n} * 12) {
                ProtocolViolation("malformed release");
                return false;
            }
            for (uint32_t i = 0; i < n; ++i) {
                uint64_t id = 0;
                uint32_t refs = 0;
                r.U64(id);
                r.U32(refs);
                // Counted here, released on the releasing thread: a destructor may wait for a
                // reply that only this reader can deliver.
                if (!ReleaseExport(id, refs, true)) {
                    ProtocolViolation("release of references it does not hold");
                    return false;
                }
            }
            return true;
        }
    }
    return false;
}

// decisions PLAT-RPC-20
bool Connection::TakeLateReply(GivenUp& g, const std::vector<uint8_t>& frame) {
    Reader r(frame);
    FrameHeader fh;
    uint8_t status;
    int32_t code;
    if (!ReadFrameHeader(r, fh) || !r.U8(status) || !r.I32(code) || status > 2) {
        ProtocolViolation("malformed reply");
        return false;
    }
    if (status == static_cast<uint8_t>(ReplyStatus::Rejected)) {
        // Not carried out: the peer took none of the references the request handed over.
        for (uint64_t id : g.exported) ReleaseExport(id, 1, true);
        return true;
    }
    if (status == static_cast<uint8_t>(ReplyStatus::Failed)) return true;  // it took them back
    // Read without a connection: no proxy is made, the peer's objects are only listed.
    std::vector<uint64_t> given;
    MarshalEnv env;
    env.given = &given;
    std::string text;
    bool ok;
    if (g.object == kActivatorObject) {
        IID iid;
        void* none = nullptr;
        ok = ReadObjRef(env, r, nullptr, &iid, &none) && r.Text(text) && r.AtEnd();
    } else if (g.method == kMethodQueryInterface) {
        ok = r.Text(text) && r.AtEnd();
        if (ok && Succeeded(code)) given.push_back(g.object);  // the reference it added
    } else {
        const InterfaceInfo* info = FindInterface(g.iid);
        ok = info && g.method < info->method_count && info->methods[g.method].decode_out(r, env);
    }
    if (!ok) {
        ProtocolViolation("malformed reply");
        return false;
    }
    if (given.empty()) return true;
    std::sort(given.begin(), given.end());
    std::vector<std::pair<uint64_t, uint32_t>> counts;
    for (uint64_t id : given)
        if (!counts.empty() && counts.back().first == id)
            ++counts.back().second;
        else
            counts.emplace_back(id, 1);
    Writer w;
    BeginFrame(w, MsgType::Release, 0);
    w.U32(static_cast<uint32_t>(counts.size()));
    for (auto& [id, n] : counts) {
        w.U64(id);
        w.U32(n);
    }
    EndFrame(w);
    // Sent by the reader: a peer that stops reading must not hold it.
    SendWithin(w, kRejectionSendTime);
    return true;
}

void Connection::OnClosed() {
    alive_.store(false, std::memory_order_release);
    Close();
    // Calls waiting on this connection fail first: a destructor below may be waiting for one.
    {
        std::lock_guard lk(pending_mu_);
        for (auto& [id, w] : pending_) {
            std::lock_guard wl(w->m);
            w->dead = true;
            w->signalled.store(true, std::memory_order_release);
            w->cv.notify_one();
        }
        pending_.clear();
        abandoned_.clear();
    }
    {
        std::lock_guard lk(imports_mu_);
        for (auto& [id, m] : imports_) m->remote_refs_ = 0;
    }
    {
        std::lock_guard lk(write_mu_);
        std::lock_guard fl(fd_mu_);
        ::close(fd_);
        fd_closed_ = true;
    }
    std::unordered_map<uint64_t, ExportEntry> exports;
    {
        std::lock_guard lk(exports_mu_);
        exports_closed_ = true;
        exports.swap(exports_);
        export_ids_.clear();
    }
    // The peer's references end with it, on the releasing thread like every release; it
    // reports the connection closed once they are all gone.
    {
        std::lock_guard lk(release_mu_);
        for (auto& [id, e] : exports) releases_.emplace_back(e.identity, e.refs);
        closing_ = true;
    }
    exports.clear();
    DeferRelease(nullptr, 0);
}

void Connection::DeferRelease(IUnknown* identity, uint64_t n) {
    {
        std::lock_guard lk(release_mu_);
        if (identity) releases_.emplace_back(identity, n);
        if (releaser_running_) return;
        releaser_running_ = true;
    }
    try {
        std::thread([self = shared_from_this()] { self->RunReleases(); }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: release here rather than leak.
        Log("rpc: " + peer_.peer + ": no thread for releases; released on the reader");
        RunReleases();
    }
}

void Connection::RunReleases() {
    for (;;) {
        std::vector<std::pair<IUnknown*, uint64_t>> batch;
        bool finish = false;
        {
            std::lock_guard lk(release_mu_);
            batch.swap(releases_);
            if (batch.empty()) {
                releaser_running_ = false;
                finish = closing_;
                closing_ = false;
                if (!finish) return;
            }
        }
        if (finish) {
            FinishClose();
            return;
        }
        for (auto& [identity, n] : batch)
            for (uint64_t i = 0; i < n; ++i) identity->Release();
    }
}

void Connection::FinishClose() {
    if (on_closed_) on_closed_(this);
    std::lock_guard lk(done_mu_);
    done_ = true;
    done_cv_.notify_all();
}

HRESULT Connection::Call(Writer& w, std::vector<uint8_t>& reply,
                         const std::vector<uint64_t>& exported) {
    Waiter wt(this);
    uint32_t id;
    {
        std::lock_guard lk(pending_mu_);
        if (!Alive()) return RPC_E_DISCONNECTED;
        do id = ++next_call_id_;
        while (id == 0 || pending_.count(id) || abandoned_.count(id));
        pending_[id] = &wt;
    }
    w.PatchU32(8, id);
    const uint64_t causality = t_causality;
    WaiterRegistry::Get().Push(causality, &wt);
    struct Unregister {
        uint64_t c;
        Waiter* w;
        ~Unregister() { WaiterRegistry::Get().Pop(c, w); }
    } unregister{causality, &wt};
    // The wait counts from before the send: the reply may come before this thread runs again.
    const uint32_t timeout = call_timeout_ms_.load();
    uint32_t since = GetTickCount();
    Send(w);  // a failure closes the connection, and the reader marks this call dead
    // A short call's reply comes back within tens of microseconds: looking for it that long
    // before sleeping saves the wake-up of this thread from the reply's path.
    {
        const auto spin_end = std::chrono::steady_clock::now() + kReplySpin;
        while (!wt.signalled.load(std::memory_order_acquire) &&
               std::chrono::steady_clock::now() < spin_end)
            CpuRelax();
    }
    for (;;) {
        std::unique_lock lk(wt.m);
        auto ready = [&] {
            return wt.has_reply || wt.dead || wt.failed != S_OK || !wt.incoming.empty();
        };
        if (timeout == 0) {
            wt.cv.wait(lk, ready);
        } else {
            // Elapsed time by the process clock; the peer's reply is waited for, so the wait
            // never moves a fake clock.
            SysClock().WaitUntil(wt.cv, lk, since, timeout, ready);
        }
        if (!wt.incoming.empty()) {
            Incoming in = std::move(wt.incoming.front());
            wt.incoming.pop_front();
            lk.unlock();
            ServeIncoming(in);
            since = GetTickCount();  // the peer is working with us: the wait starts anew
            continue;
        }
        if (wt.has_reply) {
            reply = std::move(wt.reply);
            return S_OK;
        }
        if (wt.failed != S_OK) return wt.failed;
        if (wt.dead) return RPC_E_DISCONNECTED;
        lk.unlock();
        // Timed out: give the call up unless its reply came meanwhile.
        {
            std::lock_guard pl(pending_mu_);
            std::lock_guard wl(wt.m);
            if (wt.has_reply || wt.dead || wt.failed != S_OK) continue;
            pending_.erase(id);
            GivenUp g;
            RequestHeader h;
            Reader head(w.Bytes().data() + 4 + kFrameHeaderSize, w.Size() - 4 - kFrameHeaderSize);
            if (ReadRequestHeader(head, h)) {
                g.object = h.object;
                g.iid = h.iid;
                g.method = h.method;
            }
            g.exported = exported;
            abandoned_[id] = std::move(g);
            if (abandoned_.size() > size_t{kMaxCallsInFlight}) {
                // A peer that leaves this many calls unanswered is not coming back.
                Log("rpc: " + peer_.peer + ": calls left unanswered; connection dropped");
                Close();
            }
        }
        // The peer must not carry the call out later: the caller was told it failed.
        // decisions PLAT-RPC-20
        if (!peer_without_abandon_.load()) {
            Writer a;
            BeginFrame(a, MsgType::Abandon, id);
            EndFrame(a);
            SendWithin(a, kRejectionSendTime, "requests not read");
        }
        return RPC_E_TIMEOUT;
    }
}

void Connection::Serve(Incoming& in) {
    CallContext ctx = peer_;
    ctx.transported = true;
    if (in.hdr.locale) ctx.locale = in.hdr.locale;
    CallContextScope context(ctx);
    CausalityScope causality(in.hdr.causality);

    Writer out;
    const size_t at = BeginReply(out, in.call_id);
    MarshalEnv env;
    env.conn = this;
    HRESULT hr = S_OK;
    Reader r(in.frame.data() + in.params_at, in.frame.size() - in.params_at);
    bool given_up = false;
    {
        std::lock_guard lk(unstarted_mu_);
        if (auto it = unstarted_.find(in.call_id); it != unstarted_.end()) {
            given_up = it->second;
            unstarted_.erase(it);
        }
    }
    // decisions PLAT-RPC-20
    ReplyStatus status = ReplyStatus::Rejected;
    if (given_up)
        env.Fail(RPC_E_CALL_CANCELED, "The caller gave the call up");
    else
        status = Dispatch(in.hdr, r, out, env, hr);
    std::string text;
    if (status == ReplyStatus::Done) {
        if (Failed(hr)) text = GetErrorText();
        if (out.Poisoned() != S_OK) {
            status = ReplyStatus::Failed;
            env.Fail(out.Poisoned(), "result cannot be marshalled");
        } else if (out.Size() + text.size() + 4 > size_t{kMaxFrame} + 4) {
            status = ReplyStatus::Failed;
            env.Fail(E_OUTOFMEMORY, "reply too large");
        }
    }
    if (status != ReplyStatus::Done) {
        if (status == ReplyStatus::Failed) UndoExports(env.exported);
        out.Bytes().resize(at + 5);
        hr = Failed(env.hr) ? env.hr : RPC_E_INVALID_DATA;
        text = env.error;
    }
    FinishReply(out, at, status, hr, text);
    const size_t size = in.frame.size();
    in.frame = {};
    UnchargeProcess(std::exchange(in.charged, 0));
    Send(out);
    bytes_in_flight_.fetch_sub(size);
    calls_in_flight_.fetch_sub(1);
}

ReplyStatus Connection::Dispatch(const RequestHeader& h, Reader& r, Writer& out, MarshalEnv& env,
                                 HRESULT& hr) {
    if (h.object == kActivatorObject) {
        if (h.method != kMethodCreateInstance) {
            env.Fail(RPC_E_INVALID_DATA, "unknown method");
            return ReplyStatus::Rejected;
        }
        return Activate(r, out, env, hr);
    }
    if (h.method == kMethodQueryInterface) return RemoteQueryInterface(h.object, r, env, hr);

    IUnknown* identity = nullptr;
    void* iface = nullptr;
    {
        std::lock_guard lk(exports_mu_);
        auto it = exports_.find(h.object);
        if (it == exports_.end()) {
            env.Fail(CO_E_OBJNOTCONNECTED, "unknown object");
            return ReplyStatus::Rejected;
        }
        auto fi = it->second.ifaces.find(h.iid);
        if (fi == it->second.ifaces.end()) {
            env.Fail(E_NOINTERFACE, "interface not obtained on this object");
            return ReplyStatus::Rejected;
        }
        identity = it->second.identity;
        iface = fi->second;
        identity->AddRef();  // the object lives through the call whatever the peer releases
    }
    ComPtr<IUnknown> hold = ComPtr<IUnknown>::Attach(identity);
    const InterfaceInfo* info = FindInterface(h.iid);
    if (!info) {
        env.Fail(E_NOINTERFACE, "interface not declared for the transport");
        return ReplyStatus::Rejected;
    }
    if (h.method >= info->method_count) {
        env.Fail(RPC_E_INVALID_DATA, "unknown method");
        return ReplyStatus::Rejected;
    }
    return info->methods[h.method].stub(iface, r, out, env, hr);
}

ReplyStatus Connection::Activate(Reader& r, Writer& out, MarshalEnv& env, HRESULT& hr) {
    GUID clsid, iid;
    if (!r.Guid(clsid) || !r.Guid(iid) || !r.AtEnd()) {
        env.Fail(RPC_E_INVALID_DATA, "malformed creation request");
        return ReplyStatus::Rejected;
    }
    const InterfaceInfo* info = FindInterface(iid);
    ComPtr<IClassFactory> factory = GetClassObject(clsid);
    void* p = nullptr;
    ClearErrorText();
    if (!factory) {
        hr = REGDB_E_CLASSNOTREG;
        SetErrorText("Class not registered");
    } else if (!info) {
        hr = E_NOINTERFACE;
        SetErrorText("Interface not declared for the transport");
    } else {
        try {
            hr = factory->CreateInstance(nullptr, iid, &p);
        } catch (...) {
            hr = HresultFromCurrentException();
        }
        if (Failed(hr)) p = nullptr;
    }
    const InterfaceInfo& ref_info = info ? *info : InterfaceInfoOf<IUnknown>();
    bool ok = WriteObjRef(env, out, ref_info, p);
    if (p) info->to_unknown(p)->Release();  // the peer has its own reference now
    return ok ? ReplyStatus::Done : ReplyStatus::Failed;
}

ReplyStatus Connection::RemoteQueryInterface(uint64_t object, Reader& r, MarshalEnv& env,
                                             HRESULT& hr) {
    GUID want;
    if (!r.Guid(want) || !r.AtEnd()) {
        env.Fail(RPC_E_INVALID_DATA, "malformed QueryInterface");
        return ReplyStatus::Rejected;
    }
    IUnknown* identity = nullptr;
    {
        std::lock_guard lk(exports_mu_);
        auto it = exports_.find(object);
        if (it == exports_.end()) {
            env.Fail(CO_E_OBJNOTCONNECTED, "unknown object");
            return ReplyStatus::Rejected;
        }
        identity = it->second.identity;
        identity->AddRef();
    }
    ComPtr<IUnknown> hold = ComPtr<IUnknown>::Attach(identity);
    if (!FindInterface(want)) {
        hr = E_NOINTERFACE;
        return ReplyStatus::Done;
    }
    void* p = nullptr;
    hr = identity->QueryInterface(want, &p);
    if (Failed(hr) || !p) {
        if (Succeeded(hr)) hr = E_NOINTERFACE;
        return ReplyStatus::Done;
    }
    // The reference QueryInterface took is the peer's new one.
    identity->AddRef();
    FindInterface(want)->to_unknown(p)->Release();
    uint64_t id;
    if (!Export(identity, want, p, id)) {
        env.Fail(RPC_E_DISCONNECTED, "connection closed");
        return ReplyStatus::Failed;
    }
    if (id != object) {  // the object was released meanwhile and exported anew
        UndoExports({id});
        hr = CO_E_OBJNOTCONNECTED;
    }
    return ReplyStatus::Done;
}

HRESULT Connection::CreateInstance(const CLSID& clsid, const IID& iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    const InterfaceInfo* info = FindInterface(iid);
    if (!info) {
        SetErrorText("Interface not declared for the transport");
        return E_NOINTERFACE;
    }
    HRESULT hr = S_OK;
    ProxyCallPtr call =
        BeginCall(shared_from_this(), kActivatorObject, IID_IUnknown, kMethodCreateInstance, hr);
    if (!call) return hr;
    ProxyCallWriter(*call).Guid(clsid);
    ProxyCallWriter(*call).Guid(iid);
    Reader r;
    MarshalEnv env;
    if (!ProxyCallExchange(*call, hr, r, env)) return hr;
    void* p = nullptr;
    bool ok = ReadObjRef(env, r, info, nullptr, &p);
    if (!ProxyCallFinish(*call, r, ok, hr)) {
        if (p) info->to_unknown(p)->Release();
        return hr;
    }
    if (Succeeded(hr) && !p) {
        hr = E_NOINTERFACE;
        SetErrorText("Server returned no object");
    }
    if (Failed(hr)) {
        if (p) info->to_unknown(p)->Release();
        return hr;
    }
    *out = p;
    return hr;
}

}  // namespace plat::rpc
