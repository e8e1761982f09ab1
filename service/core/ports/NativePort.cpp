#include "service/core/ports/NativePort.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "platform/rpc/wire.h"
#include "platform/time/clock.h"
#include "platform/types/datetime.h"
#include "platform/types/wstr.h"
#include "service/core/ports/EmulatorTable.h"

namespace drv {

namespace {

using plat::Variant;

constexpr char kTagOpen[] = "97B81474-5CF8-48A0-A820-806E2163B48F ";
constexpr char kTagOpened[] = "14258DFD-164D-48BB-AF75-3F26D18B466D";
constexpr char kTagNotFound[] = "DA7AF53D-BB1D-4984-BDA9-716F7CFC7968";
constexpr char kTagNoFrequency[] = "9CB0185B-8691-48C6-9C85-522AA51AC064";
constexpr char kTagReopen[] = "904A5416-1F41-49F8-AB43-E10EB27C1958";
constexpr char kTagUnexpected[] = "E9FB95F3-40E4-430A-A943-791454942B0C";
constexpr char kTagNibbles[] = "39078DC9-0667-4AC0-9502-3A269AD48D6E ";
constexpr char kTagDigits[] = "5D6B2D1C-B0FA-4A21-84A1-EE4A07588023 ";
constexpr char kTagParse[] = "640E8493-6910-40A0-8DEE-6DF82A1B6ED7 ";

constexpr uint32_t kPollMs = 20;

bool InNibbleRange(char c) {
    return c >= '0' && c <= '?';
}

// Seconds to whole milliseconds for the report.
int64_t Ms(double seconds) {
    return std::llround(seconds * 1000.0);
}

}  // namespace

// decisions CORE-6
std::string FrameText(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        auto c = static_cast<uint8_t>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// --- TZrnPort ----------------------------------------------------------------------------------

TZrnPort::TZrnPort(IPortOwner* owner, uint32_t baud, bool emulation, uint8_t com_number)
    : owner_(owner),
      emulation_(emulation),
      com_(com_number),
      baud_(baud),
      char_time_(baud ? 11000.0 / baud : 0.0),
      log_("NorvaltDrv" + std::to_string(com_number)),
      counters_(std::make_unique<std::array<std::array<uint32_t, 256>, kZrnAddresses>>()) {
    rx_.reserve(kZrnMaxFrame);
}

TZrnPort::~TZrnPort() {
    try {
        Close();
    } catch (...) {
        // A destructor never throws; Close itself catches what the line can raise.
    }
}

bool TZrnPort::IsOpen() const {
    return emulation_ ? bool(line_.emu) : line_.serial.IsOpen();
}

uint32_t TZrnPort::CommandCount(uint8_t address, uint8_t command) const {
    return address < kZrnAddresses ? (*counters_)[address][command] : 0;
}

void TZrnPort::Note(std::string_view text, int level, bool quiet, std::string_view key) {
    if (!quiet) log_.Log(text, level, key);
}

void TZrnPort::ResetStats() {
    stats_.Requests = 0;
    stats_.Writes = 0;
    stats_.WritesSinceAnswerByte = 0;
    stats_.WriteErrors = 0;
    stats_.Echoes = 0;
    stats_.Reads = 0;
    stats_.AvgAnswerTime = 0;
    stats_.SuccReads = 0;
    stats_.Pops = 0;
    stats_.Unexpected = 0;
    stats_.ChecksumErrors = 0;
    stats_.InvalidPackets = 0;
    stats_.ReadDelay = kMaxReadDelay;
}

int TZrnPort::Open(uint8_t com_number) {
    if (com_number == 0) com_number = com_;
    // A line that keeps failing to open is retried quietly: its lines come once per change of
    // the error, not once per attempt.
    // decisions CORE-24
    const bool retrying = open_error_ != kPortOk && com_number == com_;
    if (!retrying) log_.Log(kTagOpen + std::to_string(com_number), PL_DETAIL);
    open_tick_ = plat::GetTickCount();
    ++open_attempts_;

    // A second Open replaces the line without a report (Reopen reports).
    line_.emu = nullptr;
    line_.serial.Close();

    constexpr long kNoEmulator = -1;  // stands for E_FAIL
    long rc = plat::ERROR_SUCCESS;
    if (emulation_) {
        line_.emu = TakeEmulator(com_number);
        if (!line_.emu) rc = kNoEmulator;
    } else {
        rc = line_.serial.Open("\\\\.\\COM" + std::to_string(com_number));
        if (rc == plat::ERROR_SUCCESS) {
            plat::serial::LineSettings s;
            s.baud = baud_;
            s.data_bits = 8;
            s.parity = plat::serial::Parity::Space;
            s.stop_bits = plat::serial::StopBits::One;
            s.parity_check = true;  // a byte with a line error reads as 0 (the error character)
            s.dtr = false;
            s.rts = plat::serial::RtsMode::Off;
            rc = line_.serial.Configure(s);
            if (rc == plat::ERROR_SUCCESS) {
                plat::serial::Timeouts t;
                t.read_interval = plat::serial::MAXDWORD;
                t.read_total_constant = 5;
                rc = line_.serial.SetTimeouts(t);
            }
            if (rc != plat::ERROR_SUCCESS) line_.serial.Close();
        }
    }

    int code = kPortNotOpen;
    if (rc == plat::ERROR_SUCCESS) {
        code = kPortOk;
        reading_ = false;
        char_time_ = baud_ ? 11000.0 / baud_ : 0.0;
        if (owner_) owner_->ClearSeen();
        log_.Log(kTagOpened, PL_DETAIL);
        open_time_ = plat::NowLocal();
        opened_tick_ = plat::GetTickCount64();
    } else if (rc == plat::ERROR_FILE_NOT_FOUND) {
        code = kPortNotFound;
    } else if (rc == plat::ERROR_ACCESS_DENIED || rc == plat::ERROR_SHARING_VIOLATION) {
        code = kPortDenied;
    } else if (rc == kNoEmulator) {
        code = kPortNoEmulator;
    }
    if (code != kPortOk && (code != open_error_ || rc != open_rc_)) {
        // Which device the COM number stood for: the registry's map may be what is wrong.
        std::string device = "emulator";
        if (!emulation_) {
            device = plat::serial::ResolvePortName("\\\\.\\COM" + std::to_string(com_number));
            // decisions CORE-23
            if (device.empty()) device = "(no device mapped)";
        }
        if (code == kPortNotFound) log_.Log(std::string(kTagNotFound) + " " + device, PL_INFO);
        // A real line names the cause, -3 standing for both "in use" and "access denied", in a
        // line that PROTOCOL=1 keeps: the port is dead until it changes.
        // decisions CORE-57
        log_.Log(SafeFormat("Open COM%d failed: status %d error %d %s: %s",
                            {Variant::I4(com_number), Variant::I4(code),
                             Variant::I4(static_cast<int32_t>(rc)), Variant::Str(device),
                             Variant::Str(emulation_ ? "no emulator registered"
                                                     : plat::serial::OpenErrorCause(rc))}),
                 emulation_ ? PL_INFO : PL_CRITICAL);
    }
    open_error_ = code;
    open_rc_ = rc;

    com_ = com_number;
    ResetStats();
    if (owner_) owner_->SetPortState(code);
    frequency_ = plat::SysClock().PerfFrequency();
    if (frequency_ == 0) {
        log_.Log(kTagNoFrequency, PL_EXTERNAL);
        frequency_ = 1;
    }
    return code;
}

void TZrnPort::Reopen() {
    // A closed line whose last open failed is tried again at most once per kReopenIntervalMs,
    // whoever asks: a missing port would otherwise be opened on every exchange.
    if (!IsOpen() && open_error_ != kPortOk && !OpenDue()) return;
    plat::Sleep(10);
    // A line that stays silent reopens without a word once its silence has been reported:
    // the report would repeat the same nothing every time.
    bool report = true;
    if (IsOpen()) {
        if (HeardNothing()) {
            report = silent_reopens_ == 0;
            if (silent_reopens_ < UINT32_MAX) ++silent_reopens_;
        } else {
            silent_reopens_ = 0;
        }
    }
    if (report && (open_error_ == kPortOk || IsOpen())) log_.Log(kTagReopen, PL_INFO);
    if (!report)
        log_.Log("Reopen COM" + std::to_string(com_) + ": still silent, " +
                     std::to_string(silent_reopens_),
                 PL_DETAIL);
    if (IsOpen()) CloseLine(report);
    Open(com_);
}

bool TZrnPort::HeardNothing() const {
    return stats_.Reads == 0 && stats_.Unexpected == 0 && stats_.WriteErrors == 0;
}

bool TZrnPort::OpenDue() const {
    return plat::TickDiff(plat::GetTickCount(), open_tick_) >= kReopenIntervalMs;
}

bool TZrnPort::OpenIfDue() {
    if (IsOpen()) return true;
    if (open_error_ == kPortOk || OpenDue()) Open(com_);
    return IsOpen();
}

void TZrnPort::Close() {
    CloseLine(true);
}

void TZrnPort::CloseLine(bool report) {
    const bool was_open = IsOpen();
    if (was_open) Purge();
    line_.serial.Close();
    line_.emu = nullptr;
    close_time_ = plat::NowLocal();
    closed_tick_ = plat::GetTickCount64();
    // A line that never opened keeps its reason (a COM port that does not exist stays -2).
    if (owner_)
        owner_->SetPortState(was_open || open_error_ == kPortOk ? kPortNotOpen : open_error_);
    if (was_open && report) WriteCloseReport();
}

void TZrnPort::WriteCloseReport() {
    auto line = [&](std::string_view pattern, uint64_t v) {
        log_.Log(SafeFormat(pattern, {Variant::UI8(v)}), PL_INFO);
    };
    auto signed_line = [&](std::string_view pattern, int64_t v) {
        log_.Log(SafeFormat(pattern, {Variant::I8(v)}), PL_INFO);
    };
    line("Close COM%d", com_);
    line("  Requests:%d", stats_.Requests);
    line("  Writes:%d", stats_.Writes);
    line("  WriteErrors:%d", stats_.WriteErrors);
    line("  Echoes:%d", stats_.Echoes);
    line("  Reads:%d", stats_.Reads);
    line("  SuccReads:%d", stats_.SuccReads);
    line("  Pops:%d", stats_.Pops);
    line("  Unexpected:%d", stats_.Unexpected);
    line("  ChecksumErrors:%d", stats_.ChecksumErrors);
    line("  InvalidPackets:%d", stats_.InvalidPackets);
    line("  BytesSent:%d", stats_.BytesSent);
    line("  BytesReceived:%d", stats_.BytesReceived);
    // decisions CORE-52
    signed_line("  TimeTotal:%d", static_cast<int64_t>(closed_tick_ - opened_tick_));
    signed_line("  TimeForNoAnswerPackets:%d", Ms(times_.NoAnswerPackets));
    signed_line("  TimeForDrvCalc:%d", Ms(times_.DrvCalc));
    signed_line("  TimeForLine:%d", Ms(times_.Line));
    signed_line("  TimeForSlaveCalc:%d", Ms(times_.SlaveCalc));
    const auto& table = *counters_;
    for (int a = 1; a < kZrnAddresses; ++a)
        for (int c = 0; c < 256; ++c)
            if (uint32_t n = table[a][c])
                log_.Log(SafeFormat("   Addr:%d Cmd:%x Cnt:%d",
                                    {Variant::I4(a), Variant::I4(c), Variant::UI4(n)}),
                         PL_INFO);
}

// decisions CORE-26
bool TZrnPort::SyncEmulator() {
    if (!line_.emu) return false;
    plat::ComPtr<tlb::IHWEmu> current = GetEmulator(com_);
    if (!current) {
        // An emulator that unregistered takes the line with it.
        line_.emu = nullptr;
        return false;
    }
    if (current.Get() != line_.emu.Get()) {
        // A new registration takes over at the next exchange, without a restart of the port.
        log_.Log("Emulator replaced", PL_INFO);
        line_.emu = std::move(current);
    }
    return true;
}

void TZrnPort::EmulatorFailed(plat::HRESULT hr) {
    // An emulator that left a call unanswered for the whole callback time-out is silent: the
    // line closes at its next use and reopens as "no emulator" until it answers again or
    // another registers, so no exchange waits that long again.
    // decisions CORE-64
    if (hr == plat::rpc::RPC_E_TIMEOUT && line_.emu) NoteEmulatorSilent(com_, line_.emu.Get());
    // The emulator's process is gone: its slot is freed (unless a new one took it already), so
    // that the port reopens as "no emulator" and a later registration is taken.
    // decisions CORE-25
    if (hr != plat::RPC_E_DISCONNECTED || !line_.emu) return;
    if (ClearEmulatorIf(com_, line_.emu.Get())) log_.Log("Emulator disconnected", PL_EXTERNAL);
}

void TZrnPort::Purge() {
    if (emulation_) {
        if (!SyncEmulator()) return;
        try {
            EmulatorFailed(line_.emu->Purge());
        } catch (const std::exception& e) {
            ProtocolException(e, "Purge");
        }
        return;
    }
    if (!line_.serial.IsOpen()) return;
    plat::serial::ErrorCounts ec;
    if (line_.serial.ClearErrors(ec) == plat::ERROR_SUCCESS && ec.errors != 0)
        log_.Log(SafeFormat("CommError %d", {Variant::UI4(ec.errors)}), PL_INFO);
    line_.serial.Purge(true, true);
}

bool TZrnPort::WriteFrame(const std::string& frame) {
    if (emulation_) {
        if (!SyncEmulator()) return false;
        try {
            plat::HRESULT hr = line_.emu->WriteCall(plat::BytesToWide(frame));
            if (plat::Failed(hr)) {
                EmulatorFailed(hr);
                log_.Log(
                    SafeFormat("WriteCall error %x", {Variant::UI4(static_cast<uint32_t>(hr))}),
                    PL_EXTERNAL);
                return false;
            }
        } catch (const std::exception& e) {
            ProtocolException(e, "WriteCall");
            return false;
        }
        return true;
    }
    if (!line_.serial.IsOpen()) return false;
    uint32_t written = 0;
    long rc = line_.serial.Write(frame.data(), static_cast<uint32_t>(frame.size()), written);
    if (rc != plat::ERROR_SUCCESS) {
        log_.Log(SafeFormat("WriteFile error %d", {Variant::I4(static_cast<int32_t>(rc))}),
                 PL_EXTERNAL);
        return false;
    }
    return written == frame.size();
}

bool TZrnPort::ReadSome(size_t expected, size_t max) {
    std::string got;
    long rc = plat::ERROR_SUCCESS;
    if (emulation_) {
        if (!line_.emu || !GetEmulator(com_)) {
            line_.emu = nullptr;
            rc = plat::serial::ERROR_GEN_FAILURE;
        } else {
            try {
                plat::WideString w;
                plat::HRESULT hr = line_.emu->ReadAnswer(&w);
                EmulatorFailed(hr);
                if (plat::Failed(hr))
                    rc = hr;
                else
                    got = plat::WideToBytes(std::u16string_view(w).substr(0, max));
            } catch (const std::exception& e) {
                ProtocolException(e, "ReadAnswer");
                rc = plat::serial::ERROR_GEN_FAILURE;
            }
        }
    } else if (!line_.serial.IsOpen()) {
        rc = plat::ERROR_INVALID_HANDLE;
    } else if (max > 0) {
        char buf[kZrnMaxFrame];
        uint32_t n = 0;
        // The read's time-out waits for every byte asked for: ask only for those that can end
        // the exchange. decisions CORE-61
        const size_t size =
            ZrnReadSize(rx_.size(), expected, rx_.size() + max, line_.serial.InputQueued());
        rc = line_.serial.Read(buf, static_cast<uint32_t>(std::min(size, sizeof buf)), n);
        got.assign(buf, n);
    }
    if (!got.empty()) {
        if (reading_) {
            rx_.append(got, 0, kZrnMaxFrame - rx_.size());
            ++stats_.Reads;
            stats_.WritesSinceAnswerByte = 0;
        } else {
            ++stats_.Unexpected;
            log_.Log(kTagUnexpected, PL_INFO);
        }
    }
    if (rc != plat::ERROR_SUCCESS) {
        log_.Log(SafeFormat("ReadFile error %d", {Variant::I4(static_cast<int32_t>(rc))}),
                 PL_EXTERNAL);
        Reopen();
        return false;
    }
    return true;
}

bool TZrnPort::Transact(uint8_t address, uint8_t command, std::string_view data, int expected,
                        std::string& answer, size_t capacity, bool single_attempt, int mode,
                        bool quiet) {
    answer.clear();
    if (!ZrnRequestFits(address, data.size(), expected)) {
        log_.Log(
            SafeFormat("Transact refused: addr=%d cmd=%x data=%d expected=%d",
                       {Variant::I4(address), Variant::I4(command),
                        Variant::I4(static_cast<int32_t>(data.size())), Variant::I4(expected)}),
            PL_EXTERNAL);
        return false;
    }
    const auto exp = static_cast<size_t>(expected);

    ++stats_.Requests;
    ++(*counters_)[address][command];
    const std::string frame = ZrnRequest(address, command, data);
    const size_t flen = frame.size();
    const size_t full = ZrnReadLimit(exp, flen);
    const auto wait =
        static_cast<uint32_t>(std::lround(static_cast<double>(exp + flen) * char_time_ + 15.0));

    bool ok = false;
    bool received = false;
    std::string ans;
    const int attempts = single_attempt ? 1 : 3;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        rx_.clear();
        ans.clear();
        Purge();

        int64_t now = plat::SysClock().PerfCounter();
        if (stamp_ != 0) times_.DrvCalc += static_cast<double>(now - stamp_) / frequency_;
        stamp_ = now;

        if (!WriteFrame(frame)) {
            ++stats_.WriteErrors;
            Reopen();
            return false;
        }
        stats_.BytesSent += flen;
        ++stats_.Writes;
        ++stats_.WritesSinceAnswerByte;
        read_start_ = plat::GetTickCount();
        plat::Sleep(wait);

        // Read phase: an empty read is no reason to stop; ReadDelay bounds the wait.
        reading_ = true;
        for (;;) {
            if (!ReadSome(exp, full - rx_.size())) break;
            if (ZrnReadComplete(rx_, frame, exp)) break;
            const uint32_t elapsed = plat::TickDiff(plat::GetTickCount(), read_start_);
            if (elapsed > stats_.ReadDelay + 50) break;
            if (elapsed > stats_.ReadDelay && (rx_.empty() || rx_ == frame)) break;
            plat::Sleep(kPollMs);
        }

        ans = rx_;
        if (ZrnStripEcho(ans, frame)) ++stats_.Echoes;
        stats_.BytesReceived += ans.size();
        received = !ans.empty();

        now = plat::SysClock().PerfCounter();
        if (received) {
            const double line_time =
                baud_ ? static_cast<double>(ans.size() + flen) * 11.0 / baud_ : 0.0;
            times_.Line += line_time;
            times_.SlaveCalc += static_cast<double>(now - stamp_) / frequency_ - line_time;
        } else {
            times_.NoAnswerPackets += static_cast<double>(now - stamp_) / frequency_;
        }
        stamp_ = now;

        switch (ZrnRepairAnswer(ans, exp, received, mode)) {
            case ZrnRepair::kChecksumAsStart:
                Note("Bad answer on CS = BP corrected " + FrameText(rx_) + " " + FrameText(ans),
                     PL_EXTERNAL, quiet);
                Reopen();
                break;
            case ZrnRepair::kTooLong:
                Note("Too long answer " + FrameText(rx_) + " " + FrameText(ans), PL_EXTERNAL,
                     quiet);
                break;
            case ZrnRepair::kNone:
            case ZrnRepair::kSilenceAck:
                break;
        }

        const ZrnVerdict verdict = ZrnJudge(ans, exp, address, command, mode);
        if (verdict == ZrnVerdict::kRejected || verdict == ZrnVerdict::kNak) {
            if (received) {
                Note("Bad answer " + FrameText(rx_) + " " + FrameText(ans), PL_EXTERNAL, quiet);
                plat::Sleep(100);
            } else {
                // Once per address going silent; an address that stays silent would otherwise
                // write a line for every probe of a dead line.
                // decisions CORE-59
                const bool again = no_answer_last_[address] != 0;
                Note("No answer " + FrameText(frame), again ? PL_DETAIL : PL_INFO, quiet,
                     again ? "No answer" : "");
            }
            CheckLine();
            if (received) {
                if (verdict == ZrnVerdict::kNak)
                    ++stats_.ChecksumErrors;
                else
                    ++stats_.InvalidPackets;
            }
        } else if (verdict == ZrnVerdict::kInvalid) {
            Note("Bad answer " + FrameText(rx_) + " " + FrameText(ans), PL_EXTERNAL, quiet);
            Reopen();
        } else {
            Note(FrameText(rx_) + " " + FrameText(ans), PL_DETAIL, quiet);
            if (exp >= kZrnMinFramedAnswer) last_answer_address_ = ZrnAnswerAddress(ans);
            ans = std::string(ZrnAnswerData(ans, exp));
            NoteAnswerTime();
            ok = true;
            // A bare acknowledgement carries no frame to trust: the line is checked as after a
            // failure.
            if (exp < kZrnMinFramedAnswer) CheckLine();
        }

        reading_ = false;
        if (ok) break;
        if (no_answer_last_[address]) break;  // silent last time: one attempt only
    }

    if (ok) {
        no_answer_last_[address] = 0;
        answer = ans.substr(0, capacity);
    } else if (!received) {
        no_answer_last_[address] = 1;
    }
    return ok;
}

void TZrnPort::NoteAnswerTime() {
    const uint64_t elapsed = plat::TickDiff(plat::GetTickCount(), read_start_);
    stats_.AvgAnswerTime = static_cast<uint64_t>(std::llround(
        (static_cast<double>(stats_.AvgAnswerTime) * static_cast<double>(stats_.SuccReads) +
         static_cast<double>(elapsed)) /
        static_cast<double>(stats_.SuccReads + 1)));
    const double target = static_cast<double>(stats_.AvgAnswerTime) * 1.7;
    if (target < static_cast<double>(stats_.ReadDelay))
        stats_.ReadDelay = (stats_.ReadDelay + static_cast<uint64_t>(std::llround(target))) / 2;
    ++stats_.SuccReads;
    reading_ = false;
}

void TZrnPort::RaiseReadDelay() {
    if (stats_.ReadDelay < kMaxReadDelay) {
        stats_.ReadDelay = std::min(stats_.ReadDelay + 20, kMaxReadDelay);
        log_.Log("IncReadDelay " + std::to_string(com_), PL_INFO);
    }
}

void TZrnPort::CheckLine() {
    const TZrnStats& s = stats_;
    bool reopen = false;
    if (s.WritesSinceAnswerByte > 30) {
        reopen = true;
    } else if (s.SuccReads * 5 >= s.Requests || s.Echoes * 2 >= s.Writes || s.Requests <= 5) {
        reopen = false;
    } else if (s.Writes / 2 > s.Reads || s.WriteErrors > s.Writes ||
               s.Unexpected + s.InvalidPackets > s.Reads / 10) {
        reopen = true;
    }
    // A line that stayed silent through its last reopen is reopened again only once
    // kSilentReopenMs have passed since: reopening it every few requests changes nothing.
    if (reopen && silent_reopens_ > 0 && HeardNothing() &&
        plat::TickDiff(plat::GetTickCount(), open_tick_) < kSilentReopenMs)
        reopen = false;
    if (reopen)
        Reopen();
    else
        RaiseReadDelay();
}

bool TZrnPort::ReadParam(uint8_t address, uint8_t param, int mode, bool single_attempt,
                         uint8_t& value, std::string* data) {
    value = 0;
    std::string ans;
    bool ok = Transact(address, 'X', ByteToNibbles(param), 9, ans, kZrnMaxFrame, single_attempt,
                       mode, false);
    if (ok) value = NibblesToByte(std::string_view(ans).substr(1, 2));
    if (data) *data = ans;
    return ok;
}

// --- codecs ----------------------------------------------------------------------------------

std::string ByteToNibbles(uint8_t v) {
    return {static_cast<char>('0' + (v >> 4)), static_cast<char>('0' + (v & 15))};
}

uint8_t NibblesToByte(std::string_view two) {
    if (two.size() < 2 || !InNibbleRange(two[0]) || !InNibbleRange(two[1])) {
        WriteProtocolLine(kTagNibbles + FrameText(two.substr(0, 2)), PL_EXTERNAL);
        return 0;
    }
    return static_cast<uint8_t>((two[0] - '0') * 16 + (two[1] - '0'));
}

uint8_t DigitsToByte(std::string_view two) {
    if (two.size() < 2 || !InNibbleRange(two[0]) || !InNibbleRange(two[1])) {
        WriteProtocolLine(kTagDigits + FrameText(two.substr(0, 2)), PL_EXTERNAL);
        return 0;
    }
    return static_cast<uint8_t>((two[0] - '0') * 10 + (two[1] - '0'));
}

uint8_t ByteToBcd(uint8_t v) {
    return static_cast<uint8_t>((v / 10) * 16 + v % 10);
}

namespace {

// Decimal digits of round(|value| * 10^(decimals - 4)), halves away from zero, no leading
// zeros ("" for 0). Works on text, so no width or scale can overflow.
std::string ScaledDigits(int decimals, int64_t value) {
    uint64_t mag = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    std::string s = mag ? std::to_string(mag) : std::string();
    const int64_t e = int64_t{decimals} - 4;
    if (e >= 0) {
        if (!s.empty()) s.append(static_cast<size_t>(std::min<int64_t>(e, 300)), '0');
        return s;
    }
    const auto drop = static_cast<size_t>(-e);
    if (drop > s.size()) return {};  // below half a unit (at most 19 digits, drop >= 20)
    const bool up = drop > 0 && s[s.size() - drop] >= '5';
    s.resize(s.size() - drop);
    if (up) {
        size_t i = s.size();
        while (i > 0 && s[i - 1] == '9') s[--i] = '0';
        if (i == 0)
            s.insert(s.begin(), '1');
        else
            ++s[i - 1];
    }
    size_t nz = s.find_first_not_of('0');
    return nz == std::string::npos ? std::string() : s.substr(nz);
}

size_t Width(int int_digits, int decimals) {
    int64_t w = static_cast<int64_t>(int_digits) + decimals;
    return static_cast<size_t>(std::clamp<int64_t>(w, 0, static_cast<int64_t>(kZrnMaxFrame)));
}

}  // namespace

std::string FormatDecimal(int int_digits, int decimals, int64_t value) {
    const size_t width = Width(int_digits, decimals);
    std::string s = ScaledDigits(decimals, value);
    if (s.size() >= width) return s.substr(s.size() - width);
    return std::string(width - s.size(), '0') + s;
}

bool FitsDecimal(int int_digits, int decimals, int64_t value) {
    if (value < 0) return false;
    if (static_cast<int64_t>(int_digits) + decimals > static_cast<int64_t>(kZrnMaxFrame))
        return false;
    return ScaledDigits(decimals, value).size() <= Width(int_digits, decimals);
}

int64_t ParseDecimal(std::string_view text, int from, int dec_pos, bool is_signed, int to,
                     int& error) {
    error = 0;
    const int len = static_cast<int>(std::min<size_t>(text.size(), 1u << 20));
    if (to == 0) to = len;
    auto fail = [&](int code) {
        error = code;
        WriteProtocolLine(kTagParse + FrameText(text.substr(0, kZrnMaxFrame)) + " FromPos" +
                              std::to_string(from) + " ToPos" + std::to_string(to) + " DecPos" +
                              std::to_string(dec_pos),
                          PL_EXTERNAL);
        return int64_t{0};
    };
    if (from < 1 || to < 0 || to > len) return fail(1);

    const bool comma_allowed = dec_pos == 255;
    int64_t value = 0;
    int64_t scale = 10000;
    for (int i = from; i <= to; ++i) {
        const char c = text[static_cast<size_t>(i - 1)];
        if (c == ',' && comma_allowed && dec_pos == 255) {
            dec_pos = i + 1;
            continue;
        }
        if (c < '0' || c > '9') return fail(1);
        const int digit = c - '0';
        if (i < dec_pos) {
            if (__builtin_mul_overflow(value, 10, &value) ||
                __builtin_add_overflow(value, int64_t{digit} * 10000, &value))
                return fail(2);
        } else {
            scale /= 10;
            if (__builtin_add_overflow(value, digit * scale, &value)) return fail(2);
        }
    }
    if (dec_pos < 255) {
        for (int i = to + 1; i < dec_pos; ++i)
            if (__builtin_mul_overflow(value, 10, &value)) return fail(2);
    }
    if (is_signed && from >= 2 && from - 2 < len && text[static_cast<size_t>(from - 2)] == '-')
        value = -value;
    return value;
}

}  // namespace drv
