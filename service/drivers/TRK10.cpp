#include "service/drivers/TRK10.h"

#include "platform/time/clock.h"
#include "service/core/base/Errors.h"
#include "service/core/items/ItemTree.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {

std::string Num(int64_t v) {
    return std::to_string(v);
}

// The side of each position is fixed.
constexpr uint8_t kSideOf[8] = {1, 2, 2, 1, 2, 1, 1, 2};
constexpr uint8_t kBaseCode = 0x80;
constexpr VolumeCounters kCounters{6, 8, DoseEcho::Keep, "A5C8F580-E768-4FFB-97B6-E8AD3C823111 "};

int PositionOf(uint8_t code) {
    if (code < kBaseCode || (code & 0x0F) != 0) return -1;
    return (code - kBaseCode) / 16;
}

}  // namespace

const VarDef TTork10::kStartStop{0, "StartStop", "Состояние кнопки Пуск/Стоп", false, 0, 1, 1, 0,
                                 6, 0,           "Start/stop button state"};
const VarDef TTork10::kIndex{25, "Index", "Номер пистолета на стороне", false, 1, 4, 1, 3,
                             1,  0,       "Pistol number on side"};
const VarDef TTork10::kIndicatedPistol{
    31, "IndicatedPistol",     "Номер пистолета, показываемого на индикаторе", false, 1, 4, 1, 1, 6,
    0,  "Active pistol number"};

uint8_t TTork10::GetSide() {
    const int p = PositionOf(position_code_);
    if (p >= 0) return kSideOf[p];
    Log("83AD4122-BA07-4271-9EFF-1D9058A4931C", PL_CRITICAL);
    return 0;
}

// The nozzle's number on its side by the address table, whichever objects exist yet: counting
// objects gave two nozzles made out of order the same number, names and IndicatedPistol.
// decisions DRV-16
uint8_t TTork10::GetNozzleCount() {
    const int own = PositionOf(position_code_);
    if (own < 0) return 1;
    uint8_t n = 1;
    for (int p = 0; p < own; ++p)
        if (nozzles_[static_cast<size_t>(p)] != 0 && kSideOf[p] == kSideOf[own]) ++n;
    return n;
}

uint8_t TTork10::SideNozzleCount() {
    const int own = PositionOf(position_code_);
    if (own < 0) return 1;
    uint8_t n = 0;
    for (int p = 0; p < 8; ++p)
        if (nozzles_[static_cast<size_t>(p)] != 0 && kSideOf[p] == kSideOf[own]) ++n;
    return n;
}

uint32_t TTork10::GetAddress(uint8_t side, uint8_t nozzle) {
    if (side < 1) side = 1;
    if (nozzle < 1) nozzle = 1;
    int count = 0;
    for (int p = 0; p < 8; ++p) {
        if (nozzles_[static_cast<size_t>(p)] == 0 || kSideOf[p] != side) continue;
        if (++count == nozzle) return nozzles_[static_cast<size_t>(p)];
    }
    return 0;
}

int32_t TTork10::ApplyDose() {
    return WriteDose(VarValue(tlb::cvDozeV), 3, 2, false, true);
}

TTork10* TTork10::FirstNozzle() {
    const uint32_t a = GetAddress(GetSide(), 1);
    if (a == address_) return this;
    return PeerAt<TTork10>(a);
}

// --- definition ------------------------------------------------------------------------------

void TTork10::DefineVariables(uint8_t) {
    has_money_ = true;
    Define();
    defining_ = false;
}

