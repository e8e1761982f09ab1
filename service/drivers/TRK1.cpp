#include "service/drivers/TRK1.h"

#include "platform/time/clock.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {

std::string Num(int64_t v) {
    return std::to_string(v);
}

// decisions DRV-13
constexpr uint8_t kBaseAddressParam = 80;
constexpr uint8_t kSecondAddressParam = 81;
constexpr uint8_t kFullDownParam = 82;
constexpr uint8_t kUssTimeoutParam = 219;
constexpr uint8_t kInspectorParam = 38;
constexpr char kFirstSide = 'P', kSecondSide = 'Q';
constexpr VolumeCounters kCounters{6, 8, DoseEcho::Keep, "85906CB7-DF48-47F1-A249-6D54D97C18B6 "};

}  // namespace

uint8_t TTork1::GetSide() {
    if (side_kind_ == kFirstSide) return 1;
    if (side_kind_ == kSecondSide) return 2;
    Log("62E6C222-3C84-43BC-B372-B6FBD8B7D073", PL_CRITICAL);
    return 0;
}

uint32_t TTork1::GetAddress(uint8_t side, uint8_t nozzle) {
    if (nozzle > 1 || side > 2) {
        ItemLog(ID(), "C80C7A0D-04A4-4733-8EE7-39B507183CD5", PL_INFO);
        return 0;
    }
    return side == 2 ? second_address_ : base_address_;
}

int32_t TTork1::ApplyDose() {
    return WriteDose(VarValue(tlb::cvDozeV), 3, 2, false, true);
}

void TTork1::DefineVariables(uint8_t) {
    has_money_ = true;
    DefineSideVars();
    DefineVar(VarRec::AddressWritable);
    Log("5A13E6F2-9422-41E7-867E-56B593B1FA72", PL_INFO);

    uint8_t a = 0;
    if (link_state_ != LINK_FAILED && !ReadNibble('X', kBaseAddressParam, false, a)) {
        link_state_ = LINK_FAILED;
        Log("45900E9D-AA3A-4696-9C90-1C2E7ED4AAFF", PL_EXTERNAL);
    }
    if (link_state_ == LINK_OK) {
        if (a == address_) {
            side_kind_ = kFirstSide;
            base_address_ = address_;
            uint8_t b = 0;
            if (ReadNibble('X', kSecondAddressParam, false, b) && b >= 1 && b < kZrnAddresses &&
                !Owner().GetDevice(b))
                Owner().RegisterAddress(b);
        } else {
            side_kind_ = kSecondSide;
            if (TTork1* base = PeerAt<TTork1>(a)) {
                base_address_ = a;
                second_address_ = address_;
                base->base_address_ = a;
                base->second_address_ = address_;
            } else {
                // Without the first side's object this one cannot name its post: it is made
                // again once that object exists, which is probed first.
                Owner().RegisterAddress(a);
                link_state_ = LINK_REGISTER;
                Log("Second side before its base controller " + Num(a), PL_INFO);
                return;
            }
        }
    }

    price_shift_ = 0;
    uint8_t config = 0;
    if (link_state_ == LINK_OK && ReadNibble('X', 37, false, config) && (config & 0x08))
        price_shift_ = 1;
    if (price_shift_ == 0 && link_state_ == LINK_OK && ReadNibble('X', 46, false, config) &&
        (config & 0x01))
        price_shift_ = 2;

    if (side_kind_ == kFirstSide) {
        DefineDispenserVars();
    } else if (side_kind_ != kSecondSide) {
        link_state_ = LINK_FAILED;
        Log("BF0E50B9-BF6A-4999-BE28-13A1C64DDF8B", PL_EXTERNAL);
    }
    BuildItemNames(static_cast<int>(base_address_), GetSide(), 0);
    DefineMoneyVariables();

    settings_ = {
        {.code = tlb::cvInspector,
         .read = SettingRead::Nibble16,
         .read_param = kInspectorParam,
         .read_tag = "0EE5E75B-CBEF-45FB-BB18-79892237B210 "},
        BcdByteSetting(tlb::cvFullDown, kFullDownParam, "47E64D54-74BB-4D99-B8F7-08CED3D53B28 "),
        BcdByteSetting(tlb::cvUSSWaitTime, kUssTimeoutParam,
                       "6D7C4020-E277-4E62-901C-15D47DEDAD1D "),
        {.code = tlb::cvAddress,
         .write = SettingWrite::Plain,
         .write_param = kBaseAddressParam,
         .write_tag = "BA18C667-EBF3-4657-8FE1-227D10EB22D4 ",
         .address_link = LINK_RECONFIGURE},
    };
    defining_ = false;
    side_post_ = true;
}

