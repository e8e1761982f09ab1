// CLocalModbus: one Modbus transaction on a byte line, and the port's settings.
#include <algorithm>
#include <cstring>

#include "fieldbus/core/Archive.h"
#include "fieldbus/core/ByteLine.h"
#include "fieldbus/core/LogFile.h"
#include "fieldbus/core/ModbusClient.h"
#include "platform/time/clock.h"

namespace mb {

namespace ser = plat::serial;

namespace {

// Non-blocking reads; writes get 2 ms a byte plus 1.2 s.
constexpr ser::Timeouts kRtuTimeouts{ser::MAXDWORD, 0, 0, 2, 1200};
constexpr ser::Timeouts kNonBlocking{ser::MAXDWORD, 0, 0, 0, 0};

// Character times of 11 bits.
uint32_t CharTimes(size_t chars, uint32_t baud) {
    return static_cast<uint32_t>(chars * 11000 / std::max<uint32_t>(baud, 1));
}

}  // namespace

CLocalModbus::CLocalModbus(CLogFile* port_log)
    : CLocalModbus(std::make_unique<CSerialLine>(), port_log) {}

CLocalModbus::CLocalModbus(std::unique_ptr<IByteLine> line, CLogFile* port_log)
    : log_(port_log), line_(std::move(line)) {}

CLocalModbus::~CLocalModbus() {
    // Let go quietly: no notes of a close, no status.
    PortGuard guard(*this);
    if (line_->IsOpen()) {
        line_->Close();
        if (line_->Paced() && log_) log_->Trace("{DA20E679-5768-4083-B96F-5F9C6B03E096}");
    }
}

void CLocalModbus::Serialize(CArchive& ar) {
    PortGuard guard(*this);
    if (ar.IsStoring()) {
        CModbus::Serialize(ar);
        ar << silent_timeout_.load() << answer_timeout_.load()
           << static_cast<uint8_t>(port_number_.load()) << parity_.load() << baud_.load()
           << static_cast<uint32_t>(IsOpen() ? 1 : 0) << stop_bits_ << spare_ << ascii_.load()
           << data_bits_.load();
        return;
    }
    // All or nothing: a short or damaged archive changes no setting.
    const uint16_t old_retries = GetRetries();
    const bool old_exceptions = GetExceptionSwitch();
    const uint32_t old_pause = GetPause();
    CModbus::Serialize(ar);
    uint32_t silent = 0, answer = 0, baud = 0, open = 0;
    uint8_t port = 0, parity = 0, stop = 0, spare = 0;
    uint16_t ascii = 0, data_bits = 0;
    // decisions FB-24
    ar >> silent >> answer >> port >> parity >> baud >> open >> stop >> spare >> ascii >> data_bits;
    if (ar.Failed()) {
        SetRetries(old_retries);
        SetExceptionSwitch(old_exceptions);
        SetPause(old_pause);
        return;
    }
    silent_timeout_.store(silent);
    answer_timeout_.store(answer);
    port_number_.store(port);
    parity_.store(parity);
    baud_.store(baud);
    stop_bits_ = stop;
    spare_ = spare;
    ascii_.store(ascii);
    data_bits_.store(data_bits);
    if (open != 0) {
        long error = 0;
        Open(port, baud, parity, error);
    }
}

bool CLocalModbus::IsOpen() const {
    return line_->IsOpen();
}

bool CLocalModbus::Open(int port, uint32_t baud, uint8_t parity, long& error) {
    error = plat::ERROR_SUCCESS;
    PortGuard guard(*this);
    if (!guard) {
        error = 1460;  // ERROR_TIMEOUT
        return false;
    }
    if (IsOpen() && !Close()) {
        error = plat::ERROR_ACCESS_DENIED;
        return false;
    }
    if (port == 0) port = port_number_.load();
    if (baud == 0) baud = baud_.load();
    if (parity == 0xFF) parity = parity_.load();
    port_number_.store(port);
    baud_.store(baud);
    parity_.store(parity);
    // The stored settings keep the port as one byte; parity and stop bits in the platform's coding.
    if (port < 1 || port > 255 || parity > 4 || stop_bits_ > 2) {
        error = plat::ERROR_INVALID_PARAMETER;
        if (log_) log_->Warning("{5713E766-B958-4818-BA2C-48C8A79D75CC}");
        return false;
    }
    LineConfig config;
    config.port = port;
    ser::LineSettings& ls = config.settings;
    ls.baud = baud;
    ls.data_bits = static_cast<uint8_t>(data_bits_.load());
    ls.parity = static_cast<ser::Parity>(parity);
    ls.stop_bits = static_cast<ser::StopBits>(stop_bits_);
    ls.parity_check = true;
    ls.dtr = false;
    ls.rts = ser::RtsMode::Toggle;
    ls.rtscts = false;
    ls.xonxoff = false;
    bool refused = false;
    const long rc = line_->Open(config, &refused);
    if (rc != plat::ERROR_SUCCESS && !refused) {
        if (log_) log_->Warning("{5713E766-B958-4818-BA2C-48C8A79D75CC}");
        error = rc;
        return false;
    }
    if (baud != 0) {
        // Above 48000 baud the formula gives 0, and a silent time-out of 0 fails every read:
        // 1 ms is the least.
        // decisions FB-19
        const uint32_t floor =
            std::max<uint32_t>((uint32_t{data_bits_.load()} + 4) * 4000 / baud, 1);
        if (silent_timeout_.load() < floor) silent_timeout_.store(floor);
    }
    if (rc != plat::ERROR_SUCCESS) {
        // A port that cannot take the line settings is not left half open.
        // decisions FB-24
        if (log_) log_->Error("{E1DF964C-49BF-48c0-9CCB-CC77AFF05608} %ld", rc);
        error = rc;
        return false;
    }
    timeouts_ = ascii_.load() != 0 ? kNonBlocking : kRtuTimeouts;
    return true;
}

bool CLocalModbus::Close() {
    PortGuard guard(*this);
    if (!IsOpen()) return true;
    line_->Close();
    if (log_) log_->Trace("{DA20E679-5768-4083-B96F-5F9C6B03E096}");
    return true;
}

bool CLocalModbus::SetTimeout(const ser::Timeouts* timeouts) {
    PortGuard guard(*this);
    if (!guard || !IsOpen() || !line_->Paced()) return false;
    const ser::Timeouts t = timeouts != nullptr ? *timeouts : kNonBlocking;
    if (timeouts != nullptr && log_)
        log_->Trace("SetTimeout %i %i %i %i %i", int(t.read_interval), int(t.read_total_multiplier),
                    int(t.read_total_constant), int(t.write_total_multiplier),
                    int(t.write_total_constant));
    timeouts_ = t;
    return true;
}

bool CLocalModbus::GetTimeouts(ser::Timeouts& out) {
    PortGuard guard(*this);
    if (!guard || !IsOpen() || !line_->Paced()) {
        out = {};
        return false;
    }
    out = timeouts_;
    return true;
}

uint32_t CLocalModbus::WriteWithin(size_t length) const {
    const uint64_t ms =
        uint64_t{timeouts_.write_total_multiplier} * length + timeouts_.write_total_constant;
    return static_cast<uint32_t>(std::min<uint64_t>(ms, 0xFFFFFFFFu));
}

// decisions FB-20
void CLocalModbus::LineFailed(const char* note, long rc) {
    if (!line_->Paced()) return;
    const uint32_t errors = line_->ClearErrors();
    if (note != nullptr && log_) log_->Warning("%s 0x=%xd", note, errors);
    if (rc == ser::ERROR_GEN_FAILURE) Close();
}

bool CLocalModbus::Purge() {
    return line_->Purge(true, true);
}

bool CLocalModbus::WriteFrame(const uint8_t* frame, size_t length) {
    const bool paced = line_->Paced();
    size_t written = 0;
    const long rc = line_->Write(frame, length, written, WriteWithin(length));
    if (rc != plat::ERROR_SUCCESS) {
        if (paced) {
            line_->ClearErrors();
            if (log_) log_->Warning("{4BA16EA1-F131-4aa2-9F6A-30A48AF85116} 0x%d", int(rc));
            if (rc == ser::ERROR_GEN_FAILURE) Close();
        }
        return false;
    }
    CPerformanceCounter since;
    since.Start();
    const uint32_t baud = GetBaud();
    // A serial frame and its gap take (n + 4) character times; a message line takes none.
    const uint32_t wait = CharTimes(paced ? length + 4 : length, baud);
    if (log_ && log_->TraceOn())
        log_->Trace("Запрос %s %i", HexText({frame, length}).c_str(), int(wait));
    bool left = true;
    if (paced) {
        // The platform reports the queue as empty only once the bytes have left.
        left = line_->Drain();
        const double rest = wait - since.MsSinceStart();
        if (rest > 0) plat::Sleep(static_cast<uint32_t>(rest + 0.999));
    }
    answer_watch_.Start();
    return left && written == length;
}

// decisions FB-25, FB-69
CLocalModbus::Read CLocalModbus::ReadFrame(uint8_t* buffer, size_t cap, size_t first,
                                           size_t& count) {
    count = 0;
    const bool paced = line_->Paced();
    const uint32_t answer_timeout = GetAnswerTimeout();
    const uint32_t silent_timeout = GetSilentTimeout();
    if (paced) {
        if (!answer_watch_.IsValid() && log_)
            log_->Warning("{28219D00-B8B4-4f43-A739-AF876BAF7999}");
        if (answer_timeout == 0 || silent_timeout == 0) {
            if (log_) log_->Warning("{1F087A41-DD0C-4973-ABDE-C09504135EA2}");
            return Read::kFailed;
        }
    }
    uint32_t current = answer_timeout;
    bool marked = false;
    Read result = Read::kDone;
    while (count < cap) {
        // The wait is the line's, in the kernel: the answer is taken as its bytes come.
        const LineRead r = line_->Read(buffer + count, cap - count, current);
        if (r.error != plat::ERROR_SUCCESS) {
            LineFailed("{8C1DDE94-68DF-4289-8CC7-03ED53286B7E}", r.error);
            return Read::kFailed;
        }
        if (r.overrun) {
            result = Read::kTooLong;
            break;
        }
        if (r.got == 0) {
            if (paced && log_) log_->Trace("{CE707C0D-9E01-45a9-BEF8-5C773373064F}");
            break;
        }
        count += r.got;
        if (!marked && count > first) {
            answer_watch_.Mark();
            marked = true;
            current = silent_timeout;
        }
        if (r.end) break;
    }
    if (!marked) answer_watch_.Mark();  // the latency then shows the whole wait
    if (paced) {
        // The closing pause: four character times, at least 2 ms.
        plat::Sleep(std::max<uint32_t>(44000 / std::max<uint32_t>(GetBaud(), 1), 2));
        if (log_ && log_->TraceOn())
            log_->Trace("Ответ %s %i", HexText({buffer, count}).c_str(),
                        int(answer_watch_.ElapsedMs()));
    } else if (log_ && log_->TraceOn()) {
        log_->Trace("Ответ %s", HexText({buffer, count}).c_str());
    }
    return result;
}

int CLocalModbus::Transaction(const uint8_t* request, size_t length, std::vector<uint8_t>& answer,
                              size_t expected, uint16_t encapsulation, size_t& answer_length) {
    answer_length = 0;
    PortGuard guard(*this);
    if (!guard) return kMbLockTimeout;
    if (answer.size() < expected) answer.resize(std::min(expected, kBufferSize));
    int code;
    if (!IsOpen())
        code = kMbPortNotOpen;
    else if (request == nullptr || length == 0)
        code = kMbWriteError;
    else if (ascii_.load() != 0)
        code = TransactionAscii(request, length, answer, answer_length);
    else
        code = TransactionRtu(request, length, answer, expected, encapsulation, answer_length);
    PauseAfterTransaction();
    return code;
}

int CLocalModbus::TransactionRtu(const uint8_t* request, size_t length,
                                 std::vector<uint8_t>& answer, size_t expected,
                                 uint16_t encapsulation, size_t& answer_length) {
    std::vector<uint8_t> frame;
    int code = rtu::EncodeRequest({request, length}, encapsulation, frame, expected);
    if (code != kMbOk) return code;
    const size_t sent = frame.size();

    Purge();
    if (log_)
        log_->Trace("Timeout %i  Silent %i", int(answer_timeout_.load()),
                    int(silent_timeout_.load()));
    if (!WriteFrame(frame.data(), sent)) return kMbWriteError;

    std::memset(buffer_, 0, sizeof buffer_);
    const bool echo = echo_.load();
    size_t count = 0;
    const Read read = ReadFrame(buffer_, rtu::ReadCap(sizeof buffer_, expected, sent, echo),
                                rtu::AnswerStart(sent, echo), count);
    if (read == Read::kFailed) return kMbReadError;
    if (read == Read::kTooLong) {
        // An answer longer than any RTU frame is a broken answer, not silence.
        answer_watch_.Mark();
        return kMbInvalidAnswer;
    }
    if (count == 0) answer_watch_.Mark();
    return rtu::DecodeAnswer({buffer_, count}, frame, echo, expected, encapsulation, answer,
                             answer_length);
}

int CLocalModbus::TransactionAscii(const uint8_t* request, size_t length,
                                   std::vector<uint8_t>& answer, size_t& answer_length) {
    const std::string frame = ascii::EncodeRequest({request, length});
    Purge();
    if (!WriteFrame(reinterpret_cast<const uint8_t*>(frame.data()), frame.size()))
        return kMbWriteError;

    uint32_t current = answer_timeout_.load();
    size_t count = 0;
    for (;;) {
        if (count >= kBufferSize) return kMbReadError;
        const LineRead r = line_->Read(buffer_ + count, 1, current);
        if (r.error != plat::ERROR_SUCCESS) {
            LineFailed("{EC045629-2987-4c5b-8933-AADB84F8E4EC}", r.error);
            return kMbReadError;
        }
        if (r.got == 0) break;
        if (count == 0) {
            answer_watch_.Mark();
            current = silent_timeout_.load();
        }
        count += r.got;
        if (ascii::Ended({buffer_, count}) || r.end) break;
    }
    if (log_ && log_->TraceOn())
        log_->Trace("Ответ %s %i", HexText({buffer_, count}).c_str(),
                    int(answer_watch_.ElapsedMs()));
    if (count == 0) answer_watch_.Mark();
    return ascii::DecodeAnswer({buffer_, count}, answer, answer_length);
}

int CLocalModbus::RawExchange(const uint8_t* bytes, size_t count, uint8_t* buffer, size_t size,
                              size_t& got, uint32_t wait_ms) {
    got = 0;
    PortGuard guard(*this);
    if (!guard) return kMbLockTimeout;
    if (bytes == nullptr) count = 0;
    if (buffer == nullptr) size = 0;
    int code = kMbOk;
    if (!IsOpen()) {
        code = kMbPortNotOpen;
    } else {
        const uint32_t wait = wait_ms != 0 ? wait_ms : GetAnswerTimeout();
        Purge();
        size_t written = 0;
        const long rc = line_->Write(bytes, count, written, WriteWithin(count));
        if (rc != plat::ERROR_SUCCESS || written < count) {
            if (rc != plat::ERROR_SUCCESS) LineFailed(nullptr, rc);
            code = kMbWriteError;
        } else {
            line_->Drain();
            CPerformanceCounter since;
            since.Start();
            // Whatever comes within the wait, as it comes.
            while (got < size) {
                const double left = wait - since.MsSinceStart();
                if (left <= 0) break;
                const LineRead r =
                    line_->Read(buffer + got, size - got, static_cast<uint32_t>(left + 0.999));
                got += r.got;
                if (r.error != plat::ERROR_SUCCESS) {
                    LineFailed("{EC045629-2987-4c5b-8933-AADB84F8E4EC}", r.error);
                    code = kMbReadError;
                    break;
                }
                if (r.overrun) {
                    code = kMbInvalidAnswer;
                    break;
                }
                if (r.got == 0 || r.end) break;
            }
            if (code == kMbOk && got == 0) code = kMbTimeout;
        }
    }
    PauseAfterTransaction();
    return code;
}

}  // namespace mb