void TTork10::Define() {
    if (link_state_ != LINK_OK) return;
    // decisions DRV-18
    DefineSideVars();
    DefineVar(VarRec::SidePost);
    DefineUnitVar(kIndex);
    DefineVar(VarRec::AddressReadOnly);
    DefineUnitVar(kStartStop);

    // Join a group whose base controller's object exists.
    for (int a = 1; a < kZrnAddresses && nozzles_[0] == 0; ++a) {
        TTork10* base = PeerAt<TTork10>(static_cast<uint32_t>(a));
        if (!base || base == this || base->nozzles_[0] != static_cast<uint32_t>(a)) continue;
        for (int p = 0; p < 8; ++p) {
            if (base->nozzles_[static_cast<size_t>(p)] != address_) continue;
            nozzles_ = base->nozzles_;
            price_shift_ = base->price_shift_;
            volume_shift_ = base->volume_shift_;
            position_code_ = static_cast<uint8_t>(kBaseCode + 16 * p);
            break;
        }
    }

    if (nozzles_[0] == 0) {
        uint8_t a = 0;
        if (!ReadNibble('Y', kBaseCode, false, a)) return;
        if (a >= kZrnAddresses) {
            link_state_ = LINK_FAILED;
            Log("B8E276F1-A4EB-496A-BFB2-B33E6B8BDDA7", PL_EXTERNAL);
            return;
        }
        if (a != address_) {
            // Made again once the base controller's object exists (probed first).
            Owner().RegisterAddress(a);
            link_state_ = LINK_REGISTER;
            Log("DCA04722-31CB-42F7-8915-045D461F5B41", PL_INFO);
            return;
        }
        nozzles_[0] = address_;
        position_code_ = kBaseCode;
        for (int p = family_ == 19 ? 4 : 1; p < 8; p += family_ == 19 ? 8 : 1) {
            uint8_t b = 0;
            if (!ReadNibble('Y', static_cast<uint8_t>(kBaseCode + 16 * p), false, b)) return;
            if (b >= kZrnAddresses) b = 0;
            nozzles_[static_cast<size_t>(p)] = b;
            if (b == 0 || b == address_) continue;
            if (TBasicTork* dev = Owner().GetDevice(b))
                dev->SetLinkState(dynamic_cast<TTork10*>(dev) ? LINK_REGISTER : LINK_FAILED);
            else
                Owner().RegisterAddress(b);
        }
        price_shift_ = 0;
        uint8_t config = 0;
        if (!ReadNibble('X', 35, false, config)) return;
        switch (config & 12) {
            case 0:
                volume_shift_ = 0;
                break;
            case 8:
                volume_shift_ = 1;
                break;
            case 4:
                volume_shift_ = 2;
                break;
            default:
                link_state_ = LINK_FAILED;
                Log("396B4B33-CB21-4350-9CE8-4AB5B8420E38", PL_EXTERNAL);
                break;
        }
    }

    if (PositionOf(position_code_) < 0 || PositionOf(position_code_) > 7) {
        link_state_ = LINK_FAILED;
        Log("A0991063-80F9-4F83-844B-36CDDC2D718A", PL_EXTERNAL);
    }
    if (position_code_ == kBaseCode) DefineDispenserVars();
    if (GetNozzleCount() == 1) DefineUnitVar(kIndicatedPistol);
    DefineMoneyVariables();
    BuildItemNames(static_cast<int>(nozzles_[0]), GetSide(), GetNozzleCount());
    side_post_ = true;

    settings_ = {
        BcdByteSetting(tlb::cvFullDown, 80, "C62B8898-84DA-4A9F-B12F-BCC66DC0E4E4 "),
        BcdByteSetting(tlb::cvUSSWaitTime, 83, "633F2A76-375F-4119-86C7-FC2DD7EC57FE "),
    };
}

void TTork10::WritePostNumbers(DATE time) {
    const int64_t shift = Owner().Shift();
    SetVarRaw(tlb::cvBasePost, LQ_FRESH, time, (GetAddress(1, 1) + shift) * kFixedOne);
    if (position_code_ == 0) return;  // not in a group: no side
    SetVarRaw(tlb::cvSidePost, LQ_FRESH, time, (GetAddress(GetSide(), 1) + shift) * kFixedOne);
    StoreByteVar(tlb::cvSide, GetSide(), time);
    StoreByteVar(tlb::cvPistol, GetNozzleCount(), time);
}

void TTork10::GetNoRefreshVars(VarSet& out) {
    TTorkKit::GetNoRefreshVars(out);
    out.set(tlb::cvStartStop);
}

// --- reading --------------------------------------------------------------------------------

void TTork10::ReReadVarValue(uint8_t code) {
    switch (code) {
        // decisions DRV-20
        case tlb::cvCalibV:
            ReadCalibration('Y', static_cast<uint8_t>(position_code_ + 11), code);
            return;
        case tlb::cvInspector: {
            const bool old = VarValue(tlb::cvFirmwareVersion) < 41 * kFixedOne;
            ReadSetting({.code = code,
                         .read = SettingRead::Nibble16,
                         .read_param = static_cast<uint8_t>(old ? 81 : 38),
                         .read_tag = "FB70245B-7F8B-4141-9082-033F84B41343 "});
            return;
        }
        case tlb::cvIndicatedPistol:
            ReadIndicatedPistol();
            return;
        default:
            ReReadByTable(code, kCounters);
    }
}

void TTork10::ReadIndicatedPistol() {
    const DATE before = VarRecord(tlb::cvIndicatedPistol).time;
    const int n = static_cast<int>(VarValue(tlb::cvIndicatedPistol) / kFixedOne);
    const uint32_t a = GetAddress(GetSide(), static_cast<uint8_t>(n));
    TBasicTork* dev = a == address_ ? this : Owner().GetDevice(static_cast<int>(a));
    if (dev && !dynamic_cast<TTork10*>(dev))
        throw Exception("3CB74BA5-8E3F-4EB8-9845-A28C46DD2292");
    if (dev) dev->ReReadVarValue(tlb::cvCurrentV);
    if (VarRecord(tlb::cvIndicatedPistol).time != before) return;

    // No answer marked a nozzle of this side: ask the controller which one it shows.
    Log("FD17EA18-9788-4BB1-A691-E77ACD5B3E6F", PL_INFO);
    refresh_status_[rr_index_] = RS_SLOW;
    uint8_t param = 0;
    switch (GetSide()) {
        case 1:
            param = 48;
            break;
        case 2:
            param = 64;
            break;
        default:
            Log("DC0174DF-1623-4FF3-B092-044F973CF030", PL_EXTERNAL);
            link_state_ = LINK_FAILED;
            break;
    }
    uint8_t shown = 0;
    if (!ReadNibble('X', param, true, shown)) return;
    if (TBasicTork* other = Owner().GetDevice(shown); other && dynamic_cast<TTork10*>(other))
        other->ReReadVarValue(tlb::cvCurrentV);
}

