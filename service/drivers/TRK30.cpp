#include "service/drivers/TRK30.h"

#include "platform/time/clock.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

namespace {

std::string Num(int64_t v) {
    return std::to_string(v);
}

constexpr uint8_t kAddressParam = 0x40;
constexpr uint8_t kMillionsParam = 48;
constexpr int64_t kMillion = 1000000;

bool OneBitOrNone(uint8_t s) {
    return s == 0 || s == 1 || s == 2 || s == 4 || s == 8;
}

// Counter type from the high nibble of the identity answer's status; 0 when unknown.
uint8_t CounterTypeOf(uint8_t h) {
    switch (h & 0xF0) {
        case 0x80:
            return 1;
        case 0x90:
            return 10;
        case 0xA0:
            return 20;
        case 0xB0:
            return 32;
        case 0xC0:
            return 25;
        case 0xD0:
            return 40;
        case 0xE0:
            return 100;
        case 0xF0:
            return 150;
        default:
            return 0;
    }
}

}  // namespace

const VarDef TTork30::kCurrentV{
    6, "CurrentV", "Отпущенный объем продукта",     false, 0, 999999, 0.01, 0,
    6, 0,          "Loaded/unloaded product volume"};
const VarDef TTork30::kTotalV{9,
                              "TotalV",
                              "Фискальный сумматор продукта по объему",
                              false,
                              0,
                              9999999999.99,
                              0.01,
                              0,
                              6,
                              1,
                              "Product volume totalizer"};
const VarDef TTork30::kCounterVersion{28, "CounterVersion", "Тип счетчика", false, 1, 255, 1, 0, 2,
                                      0,  "Counter type"};

// decisions DRV-29
bool TTork30::Exchange(uint8_t command, std::string_view data, bool, bool parse, size_t capacity,
                       std::string& answer, int expected) {
    // These two programs acknowledge a start and a parameter write by saying nothing.
    const bool silent_ack =
        (program_version_ == 65 || program_version_ == 67) && (command == 's' || command == 'x');
    TZrnPort& port = Owner().Port();
    const bool ok = port.Transact(address_, command, data, expected, answer, capacity, false,
                                  silent_ack ? kModeSilenceAck : kModeNormal, false);
    const DATE now = plat::NowLocal();
    if (!ok) {
        if (parse) NoteFailedExchange(now);
        return false;
    }
    // A framed answer comes from 0x80 + address; anything else is another device.
    if (expected > 1 && (port.LastAnswerAddress() & 0xF0) != 0x80) {
        link_state_ = LINK_FAILED;
        Log("42A76B6A-A276-4D07-A7BC-F23D46AFF9ED", PL_INFO);
        return false;
    }
    // No stamping here, but the silence watch must see the controller answer.
    NoteGoodExchange(now);
    if (parse && expected >= 6 && !answer.empty())
        ParseReply(answer[0], static_cast<char>(command), now);
    return true;
}

void TTork30::DefineVariables(uint8_t version) {
    poll_kind = 6;
    program_version_ = version;
    if (version == 12) {
        identity_param_ = 188;
        total_dec_ = 13;
        volume_dec_ = 8;
        flow_dec_ = 6;
        total_length_ = 15;
        flow_length_ = 13;
        has_temperature_ = false;
    } else {
        identity_param_ = 148;
        total_dec_ = volume_dec_ = flow_dec_ = 255;
        total_length_ = 16;
        flow_length_ = 12;
        has_temperature_ = version < 13 || version > 67;
    }
    DefineUnitVar(kCurrentV);
    DefineUnitVar(kTotalV);
    DefineUnitVar(kCounterVersion);
    DefineVar(VarRec::ProductivityRefreshed);
    DefineVar(VarRec::ControllerVersion);
    DefineVar(VarRec::FirmwareVersion);
    DefineVar(VarRec::AddressWritable).MaxValue.int64 = 10 * kFixedOne;
    if (has_temperature_) DefineVar(VarRec::TemperatureTenths);
    BuildItemNames(address_, 0, 0);
}

