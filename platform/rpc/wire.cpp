#include "platform/rpc/wire.h"

namespace plat::rpc {

void BeginFrame(Writer& w, MsgType type, uint32_t call_id, uint8_t flags) {
    w.U32(0);
    w.U8(static_cast<uint8_t>(type));
    w.U8(flags);
    w.U16(0);
    w.U32(call_id);
}

void EndFrame(Writer& w) {
    w.PatchU32(0, static_cast<uint32_t>(w.Size() - 4));
}

void WriteRequestHeader(Writer& w, const RequestHeader& h) {
    w.U64(h.causality);
    w.U32(h.locale);
    w.U64(h.object);
    w.Guid(h.iid);
    w.U16(h.method);
}

void WriteHello(Writer& w, const Hello& h) {
    w.U32(h.magic);
    w.U16(h.version);
    w.U16(h.role);
    w.U32(h.pid);
}

size_t BeginReply(Writer& w, uint32_t call_id) {
    BeginFrame(w, MsgType::Reply, call_id);
    size_t at = w.Size();
    w.U8(0);
    w.I32(0);
    return at;
}

void FinishReply(Writer& w, size_t at, ReplyStatus status, HRESULT hr, std::string_view text) {
    w.PatchU8(at, static_cast<uint8_t>(status));
    w.PatchU32(at + 1, static_cast<uint32_t>(hr));
    w.Text(text);
    EndFrame(w);
}

bool ReadFrameHeader(Reader& r, FrameHeader& h) {
    uint8_t type = 0;
    uint16_t reserved = 0;
    if (!r.U8(type) || !r.U8(h.flags) || !r.U16(reserved) || !r.U32(h.call_id)) return false;
    if (type < static_cast<uint8_t>(MsgType::Hello) ||
        type > static_cast<uint8_t>(MsgType::Abandon))
        return false;
    h.type = static_cast<MsgType>(type);
    return true;
}

bool ReadRequestHeader(Reader& r, RequestHeader& h) {
    return r.U64(h.causality) && r.U32(h.locale) && r.U64(h.object) && r.Guid(h.iid) &&
           r.U16(h.method);
}

bool ReadHello(Reader& r, Hello& h) {
    return r.U32(h.magic) && r.U16(h.version) && r.U16(h.role) && r.U32(h.pid);
}

}  // namespace plat::rpc