void TTork10::ParseReply(char status, char command, DATE time) {
    if (ReplyWhileDefining()) return;
    const auto s = static_cast<uint8_t>(status);
    const int32_t old = GetState();
    int32_t decoded = tlb::csControllerError;
    if (!DecodeStatusBits(kStatusBitOrder, s, decoded)) {
        if (command == 'J' || command == 'X' || command == 'Y') {
            Log(std::string("BE9102A8-CE00-4E60-9A45-7DC74E557C07 ") + status, PL_EXTERNAL);
            return;
        }
        Log(std::string("C7D17F78-5968-405C-92F7-46BEEE8DED5B ") + status, PL_EXTERNAL);
    }
    struct Plausible {
        int32_t state;
        uint8_t mask;
        const char* tag;
    };
    static constexpr Plausible kPlausible[] = {
        {tlb::csIdle, 0x01, "43215EF0-083A-4868-9717-8A0CA60CCB95 "},
        {tlb::csWaitingKey, 0x20, "4E885FA2-3130-4E92-A757-825F59D65DDC "},
        {tlb::csWorking, 0x22, "71C8BFE2-080D-48FE-846D-5E11D1F95BF3 "},
        {tlb::csPaused, 0x08, "4774E2B7-83A6-48F0-AD54-64B7470DF87A "},
    };
    for (const Plausible& p : kPlausible)
        if (p.state == decoded && (s & 0x6B) != p.mask)
            Log(std::string(p.tag) + status, PL_EXTERNAL);

    // StartStop is 0..1: the button bit, not its mask.
    // decisions DRV-17
    StoreByteVar(tlb::cvStartStop, (s & 0x10) ? 1 : 0, time);

    const bool shown = (s & 0x80) != 0;
    if (TTork10* first = FirstNozzle(); !first) {
        Owner().RegisterAddress(static_cast<int>(GetAddress(GetSide(), 1)));
        link_state_ = LINK_REGISTER;
    } else if (shown || decoded == tlb::csWaitingKey || decoded == tlb::csWorking ||
               decoded == tlb::csPaused) {
        first->StoreByteVar(tlb::cvIndicatedPistol, GetNozzleCount(), time);
        if (!shown) ItemLog(ID(), "78FFEE19-ABBF-41EE-97CD-CE28823F4739", PL_INFO);
    }
    // A controller seen again after a comm error is made anew.
    if (old == tlb::csCommError && decoded != tlb::csControllerError) {
        link_state_ = LINK_REGISTER;
        return;
    }
    CommitReported(decoded, time);
}

// --- writing --------------------------------------------------------------------------------

bool TTork10::IsIndicatedNozzle(bool refresh) {
    TTork10* first = FirstNozzle();
    if (!first) return false;
    if (refresh) first->ReReadVarValue(tlb::cvIndicatedPistol);
    return int64_t{GetNozzleCount()} * kFixedOne == first->VarValue(tlb::cvIndicatedPistol);
}

uint8_t TTork10::SideLetter(bool refresh) {
    if (!IsIndicatedNozzle(refresh)) return 0;
    switch (GetSide()) {
        case 1:
            return 0x30;
        case 2:
            return 0x40;
        default:
            Log("04FAC48C-A43A-4D32-BB84-F888B07204DD", PL_CRITICAL);
            return 0;
    }
}

// The dose, the money and the setting rows are the kit's.
int32_t TTork10::WriteVariable(uint8_t code, int64_t value) {
    switch (code) {
        case tlb::cvDozeV:
        case tlb::cvLiterPrice:
            // Held as a start is (a dose written to an idle nozzle arms it).
            if (const int32_t r = StartPrecheck(); r != 0) return r;
            break;
        case tlb::cvCalibV: {
            Log("9D3F47B2-582E-4C90-A7E7-9B1AE3C8028D " + Num(value), PL_INFO);
            // The indicated-nozzle check needs the side's first nozzle; without its object
            // nothing is written.
            if (!FirstNozzle()) throw Exception("no object for the side's first nozzle");
            if (const int32_t r =
                    WriteCalibrationPairs('y', static_cast<uint8_t>(position_code_ + 11), value);
                r != 0)
                return r;
            if (const uint8_t letter = SideLetter(true); letter != 0)
                if (const int32_t r =
                        WriteCalibrationPairs('x', static_cast<uint8_t>(letter + 11), value);
                    r != 0)
                    return r;
            return CheckCalibration(code, value, "Calibration factor read back differs");
        }
        default:
            break;
    }
    return WriteByTable(code, value);
}

}  // namespace drv