bool TTork30::StateJumpValid(uint8_t from, uint8_t to) {
    return from == tlb::csWorking && to == tlb::csIdle;
}

int32_t TTork30::SetState(uint8_t) {
    // decisions DRV-30
    return plat::OPC_E_RANGE;
}

// --- answers ----------------------------------------------------------------------------------

void TTork30::ParseReply(char status, char, DATE time) {
    const auto c = static_cast<uint8_t>(status);
    int32_t decoded;
    if (OneBitOrNone(c & 0x0F)) {
        decoded = VarValue(tlb::cvCurrentV) == 0 ? tlb::csIdle : tlb::csWorking;
    } else {
        decoded = tlb::csControllerError;
        Log("47E14ED4-91C3-4929-BD54-8E2BB50D576E " + std::string(1, status), PL_EXTERNAL);
    }
    const int32_t post = GetState();
    if ((post == tlb::csUnknown || post == tlb::csCommError) && decoded != tlb::csControllerError)
        CheckIdentity30();
    if (link_state_ == LINK_OK) SetStateValue(decoded, time);
}

void TTork30::CheckIdentity30() {
    Log("06C8505A-7230-4C49-AFA8-F6C095DA4CF3", PL_INFO);
    uint8_t version = 0;
    if (!DirectRead(static_cast<uint8_t>(identity_param_ + 1), version)) version = 0;
    if (int64_t{version} * kFixedOne != VarValue(tlb::cvFirmwareVersion)) {
        link_state_ = LINK_REGISTER;
        Log("4BCB6BBA-DDDE-4EE4-9287-390DA6B42FFE", PL_EXTERNAL);
    }
    if (link_state_ != LINK_OK) return;

    uint8_t raw = 0;
    std::string text;
    uint8_t family = 0;
    if (DirectRead(identity_param_, raw, &text)) family = DigitsToByte(text.substr(1, 2));
    if (family != 30 && family != 32) {
        link_state_ = LINK_FAILED;
        Log("71CCFDF4-5094-4369-BE74-F5037C5D6EE6", PL_EXTERNAL);
        return;
    }

    const auto h = static_cast<uint8_t>(text[0]);
    const uint8_t type = CounterTypeOf(h);
    if (type == 0) {
        link_state_ = LINK_FAILED;
        Log("5968169B-4C06-4B36-A163-126DB1DFEE67 " + std::string(1, text[0]), PL_EXTERNAL);
        return;
    }
    auto changed = [&](int old_value, int new_value) {
        link_state_ = LINK_FAILED;
        Log("A76025E2-B016-439E-A7B6-90D31764A58A " + Num(old_value) + " " + Num(new_value),
            PL_EXTERNAL);
    };
    if (counter_type_ == 0) {
        counter_type_ = type;
    } else if (counter_type_ != type) {
        changed(counter_type_, type);
        return;
    }
    const uint8_t code = h & 0x0F;
    if (code != 1 && code != 2 && code != 4) {
        link_state_ = LINK_FAILED;
        Log("D712CFF6-049F-4834-B139-D6C59B69FA5B", PL_EXTERNAL);
    } else if (counter_code_ == 0) {
        counter_code_ = code;
    } else if (counter_code_ != code) {
        changed(counter_code_, code);
    }
}

// --- reads --------------------------------------------------------------------------------------

void TTork30::ReReadVarValue(uint8_t code) {
    switch (code) {
        case tlb::cvCurrentV:
        case tlb::cvCurrentW:
            ReadCurrentVolume30();
            return;
        case tlb::cvTotalV:
            ReadTotal();
            return;
        case tlb::cvProductivity:
            ReadFlow();
            return;
        case tlb::cvCounterVersion:
            StoreByteVar(code, counter_type_, plat::NowLocal());
            return;
        case tlb::cvTemperature:
            Log("CE5964ED-3BF9-4AE9-A66C-35A5C28FDD25", PL_DETAIL);
            ReadZTemperature(code, false);
            return;
        default:
            TTorkKit::ReReadVarValue(code);
    }
}

