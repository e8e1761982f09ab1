// libFuzzer target for the transport's message decoder. The first input byte picks the
// interface method a reply is decoded against; the rest is one frame after its length.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/rpc/decode.h"
#include "platform/rpc/interfaces.h"
#include "service/host/TypeLibProxy.h"

namespace {

const std::vector<const plat::rpc::InterfaceInfo*>& Interfaces() {
    static const std::vector<const plat::rpc::InterfaceInfo*> all = [] {
        tlb::RegisterTypeLibInterfaces();
        return plat::rpc::RegisteredInterfaces();
    }();
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto& all = Interfaces();
    if (size == 0 || all.empty()) return 0;
    const plat::rpc::InterfaceInfo* iface = all[data[0] % all.size()];
    const uint16_t method = iface->method_count ? static_cast<uint16_t>((data[0] >> 4) % iface->method_count) : 0;
    plat::rpc::DecodeFrame(std::span<const uint8_t>(data + 1, size - 1), iface, method);
    return 0;
}
