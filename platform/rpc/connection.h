// One transport connection: a socket that carries calls both ways, the objects this side
// exports to the peer, and the proxies of the peer's objects.
//
// Threads: one thread at a time reads a connection's frames and never runs an object's Release.
// A request goes to the thread that waits for a reply on this connection in the same logical
// thread (causality), so a callback made during a call runs on the calling thread and cannot
// deadlock; otherwise to the process's call pool, which grows while calls block, up to a quota
// per connection. The reader is a pool thread: it serves such a call itself once an idle thread
// has taken the reading on. Replies go to the thread that waits for them.
//
// References: every reference the peer holds on an exported object is one real reference on it
// (remote QueryInterface adds one through the object's own QueryInterface; a proxy's last local
// Release gives all of its back in one Release message). The real Release calls run on a
// releasing thread of the connection: a destructor may wait for a call that only the reader can
// answer. When the connection ends, waiting calls fail with RPC_E_DISCONNECTED first, then every
// reference it held is released, and calls through its proxies fail with RPC_E_DISCONNECTED.
//
// Given-up calls: a caller that times out tells the peer (Abandon), and a call the peer has not
// started by then is never carried out. The reader reads every whole frame already received
// before it hands the calls among them on, so an abandon that waits behind its call in the
// socket (a peer that was stopped) is seen first. A late answer to a given-up call has its
// references given back unread. decisions PLAT-RPC-20
#pragma once
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/com/callcontext.h"
#include "platform/com/unknown.h"
#include "platform/rpc/marshal.h"
#include "platform/rpc/wire.h"

namespace plat::rpc {

// Where the transport's log lines go (default stderr). Empty restores the default.
void SetLogSink(std::function<void(const std::string&)> sink);
void Log(const std::string& line);

// Limits per connection on calls received and not yet answered.
inline constexpr int kMaxCallsInFlight = 64;
// Message bytes one connection may hold: the frame being read plus requests not yet answered.
inline constexpr size_t kMaxBytesInFlight = 64u << 20;
// Message bytes all connections of the process may hold together.
inline constexpr size_t kMaxProcessBytes = 256u << 20;
// Pool threads one connection's calls may occupy at once; its further calls wait their turn.
// decisions PLAT-RPC-3
inline constexpr size_t kMaxPoolThreadsPerConnection = 16;
// Pool threads the calls of one user (local uid, or remote host) may occupy at once over all of
// its connections: with many connections a user could otherwise take the whole pool.
// decisions PLAT-RPC-4
inline constexpr size_t kMaxPoolThreadsPerUser = 64;
// Pool threads of the whole process.
inline constexpr size_t kMaxPoolThreads = 256;
// A peer that does not read for this long is dropped (its socket buffer is full).
inline constexpr int kSendTimeoutSeconds = 30;
// How long a reader waits to send a refusal before it drops the peer as not reading.
// decisions PLAT-RPC-17
inline constexpr std::chrono::milliseconds kRejectionSendTime{2000};
// Frames a reader reads on while it holds calls back to look for their abandons; past it the
// calls go on (a peer that sends without pause only delays its own calls this much).
// decisions PLAT-RPC-20
inline constexpr size_t kMaxHeldFrames = 256;
// How long a server waits for a client to answer a callback (ms).
inline constexpr uint32_t kDefaultCallbackTimeoutMs = 20000;

// The callback time-out of connections started from now on (tests shorten it).
void SetCallbackTimeout(uint32_t ms);
// How long a client waits for a server's reply (ms), on client connections started from now on;
// 0 (the default): as long as the server's object works. A client that must not hang with a
// stopped server (the operator's console) sets it above the longest call it makes.
void SetClientCallTimeout(uint32_t ms);
// The process's message budget (tests shorten it); 0 restores kMaxProcessBytes.
// decisions PLAT-RPC-8
void SetProcessMessageBudget(size_t bytes);
// Message bytes the process holds now: every connection's frames and the stubs' out rooms.
size_t HeldMessageBytes();

struct Incoming;
struct Waiter;

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    enum class Role : uint16_t { Client = 0, Server = 1 };

    // Takes a connected socket, sends the hello and starts the reader. `on_closed` runs on the
    // reader thread once everything the connection held has been released.
    static std::shared_ptr<Connection> Start(int fd, Role role, CallContext peer,
                                             std::function<void(Connection*)> on_closed = {});
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Alive() const { return alive_.load(std::memory_order_acquire); }
    Role GetRole() const { return role_; }
    // Who the peer is (uid, administrator, remote); the locale is the one of each call.
    const CallContext& Peer() const { return peer_; }
    // Ends the connection; the reader then releases everything it held.
    void Close();
    // Waits until the reader has finished.
    // decisions PLAT-RPC-1
    void WaitClosed();

