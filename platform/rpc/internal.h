// What the connection's parts share (private to platform/rpc): requests on their way to a
// thread, the threads waiting for replies, the call pool, the logical-thread tag and the
// built-in interfaces.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/rpc/wire.h"
#include "platform/types/hresult.h"

namespace plat::rpc {

// Declared, not included: connection.cpp includes this header.
class Connection;

// Registers the interfaces every connection needs (IUnknown, connection points).
void RegisterBuiltins();

// --- Logical threads

// The logical thread this thread runs in (0: none yet).
extern constinit thread_local uint64_t t_causality;
uint64_t NewCausality();

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

// --- Requests and waiters

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

void ServeIncoming(Incoming& in);

// --- The call pool

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
    static Pool& Get();

    // Threads are started outside the pool's lock: every reader and pool thread takes it, and
    // a thread start may take long when memory is short. A thread is counted from the moment
    // it is decided on.
    void Submit(Incoming&& in);

    // Starts the reader of a new connection.
    void StartReading(std::shared_ptr<Connection> c);

    // Called by `c`'s reader with a call for the pool: true when the reader may serve it, in
    // which case another thread already continues reading.
    bool ServeOnReader(Connection& c);
    void ServedOnReader(Connection& c);

  private:
    static constexpr auto kIdleEnd = std::chrono::seconds(30);

    // Idle threads not yet spoken for by a connection to read.
    size_t Idle() const { return idle_ > to_read_.size() ? idle_ - to_read_.size() : 0; }

    // Starts a thread counted in threads_ already; called without the lock.
    bool Spawn();
    // Takes `c` off the connections waiting for a reader; false when a thread took it already.
    bool EraseToRead(const Connection* c);

    // Threads the user of `c` occupies.
    size_t UserRunning(const Connection& c) const;
    // Whether one more call of `c` (beyond `more_conn` and `more_user` already counted) stays
    // within its connection's and its user's share.
    bool UnderShare(const Connection& c, size_t more_conn = 0, size_t more_user = 0) const;
    void Take(Connection& c);
    void Give(Connection& c);

    // The first queued call within its shares.
    std::deque<Incoming>::iterator Next();
    // How many queued calls could start now, counted up to `above` + 1: the caller only asks
    // whether they outnumber the idle threads, and the queue may be long.
    size_t Runnable(size_t above);

    void Work();

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Incoming> q_;
    std::deque<std::shared_ptr<Connection>> to_read_;
    size_t idle_ = 0;
    size_t threads_ = 0;
    size_t reading_ = 0;  // threads that read a connection (or are about to)
    std::unordered_map<std::string, size_t> user_running_;
};

// --- Waiters

// Threads waiting for a reply, by logical thread. A request goes to a thread of its logical
// thread only when that thread waits for a call on the request's own connection: a peer cannot
// reach threads that wait on other connections.
class WaiterRegistry {
  public:
    static WaiterRegistry& Get();
    void Push(uint64_t c, Waiter* w);
    void Pop(uint64_t c, Waiter* w);
    bool TryDeliver(Incoming& in);

  private:
    std::mutex m_;
    std::unordered_map<uint64_t, std::vector<Waiter*>> by_causality_;
};

}  // namespace plat::rpc
