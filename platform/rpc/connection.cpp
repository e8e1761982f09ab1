#include "platform/rpc/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <thread>

#include "platform/com/classes.h"
#include "platform/com/error.h"
#include "platform/rpc/decode.h"
#include "platform/rpc/interfaces.h"
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

// A private IID: QueryInterface for it yields the proxy manager behind any proxy.
const IID IID_ProxyManager = GuidOf("{6E0B4C52-0D1E-4F7B-9C1A-52C0F1A7D3E9}");

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

// --- Interface table ---------------------------------------------------------------------------

namespace {

struct InterfaceTable {
    std::mutex m;
    std::unordered_map<IID, const InterfaceInfo*> by_iid;
};

InterfaceTable& Interfaces() {
    static auto* t = new InterfaceTable;
    return *t;
}

void RegisterBuiltins() {
    static const bool done = [] {
        RegisterInterfaces<IUnknown, IConnectionPoint, IConnectionPointContainer, IEnumConnections,
                           IEnumConnectionPoints>();
        return true;
    }();
    (void)done;
}

}  // namespace

void RegisterInterface(const InterfaceInfo& info) {
    InterfaceTable& t = Interfaces();
    std::lock_guard lk(t.m);
    t.by_iid.emplace(info.iid, &info);
}

const InterfaceInfo* FindInterface(const IID& iid) {
    RegisterBuiltins();
    InterfaceTable& t = Interfaces();
    std::lock_guard lk(t.m);
    auto it = t.by_iid.find(iid);
    return it == t.by_iid.end() ? nullptr : it->second;
}

std::vector<const InterfaceInfo*> RegisteredInterfaces() {
    RegisterBuiltins();
    InterfaceTable& t = Interfaces();
    std::lock_guard lk(t.m);
    std::vector<const InterfaceInfo*> v;
    for (auto& e : t.by_iid) v.push_back(e.second);
    return v;
}

// IUnknown needs no proxy class: the proxy manager is the object's IUnknown.
template <>
const InterfaceInfo& InterfaceInfoOf<IUnknown>() {
    static const InterfaceInfo info = [] {
        InterfaceInfo i;
        i.iid = IID_IUnknown;
        i.name = "IUnknown";
        i.methods = nullptr;
        i.method_count = 0;
        i.make_proxy = nullptr;
        i.to_unknown = [](void* p) { return static_cast<IUnknown*>(p); };
        return i;
    }();
    static const bool registered = (RegisterInterface(info), true);
    (void)registered;
    return info;
}

// --- Variants ----------------------------------------------------------------------------------

void WriteVariant(Writer& w, const Variant& v) {
    w.U16(v.vt);
    switch (v.vt) {
        case VT_EMPTY:
        case VT_NULL:
            break;
        case VT_I1:
        case VT_UI1:
            w.U8(v.bVal);
            break;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            w.U16(v.uiVal);
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
        case VT_R4:
            w.U32(v.ulVal);
            break;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
            w.U64(v.ullVal);
            break;
        case VT_BSTR:
            Codec<WideString>::Write(w, v.bstrVal);
            break;
        default:
            w.Poison(DISP_E_BADVARTYPE);
            break;
    }
}

bool ReadVariant(Reader& r, Variant& v) {
    uint16_t vt;
    if (!r.U16(vt)) return false;
    v.Clear();
    bool ok = true;
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
            break;
        case VT_I1:
        case VT_UI1:
            ok = r.U8(v.bVal);
            break;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            ok = r.U16(v.uiVal);
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
        case VT_R4:
            ok = r.U32(v.ulVal);
            break;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
            ok = r.U64(v.ullVal);
            break;
        case VT_BSTR:
            ok = Codec<WideString>::Read(r, v.bstrVal);
            break;
        default:
            return false;
    }
    v.vt = vt;
    return ok;
}

// --- Logical threads
// -------------------------------------------------------------------------------