    // Creates an object of `clsid` in the peer's process (its class objects).
    HRESULT CreateInstance(const CLSID& clsid, const IID& iid, void** out);

    // Time-out of the calls made through this connection (0: none). Server connections take
    // the callback time-out, client connections the client call time-out.
    // decisions PLAT-RPC-2
    void SetCallTimeout(uint32_t ms) { call_timeout_ms_.store(ms); }

    // Diagnostics and tests.
    size_t ExportedObjects() const;
    uint64_t ExportedReferences() const;  // over all objects
    size_t ImportedObjects() const;

  private:
    // decisions PLAT-RPC-7
    friend class ProxyManager;
    friend struct ProxyCallState;
    friend bool WriteObjRef(MarshalEnv&, Writer&, const InterfaceInfo&, void*);
    friend bool ReadObjRef(MarshalEnv&, Reader&, const InterfaceInfo*, IID*, void**);
    friend void AbandonCredits(MarshalEnv&);
    friend ProxyCallPtr BeginCall(const std::shared_ptr<Connection>&, uint64_t, const IID&,
                                  uint16_t, HRESULT&);
    friend bool ProxyCallExchange(ProxyCallState&, HRESULT&, Reader&, MarshalEnv&);
    friend bool ProxyCallFinish(ProxyCallState&, Reader&, bool, HRESULT&);
    friend class Pool;
    friend class WaiterRegistry;
    friend void ServeIncoming(Incoming& in);

    struct ExportEntry {
        IUnknown* identity = nullptr;
        uint64_t refs = 0;
        std::unordered_map<IID, void*> ifaces;
    };

    Connection(int fd, Role role, CallContext peer, std::function<void(Connection*)> on_closed);

    // Reads frames until the connection ends (false), or until it served a call itself after
    // another thread took the reading on (true).
    bool ReadLoop();
    // Reads a frame's `len` bytes, growing the buffer as they arrive. False when the socket
    // ended; `kept` false when the frame did not fit the budgets (only its head is kept).
    bool ReadBody(uint32_t len, std::vector<uint8_t>& frame, size_t& charged, bool& kept);
    bool RefuseUnkept(const std::vector<uint8_t>& head);
    // Reads through the connection's small read buffer (the reader only).
    ssize_t Recv(void* into, size_t n);
    bool ReadFull(void* buf, size_t n);
    // Requests are held back in held_ until no whole frame is waiting (decisions PLAT-RPC-20).
    bool HandleFrame(std::vector<uint8_t>& frame, size_t& charged);
    // Whether a whole frame has been received and not yet read (never blocks).
    bool FrameWaiting();
    // Hands the held requests on; the last one the reader may serve itself is moved to `here`.
    void DispatchHeld(Incoming* here);
    void SkipOversized(uint32_t len);
    void ProtocolViolation(const std::string& why);
    void OnClosed();
    bool Send(const Writer& w);
    // The reader's sends: at most `most` long (the lock included); past it the connection is
    // shut down.
    bool SendWithin(const Writer& w, std::chrono::milliseconds most,
                    std::string_view what = "answers not read");
    void SendRejection(uint32_t call_id, HRESULT hr, std::string_view text);
    void SendRelease(uint64_t id, uint32_t refs);

    // A call given up on: enough to read a late answer and give back what it carries.
    struct GivenUp {
        uint64_t object = 0;
        IID iid;
        uint16_t method = 0;
        std::vector<uint64_t> exported;  // our objects the request handed over
    };
    // The late answer to a given-up call (the reader): the references it hands us are given
    // back, and ours the peer refused are taken back. False: malformed, connection dropped.
    bool TakeLateReply(GivenUp& g, const std::vector<uint8_t>& frame);
    // Calls: sends `w` (a request with its call id at offset 8) and waits for the reply.
    // RPC_E_DISCONNECTED, RPC_E_TIMEOUT or E_OUTOFMEMORY (a reply beyond the budget) else.
    // `exported`: our objects the request hands over, taken back if a given-up call is refused.
    HRESULT Call(Writer& w, std::vector<uint8_t>& reply, const std::vector<uint64_t>& exported);
    void Serve(Incoming& in);
    ReplyStatus Dispatch(const RequestHeader& h, Reader& r, Writer& out, MarshalEnv& env,
                         HRESULT& hr);
    ReplyStatus Activate(Reader& r, Writer& out, MarshalEnv& env, HRESULT& hr);
    ReplyStatus RemoteQueryInterface(uint64_t object, Reader& r, MarshalEnv& env, HRESULT& hr);

