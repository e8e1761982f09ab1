// Malformed and hostile frames from a raw socket: every request gets an error reply and the
// server keeps serving; framing garbage ends the connection and releases what it held.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <set>
#include <thread>

#include "platform/com/clipboard.h"
#include "platform/rpc/decode.h"
#include "tests/rpc/OpcFixture.h"
#include "tests/rpc/RpcFixture.h"
#include "tests/support/TempRoot.h"

using namespace rpctest;
using namespace plat::rpc;

namespace {

// A frame without its length prefix, as the decoder takes it.
std::vector<uint8_t> Body(const std::vector<uint8_t>& frame) {
    return std::vector<uint8_t>(frame.begin() + 4, frame.end());
}

// A done reply to call 1 whose out values `outs` writes.
std::vector<uint8_t> ReplyBody(const std::function<void(Writer&)>& outs) {
    Writer r;
    size_t at = BeginReply(r, 1);
    outs(r);
    FinishReply(r, at, ReplyStatus::Done, 0, "");
    return Body(r.Bytes());
}

struct Case {
    const InterfaceInfo* iface;
    uint16_t method;
    std::vector<uint8_t> frame;
};

// Each good frame decodes as what it is, and every cut of it is refused.
void ExpectDecodedAndCutsRefused(const std::vector<Case>& good) {
    for (const auto& c : good) {
        const bool is_request = c.frame[0] == static_cast<uint8_t>(MsgType::Request);
        const auto want = is_request ? Decoded::Request : Decoded::Reply;
        ASSERT_EQ(DecodeFrame(c.frame, c.iface, c.method), want) << c.iface->name;
        for (size_t n = 0; n < c.frame.size(); ++n)
            EXPECT_EQ(DecodeFrame(std::span(c.frame.data(), n), c.iface, c.method),
                      Decoded::Malformed)
                << c.iface->name << " cut at " << n;
    }
}

class RawPeer {
  public:
    explicit RawPeer(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawPeer() { ::close(fd_); }

    bool Connected() const { return connected_; }
    void Hello() {
        Writer w;
        BeginFrame(w, MsgType::Hello, 0);
        WriteHello(w, plat::rpc::Hello{});
        EndFrame(w);
        Send(w.Bytes());
        auto h = ReadFrame();  // the server's hello
        ASSERT_TRUE(h);
    }
    void Send(const std::vector<uint8_t>& b) {
        size_t off = 0;
        while (off < b.size()) {
            ssize_t k = ::send(fd_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
            if (k <= 0) return;
            off += static_cast<size_t>(k);
        }
    }
    // The next frame's body, or nothing when the server closed or was silent.
    std::optional<std::vector<uint8_t>> ReadFrame(int ms = 5000) {
        uint32_t len;
        if (!Read(&len, 4, ms)) return std::nullopt;
        std::vector<uint8_t> body(len);
        if (!Read(body.data(), len, ms)) return std::nullopt;
        return body;
    }
    bool ClosedByServer(int ms = 3000) {
        uint8_t b;
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, ms) != 1) return false;
            ssize_t k = ::recv(fd_, &b, 1, 0);
            if (k == 0) return true;
            if (k < 0) return errno == ECONNRESET;
        }
    }

