// libFuzzer target: the system device's Command and TxRx texts as a client may write them.
// What the parsers accept must stay within what the bus thread can carry out safely.
//
// Input: byte 0 bit 0 picks TxRx (else Command), bits 1-2 the port's protocol for the address
// bound; the rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fieldbus/core/ComDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] & 1) {
        mb::TxRxRequest r;
        if (mb::ParseTxRx(text, r) != plat::S_OK) return 0;
        if (r.query.empty() || r.query.size() * 2 > mb::kMaxQueryChars) std::abort();
        if (r.response_len > mb::kMaxResponseLen || r.ExpectedLength() + 2 > 258) std::abort();
        if (r.address_ex > 247) std::abort();
        for (const auto& t : {r.timeout_ms, r.silent_ms})
            if (t && (*t == 0 || *t > mb::kMaxExchangeTimeoutMs)) std::abort();
        if (r.address_ex != 0 && r.Encapsulation() != (r.address_ex << 8 | 0x42)) std::abort();
        if (r.address_ex == 0 && r.Address() != r.query[0]) std::abort();
        return 0;
    }
    static const int kMax[4] = {247, 10, 254, 247};
    const int max = kMax[(data[0] >> 1) & 3];
    mb::CaptureCommand c;
    const plat::HRESULT hr = mb::ParseCaptureCommand(text, max, c);
    if (hr != plat::S_OK) {
        if (hr != plat::OPC_E_RANGE && hr != plat::E_INVALIDARG) std::abort();
        return 0;
    }
    if (c.address > max) std::abort();
    if (c.address == 0 && c.kind != mb::CaptureCommand::kRelease) std::abort();
    // Only a literal 0 releases everything.
    if (c.address == 0 &&
        text.substr(text.find('=') + 1).find_first_not_of('0') != std::string_view::npos)
        std::abort();
    return 0;
}
