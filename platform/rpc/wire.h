// The object transport's wire format: frames, headers and the bounds-checked byte cursor.
//
// Every number is little-endian; no field is aligned. A frame is
//   u32 length                  bytes that follow (8 .. kMaxFrame)
//   u8  type                    1 Hello, 2 Request, 3 Reply, 4 Release, 5 Abandon
//   u8  flags                   0, but in Hello: bit 0 the sender understands Abandon
//   u16 reserved                0
//   u32 call id                 pairs a Reply or an Abandon with its Request (0 in Hello and
//                               Release)
// then, by type:
//   Hello    u32 magic "NRPC" (0x4350524E), u16 version (1), u16 role (0 client, 1 server),
//            u32 pid. Each side sends one first; anything else first, or a first frame
//            longer than 64 bytes, ends the connection.
//   Request  u64 causality      the logical thread: a nested call carries its caller's, so the
//                               thread that waits for it serves it
//            u32 locale         the caller's LCID
//            u64 object         id in the receiver's export table; 0 is the activator
//            GUID iid           the interface the call is made on
//            u16 method         index in the interface's method table (base interface first,
//                               slot order); 0xFFFF QueryInterface(GUID iid);
//                               on object 0, method 0 is CreateInstance(GUID clsid, GUID iid)
//                               with an object reference out
//            in parameters, in declaration order
//   Reply    u8  status         0 Done: out parameters follow
//                               1 Rejected: nothing was dispatched and no reference in the
//                                 request was taken (the caller takes its exports back)
//                               2 Failed: the call ran but its results could not be sent
//            i32 HRESULT
//            out parameters     (Done only), in declaration order
//            u32 n, n bytes     error text, UTF-8 (may be empty)
//   Release  u32 n, n x { u64 object, u32 references }: references the sender gives back
//   Abandon  nothing: the sender gave the call up (it timed out). A call not yet started is
//            not carried out but answered Rejected with RPC_E_CALL_CANCELED; one already
//            started runs and is answered as usual. Sent only to a peer whose hello has bit 0.
// Parameter encodings (marshal.h): integers, enums and floating values by their size; bool as
// u8; Currency as i64; DATE as f64; FILETIME as u32 low, u32 high; GUID as u32, u16, u16, 8
// bytes; strings as u32 count + UTF-16 code units, unchanged; nullable strings with a leading
// u8 present flag; VARIANT as u16 vt + the value of that vt (strings as above); records field
// by field; arrays as u32 count + elements (a count larger than the bytes left is refused);
// callee-allocated arrays and records with a leading u8 present flag; caller-allocated arrays
// as the u32 room among the in parameters and u32 count + the filled elements in the reply;
// optional out values as a u8 flag in the request and u8 flag + value in the reply; task
// strings inside records and arrays as nullable strings; object references as
//   u8 kind (0 null, 1 the sender's object: the sender passes one reference with it,
//            2 the receiver's own object), u64 object id, GUID iid.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types/guid.h"
#include "platform/types/hresult.h"

namespace plat::rpc {

static_assert(std::endian::native == std::endian::little, "the wire format is little-endian");

inline constexpr uint32_t kMagic = 0x4350524E;  // "NRPC"
inline constexpr uint16_t kVersion = 1;
// Largest frame either side accepts. Larger requests are answered with an error and skipped.
inline constexpr uint32_t kMaxFrame = 16u << 20;
// Frames before the peer's hello are at most this long (a hello is 20).
inline constexpr uint32_t kMaxHelloFrame = 64;

enum class MsgType : uint8_t { Hello = 1, Request = 2, Reply = 3, Release = 4, Abandon = 5 };
// Hello flags.
inline constexpr uint8_t kHelloUnderstandsAbandon = 1;
enum class ReplyStatus : uint8_t { Done = 0, Rejected = 1, Failed = 2 };

inline constexpr uint16_t kMethodQueryInterface = 0xFFFF;
inline constexpr uint64_t kActivatorObject = 0;
inline constexpr uint16_t kMethodCreateInstance = 0;

inline constexpr size_t kFrameHeaderSize = 8;     // after the length
inline constexpr size_t kRequestHeaderSize = 38;  // after the frame header
inline constexpr size_t kHelloSize = 12;

// Codes the transport answers with besides the platform's own.
inline constexpr HRESULT CO_E_OBJNOTCONNECTED = MakeHr(0x800401FD);   // unknown object id
inline constexpr HRESULT RPC_S_SERVER_TOO_BUSY = MakeHr(0x800706BB);  // too many calls at once
inline constexpr HRESULT RPC_E_CALL_REJECTED = MakeHr(0x80010001);
inline constexpr HRESULT RPC_E_CALL_CANCELED = MakeHr(0x80010002);  // the caller gave it up
inline constexpr HRESULT RPC_E_TIMEOUT = MakeHr(0x8001011F);  // the peer did not answer in time
inline constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = MakeHr(0x80080005);  // no server listening

// Appends to a growing frame.
class Writer {
  public:
    Writer() { buf_.reserve(128); }
    void U8(uint8_t v) { buf_.push_back(v); }
    void U16(uint16_t v) { Raw(&v, sizeof v); }
    void U32(uint32_t v) { Raw(&v, sizeof v); }
    void U64(uint64_t v) { Raw(&v, sizeof v); }
    void I32(int32_t v) { Raw(&v, sizeof v); }
    void Guid(const GUID& g) {
        U32(g.Data1);
        U16(g.Data2);
        U16(g.Data3);
        Raw(g.Data4, 8);
    }
    void Raw(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        buf_.insert(buf_.end(), b, b + n);
    }
    // u32 byte count + bytes.
    void Text(std::string_view s) {
        U32(static_cast<uint32_t>(s.size()));
        Raw(s.data(), s.size());
    }
    // A value that cannot be encoded poisons the frame: it is never sent and the call fails with
    // this code.
    void Poison(HRESULT hr) {
        if (poison_ == S_OK) poison_ = hr;
    }
    HRESULT Poisoned() const { return poison_; }
    void PatchU32(size_t at, uint32_t v) { std::memcpy(buf_.data() + at, &v, sizeof v); }
    void PatchU8(size_t at, uint8_t v) { buf_[at] = v; }