namespace {

thread_local uint64_t t_causality = 0;

uint64_t Rotl(uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

// SipHash-2-4 of one 64-bit word: a keyed function whose outputs tell nothing of the key, so a
// peer that sees some logical-thread tags cannot work out another one.
uint64_t SipHash(const uint64_t key[2], uint64_t m) {
    uint64_t v0 = key[0] ^ 0x736f6d6570736575ull, v1 = key[1] ^ 0x646f72616e646f6dull;
    uint64_t v2 = key[0] ^ 0x6c7967656e657261ull, v3 = key[1] ^ 0x7465646279746573ull;
    auto round = [&] {
        v0 += v1, v1 = Rotl(v1, 13), v1 ^= v0, v0 = Rotl(v0, 32);
        v2 += v3, v3 = Rotl(v3, 16), v3 ^= v2;
        v0 += v3, v3 = Rotl(v3, 21), v3 ^= v0;
        v2 += v1, v1 = Rotl(v1, 17), v1 ^= v2, v2 = Rotl(v2, 32);
    };
    const uint64_t b = uint64_t{8} << 56;
    v3 ^= m, round(), round(), v0 ^= m;
    v3 ^= b, round(), round(), v0 ^= b;
    v2 ^= 0xff;
    round(), round(), round(), round();
    return v0 ^ v1 ^ v2 ^ v3;
}

uint64_t NewCausality() {
    static const auto* key = [] {
        auto* k = new uint64_t[2];
        std::random_device rd;  // the kernel's random source
        k[0] = (uint64_t{rd()} << 32) ^ rd();
        k[1] = (uint64_t{rd()} << 32) ^ rd();
        return k;
    }();
    static std::atomic<uint64_t> counter{0};
    uint64_t c = SipHash(key, counter.fetch_add(1, std::memory_order_relaxed));
    return c ? c : 1;
}

// Sets the thread's logical thread for an outermost call, or for a served request.
class CausalityScope {
  public:
    explicit CausalityScope(uint64_t c) : prev_(t_causality) { t_causality = c; }
    CausalityScope() : prev_(t_causality) {
        if (!t_causality) t_causality = NewCausality();
    }
    ~CausalityScope() { t_causality = prev_; }
    CausalityScope(const CausalityScope&) = delete;
    CausalityScope& operator=(const CausalityScope&) = delete;

  private:
    uint64_t prev_;
};

}  // namespace

struct Incoming {
    std::shared_ptr<Connection> conn;
    uint32_t call_id = 0;
    RequestHeader hdr;
    std::vector<uint8_t> frame;
    size_t params_at = 0;
    size_t charged = 0;  // process budget taken by the frame, given back once answered
};

struct Waiter {
    explicit Waiter(const Connection* c) : conn(c), thread(std::this_thread::get_id()) {}
    const Connection* const conn;  // the connection the call went out on
    const std::thread::id thread;  // the thread that waits
    std::mutex m;
    std::condition_variable cv;
    std::deque<Incoming> incoming;  // requests of this logical thread to serve here
    std::vector<uint8_t> reply;
    bool has_reply = false;
    bool dead = false;
    HRESULT failed = S_OK;               // the reply could not be taken (beyond the budget)
    std::atomic<bool> signalled{false};  // set with any of the above, for a waiter that spins
};

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

// How long a caller looks for its reply before it sleeps.
constexpr auto kReplySpin = std::chrono::microseconds(200);

void ServeIncoming(Incoming& in) {
    std::shared_ptr<Connection> conn = std::move(in.conn);
    conn->Serve(in);
}

// The call pool: threads are added while every thread is busy (calls may block for long), up
// to kMaxPoolThreads serving calls; a thread idle for a while ends. One connection's calls
// occupy at most kMaxPoolThreadsPerConnection threads: the rest wait in the queue
// (kMaxCallsInFlight bounds it), so a client that blocks its own calls cannot take the threads
// other clients need.
//
// Each connection's reader is a pool thread too. A reader that receives a call for the pool
// serves it itself when the connection's share allows and hands the reading on to an idle
// thread: the call starts without waiting for another thread to wake. Readers do not count
// against kMaxPoolThreads (there is one per connection, and the server bounds connections).
class Pool {
  public:
    static Pool& Get() {
        static auto* p = new Pool;  // its threads may outlive static destruction
        return *p;
    }

