// The port's system device: capture commands and raw requests for clients.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fieldbus/core/Device.h"
#include "platform/types/hresult.h"

namespace mb {

// Registers of the two items (they name no device register; the host only sees them).
inline constexpr uint16_t kCommandRegister = 0xF000;
inline constexpr uint16_t kTxRxRegister = 0xF001;

// --- the two write texts, parsed without touching the port ---

// "CAPTUREW=<address>", "CAPTURER=<address>", "RELEASE=<address>" (0 releases every address).
struct CaptureCommand {
    enum Kind { kCaptureReadWrite, kCaptureReadOnly, kRelease } kind = kRelease;
    uint8_t address = 0;
};
// S_OK; OPC_E_RANGE for an unknown keyword, a missing "=" or an address outside
// 1 ... max_address (0 only for RELEASE); E_INVALIDARG for an address that is not a plain
// decimal number. A text such as "RELEASE=abc" must never read as "RELEASE=0".
plat::HRESULT ParseCaptureCommand(std::string_view text, int max_address, CaptureCommand& out);

// Bounds of the per-exchange time-outs a client may ask for: the bus thread waits that long.
inline constexpr uint32_t kMaxExchangeTimeoutMs = 10000;
// Longest RESPONSE_LEN: one RTU frame.
inline constexpr uint32_t kMaxResponseLen = 256;
// Longest QUERY text in characters (an even count is needed, so 128 bytes at most).
inline constexpr size_t kMaxQueryChars = 257;

// "QUERY=<hex>&RESPONSE_LEN=<n>&ADDRESS_EX=<a>&TIMEOUT=<ms>&SILENT=<ms>": keys in any order,
// each at the start of the text or right after "&"; a repeated key counts once (the first);
// other keys are ignored.
struct TxRxRequest {
    std::vector<uint8_t> query;
    // The answer as it comes on the line, CRC included; 0 (or up to 2) takes any length.
    uint32_t response_len = 0;
    // Non-zero: the request goes encapsulated (prefix address, 0x42) to this address.
    uint8_t address_ex = 0;
    std::optional<uint32_t> timeout_ms;
    std::optional<uint32_t> silent_ms;

    // The bus address the exchange is for (the first query byte without ADDRESS_EX).
    uint8_t Address() const { return address_ex != 0 ? address_ex : query.empty() ? 0 : query[0]; }
    // The expected answer length as the Modbus transaction counts it (no CRC; 0 = any).
    size_t ExpectedLength() const { return response_len > 2 ? response_len - 2 : 0; }
    uint16_t Encapsulation() const {
        return address_ex != 0 ? static_cast<uint16_t>(address_ex << 8 | 0x42) : 0;
    }
};
// S_OK, or E_INVALIDARG: no QUERY, an empty, odd-length, over-long or non-hex QUERY, or a
// number that is not a plain decimal within its bounds (RESPONSE_LEN 0 ... 256, ADDRESS_EX
// 0 ... 247, TIMEOUT and SILENT 1 ... 10000 ms).
plat::HRESULT ParseTxRx(std::string_view text, TxRxRequest& out);

// The highest bus address of the port's protocol.
int MaxPortAddress(IDevicePort* port);

// The pseudo-device of a real port: "System.COM<n>.Command" captures and releases addresses
// for a client, "System.COM<n>.TxRx" sends one raw request of a captured address. It has no bus
// address and sends nothing on its own; its writes run on the bus thread in its scan step.
class CComDevice : public CDevice {
  public:
    explicit CComDevice(IDevicePort* port);
    // Removes its items, then the port branch, from the host.
    ~CComDevice() override;

    // Finds "System", finds or creates the port branch under it and creates the two items.
    bool CreateItems();

    int Scan() override;
    bool Init() override;
    int WriteItem(CDeviceItem* item, plat::Variant& value, int32_t id) override;

    CDeviceItem* CommandItem() const { return slots_[0].variable; }
    CDeviceItem* TxRxItem() const { return slots_[1].variable; }
    const std::string& BranchName() const { return branch_; }

  private:
    int32_t RunCommand(const std::string& text);
    int32_t RunTxRx(const std::string& text);

    std::string branch_;  // "System.COM<n>"
    int32_t branch_handle_ = -1;
    ItemSlot slots_[2];
};

// The system device of a real port; null when none can be made.
std::unique_ptr<CDevice> MakeSystemDevice(IDevicePort* port);

}  // namespace mb