void TTork30::ReadCurrentVolume30() {
    const DATE t = plat::NowLocal();
    std::string answer;
    if (!Exchange('D', "", false, true, kZrnMaxFrame, answer, 13)) return;
    int error = 0;
    const int64_t v = ParseDecimal(answer, 2, volume_dec_, false, 0, error);
    // A garbled count is no dispensed volume of 0.
    if (error) return;
    if (GetState() == tlb::csIdle && v > 0) SetStateValue(tlb::csWorking, t);
    SetVarRaw(tlb::cvCurrentV, LQ_FRESH, plat::NowLocal(), v);
}

// The totalizer answer carries six integer digits; the millions come from the last value
// while the count only moved forward, else from parameter 48. Version 12 answers eight digits
// in thousands, which already hold the millions.
void TTork30::ReadTotal() {
    std::string answer;
    if (!Exchange('S', "", false, true, kZrnMaxFrame, answer, total_length_)) return;
    const TVarValue old = VarRecord(tlb::cvTotalV);
    int error = 0;
    int64_t v = ParseDecimal(answer, 2, total_dec_, false, 0, error);
    if (error) return;
    // decisions DRV-26
    if (program_version_ != 12) {
        // Up to 9999 millions: not a byte.
        // decisions DRV-27
        uint32_t millions;
        const int32_t state = GetState();
        const int64_t old_whole = old.value / kFixedOne;
        if ((state == tlb::csIdle || state == tlb::csWorking) && old.link_quality == LQ_FRESH &&
            old_whole % kMillion <= v / kFixedOne) {
            millions = static_cast<uint32_t>(old_whole / kMillion);
        } else {
            uint8_t m = 0;
            if (!ReadDigits('X', kMillionsParam, m)) return;
            millions = m;
        }
        v += int64_t{millions} * kMillion * kFixedOne;
    }
    const DATE now = plat::NowLocal();
    // A first reading (nothing fresh to compare with) is no movement of the count.
    // decisions DRV-28
    if (GetState() == tlb::csIdle && old.link_quality == LQ_FRESH && v != old.value)
        SetStateValue(tlb::csWorking, now);
    SetVarRaw(tlb::cvTotalV, LQ_FRESH, now, v);
}

void TTork30::ReadFlow() {
    std::string answer;
    if (!Exchange('C', "", false, true, kZrnMaxFrame, answer, flow_length_)) return;
    int error = 0;
    const int64_t v = ParseDecimal(answer, 2, flow_dec_, false, 0, error);
    SetVarRaw(tlb::cvProductivity, LQ_FRESH, plat::NowLocal(), error ? 0 : v);
}

// --- writes -------------------------------------------------------------------------------------

int32_t TTork30::WriteVariable(uint8_t code, int64_t value) {
    if (code != tlb::cvAddress) return RefuseWrite(code);
    const int64_t n = WholeUnits(value);
    const SettingSpec address{.code = tlb::cvAddress,
                              .write = SettingWrite::Plain,
                              .write_param = kAddressParam,
                              .write_tag = "9FC849C0-A845-4E21-A614-2B9E90A6725C ",
                              .address_link = LINK_RECONFIGURE};
    // The address variable's own limit: a controller moved out of it would not be found.
    if (n < 1 || n * kFixedOne > Descriptor(tlb::cvAddress).MaxValue.int64) {
        Log(std::string(address.write_tag) + Num(n), PL_INFO);
        return plat::OPC_E_RANGE;
    }
    const int32_t r = WriteAddress(address, value);
    if (r == mb::HostCode(mb::WriteResult::kNoAnswer))
        Log("CB7B2F1F-C355-4788-B0FF-6C6F83CF503F", PL_EXTERNAL);
    return r;
}

}  // namespace drv
