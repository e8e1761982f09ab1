#include "platform/rpc/decode.h"

#include "platform/rpc/wire.h"

namespace plat::rpc {

namespace {

bool DecodeRequest(Reader& r) {
    RequestHeader h;
    if (!ReadRequestHeader(r, h)) return false;
    MarshalEnv env;
    if (h.object == kActivatorObject) {
        GUID clsid, iid;
        return h.method == kMethodCreateInstance && r.Guid(clsid) && r.Guid(iid) && r.AtEnd();
    }
    if (h.method == kMethodQueryInterface) {
        GUID iid;
        return r.Guid(iid) && r.AtEnd();
    }
    const InterfaceInfo* info = FindInterface(h.iid);
    if (!info || h.method >= info->method_count) return false;
    return info->methods[h.method].decode_in(r, env);
}

bool DecodeReply(Reader& r, const InterfaceInfo* iface, uint16_t method) {
    uint8_t status;
    int32_t hr;
    if (!r.U8(status) || !r.I32(hr) || status > 2) return false;
    std::string text;
    if (status != static_cast<uint8_t>(ReplyStatus::Done)) return r.Text(text) && r.AtEnd();
    if (!iface || method >= iface->method_count) return true;  // out parameters unknown
    MarshalEnv env;
    return iface->methods[method].decode_out(r, env);
}

bool DecodeRelease(Reader& r) {
    uint32_t n;
    if (!r.Count(n, 12) || r.Left() != size_t{n} * 12) return false;
    for (uint32_t i = 0; i < n; ++i) {
        uint64_t id;
        uint32_t refs;
        if (!r.U64(id) || !r.U32(refs) || refs == 0) return false;
    }
    return true;
}

}  // namespace

FrameLength CheckFrameLength(uint32_t len, bool hello_seen) {
    if (len < kFrameHeaderSize) return FrameLength::Refuse;
    if (!hello_seen) return len <= kMaxHelloFrame ? FrameLength::Take : FrameLength::Refuse;
    return len <= kMaxFrame ? FrameLength::Take : FrameLength::Skip;
}

Decoded DecodeFrame(std::span<const uint8_t> body, const InterfaceInfo* reply_iface,
                    uint16_t reply_method) {
    if (body.size() > kMaxFrame) return Decoded::Malformed;
    Reader r(body);
    FrameHeader fh;
    if (!ReadFrameHeader(r, fh)) return Decoded::Malformed;
    switch (fh.type) {
        case MsgType::Hello: {
            Hello h;
            return ReadHello(r, h) && h.magic == kMagic ? Decoded::Hello : Decoded::Malformed;
        }
        case MsgType::Request:
            return DecodeRequest(r) ? Decoded::Request : Decoded::Malformed;
        case MsgType::Reply:
            return DecodeReply(r, reply_iface, reply_method) ? Decoded::Reply : Decoded::Malformed;
        case MsgType::Release:
            return DecodeRelease(r) ? Decoded::Release : Decoded::Malformed;
        case MsgType::Abandon:
            return r.AtEnd() ? Decoded::Abandon : Decoded::Malformed;
    }
    return Decoded::Malformed;
}

}  // namespace plat::rpc