void TTork1::WritePostNumbers(DATE time) {
    SetVarRaw(tlb::cvBasePost, LQ_FRESH, time,
              (int64_t{Owner().Shift()} + base_address_) * kFixedOne);
    StoreByteVar(tlb::cvSide, side_kind_ == 0 ? 0 : GetSide(), time);
}

// --- reading --------------------------------------------------------------------------------

void TTork1::ReReadVarValue(uint8_t code) {
    switch (code) {
        case tlb::cvCalibV:
            if (side_kind_ == kFirstSide || side_kind_ == kSecondSide)
                ReadCalibration('X', side_kind_ == kFirstSide ? 40 : 43, code);
            return;
        default:
            ReReadByTable(code, kCounters);
    }
}

void TTork1::ParseReply(char status, char, DATE time) {
    if (ReplyWhileDefining()) return;
    CommitReported(DecodeStatusBitsLogged(status, "C7D17F78-5968-405C-92F7-46BEEE8DED5B "), time);
}

// --- writing --------------------------------------------------------------------------------

void TTork1::AskInspector() {
    if (TTork1* base = PeerAt<TTork1>(base_address_)) base->AskRefresh(tlb::cvInspector);
}

// The dose, the money and the setting rows are the kit's.
// decisions DRV-15
int32_t TTork1::WriteVariable(uint8_t code, int64_t value) {
    const bool defined = side_kind_ == kFirstSide || side_kind_ == kSecondSide;
    switch (code) {
        case tlb::cvCalibV:
            Log("D69E2E37-0306-413D-B30D-AF42E776A7D4 " + Num(value), PL_INFO);
            if (!defined) return mb::HostCode(mb::WriteResult::kNoAnswer);
            return WriteCalibration('x', side_kind_ == kFirstSide ? 40 : 43, code, value,
                                    "Calibration factor read back differs");
        case tlb::cvAddress:
            return WriteAddressParam(value);
        case tlb::cvTotalV: {
            if (!defined) return mb::HostCode(mb::WriteResult::kNoAnswer);
            const int32_t r = WriteTotalizer(side_kind_ == kFirstSide ? 50 : 56, code, value,
                                             "D8681352-E855-4865-B431-887D46EF6C58 ",
                                             {.decimals = 6, .whole = false});
            if (r == 0) AskInspector();
            return r;
        }
        default:
            return WriteByTable(code, value);
    }
}

int32_t TTork1::WriteAddressParam(int64_t value) {
    // A side whose settings rows are not made yet has nothing to write through.
    const SettingSpec* row = FindSetting(tlb::cvAddress);
    if (!row) return mb::HostCode(mb::WriteResult::kBadVariable);
    SettingSpec s = *row;
    uint8_t other = 0;
    if (side_kind_ == kFirstSide) {
        if (!ReadNibble('X', kSecondAddressParam, true, other))
            return mb::HostCode(mb::WriteResult::kNoAnswer);
    } else if (side_kind_ == kSecondSide) {
        s.write_param = kSecondAddressParam;
    } else {
        Log(s.write_tag + Num(WholeUnits(value)), PL_INFO);
        return mb::HostCode(mb::WriteResult::kNoAnswer);
    }
    const int32_t r = WriteAddress(s, value);
    if (r != 0) return r;
    // The second side's object goes with the first: both are probed again.
    if (other >= 1 && other < kZrnAddresses && other != address_) {
        Owner().RemoveDevice(other);
        Owner().RegisterAddress(other);
    }
    Log("AF9FC2C4-BFDC-4C5D-AB46-3FE83E11E5D1", PL_INFO);
    return 0;
}

}  // namespace drv
