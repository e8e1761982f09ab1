// libFuzzer target for the transport's message decoder. The first input byte holds the flags,
// the second picks an interface of the list below and the third one of its methods; the rest
// is one frame after its length, or (when bit 6 of the first byte is set) a stream of
// length-prefixed frames walked as the reader walks a connection: the length rules first (only
// a hello-sized frame before the hello), then each frame decoded. A request gets that method's
// IID and number written into its header (unless the first byte's top bit is set), since random
// bytes would almost never name a declared interface; a reply is decoded against that method.
// decisions BUILD-6
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "platform/rpc/connection.h"
#include "platform/rpc/decode.h"
#include "platform/rpc/interfaces.h"
#include "service/typelib/OpcDaProxy.h"
#include "service/typelib/TypeLibProxy.h"

namespace {

// In a fixed order, so a corpus file names the same method whatever else gets declared.
const std::vector<const plat::rpc::InterfaceInfo*>& Interfaces() {
    using plat::rpc::InterfaceInfoOf;
    static const std::vector<const plat::rpc::InterfaceInfo*> all = {
        &InterfaceInfoOf<plat::IUnknown>(),
        &InterfaceInfoOf<plat::IConnectionPoint>(),
        &InterfaceInfoOf<plat::IConnectionPointContainer>(),
        &InterfaceInfoOf<plat::IEnumConnections>(),
        &InterfaceInfoOf<plat::IEnumConnectionPoints>(),
        &InterfaceInfoOf<tlb::INorvaltEvents>(),
        &InterfaceInfoOf<tlb::INorvaltEventsEx>(),
        &InterfaceInfoOf<tlb::INorvalt>(),
        &InterfaceInfoOf<tlb::IDrvControl>(),
        &InterfaceInfoOf<tlb::IHWEmu>(),
        &InterfaceInfoOf<tlb::IHWEmuReg>(),
        &InterfaceInfoOf<tlb::IOPCItemSamplingMgtExt>(),
        &InterfaceInfoOf<opc::IEnumUnknown>(),
        &InterfaceInfoOf<opc::IEnumString>(),
        &InterfaceInfoOf<opc::IEnumOPCItemAttributes>(),
        &InterfaceInfoOf<opc::IOPCCommon>(),
        &InterfaceInfoOf<opc::IOPCServer>(),
        &InterfaceInfoOf<opc::IOPCBrowseServerAddressSpace>(),
        &InterfaceInfoOf<opc::IOPCItemProperties>(),
        &InterfaceInfoOf<opc::IOPCShutdown>(),
        &InterfaceInfoOf<opc::IOPCGroupStateMgt>(),
        &InterfaceInfoOf<opc::IOPCGroupStateMgt2>(),
        &InterfaceInfoOf<opc::IOPCItemMgt>(),
        &InterfaceInfoOf<opc::IOPCSyncIO>(),
        &InterfaceInfoOf<opc::IOPCAsyncIO>(),
        &InterfaceInfoOf<opc::IOPCAsyncIO2>(),
        &InterfaceInfoOf<opc::IOPCDataCallback>(),
        &InterfaceInfoOf<opc::IAdviseSink>(),
        &InterfaceInfoOf<opc::IDataObject>(),
    };
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto& all = Interfaces();
    if (size < 3) return 0;
    const plat::rpc::InterfaceInfo* iface = all[data[1] % all.size()];
    const uint16_t method =
        iface->method_count ? static_cast<uint16_t>(data[2] % iface->method_count) : 0;
    constexpr size_t kSkip = 3;
    if (data[0] & 0x40) {
        bool hello_seen = false;
        size_t at = kSkip;
        while (size - at >= 4) {
            uint32_t len;
            std::memcpy(&len, data + at, 4);
            at += 4;
            const auto rule = plat::rpc::CheckFrameLength(len, hello_seen);
            if (rule == plat::rpc::FrameLength::Refuse) break;
            if (!hello_seen && len > plat::rpc::kMaxHelloFrame) __builtin_trap();
            if (rule == plat::rpc::FrameLength::Skip || len > size - at) break;
            const auto d = plat::rpc::DecodeFrame(std::span(data + at, len), iface, method);
            if (!hello_seen && d != plat::rpc::Decoded::Hello) break;
            hello_seen = true;
            at += len;
        }
        return 0;
    }
    std::vector<uint8_t> body(data + kSkip, data + size);
    constexpr size_t kIidAt = 28,
                     kMethodAt = 44;  // frame header 8, causality 8, locale 4, object 8
    if (!(data[0] & 0x80) && body.size() >= kMethodAt + 2 &&
        body[0] == static_cast<uint8_t>(plat::rpc::MsgType::Request)) {
        plat::rpc::Writer w;
        w.Guid(iface->iid);
        w.U16(method);
        std::memcpy(body.data() + kIidAt, w.Bytes().data(), w.Size());
    }
    plat::rpc::DecodeFrame(body, iface, method);
    return 0;
}