    // Sends `frame` over and over without reading, until the socket has taken nothing for
    // 500 ms (the server no longer reads either) or `most` went; how many went whole.
    size_t Flood(const std::vector<uint8_t>& frame, size_t most) {
        size_t sent = 0;
        while (sent < most) {
            size_t off = 0;
            while (off < frame.size()) {
                ssize_t k = ::send(fd_, frame.data() + off, frame.size() - off,
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
                if (k > 0) {
                    off += static_cast<size_t>(k);
                    continue;
                }
                if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return sent;
                pollfd p{fd_, POLLOUT, 0};
                if (::poll(&p, 1, 500) != 1) return sent;
            }
            ++sent;
        }
        return sent;
    }

  private:
    bool Read(void* buf, size_t n, int ms) {
        auto* p = static_cast<uint8_t*>(buf);
        while (n) {
            pollfd pf{fd_, POLLIN, 0};
            if (::poll(&pf, 1, ms) != 1) return false;
            ssize_t k = ::recv(fd_, p, n, 0);
            if (k <= 0) return false;
            p += k;
            n -= static_cast<size_t>(k);
        }
        return true;
    }
    int fd_;
    bool connected_ = false;
};

std::vector<uint8_t> Request(uint32_t call_id, uint64_t object, const plat::IID& iid,
                             uint16_t method, const std::function<void(Writer&)>& params = {}) {
    Writer w;
    BeginFrame(w, MsgType::Request, call_id);
    RequestHeader h;
    h.causality = 0x1234 + call_id;
    h.locale = 1033;
    h.object = object;
    h.iid = iid;
    h.method = method;
    WriteRequestHeader(w, h);
    if (params) params(w);
    EndFrame(w);
    return w.Bytes();
}

struct Reply {
    uint32_t call_id = 0;
    ReplyStatus status = ReplyStatus::Done;
    plat::HRESULT hr = 0;
    Reader rest;  // outs and text
    std::vector<uint8_t> body;
    std::string Text() {
        // Rejected/Failed replies carry only the text.
        Reader r = rest;
        std::string t;
        r.Text(t);
        return t;
    }
};

// The next reply; releases the server sends meanwhile are passed over.
std::optional<Reply> ReadReply(RawPeer& p) {
    auto body = p.ReadFrame();
    while (body && body->size() > 0 && (*body)[0] == static_cast<uint8_t>(MsgType::Release))
        body = p.ReadFrame();
    if (!body) return std::nullopt;
    Reply rep;
    rep.body = std::move(*body);
    Reader r(rep.body);
    FrameHeader fh;
    uint8_t st;
    int32_t hr;
    if (!ReadFrameHeader(r, fh) || fh.type != MsgType::Reply || !r.U8(st) || !r.I32(hr))
        return std::nullopt;
    rep.call_id = fh.call_id;
    rep.status = static_cast<ReplyStatus>(st);
    rep.hr = hr;
    rep.rest = r;
    return rep;
}

class Hostile : public RpcServerFixture {
  protected:
    void SetUp() override {
        RpcServerFixture::SetUp();
        plat::rpc::SetLogSink([this](const std::string& line) {
            std::lock_guard lk(log_m);
            log.push_back(line);
        });
        peer = std::make_unique<RawPeer>(socket_path);
        ASSERT_TRUE(peer->Connected());
        peer->Hello();
    }
    void TearDown() override {
        peer.reset();
        RpcServerFixture::TearDown();
        plat::rpc::SetLogSink({});
    }
    // Creates a TestObject for the raw peer; its object id.
    uint64_t Activate() { return ActivateOn(*peer); }
    uint64_t ActivateOn(RawPeer& p) {
        p.Send(
            Request(1, kActivatorObject, plat::IID_IUnknown, kMethodCreateInstance, [](Writer& w) {
                w.Guid(CLSID_TestObject);
                w.Guid(IID_ITestKinds);
            }));
        auto rep = ReadReply(p);
        EXPECT_TRUE(rep);
        if (!rep) return 0;
        EXPECT_EQ(rep->status, ReplyStatus::Done);
        EXPECT_EQ(rep->hr, plat::S_OK);
        uint8_t kind = 0;
        uint64_t id = 0;
        plat::GUID iid;
        EXPECT_TRUE(rep->rest.U8(kind) && rep->rest.U64(id) && rep->rest.Guid(iid));
        EXPECT_EQ(kind, 1);
        EXPECT_EQ(iid, IID_ITestKinds);
        return id;
    }
    // Sends one request and expects a rejection with `hr`.
    void ExpectRejected(const std::vector<uint8_t>& req, plat::HRESULT hr, const char* what) {
        peer->Send(req);
        auto rep = ReadReply(*peer);
        ASSERT_TRUE(rep) << what << ": no reply";
        EXPECT_EQ(rep->status, ReplyStatus::Rejected) << what;
        EXPECT_EQ(rep->hr, hr) << what << ": " << rep->Text();
    }
    bool Logged(const std::string& part) {
        std::lock_guard lk(log_m);
        for (auto& l : log)
            if (l.find(part) != std::string::npos) return true;
        return false;
    }

