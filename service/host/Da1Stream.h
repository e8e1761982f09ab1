// The OPC DA 1.0 stream blocks a group hands its advise sinks: pure functions from the values
// to the bytes of one global-memory block, little-endian, in the published layout.
//
// Data block (OPCSTMFORMATDATA, OPCSTMFORMATDATATIME):
//   group header, 20 bytes   dwSize (the whole block), dwItemCount, hClientGroup,
//                            dwTransactionID, hrStatus
//   item headers             12 bytes each: hClient, dwValueOffset, wQuality, wReserved;
//                            20 with the time format: the same and the FILETIME last
//   values                   one 16-byte VARIANT of the 32-bit layout per item (vt, three
//                            reserved words, 8 bytes of value) at dwValueOffset, counted from
//                            the block's start; a string follows its VARIANT as a byte count
//                            (without the NUL), the UTF-16LE text and a NUL, and the block is
//                            sized for it. The VARIANT's pointer slot stays 0.
// Write-complete block (OPCSTMFORMATWRITECOMPLETE):
//   header, 16 bytes         dwItemCount, hClientGroup, dwTransactionID, hrStatus
//   per item, 8 bytes        hClient, dwError
// decisions HOST-59
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/types/datetime.h"
#include "platform/types/variant.h"
#include "service/typelib/OpcDa.h"

namespace opc {

// The stream formats' clipboard names, registered at start-up.
inline constexpr std::u16string_view kFormatData = u"OPCSTMFORMATDATA";
inline constexpr std::u16string_view kFormatDataTime = u"OPCSTMFORMATDATATIME";
inline constexpr std::u16string_view kFormatWriteComplete = u"OPCSTMFORMATWRITECOMPLETE";

struct Da1Formats {
    CLIPFORMAT data = 0;
    CLIPFORMAT data_time = 0;
    CLIPFORMAT write_complete = 0;
};
// Registers the three names (RegisterClipboardFormat); a number is 0 when its registration
// failed.
Da1Formats RegisterDa1Formats();

struct Da1GroupHeader {
    OPCHANDLE hClientGroup = 0;
    uint32_t dwTransactionID = 0;
    HRESULT hrStatus = 0;
};

struct Da1Item {
    OPCHANDLE hClient = 0;
    uint16_t wQuality = 0;
    plat::FILETIME ftTimeStamp{};  // only with the time format
    plat::Variant value;
};

// Bytes of a 32-bit VARIANT in the stream.
inline constexpr size_t kDa1GroupHeaderBytes = 20;
inline constexpr size_t kDa1ItemHeaderBytes = 12;
inline constexpr size_t kDa1ItemHeaderTimeBytes = 20;
inline constexpr size_t kDa1VariantBytes = 16;
inline constexpr size_t kDa1WriteHeaderBytes = 16;
inline constexpr size_t kDa1WriteItemBytes = 8;

// The data block, or nothing when it would not fit a 32-bit size. Value types other than the
// scalars, VT_BSTR, VT_EMPTY and VT_NULL go with their type and no value.
std::optional<std::vector<uint8_t>> BuildDa1DataBlock(bool with_time, const Da1GroupHeader& group,
                                                      std::span<const Da1Item> items);

struct Da1WriteResult {
    OPCHANDLE hClient = 0;
    HRESULT dwError = 0;
};

std::vector<uint8_t> BuildDa1WriteCompleteBlock(const Da1GroupHeader& group,
                                                std::span<const Da1WriteResult> items);

}  // namespace opc