    // Threads are started outside the pool's lock: every reader and pool thread takes it, and
    // a thread start may take long when memory is short. A thread is counted from the moment
    // it is decided on.
    void Submit(Incoming&& in) {
        {
            std::unique_lock lk(m_);
            q_.push_back(std::move(in));
            const size_t idle = Idle();
            if (!(idle < Runnable(idle) && threads_ - reading_ < kMaxPoolThreads)) {
                cv_.notify_one();
                return;
            }
            ++threads_;
        }
        if (Spawn()) return;
        std::unique_lock lk(m_);
        --threads_;
        cv_.notify_one();  // a busy thread takes the work when free
    }

    // Starts the reader of a new connection.
    void StartReading(std::shared_ptr<Connection> c) {
        Connection* const conn = c.get();
        {
            std::unique_lock lk(m_);
            const bool idle = Idle() > 0;
            to_read_.push_back(std::move(c));
            ++reading_;
            if (idle) {
                cv_.notify_one();
                return;
            }
            ++threads_;
        }
        if (Spawn()) return;
        std::unique_lock lk(m_);
        --threads_;
        // A thread come free meanwhile may have taken the reading on.
        if (!EraseToRead(conn)) return;
        --reading_;
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }

    // Called by `c`'s reader with a call for the pool: true when the reader may serve it, in
    // which case another thread already continues reading.
    bool ServeOnReader(Connection& c) {
        {
            std::unique_lock lk(m_);
            if (!UnderShare(c)) return false;
            const bool idle = Idle() > 0;
            if (!idle && threads_ - reading_ >= kMaxPoolThreads) return false;
            to_read_.push_back(c.shared_from_this());  // the count of readers stays: it moves
            Take(c);
            if (idle) {
                cv_.notify_one();
                return true;
            }
            ++threads_;
        }
        if (Spawn()) return true;
        std::unique_lock lk(m_);
        --threads_;
        if (!EraseToRead(&c)) return true;  // a thread come free meanwhile reads on
        Give(c);
        if (idle_ > 0 && Next() != q_.end()) cv_.notify_one();
        return false;
    }
    void ServedOnReader(Connection& c) {
        std::unique_lock lk(m_);
        Give(c);
        if (idle_ > 0 && Next() != q_.end()) cv_.notify_one();
    }

  private:
    static constexpr auto kIdleEnd = std::chrono::seconds(30);

    // Idle threads not yet spoken for by a connection to read.
    size_t Idle() const { return idle_ > to_read_.size() ? idle_ - to_read_.size() : 0; }

