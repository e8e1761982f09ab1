// libFuzzer target: arbitrary bytes as a controller's answer on an emulated line, through the
// read phase, the repairs, the validation and the value codecs. Nothing here may crash or read
// outside a buffer, whatever the line delivers.
//
// Input: byte 0 expected length (0 -> 1), byte 1 flags (bits 0-1 mode, bit 2 echo in front,
// bit 3 single attempt, bits 4-7 chunk size of successive reads, 0 = all at once), byte 2 the
// address (low five bits), byte 3 a position for the decimal codecs; the rest is the answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/com/unknown.h"
#include "platform/time/clock.h"
#include "platform/types/wstr.h"
#include "service/core/EmulatorTable.h"
#include "service/core/Port.h"
#include "service/typelib/TypeLib.h"

namespace {

constexpr uint8_t kCom = 20;

class FuzzEmu final : public tlb::IHWEmu {
public:
    plat::HRESULT QueryInterface(const plat::IID& iid, void** out) override {
        if (iid == plat::IID_IUnknown || iid == tlb::IHWEmu::GetIID()) {
            *out = static_cast<tlb::IHWEmu*>(this);
            return plat::S_OK;
        }
        *out = nullptr;
        return plat::E_NOINTERFACE;
    }
    uint32_t AddRef() override { return 1; }  // static object
    uint32_t Release() override { return 1; }
    plat::HRESULT WriteCall(const plat::WideString& call) override {
        pending_ = echo ? plat::WideToBytes(call) : std::string();
        pending_ += answer;
        return plat::S_OK;
    }
    plat::HRESULT ReadAnswer(plat::WideString* out) override {
        size_t n = chunk ? std::min(chunk, pending_.size()) : pending_.size();
        *out = plat::BytesToWide(std::string_view(pending_).substr(0, n));
        pending_.erase(0, n);
        return plat::S_OK;
    }
    plat::HRESULT Purge() override {
        pending_.clear();
        return plat::S_OK;
    }

    std::string answer;
    bool echo = false;
    size_t chunk = 0;

private:
    std::string pending_;
};

plat::FakeClock* g_clock = nullptr;
FuzzEmu* g_emu = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Fake time: the read phase's waits cost nothing, and no log is open.
    g_clock = new plat::FakeClock(true);
    plat::SetClock(g_clock);
    g_emu = new FuzzEmu;
    drv::SetEmulator(kCom, plat::ComPtr<tlb::IHWEmu>(g_emu));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const int expected = data[0] ? data[0] : 1;
    const uint8_t flags = data[1];
    const int mode = flags & 3;
    const auto address = static_cast<uint8_t>(data[2] & 31);
    const int pos = data[3];
    g_emu->answer.assign(reinterpret_cast<const char*>(data + 4), size - 4);
    g_emu->echo = (flags & 4) != 0;
    g_emu->chunk = flags >> 4;

    drv::TZrnPort port(nullptr, 4800, true, kCom);
    if (port.Open() != drv::kPortOk) std::abort();

    std::string ans;
    const bool ok = port.Transact(address, 'X', "94", expected, ans, 255, (flags & 8) != 0, mode,
                                  (flags & 8) == 0);
    if (ok) {
        // A valid framed answer hands back its data part, a bare one itself.
        if (expected >= 6 && ans.size() != static_cast<size_t>(expected - 6)) __builtin_trap();
        if (expected < 6 && ans.size() != static_cast<size_t>(expected)) __builtin_trap();
    } else if (!ans.empty()) {
        __builtin_trap();
    }
    if (port.Stats().ReadDelay > drv::TZrnPort::kMaxReadDelay) __builtin_trap();

    // The codecs on what came back and on the raw bytes.
    const std::string& raw = g_emu->answer;
    (void)drv::NibblesToByte(ans);
    (void)drv::DigitsToByte(raw);
    int err = 0;
    (void)drv::ParseDecimal(ans, 1, 255, true, 0, err);
    (void)drv::ParseDecimal(raw, pos % 8, pos, (pos & 1) != 0, pos / 4, err);
    if (raw.size() >= 8) {
        int64_t v = 0;
        for (int i = 0; i < 8; ++i) v = v << 8 | static_cast<uint8_t>(raw[i]);
        const int digits = static_cast<int8_t>(data[0]);
        const int decimals = static_cast<int8_t>(data[3]);
        const std::string text = drv::FormatDecimal(digits, decimals, v);
        if (drv::FitsDecimal(digits, decimals, v) && !text.empty()) {
            const int64_t back = drv::ParseDecimal(text, 1, digits + 1, false, 0, err);
            (void)back;
        }
    }

    uint8_t value = 0;
    (void)port.ReadParam(address, static_cast<uint8_t>(pos), mode, true, value);
    return 0;
}