    std::unique_ptr<RawPeer> peer;
    std::mutex log_m;
    std::vector<std::string> log;
};

// ITestKinds method numbers as declared.
constexpr uint16_t kSum = 6, kStrings = 3, kVariants = 4, kPing = 12, kThreadId = 15, kPark = 16;

// Park's one parameter: `units` code units of ballast.
std::function<void(Writer&)> Ballast(uint32_t units) {
    return [units](Writer& w) {
        w.U32(units);
        std::vector<uint8_t> zeros(size_t{units} * 2);
        w.Raw(zeros.data(), zeros.size());
    };
}

// The process's resident memory.
size_t ResidentBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<size_t>(resident) * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

TEST_F(Hostile, MalformedRequestsGetErrorRepliesAndTheConnectionGoesOn) {
    uint64_t id = Activate();
    ASSERT_NE(id, 0u);

    ExpectRejected(Request(2, id + 100, IID_ITestKinds, kThreadId), CO_E_OBJNOTCONNECTED,
                   "unknown object");
    ExpectRejected(Request(3, id, IID_ITestKinds, 999), plat::RPC_E_INVALID_DATA, "unknown method");
    ExpectRejected(Request(4, id, tlb::IID_INorvalt, 0), plat::E_NOINTERFACE,
                   "interface never obtained");
    ExpectRejected(Request(5, id, IID_ITestKinds, kSum, [](Writer& w) { w.U32(3); }),
                   plat::RPC_E_INVALID_DATA, "truncated parameters");
    ExpectRejected(Request(6, id, IID_ITestKinds, kSum,
                           [](Writer& w) {
                               w.U32(3);
                               w.U32(0xFFFFFFF0u);  // array count far beyond the bytes
                               w.U32(1);
                           }),
                   plat::RPC_E_INVALID_DATA, "count larger than its bytes");
    ExpectRejected(Request(7, id, IID_ITestKinds, kSum,
                           [](Writer& w) {
                               w.U32(3);  // says three, carries two
                               w.U32(2);
                               w.U32(1);
                               w.U32(2);
                           }),
                   plat::RPC_E_INVALID_DATA, "count and array disagree");
    ExpectRejected(Request(8, id, IID_ITestKinds, kStrings, [](Writer& w) { w.U32(0x7FFFFFFF); }),
                   plat::RPC_E_INVALID_DATA, "string longer than the frame");
    ExpectRejected(Request(9, id, IID_ITestKinds, kVariants, [](Writer& w) { w.U16(0x2003); }),
                   plat::RPC_E_INVALID_DATA, "unknown VARTYPE");
    ExpectRejected(Request(10, id, IID_ITestKinds, kThreadId, [](Writer& w) { w.U8(0); }),
                   plat::RPC_E_INVALID_DATA, "trailing bytes");
    {
        Writer w;  // a request frame cut inside its header
        BeginFrame(w, MsgType::Request, 11);
        w.U32(1);
        EndFrame(w);
        ExpectRejected(w.Bytes(), plat::RPC_E_INVALID_DATA, "truncated header");
    }
    {
        // Oversized: answered and skipped without being held in memory.
        std::vector<uint8_t> big = Request(12, id, IID_ITestKinds, kThreadId);
        const uint32_t len = kMaxFrame + 1;
        std::memcpy(big.data(), &len, 4);
        big.resize(4 + size_t{len});
        ExpectRejected(big, plat::RPC_E_INVALID_DATA, "oversized");
    }

    // Still serving: a good call on the same connection.
    peer->Send(Request(13, id, IID_ITestKinds, kSum, [](Writer& w) {
        w.U32(2);
        w.U32(2);
        w.U32(40);
        w.U32(2);
    }));
    auto rep = ReadReply(*peer);
    ASSERT_TRUE(rep);
    EXPECT_EQ(rep->status, ReplyStatus::Done);
    int64_t total = 0;
    ASSERT_TRUE(rep->rest.Raw(&total, 8));
    EXPECT_EQ(total, 42);
    EXPECT_EQ(LiveTestObjects(), 1);
}

TEST_F(Hostile, AMalformedRequestIsAnsweredWithThePublishedInvalidDataCode) {
    uint64_t id = Activate();
    ASSERT_NE(id, 0u);
    peer->Send(Request(2, id, IID_ITestKinds, kSum, [](Writer& w) { w.U32(3); }));
    auto rep = ReadReply(*peer);
    ASSERT_TRUE(rep);
    EXPECT_EQ(rep->status, ReplyStatus::Rejected);
    EXPECT_EQ(static_cast<uint32_t>(rep->hr), 0x8001000Fu) << rep->Text();
}

TEST_F(Hostile, GarbageEndsTheConnectionAndReleasesItsObjects) {
    ASSERT_NE(Activate(), 0u);
    EXPECT_EQ(LiveTestObjects(), 1);
    peer->Send({8, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0});  // message type 9
    EXPECT_TRUE(peer->ClosedByServer());
    EXPECT_TRUE(Eventually([] { return LiveTestObjects() == 0; }));
    EXPECT_TRUE(Eventually([&] { return Logged("unknown message type"); }));
}

TEST_F(Hostile, ForgedReleasesAndRepliesEndTheConnection) {
    uint64_t id = Activate();
    Writer w;
    BeginFrame(w, MsgType::Release, 0);
    w.U32(1);
    w.U64(id);
    w.U32(2);  // holds one
    EndFrame(w);
    peer->Send(w.Bytes());
    EXPECT_TRUE(peer->ClosedByServer());
    EXPECT_TRUE(Eventually([] { return LiveTestObjects() == 0; }));

    RawPeer other(socket_path);
    other.Hello();
    Writer r;
    size_t at = BeginReply(r, 77);
    FinishReply(r, at, ReplyStatus::Done, 0, "");
    other.Send(r.Bytes());
    EXPECT_TRUE(other.ClosedByServer());
}

TEST_F(Hostile, APeerThatIsNotATransportPeerIsDropped) {
    RawPeer other(socket_path);
    other.Send({'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1', '\r', '\n'});
    EXPECT_TRUE(other.ClosedByServer());
    RawPeer tiny(socket_path);
    tiny.Send({2, 0, 0, 0, 1, 0});
    EXPECT_TRUE(tiny.ClosedByServer());
}

TEST_F(Hostile, AReleaseGivesBackExactlyWhatItNames) {
    uint64_t id = Activate();
    auto conn = ServerSide();
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->ExportedReferences(), 1u);
    Writer w;
    BeginFrame(w, MsgType::Release, 0);
    w.U32(1);
    w.U64(id);
    w.U32(1);
    EndFrame(w);
    peer->Send(w.Bytes());
    EXPECT_TRUE(Eventually([] { return LiveTestObjects() == 0; }));
    EXPECT_EQ(conn->ExportedObjects(), 0u);
    EXPECT_TRUE(conn->Alive());
}