    // Export table. Export consumes one reference on `identity` (the peer's new one).
    bool Export(IUnknown* identity, const IID& iid, void* iface, uint64_t& id);
    // `deferred`: the Release calls run on the releasing thread, never on the caller.
    bool ReleaseExport(uint64_t id, uint64_t n, bool deferred = false);
    void DeferRelease(IUnknown* identity, uint64_t n);
    void RunReleases();
    void FinishClose();
    void UndoExports(const std::vector<uint64_t>& ids);
    // The exported object `id` as interface `iid`, with a reference (QueryInterface).
    HRESULT LookupOwn(uint64_t id, const IID& iid, void** out);

    // Import table: the proxy manager of the peer's object `id`, credited with the reference
    // that came with it; the caller owns one local reference.
    ProxyManager* Import(uint64_t id);

    const int fd_;
    // Set with both write_mu_ and fd_mu_ held; fd_mu_ alone lets Close() shut the socket
    // without queueing behind a send that only the shutdown can end (decisions PLAT-RPC-19).
    bool fd_closed_ = false;
    std::mutex fd_mu_;
    const Role role_;
    const CallContext peer_;
    std::function<void(Connection*)> on_closed_;
    std::atomic<bool> alive_{true};
    bool got_hello_ = false;  // reader only
    // The peer's hello did not say it understands Abandon (an older peer).
    std::atomic<bool> peer_without_abandon_{false};
    std::vector<Incoming> held_;  // reader only: requests read and not yet handed on
    uint8_t rbuf_[2048];          // reader only: bytes received and not yet taken
    size_t rpos_ = 0, rend_ = 0;

    std::timed_mutex write_mu_;  // held across each whole send

    std::mutex pending_mu_;
    std::unordered_map<uint32_t, Waiter*> pending_;
    // Calls given up on (time-out): their late replies are not taken for forgeries, and give
    // back what they carry.
    std::unordered_map<uint32_t, GivenUp> abandoned_;
    uint32_t next_call_id_ = 0;
    std::atomic<uint32_t> call_timeout_ms_{0};

    // Release calls waiting for the releasing thread; closing_ once the reader has ended.
    std::mutex release_mu_;
    std::vector<std::pair<IUnknown*, uint64_t>> releases_;
    bool releaser_running_ = false;
    bool closing_ = false;

    size_t pool_running_ = 0;  // Pool's lock
    const std::string user_;   // whose share of the pool its calls use

    mutable std::mutex exports_mu_;
    std::unordered_map<uint64_t, ExportEntry> exports_;
    std::unordered_map<IUnknown*, uint64_t> export_ids_;
    uint64_t next_export_id_ = 1;
    bool exports_closed_ = false;

    mutable std::mutex imports_mu_;
    std::unordered_map<uint64_t, ProxyManager*> imports_;

    // The peer's requests not yet started (served), by call id: true once the peer gave the
    // call up. Bounded by kMaxCallsInFlight (an id sent twice takes one entry).
    std::mutex unstarted_mu_;
    std::unordered_map<uint32_t, bool> unstarted_;

    std::atomic<int> calls_in_flight_{0};
    std::atomic<size_t> bytes_in_flight_{0};

    std::mutex done_mu_;
    std::condition_variable done_cv_;
    bool done_ = false;
};

// The proxy of one object of the peer: its identity (QueryInterface for IUnknown gives it), its
// one local count, and one interface proxy per interface asked for.
class ProxyManager final : public IUnknown {
  public:
    HRESULT QueryInterface(const IID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    Connection& Conn() const { return *conn_; }
    const std::shared_ptr<Connection>& ConnPtr() const { return conn_; }
    uint64_t Id() const { return id_; }
    // The interface proxy for `info` (created on first use), without a new reference.
    void* LocalInterface(const InterfaceInfo& info);

  private:
    friend class Connection;
    friend void AbandonCredits(MarshalEnv&);
    ProxyManager(std::shared_ptr<Connection> conn, uint64_t id) : conn_(std::move(conn)), id_(id) {}
    ~ProxyManager();

    std::shared_ptr<Connection> conn_;
    const uint64_t id_;
    std::atomic<uint32_t> count_{1};
    uint32_t remote_refs_ = 1;  // conn_->imports_mu_
    std::mutex m_;
    std::map<IID, std::pair<std::unique_ptr<ProxyBase>, void*>> ifaces_;
};

// The proxy manager behind `unk` when it is a proxy (any of its interfaces), else null.
ProxyManager* AsProxy(IUnknown* unk);

ProxyCallPtr BeginCall(const std::shared_ptr<Connection>& conn, uint64_t object, const IID& iid,
                       uint16_t method, HRESULT& hr);

}  // namespace plat::rpc