    size_t Size() const { return buf_.size(); }
    const std::vector<uint8_t>& Bytes() const { return buf_; }
    std::vector<uint8_t>& Bytes() { return buf_; }

  private:
    std::vector<uint8_t> buf_;
    HRESULT poison_ = S_OK;
};

// Reads from a frame; every read checks the bytes left and fails rather than overrun.
class Reader {
  public:
    Reader() = default;
    explicit Reader(std::span<const uint8_t> s) : p_(s.data()), n_(s.size()) {}
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}

    bool U8(uint8_t& v) { return Raw(&v, 1); }
    bool U16(uint16_t& v) { return Raw(&v, sizeof v); }
    bool U32(uint32_t& v) { return Raw(&v, sizeof v); }
    bool U64(uint64_t& v) { return Raw(&v, sizeof v); }
    bool I32(int32_t& v) { return Raw(&v, sizeof v); }
    bool Guid(GUID& g) { return U32(g.Data1) && U16(g.Data2) && U16(g.Data3) && Raw(g.Data4, 8); }
    bool Raw(void* out, size_t n) {
        if (n > n_) return false;
        if (n) std::memcpy(out, p_, n);
        p_ += n;
        n_ -= n;
        return true;
    }
    // A count of elements that need at least `min_bytes` each: refused when the frame cannot
    // hold that many, so no allocation follows a forged count.
    bool Count(uint32_t& n, size_t min_bytes) {
        if (!U32(n)) return false;
        return min_bytes == 0 ? n <= n_ : uint64_t{n} * min_bytes <= n_;
    }
    bool Text(std::string& s) {
        uint32_t n;
        if (!Count(n, 1)) return false;
        s.assign(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        n_ -= n;
        return true;
    }
    bool Skip(size_t n) {
        if (n > n_) return false;
        p_ += n;
        n_ -= n;
        return true;
    }
    size_t Left() const { return n_; }
    bool AtEnd() const { return n_ == 0; }
    const uint8_t* Here() const { return p_; }

  private:
    const uint8_t* p_ = nullptr;
    size_t n_ = 0;
};

struct FrameHeader {
    MsgType type = MsgType::Hello;
    uint8_t flags = 0;
    uint32_t call_id = 0;
};

struct RequestHeader {
    uint64_t causality = 0;
    uint32_t locale = 0;
    uint64_t object = 0;
    GUID iid;
    uint16_t method = 0;
};

struct Hello {
    uint32_t magic = kMagic;
    uint16_t version = kVersion;
    uint16_t role = 0;
    uint32_t pid = 0;
};

// Starts a frame: the length is filled by EndFrame.
void BeginFrame(Writer& w, MsgType type, uint32_t call_id, uint8_t flags = 0);
void EndFrame(Writer& w);
void WriteRequestHeader(Writer& w, const RequestHeader& h);
void WriteHello(Writer& w, const Hello& h);
// Starts a reply; status and HRESULT are patched by FinishReply, which appends the text.
size_t BeginReply(Writer& w, uint32_t call_id);
void FinishReply(Writer& w, size_t at, ReplyStatus status, HRESULT hr, std::string_view text);

// The body of a frame (after the length).
bool ReadFrameHeader(Reader& r, FrameHeader& h);
bool ReadRequestHeader(Reader& r, RequestHeader& h);
bool ReadHello(Reader& r, Hello& h);

}  // namespace plat::rpc