TEST_F(Hostile, OneConnectionsBlockedCallsTakeNoMoreThanItsShareOfThePool) {
    uint64_t id = Activate();
    ASSERT_NE(id, 0u);
    constexpr int kCalls = 40;
    static_assert(kCalls > int{kMaxPoolThreadsPerConnection} && kCalls <= kMaxCallsInFlight);
    {
        ClosedGate gate;
        for (uint32_t i = 0; i < kCalls; ++i)
            peer->Send(Request(100 + i, id, IID_ITestKinds, kPark, Ballast(0)));
        ASSERT_TRUE(
            Eventually([] { return g_gate.Waiting() >= int{kMaxPoolThreadsPerConnection}; }));
        // Another client is served while this one's share is taken.
        auto k = Create<ITestKinds>();
        ASSERT_TRUE(k);
        uint32_t tid = 0;
        EXPECT_EQ(k->ThreadId(&tid), plat::S_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(g_gate.MaxWaiting(), int{kMaxPoolThreadsPerConnection})
            << "one connection's calls took more pool threads than its share";
    }
    // The calls that waited their turn run once threads come free.
    std::set<uint32_t> answered;
    for (int i = 0; i < kCalls; ++i) {
        auto rep = ReadReply(*peer);
        ASSERT_TRUE(rep) << "after " << i << " replies";
        EXPECT_EQ(rep->status, ReplyStatus::Done);
        EXPECT_EQ(rep->hr, plat::S_OK);
        answered.insert(rep->call_id);
    }
    EXPECT_EQ(answered.size(), size_t{kCalls});
}

TEST_F(Hostile, OneUsersConnectionsTogetherTakeNoMoreThanItsShareOfThePool) {
    // Enough connections of one user, each within its own share, to exceed the user's.
    constexpr size_t kPerConn = kMaxPoolThreadsPerConnection;
    constexpr size_t kConns = kMaxPoolThreadsPerUser / kPerConn + 2;
    std::vector<std::unique_ptr<RawPeer>> peers;
    std::vector<uint64_t> ids;
    for (size_t c = 0; c < kConns; ++c) {
        peers.push_back(std::make_unique<RawPeer>(socket_path));
        ASSERT_TRUE(peers.back()->Connected());
        peers.back()->Hello();
        ids.push_back(ActivateOn(*peers.back()));
        ASSERT_NE(ids.back(), 0u);
    }
    {
        ClosedGate gate;
        for (size_t c = 0; c < kConns; ++c)
            for (uint32_t i = 0; i < kPerConn; ++i)
                peers[c]->Send(Request(100 + i, ids[c], IID_ITestKinds, kPark, Ballast(0)));
        ASSERT_TRUE(Eventually([] { return g_gate.Waiting() >= int{kMaxPoolThreadsPerUser}; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(g_gate.MaxWaiting(), int{kMaxPoolThreadsPerUser})
            << "one user's connections together took more pool threads than its share";
    }
    for (auto& p : peers)
        for (size_t i = 0; i < kPerConn; ++i) {
            auto rep = ReadReply(*p);
            ASSERT_TRUE(rep) << "after " << i << " replies";
            EXPECT_EQ(rep->hr, plat::S_OK);
        }
}

TEST_F(Hostile, ANestedRequestReachesOnlyThreadsWaitingOnItsOwnConnection) {
    // The raw peer calls Ping with an object of its own: the server's thread calls that object
    // back and waits for the answer on the peer's connection.
    uint64_t id = Activate();
    ASSERT_NE(id, 0u);
    constexpr uint32_t kCall = 50;
    peer->Send(Request(kCall, id, IID_ITestKinds, kPing, [](Writer& w) {
        w.U8(1);  // the peer's own object 1
        w.U64(1);
        w.Guid(IID_ITestKinds);
        w.I32(1);
    }));
    auto callback = peer->ReadFrame();
    ASSERT_TRUE(callback);
    Reader r(*callback);
    FrameHeader fh;
    RequestHeader h;
    ASSERT_TRUE(ReadFrameHeader(r, fh) && fh.type == MsgType::Request);
    ASSERT_TRUE(ReadRequestHeader(r, h));
    EXPECT_EQ(h.causality, 0x1234u + kCall) << "the callback carries its caller's logical thread";

    // A second connection names the same logical thread: it is served by the pool, not by the
    // thread that waits on the first connection.
    RawPeer other(socket_path);
    ASSERT_TRUE(other.Connected());
    other.Hello();
    uint64_t other_id = ActivateOn(other);
    ASSERT_NE(other_id, 0u);
    other.Send(Request(kCall, other_id, IID_ITestKinds, kThreadId));
    auto rep = ReadReply(other);
    ASSERT_TRUE(rep);
    ASSERT_EQ(rep->status, ReplyStatus::Done);
    uint32_t tid = 0;
    ASSERT_TRUE(rep->rest.U32(tid));
    std::vector<uint32_t> pinging;
    {
        std::lock_guard lk(TestObject::All().m);
        for (TestObject* o : TestObject::All().objects)
            if (auto t = o->PingThreads(); !t.empty()) pinging = t;
    }
    ASSERT_EQ(pinging.size(), 1u);
    EXPECT_NE(tid, pinging[0]) << "another connection's request ran on the waiting thread";

    // The peer answers the callback (result 1): Ping completes with 2.
    Writer w;
    size_t at = BeginReply(w, fh.call_id);
    w.I32(1);
    FinishReply(w, at, ReplyStatus::Done, plat::S_OK, "");
    peer->Send(w.Bytes());
    auto done = ReadReply(*peer);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->call_id, kCall);
    int32_t result = 0;
    ASSERT_TRUE(done->rest.I32(result));
    EXPECT_EQ(result, 2);
}

TEST_F(Hostile, AClaimedLengthCostsNothingUntilItsBytesArrive) {
    // Before its hello a peer may send only a hello.
    RawPeer early(socket_path);
    ASSERT_TRUE(early.Connected());
    {
        std::vector<uint8_t> head = Request(1, 1, IID_ITestKinds, kThreadId);
        const uint32_t len = kMaxFrame;
        std::memcpy(head.data(), &len, 4);
        early.Send(head);
    }
    EXPECT_TRUE(early.ClosedByServer()) << "a frame before the hello was taken";

    // After it, frames that claim the most and send a little hold what arrived, not the claim.
    const size_t before = ResidentBytes();
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (int i = 0; i < 8; ++i) {
        peers.push_back(std::make_unique<RawPeer>(socket_path));
        ASSERT_TRUE(peers.back()->Connected());
        peers.back()->Hello();
        std::vector<uint8_t> head = Request(1, 1, IID_ITestKinds, kPark, Ballast(50));
        const uint32_t len = kMaxFrame;
        std::memcpy(head.data(), &len, 4);
        peers.back()->Send(head);
    }
    const bool grew = Eventually([&] { return ResidentBytes() > before + (64u << 20); }, 2000);
    EXPECT_FALSE(grew) << "buffers sized by claimed lengths: " << (ResidentBytes() - before)
                       << " bytes more";
    EXPECT_LE(HeldMessageBytes(), 8 * (128u << 10));
    peers.clear();
    EXPECT_TRUE(Eventually([] { return HeldMessageBytes() == 0; }));
}

TEST_F(Hostile, MessageMemoryIsBoundedForTheWholeProcess) {
    struct Budget {
        Budget() { SetProcessMessageBudget(1u << 20); }
        ~Budget() { SetProcessMessageBudget(0); }
    } budget;
    uint64_t id = Activate();
    ASSERT_NE(id, 0u);
    RawPeer other(socket_path);
    ASSERT_TRUE(other.Connected());
    other.Hello();
    uint64_t other_id = ActivateOn(other);
    ASSERT_NE(other_id, 0u);
    {
        ClosedGate gate;
        peer->Send(Request(20, id, IID_ITestKinds, kPark, Ballast(300000)));  // 600 KB, held
        ASSERT_TRUE(Eventually([] { return g_gate.Waiting() == 1; }));
        EXPECT_GE(HeldMessageBytes(), 600000u);
        // Another connection's large request finds no room and is refused, not queued...
        other.Send(Request(21, other_id, IID_ITestKinds, kPark, Ballast(300000)));
        auto refused = ReadReply(other);
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->call_id, 21u);
        EXPECT_EQ(refused->status, ReplyStatus::Rejected);
        EXPECT_EQ(refused->hr, RPC_S_SERVER_TOO_BUSY) << refused->Text();
        EXPECT_EQ(g_gate.Waiting(), 1);
        // ...which is no reason to refuse a small one.
        other.Send(Request(22, other_id, IID_ITestKinds, kThreadId));
        auto rep = ReadReply(other);
        ASSERT_TRUE(rep);
        EXPECT_EQ(rep->status, ReplyStatus::Done);
        EXPECT_EQ(rep->call_id, 22u);
    }
    auto rep = ReadReply(*peer);
    ASSERT_TRUE(rep);
    EXPECT_EQ(rep->call_id, 20u);
    EXPECT_EQ(rep->status, ReplyStatus::Done);
    EXPECT_TRUE(Eventually([] { return HeldMessageBytes() == 0; }));
}

TEST_F(Hostile, APeerThatDoesNotReadItsRefusalsIsDroppedBeforeTheSendTimeOut) {
    ASSERT_NE(Activate(), 0u);
    Writer w;  // a request cut inside its header: refused by the reader itself
    BeginFrame(w, MsgType::Request, 2);
    w.U32(1);
    EndFrame(w);
    const size_t sent = peer->Flood(w.Bytes(), 1000000);
    ASSERT_GT(sent, 100u);
    // The reader gives up on the refusals the peer leaves unread well before the send time-out,
    // and the connection's objects go with it.
    EXPECT_TRUE(Eventually([] { return LiveTestObjects() == 0; }, 10000))
        << "the reader waited on a peer that does not read";
    EXPECT_TRUE(Logged("answers not read"));
}

TEST_F(Hostile, AStopIsNotHeldByAReplyThePeerDoesNotRead) {
    const uint64_t id = Activate();
    ASSERT_NE(id, 0u);
    const uint16_t kSequence = 7;  // an 8 MB answer: its send blocks on the unread socket
    peer->Send(Request(30, id, IID_ITestKinds, kSequence, [](Writer& w) {
        w.U32(2u << 20);
        w.I32(0);
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto t0 = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5))
        << "the stop waited for the blocked send's time-out";
}

TEST(RpcDecoder, EveryTruncationOfAGoodFrameIsRefused) {
    RegisterAll();
    const auto* kinds = FindInterface(IID_ITestKinds);
    ASSERT_TRUE(kinds);
    std::vector<std::vector<uint8_t>> good = {
        Body(Request(1, 5, IID_ITestKinds, kSum,
                     [](Writer& w) {
                         w.U32(2);
                         w.U32(2);
                         w.U32(7);
                         w.U32(8);
                     })),
        Body(Request(2, 5, IID_ITestKinds, kVariants,
                     [](Writer& w) {
                         w.U16(plat::VT_BSTR);
                         w.U32(2);
                         w.U16(0x416);
                         w.U16(0xD800);
                     })),
        Body(Request(3, 5, tlb::IID_INorvalt, 12 /* RegisterSinkInterface */,
                     [](Writer& w) {
                         w.U8(1);
                         w.U64(9);
                         w.Guid(tlb::IID_INorvaltEvents);
                     })),
        Body(Request(4, kActivatorObject, plat::IID_IUnknown, kMethodCreateInstance,
                     [](Writer& w) {
                         w.Guid(CLSID_TestObject);
                         w.Guid(tlb::IID_INorvalt);
                     })),
    };
    for (const auto& frame : good) {
        ASSERT_EQ(DecodeFrame(frame), Decoded::Request);
        for (size_t n = 0; n < frame.size(); ++n)
            EXPECT_EQ(DecodeFrame(std::span(frame.data(), n)), Decoded::Malformed)
                << "cut at " << n;
        auto longer = frame;
        longer.push_back(0);
        EXPECT_EQ(DecodeFrame(longer), Decoded::Malformed) << "trailing byte";
    }
    // A reference of another interface than the parameter's is refused.
    auto wrong = Body(Request(3, 5, tlb::IID_INorvalt, 12, [](Writer& w) {
        w.U8(1);
        w.U64(9);
        w.Guid(tlb::IID_IHWEmu);
    }));
    EXPECT_EQ(DecodeFrame(wrong), Decoded::Malformed);

    // A reply's out parameters: Sequence's array and the text after it.
    Writer r;
    size_t at = BeginReply(r, 1);
    r.U8(1);
    r.U32(2);
    r.U32(10);
    r.U32(11);
    FinishReply(r, at, ReplyStatus::Done, 0, "");
    const uint16_t kSequence = 7;
    EXPECT_EQ(DecodeFrame(Body(r.Bytes()), kinds, kSequence), Decoded::Reply);
    auto cut = Body(r.Bytes());
    cut.resize(cut.size() - 5);
    EXPECT_EQ(DecodeFrame(cut, kinds, kSequence), Decoded::Malformed);
}

// A raw peer that hands the server an enumerator of its own and answers the server's Next with
// replies of its making.
class HostileOpc : public OpcServerFixture {
  protected:
    void SetUp() override {
        OpcServerFixture::SetUp();
        if (HasFatalFailure()) return;
        plat::rpc::SetLogSink([](const std::string&) {});
    }
    void TearDown() override {
        OpcServerFixture::TearDown();
        plat::rpc::SetLogSink({});
    }
    // Connects, creates the probe, asks it to drain the peer's object 1 with `celt`, and answers
    // the Next that comes back with `outs` (the reply's out parameters). g_drain has the outcome.
    void DrainWith(uint32_t celt, const std::function<void(Writer&)>& outs) {
        {
            std::lock_guard lk(g_drain.m);
            g_drain.done = false;
        }
        RawPeer p(socket_path);
        ASSERT_TRUE(p.Connected());
        p.Hello();
        p.Send(
            Request(1, kActivatorObject, plat::IID_IUnknown, kMethodCreateInstance, [](Writer& w) {
                w.Guid(CLSID_OpcTest);
                w.Guid(IID_IEnumProbe);
            }));
        auto made = ReadReply(p);
        ASSERT_TRUE(made);
        ASSERT_EQ(made->hr, plat::S_OK) << made->Text();
        uint8_t kind = 0;
        uint64_t id = 0;
        plat::GUID iid;
        ASSERT_TRUE(made->rest.U8(kind) && made->rest.U64(id) && made->rest.Guid(iid));
        p.Send(Request(2, id, IID_IEnumProbe, 0, [celt](Writer& w) {
            w.U8(1);  // the peer's own object 1
            w.U64(1);
            w.Guid(opc::IID_IEnumString);
            w.U32(celt);
        }));
        auto next = p.ReadFrame();
        ASSERT_TRUE(next);
        Reader r(*next);
        FrameHeader fh;
        RequestHeader h;
        ASSERT_TRUE(ReadFrameHeader(r, fh) && fh.type == MsgType::Request);
        ASSERT_TRUE(ReadRequestHeader(r, h));
        EXPECT_EQ(h.iid, opc::IID_IEnumString);
        EXPECT_EQ(h.method, 0);  // Next
        uint32_t asked = 0;
        uint8_t fetched_wanted = 0;
        ASSERT_TRUE(r.U32(asked) && r.U8(fetched_wanted) && r.AtEnd());
        EXPECT_EQ(asked, celt);
        EXPECT_EQ(fetched_wanted, 1);
        Writer w;
        size_t at = BeginReply(w, fh.call_id);
        outs(w);
        FinishReply(w, at, ReplyStatus::Done, plat::S_OK, "");
        p.Send(w.Bytes());
        ASSERT_TRUE(Eventually([] {
            std::lock_guard lk(g_drain.m);
            return g_drain.done;
        }));
    }
    // The drain failed as malformed and wrote nothing into its array.
    void ExpectRefused(const char* what) {
        std::lock_guard lk(g_drain.m);
        EXPECT_EQ(g_drain.hr, plat::RPC_E_INVALID_DATA) << what;
        for (size_t i = 0; i < g_drain.slots.size(); ++i)
            EXPECT_EQ(g_drain.slots[i], kGuard) << what << ": slot " << i << " written";
        EXPECT_TRUE(Eventually([&] { return plat::CoTaskMemLiveBlocks() == blocks_at_start; }))
            << what << ": task memory left behind";
    }
};

void PutString(Writer& w, const std::u16string& s) {
    w.U8(1);
    w.U32(static_cast<uint32_t>(s.size()));
    w.Raw(s.data(), s.size() * 2);
}

TEST_F(HostileOpc, ANextReplyBeyondTheCallersRoomIsRefusedAndNothingIsWritten) {
    DrainWith(2, [](Writer& w) {
        w.U32(3);  // three elements for room of two
        PutString(w, u"a");
        PutString(w, u"b");
        PutString(w, u"c");
        w.U8(1);
        w.U32(3);
    });
    ExpectRefused("more elements than celt");

    DrainWith(2, [](Writer& w) {
        w.U32(2);
        PutString(w, u"a");
        PutString(w, u"b");
        w.U8(1);
        w.U32(3);  // a fetched count above celt
    });
    ExpectRefused("fetched count above celt");

    DrainWith(2, [](Writer& w) {
        w.U32(1);
        PutString(w, u"a");
        w.U8(1);
        w.U32(2);  // disagrees with the elements sent
    });
    ExpectRefused("fetched count and elements disagree");

    DrainWith(2, [](Writer& w) {
        w.U32(2);
        PutString(w, u"a");  // allocated before the next element turns out malformed
        w.U8(7);
        w.U8(1);
        w.U32(2);
    });
    ExpectRefused("malformed second element");

    DrainWith(2, [](Writer& w) {
        w.U32(2);
        PutString(w, u"a");
        PutString(w, u"b");
        w.U8(0);  // the caller asked for the count
    });
    ExpectRefused("fetched count missing");

    // A good reply is taken whole.
    DrainWith(3, [](Writer& w) {
        w.U32(2);
        PutString(w, u"x");
        PutString(w, u"y");
        w.U8(1);
        w.U32(2);
    });
    std::lock_guard lk(g_drain.m);
    EXPECT_EQ(g_drain.hr, plat::S_OK);
    EXPECT_EQ(g_drain.fetched, 2u);
    EXPECT_EQ(g_drain.got, (std::vector<std::u16string>{u"x", u"y"}));
    EXPECT_EQ(g_drain.slots[2], kGuard);
}

TEST(RpcDecoder, OpcShapesAreDecodedAndTheirTruncationsRefused) {
    RegisterOpcTest();
    const size_t blocks_before = plat::CoTaskMemLiveBlocks();
    const auto* strings = FindInterface(opc::IID_IEnumString);
    const auto* server = FindInterface(opc::IID_IOPCServer);
    const auto* props = FindInterface(opc::IID_IOPCItemProperties);
    const auto* attrs = FindInterface(opc::IID_IEnumOPCItemAttributes);
    const auto* conns = FindInterface(plat::IID_IEnumConnections);
    ASSERT_TRUE(strings && server && props && attrs && conns);
    std::vector<Case> good = {
        {strings, 0,
         Body(Request(1, 5, opc::IID_IEnumString, 0,
                      [](Writer& w) {
                          w.U32(1);
                          w.U8(0);
                      }))},
        {strings, 0, ReplyBody([](Writer& w) {
             w.U32(1);
             PutString(w, u"s");
             w.U8(1);
             w.U32(1);
         })},
        {server, 3 /* GetStatus */, ReplyBody([](Writer& w) {
             w.U8(1);
             for (int i = 0; i < 3; ++i) w.U64(uint64_t(i));
             for (int i = 0; i < 3; ++i) w.U32(1);
             for (int i = 0; i < 4; ++i) w.U16(0);
             PutString(w, u"v");
         })},
        {props, 2 /* LookupItemIDs */, ReplyBody([](Writer& w) {
             w.U8(1);
             w.U32(2);
             PutString(w, u"i");
             w.U8(0);
             w.U8(1);
             w.U32(2);
             w.I32(0);
             w.I32(1);
         })},
        {attrs, 0, ReplyBody([](Writer& w) {
             w.U8(1);
             w.U32(1);
             PutString(w, u"p");
             w.U8(0);
             for (int i = 0; i < 4; ++i) w.U32(1);
             w.U32(2);
             w.U16(0x0101);
             w.U16(plat::VT_I4);
             w.U16(plat::VT_I4);
             w.U32(opc::OPC_ANALOG);
             w.U16(plat::VT_I4);
             w.I32(7);
             w.U32(1);  // fetched
         })},
        {conns, 0, ReplyBody([](Writer& w) {
             w.U32(1);
             w.U8(0);  // a null reference
             w.U64(0);
             w.Guid(plat::IID_IUnknown);
             w.U32(9);
             w.U8(1);
             w.U32(1);
         })},
    };
    ExpectDecodedAndCutsRefused(good);
    // A fetched count that disagrees with the elements.
    EXPECT_EQ(DecodeFrame(ReplyBody([](Writer& w) {
                              w.U32(1);
                              PutString(w, u"s");
                              w.U8(1);
                              w.U32(2);
                          }),
                          strings, 0),
              Decoded::Malformed);
    EXPECT_EQ(plat::CoTaskMemLiveBlocks(), blocks_before) << "the decoder kept task memory";
}

// The group's shapes: records with strings and blobs, item states, formats by name and global
// memory. Good frames decode, every cut and every forged count or size is refused, and the
// decoder keeps no task memory.
TEST(RpcDecoder, OpcGroupShapesAreDecodedAndForgedSizesRefused) {
    RegisterOpcTest();
    testsupport::TempRoot root;
    ASSERT_EQ(plat::RegisterClipboardFormat(u"OPCSTMFORMATDATA"), 0xC000);
    const size_t blocks_before = plat::CoTaskMemLiveBlocks();
    const auto* items = FindInterface(opc::IID_IOPCItemMgt);
    const auto* sync = FindInterface(opc::IID_IOPCSyncIO);
    const auto* state = FindInterface(opc::IID_IOPCGroupStateMgt);
    const auto* advise = FindInterface(opc::IID_IAdviseSink);
    const auto* data = FindInterface(opc::IID_IOPCDataCallback);
    ASSERT_TRUE(items && sync && state && advise && data);

    auto item_def = [](Writer& w, uint32_t blob_claim, uint32_t blob_bytes) {
        w.U8(0);  // no access path
        PutString(w, u"Post1.State");
        w.I32(1);
        w.U32(7);
        w.U32(blob_claim);
        for (uint32_t i = 0; i < blob_bytes; ++i) w.U8(static_cast<uint8_t>(i));
        w.U16(plat::VT_I4);
        w.U16(0);
    };
    auto add_items = [&](uint32_t count, uint32_t claim, uint32_t blob_claim, uint32_t blob_bytes) {
        return Body(Request(1, 5, opc::IID_IOPCItemMgt, 0, [&](Writer& w) {
            w.U32(count);
            w.U32(claim);
            item_def(w, 2, 2);
            item_def(w, blob_claim, blob_bytes);
        }));
    };
    auto format = [](Writer& w, const std::u16string& name) {
        w.U8(1);  // present
        w.U8(1);  // by name
        w.U32(static_cast<uint32_t>(name.size()));
        w.Raw(name.data(), name.size() * 2);
        w.U32(opc::DVASPECT_CONTENT);
        w.I32(-1);
        w.U32(opc::TYMED_HGLOBAL);
    };
    auto on_data = [&](const std::u16string& name, uint32_t tymed, uint32_t claim, uint32_t bytes) {
        return Body(Request(1, 5, opc::IID_IAdviseSink, 0, [&](Writer& w) {
            format(w, name);
            w.U8(1);
            w.U32(tymed);
            w.U32(claim);
            for (uint32_t i = 0; i < bytes; ++i) w.U8(0xAB);
        }));
    };

    std::vector<Case> good = {
        {items, 0, add_items(2, 2, 3, 3)},
        {items, 0, ReplyBody([](Writer& w) {
             w.U8(1);
             w.U32(1);
             w.U32(1007);
             w.U16(plat::VT_I4);
             w.U16(0);
             w.U32(3);
             w.U32(2);
             w.U16(0x0201);
             w.U8(1);
             w.U32(1);
             w.I32(0);
         })},
        {sync, 0, ReplyBody([](Writer& w) {
             w.U8(1);
             w.U32(1);
             w.U32(6);
             w.U64(3);
             w.U16(0xC0);
             w.U16(0);
             w.U16(plat::VT_BSTR);
             w.U32(1);
             w.U16(u'v');
             w.U8(1);
             w.U32(1);
             w.I32(0);
         })},
        {state, 1 /* SetState */,
         Body(Request(1, 5, opc::IID_IOPCGroupStateMgt, 1,
                      [](Writer& w) {
                          w.U8(1);
                          w.U32(20);
                          w.U8(0);
                          w.U8(1);
                          w.I32(-60);
                          w.U8(0);
                          w.U8(0);
                          w.U8(0);
                      }))},
        {advise, 0, on_data(u"OPCSTMFORMATDATA", opc::TYMED_HGLOBAL, 4, 4)},
        {data, 0,
         Body(Request(1, 5, opc::IID_IOPCDataCallback, 0,
                      [](Writer& w) {
                          w.U32(0);
                          w.U32(5);
                          w.I32(0);
                          w.I32(0);
                          w.U32(1);
                          w.U32(1);
                          w.U32(11);
                          w.U32(1);
                          w.U16(plat::VT_R8);
                          w.U64(0);
                          w.U32(1);
                          w.U16(0xC0);
                          w.U32(1);
                          w.U64(1);
                          w.U32(1);
                          w.I32(0);
                      }))},
    };
    ExpectDecodedAndCutsRefused(good);
    // Forged counts and sizes.
    EXPECT_EQ(DecodeFrame(add_items(0xFFFFFFFF, 0xFFFFFFFF, 3, 3), items, 0), Decoded::Malformed);
    EXPECT_EQ(DecodeFrame(add_items(3, 3, 3, 3), items, 0), Decoded::Malformed);
    EXPECT_EQ(DecodeFrame(add_items(2, 2, 0x7FFFFFFF, 3), items, 0), Decoded::Malformed);
    EXPECT_EQ(DecodeFrame(add_items(2, 2, 4, 3), items, 0), Decoded::Malformed);
    EXPECT_EQ(
        DecodeFrame(on_data(u"OPCSTMFORMATDATA", opc::TYMED_HGLOBAL, 0xFFFFFFF0, 4), advise, 0),
        Decoded::Malformed);
    EXPECT_EQ(DecodeFrame(on_data(u"OPCSTMFORMATDATA", 2 /* a file */, 4, 4), advise, 0),
              Decoded::Malformed);
    EXPECT_EQ(DecodeFrame(on_data(std::u16string(256, u'x'), opc::TYMED_HGLOBAL, 4, 4), advise, 0),
              Decoded::Malformed);
    EXPECT_EQ(DecodeFrame(on_data(u"", opc::TYMED_HGLOBAL, 4, 4), advise, 0), Decoded::Malformed);
    // A registered number is meaningless elsewhere: only names travel for them.
    EXPECT_EQ(DecodeFrame(Body(Request(1, 5, opc::IID_IAdviseSink, 0,
                                       [](Writer& w) {
                                           w.U8(1);
                                           w.U8(0);
                                           w.U16(0xC000);
                                           w.U32(1);
                                           w.I32(-1);
                                           w.U32(1);
                                           w.U8(0);
                                       })),
                          advise, 0),
              Decoded::Malformed);
    // An unknown name decodes (to no format) and registers nothing.
    EXPECT_EQ(DecodeFrame(on_data(u"Not registered here", opc::TYMED_HGLOBAL, 0, 0), advise, 0),
              Decoded::Request);
    EXPECT_EQ(plat::FindClipboardFormat(u"Not registered here"), 0);
    EXPECT_EQ(plat::CoTaskMemLiveBlocks(), blocks_before) << "the decoder kept task memory";
}

}  // namespace