    // Starts a thread counted in threads_ already; called without the lock.
    bool Spawn() {
        try {
            std::thread(&Pool::Work, this).detach();
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }
    // Takes `c` off the connections waiting for a reader; false when a thread took it already.
    bool EraseToRead(const Connection* c) {
        auto it = std::find_if(to_read_.begin(), to_read_.end(),
                               [&](const auto& p) { return p.get() == c; });
        if (it == to_read_.end()) return false;
        to_read_.erase(it);
        return true;
    }

    // Threads the user of `c` occupies.
    size_t UserRunning(const Connection& c) const {
        auto it = user_running_.find(c.user_);
        return it == user_running_.end() ? 0 : it->second;
    }
    // Whether one more call of `c` (beyond `more_conn` and `more_user` already counted) stays
    // within its connection's and its user's share.
    bool UnderShare(const Connection& c, size_t more_conn = 0, size_t more_user = 0) const {
        return c.pool_running_ + more_conn < kMaxPoolThreadsPerConnection &&
               UserRunning(c) + more_user < kMaxPoolThreadsPerUser;
    }
    void Take(Connection& c) {
        ++c.pool_running_;
        ++user_running_[c.user_];
    }
    void Give(Connection& c) {
        --c.pool_running_;
        auto it = user_running_.find(c.user_);
        if (--it->second == 0) user_running_.erase(it);
    }

    // The first queued call within its shares.
    std::deque<Incoming>::iterator Next() {
        for (auto it = q_.begin(); it != q_.end(); ++it)
            if (UnderShare(*it->conn)) return it;
        return q_.end();
    }
    // How many queued calls could start now, counted up to `above` + 1: the caller only asks
    // whether they outnumber the idle threads, and the queue may be long.
    size_t Runnable(size_t above) {
        if (q_.size() == 1) return UnderShare(*q_.front().conn) ? 1 : 0;
        size_t n = 0;
        std::vector<std::pair<const Connection*, size_t>> by_conn;
        std::vector<std::pair<const std::string*, size_t>> by_user;
        for (const Incoming& in : q_) {
            const Connection& c = *in.conn;
            auto t = std::find_if(by_conn.begin(), by_conn.end(),
                                  [&](const auto& e) { return e.first == &c; });
            if (t == by_conn.end()) t = by_conn.insert(by_conn.end(), {&c, 0});
            auto u = std::find_if(by_user.begin(), by_user.end(),
                                  [&](const auto& e) { return *e.first == c.user_; });
            if (u == by_user.end()) u = by_user.insert(by_user.end(), {&c.user_, 0});
            if (UnderShare(c, t->second, u->second)) ++t->second, ++u->second, ++n;
            if (n > above) break;
        }
        return n;
    }

    void Work() {
        std::unique_lock lk(m_);
        for (;;) {
            if (!to_read_.empty()) {
                std::shared_ptr<Connection> c = std::move(to_read_.front());
                to_read_.pop_front();
                lk.unlock();
                const bool handed_on = c->ReadLoop();
                c.reset();
                lk.lock();
                if (!handed_on) --reading_;
                continue;
            }
            ++idle_;
            bool got =
                cv_.wait_for(lk, kIdleEnd, [&] { return !to_read_.empty() || Next() != q_.end(); });
            --idle_;
            if (!got) {
                --threads_;
                return;
            }
            if (!to_read_.empty()) continue;
            auto it = Next();
            Incoming in = std::move(*it);
            q_.erase(it);
            std::shared_ptr<Connection> conn = in.conn;
            Take(*conn);
            lk.unlock();
            ServeIncoming(in);
            in = Incoming{};
            lk.lock();
            Give(*conn);
            // A call of this connection may have waited for the thread it gave back.
            if (idle_ > 0 && Next() != q_.end()) cv_.notify_one();
            lk.unlock();
            conn.reset();  // outside the lock: may be the last reference
            lk.lock();
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Incoming> q_;
    std::deque<std::shared_ptr<Connection>> to_read_;
    size_t idle_ = 0;
    size_t threads_ = 0;
    size_t reading_ = 0;  // threads that read a connection (or are about to)
    std::unordered_map<std::string, size_t> user_running_;
};

// Threads waiting for a reply, by logical thread. A request goes to a thread of its logical
// thread only when that thread waits for a call on the request's own connection: a peer cannot
// reach threads that wait on other connections.
class WaiterRegistry {
  public:
    static WaiterRegistry& Get() {
        static auto* r = new WaiterRegistry;
        return *r;
    }
    void Push(uint64_t c, Waiter* w) {
        std::lock_guard lk(m_);
        by_causality_[c].push_back(w);
    }
    void Pop(uint64_t c, Waiter* w) {
        std::deque<Incoming> left;
        {
            std::lock_guard lk(m_);
            auto it = by_causality_.find(c);
            if (it != by_causality_.end()) {
                std::erase(it->second, w);
                if (it->second.empty()) by_causality_.erase(it);
            }
            std::lock_guard wl(w->m);
            left.swap(w->incoming);
        }
        for (Incoming& in : left) Pool::Get().Submit(std::move(in));
    }
    bool TryDeliver(Incoming& in) {
        std::lock_guard lk(m_);
        auto it = by_causality_.find(in.hdr.causality);
        if (it == by_causality_.end() || it->second.empty()) return false;
        // The innermost call of this logical thread on the request's connection; its thread
        // waits in its own innermost call, which serves the request.
        const Connection* from = in.conn.get();
        auto& stack = it->second;
        auto on = std::find_if(stack.rbegin(), stack.rend(),
                               [&](const Waiter* w) { return w->conn == from; });
        if (on == stack.rend()) return false;
        const std::thread::id thread = (*on)->thread;
        Waiter* w = *std::find_if(stack.rbegin(), on + 1,
                                  [&](const Waiter* x) { return x->thread == thread; });
        std::lock_guard wl(w->m);
        w->incoming.push_back(std::move(in));
        w->signalled.store(true, std::memory_order_release);
        w->cv.notify_one();
        return true;
    }

  private:
    std::mutex m_;
    std::unordered_map<uint64_t, std::vector<Waiter*>> by_causality_;
};

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
    BeginFrame(w, MsgType::Hello, 0);
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
    std::lock_guard lk(write_mu_);
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

bool Connection::SendWithin(const Writer& w, std::chrono::milliseconds most) {
    const auto end = std::chrono::steady_clock::now() + most;
    auto give_up = [&] {
        // The reader's own socket stays open until it ends, so no lock is needed to shut it;
        // the shutdown also wakes a sender blocked behind the full buffer.
        Log("rpc: " + peer_.peer + ": answers not read; connection dropped");
        ::shutdown(fd_, SHUT_RDWR);
        return false;
    };
    std::unique_lock lk(write_mu_, std::defer_lock);
    if (!lk.try_lock_until(end)) return give_up();
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
    for (;;) {
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
        Incoming here;
        const bool read = ReadBody(len, frame, charged, kept);
        bool go_on = read && (kept ? HandleFrame(frame, charged, &here) : RefuseUnkept(frame));
        UnchargeProcess(charged);
        frame = {};  // an idle connection holds no buffer
        if (!go_on) break;
        if (here.conn) {
            // Another thread reads on; this one serves the call at once.
            std::shared_ptr<Connection> self = here.conn;
            ServeIncoming(here);
            Pool::Get().ServedOnReader(*self);
            return true;
        }
    }
    OnClosed();
    return false;
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

bool Connection::HandleFrame(std::vector<uint8_t>& frame, size_t& charged, Incoming* here) {
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
            if (WaiterRegistry::Get().TryDeliver(in)) return true;
            if (Pool::Get().ServeOnReader(*this))
                *here = std::move(in);
            else
                Pool::Get().Submit(std::move(in));
            return true;
        }
        case MsgType::Reply: {
            Waiter* w = nullptr;
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
                } else if (abandoned_.erase(fh.call_id)) {
                    return true;  // the answer to a call given up on
                }
            }
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

HRESULT Connection::Call(Writer& w, std::vector<uint8_t>& reply) {
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
            // Elapsed time by the process clock (a fake one in tests, polled).
            for (;;) {
                const uint32_t spent = TickDiff(GetTickCount(), since);
                if (ready() || spent >= timeout) break;
                uint32_t slice = timeout - spent;
                if (SysClock().IsFake()) slice = std::min<uint32_t>(slice, 5);
                wt.cv.wait_for(lk, std::chrono::milliseconds(slice));
            }
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
            abandoned_[id] = true;
            if (abandoned_.size() > size_t{kMaxCallsInFlight}) {
                // A peer that leaves this many calls unanswered is not coming back.
                Log("rpc: " + peer_.peer + ": calls left unanswered; connection dropped");
                Close();
            }
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
    ReplyStatus status = Dispatch(in.hdr, r, out, env, hr);
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

bool Connection::Export(IUnknown* identity, const IID& iid, void* iface, uint64_t& id) {
    {
        std::lock_guard lk(exports_mu_);
        if (!exports_closed_) {
            auto it = export_ids_.find(identity);
            if (it == export_ids_.end()) {
                id = next_export_id_++;
                export_ids_.emplace(identity, id);
                ExportEntry& e = exports_[id];
                e.identity = identity;
                e.refs = 1;
                e.ifaces.emplace(iid, iface);
            } else {
                id = it->second;
                ExportEntry& e = exports_[id];
                ++e.refs;
                e.ifaces.emplace(iid, iface);
            }
            return true;
        }
    }
    identity->Release();
    return false;
}

bool Connection::ReleaseExport(uint64_t id, uint64_t n, bool deferred) {
    IUnknown* identity = nullptr;
    {
        std::lock_guard lk(exports_mu_);
        auto it = exports_.find(id);
        if (it == exports_.end() || n == 0 || n > it->second.refs) return false;
        identity = it->second.identity;
        it->second.refs -= n;
        if (it->second.refs == 0) {
            export_ids_.erase(identity);
            exports_.erase(it);
        }
    }
    if (deferred)
        DeferRelease(identity, n);
    else
        for (uint64_t i = 0; i < n; ++i) identity->Release();
    return true;
}

void Connection::UndoExports(const std::vector<uint64_t>& ids) {
    for (uint64_t id : ids) ReleaseExport(id, 1);
}

HRESULT Connection::LookupOwn(uint64_t id, const IID& iid, void** out) {
    IUnknown* identity = nullptr;
    {
        std::lock_guard lk(exports_mu_);
        auto it = exports_.find(id);
        if (it == exports_.end()) return CO_E_OBJNOTCONNECTED;
        identity = it->second.identity;
        identity->AddRef();
    }
    ComPtr<IUnknown> hold = ComPtr<IUnknown>::Attach(identity);
    return identity->QueryInterface(iid, out);
}

ProxyManager* Connection::Import(uint64_t id) {
    std::lock_guard lk(imports_mu_);
    auto it = imports_.find(id);
    if (it != imports_.end()) {
        ProxyManager* m = it->second;
        m->count_.fetch_add(1);
        ++m->remote_refs_;
        return m;
    }
    auto* m = new ProxyManager(shared_from_this(), id);
    imports_.emplace(id, m);
    return m;
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

// --- Proxy manager -------------------------------------------------------------------------------

ProxyManager::~ProxyManager() = default;

uint32_t ProxyManager::AddRef() {
    return count_.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t ProxyManager::Release() {
    uint32_t n = count_.load(std::memory_order_relaxed);
    while (n > 1)
        if (count_.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) return n - 1;
    // Possibly the last: decide under the import lock, where Import may revive it.
    uint32_t refs = 0;
    {
        std::lock_guard lk(conn_->imports_mu_);
        if (count_.fetch_sub(1, std::memory_order_acq_rel) != 1) return 1;
        auto it = conn_->imports_.find(id_);
        if (it != conn_->imports_.end() && it->second == this) conn_->imports_.erase(it);
        refs = remote_refs_;
        remote_refs_ = 0;
    }
    if (refs && conn_->Alive()) conn_->SendRelease(id_, refs);
    delete this;
    return 0;
}

void* ProxyManager::LocalInterface(const InterfaceInfo& info) {
    if (info.iid == IID_IUnknown) return static_cast<void*>(static_cast<IUnknown*>(this));
    std::lock_guard lk(m_);
    auto it = ifaces_.find(info.iid);
    if (it != ifaces_.end()) return it->second.second;
    auto made = info.make_proxy(this);
    void* typed = made.second;
    ifaces_.emplace(info.iid, std::make_pair(std::unique_ptr<ProxyBase>(made.first), typed));
    return typed;
}

HRESULT ProxyManager::QueryInterface(const IID& iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown) {
        *out = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    if (iid == IID_ProxyManager) {
        *out = this;
        AddRef();
        return S_OK;
    }
    {
        std::lock_guard lk(m_);
        auto it = ifaces_.find(iid);
        if (it != ifaces_.end()) {
            *out = it->second.second;
            AddRef();
            return S_OK;
        }
    }
    const InterfaceInfo* info = FindInterface(iid);
    if (!info) return E_NOINTERFACE;
    HRESULT hr = S_OK;
    ProxyCallPtr call = BeginCall(conn_, id_, IID_IUnknown, kMethodQueryInterface, hr);
    if (!call) return hr;
    ProxyCallWriter(*call).Guid(iid);
    Reader r;
    MarshalEnv env;
    if (!ProxyCallExchange(*call, hr, r, env)) return hr;
    if (!ProxyCallFinish(*call, r, true, hr)) return hr;
    if (Failed(hr)) return hr;
    {
        std::lock_guard lk(conn_->imports_mu_);
        if (conn_->Alive()) ++remote_refs_;
    }
    *out = LocalInterface(*info);
    AddRef();
    return S_OK;
}

ProxyManager* AsProxy(IUnknown* unk) {
    void* p = nullptr;
    if (!unk || Failed(unk->QueryInterface(IID_ProxyManager, &p)) || !p) return nullptr;
    auto* m = static_cast<ProxyManager*>(p);
    m->Release();
    return m;
}

HRESULT ManagerQueryInterface(ProxyManager* m, const IID& iid, void** out) {
    return m->QueryInterface(iid, out);
}
uint32_t ManagerAddRef(ProxyManager* m) {
    return m->AddRef();
}
uint32_t ManagerRelease(ProxyManager* m) {
    return m->Release();
}

// --- Object references -----------------------------------------------------------------------

bool WriteObjRef(MarshalEnv& env, Writer& w, const InterfaceInfo& info, void* iface) {
    if (!iface) {
        w.U8(0);
        w.U64(0);
        w.Guid(info.iid);
        return true;
    }
    if (!env.conn) return env.Fail(E_UNEXPECTED, "no connection to export on");
    Connection& c = *env.conn;
    IUnknown* unk = info.to_unknown(iface);
    if (ProxyManager* pm = AsProxy(unk); pm && &pm->Conn() == &c) {
        w.U8(2);  // the receiver's own object comes home
        w.U64(pm->Id());
        w.Guid(info.iid);
        return true;
    }
    void* idp = nullptr;
    if (Failed(unk->QueryInterface(IID_IUnknown, &idp)) || !idp)
        return env.Fail(E_NOINTERFACE, "object without identity");
    uint64_t id;
    if (!c.Export(static_cast<IUnknown*>(idp), info.iid, iface, id)) {
        w.Poison(RPC_E_DISCONNECTED);
        return env.Fail(RPC_E_DISCONNECTED, "connection closed");
    }
    env.exported.push_back(id);
    w.U8(1);
    w.U64(id);
    w.Guid(info.iid);
    return true;
}

bool ReadObjRef(MarshalEnv& env, Reader& r, const InterfaceInfo* expected, IID* got, void** out) {
    *out = nullptr;
    uint8_t kind;
    uint64_t id;
    GUID iid;
    if (!r.U8(kind) || !r.U64(id) || !r.Guid(iid) || kind > 2) return false;
    if (got) *got = iid;
    if (kind == 0) return true;
    if (expected && !(expected->iid == iid))
        return env.Fail(RPC_E_INVALID_DATA, "object reference of another interface");
    if (!env.conn) return true;
    const InterfaceInfo* info = expected ? expected : FindInterface(iid);
    if (!info) return env.Fail(E_NOINTERFACE, "interface not declared for the transport");
    Connection& c = *env.conn;
    if (kind == 2) {
        HRESULT hr = c.LookupOwn(id, iid, out);
        if (Failed(hr)) {
            *out = nullptr;
            return env.Fail(hr, "reference to an object that is not exported");
        }
        return true;
    }
    ProxyManager* m = c.Import(id);
    env.credited.push_back(m);
    *out = m->LocalInterface(*info);
    return true;
}

void AbandonCredits(MarshalEnv& env) {
    if (!env.conn) return;
    std::lock_guard lk(env.conn->imports_mu_);
    for (ProxyManager* m : env.credited)
        if (m->remote_refs_ > 0) --m->remote_refs_;
    env.credited.clear();
}

// --- Proxy calls ---------------------------------------------------------------------------------

struct ProxyCallState {
    std::shared_ptr<Connection> conn;
    CausalityScope causality;  // a new logical thread unless this thread serves a call
    Writer w;
    MarshalEnv env;
    std::vector<uint8_t> reply;
};

void ProxyCallDeleter::operator()(ProxyCallState* s) const {
    delete s;
}

ProxyCallPtr BeginCall(const std::shared_ptr<Connection>& conn, uint64_t object, const IID& iid,
                       uint16_t method, HRESULT& hr) {
    if (!conn->Alive()) {
        hr = RPC_E_DISCONNECTED;
        SetErrorText("The connection to the object's process is closed");
        return nullptr;
    }
    ProxyCallPtr s(new ProxyCallState{conn, {}, {}, {}, {}});
    s->env.conn = conn.get();
    BeginFrame(s->w, MsgType::Request, 0);
    RequestHeader h;
    h.causality = t_causality;
    h.locale = GetCallContext().locale;
    h.object = object;
    h.iid = iid;
    h.method = method;
    WriteRequestHeader(s->w, h);
    return s;
}

ProxyCallPtr BeginProxyCall(ProxyManager& mgr, const IID& iid, uint16_t method, HRESULT& hr) {
    return BeginCall(mgr.ConnPtr(), mgr.Id(), iid, method, hr);
}

Writer& ProxyCallWriter(ProxyCallState& s) {
    return s.w;
}
MarshalEnv& ProxyCallEnv(ProxyCallState& s) {
    return s.env;
}

bool ProxyCallExchange(ProxyCallState& s, HRESULT& hr, Reader& reader, MarshalEnv& reply_env) {
    Connection& c = *s.conn;
    EndFrame(s.w);
    if (s.w.Poisoned() != S_OK || s.env.hr != S_OK || s.w.Size() - 4 > kMaxFrame) {
        hr = s.w.Poisoned() != S_OK ? s.w.Poisoned() : s.env.hr != S_OK ? s.env.hr : E_OUTOFMEMORY;
        SetErrorText(s.env.error.empty() ? (hr == E_OUTOFMEMORY ? "message too large"
                                                                : "argument cannot be marshalled")
                                         : s.env.error);
        c.UndoExports(s.env.exported);
        return false;
    }
    if (HRESULT failed = c.Call(s.w, s.reply); failed != S_OK) {
        hr = failed;
        SetErrorText(failed == RPC_E_TIMEOUT ? "The object's process did not answer in time"
                     : failed == E_OUTOFMEMORY
                         ? "The reply was too large to take"
                         : "The connection to the object's process is closed");
        return false;
    }
    Reader r(s.reply);
    FrameHeader fh;
    uint8_t status;
    int32_t code;
    if (!ReadFrameHeader(r, fh) || !r.U8(status) || !r.I32(code) || status > 2) {
        c.ProtocolViolation("malformed reply");
        hr = RPC_E_INVALID_DATA;
        SetErrorText("Malformed reply");
        return false;
    }
    hr = code;
    if (status != static_cast<uint8_t>(ReplyStatus::Done)) {
        std::string text;
        if (!r.Text(text) || !r.AtEnd()) {
            c.ProtocolViolation("malformed reply");
            hr = RPC_E_INVALID_DATA;
            SetErrorText("Malformed reply");
            return false;
        }
        // Rejected: the peer took none of the references this request carried.
        if (status == static_cast<uint8_t>(ReplyStatus::Rejected)) c.UndoExports(s.env.exported);
        if (Succeeded(hr)) hr = RPC_E_INVALID_DATA;
        SetErrorText(text);
        return false;
    }
    reader = r;
    reply_env.conn = &c;
    return true;
}

bool ProxyCallFinish(ProxyCallState& s, Reader& reader, bool outs_ok, HRESULT& hr) {
    std::string text;
    if (!outs_ok || !reader.Text(text) || !reader.AtEnd()) {
        s.conn->ProtocolViolation("malformed reply");
        hr = RPC_E_INVALID_DATA;
        SetErrorText("Malformed reply");
        return false;
    }
    SetErrorText(Failed(hr) ? text : std::string());
    return true;
}

}  // namespace plat::rpc
