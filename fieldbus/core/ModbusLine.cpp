#include "fieldbus/core/ModbusLine.h"

#include <algorithm>

#include "fieldbus/core/ComLine.h"
#include "fieldbus/core/LogFile.h"
#include "platform/time/clock.h"

namespace mb {

namespace ser = plat::serial;

namespace {

// Non-blocking reads; writes get 2 ms a byte plus 1.2 s.
constexpr ser::Timeouts kRtuTimeouts{ser::MAXDWORD, 0, 0, 2, 1200};
constexpr ser::Timeouts kNonBlocking{ser::MAXDWORD, 0, 0, 0, 0};

}  // namespace

CSerialModbusLine::~CSerialModbusLine() = default;

void CSerialModbusLine::ClearLineErrors(uint32_t* errors) {
    ser::ErrorCounts ec;
    port_.ClearErrors(ec);
    if (errors != nullptr) *errors = ec.errors;
}

void CSerialModbusLine::NoteIoError(long rc) {
    if (rc == plat::serial::ERROR_GEN_FAILURE) Client().Close();
}

void CSerialModbusLine::WaitSince(const CPerformanceCounter& since, uint32_t ms) {
    for (;;) {
        const double left = ms - since.MsSinceStart();
        if (left <= 0) return;
        plat::Sleep(static_cast<uint32_t>(std::min(5.0, left + 0.999)));
    }
}

bool CSerialModbusLine::WaitInput(uint32_t ms) {
    switch (plat::SysClock().WaitReadable(port_.Fd(), ms)) {
        case plat::Readiness::Readable:
            return true;
        case plat::Readiness::TimedOut:
            return false;
        case plat::Readiness::Failed:
            break;
    }
    // A hang-up or error reports at once: take the whole step rather than spin.
    plat::Sleep(ms);
    return false;
}

bool CSerialModbusLine::Open(int port, uint32_t baud, uint8_t parity, long& error) {
    CLocalModbus& c = Client();
    CLogFile* log = Log();
    if (announce_ && log) log->Info("Открытие порта в активном режиме");
    error = plat::ERROR_SUCCESS;
    Guard guard(c);
    if (!guard) {
        error = 1460;  // ERROR_TIMEOUT
        return false;
    }
    if (IsOpen() && !c.Close()) {
        error = plat::ERROR_ACCESS_DENIED;
        return false;
    }
    if (port == 0) port = c.port_number_.load();
    if (baud == 0) baud = c.baud_.load();
    if (parity == 0xFF) parity = c.parity_.load();
    c.port_number_.store(port);
    c.baud_.store(baud);
    c.parity_.store(parity);
    // The stored settings keep the port as one byte; parity and stop bits in the platform's coding.
    if (port < 1 || port > 255 || parity > 4 || c.stop_bits_ > 2) {
        error = plat::ERROR_INVALID_PARAMETER;
        if (log) log->Warning("{5713E766-B958-4818-BA2C-48C8A79D75CC}");
        return false;
    }

    long rc = OpenComPort(port_, port);
    if (rc != plat::ERROR_SUCCESS) {
        if (log) log->Warning("{5713E766-B958-4818-BA2C-48C8A79D75CC}");
        error = rc;
        return false;
    }
    // Driver queue sizes have no counterpart here.

    ser::LineSettings ls;
    ls.baud = baud;
    ls.data_bits = static_cast<uint8_t>(c.data_bits_.load());
    ls.parity = static_cast<ser::Parity>(parity);
    ls.stop_bits = static_cast<ser::StopBits>(c.stop_bits_);
    ls.parity_check = true;
    ls.dtr = false;
    ls.rts = ser::RtsMode::Toggle;
    ls.rtscts = false;
    ls.xonxoff = false;

    if (baud != 0) {
        // Above 48000 baud the formula gives 0, and a silent time-out of 0 fails every read:
        // 1 ms is the least.
        const uint32_t floor =
            std::max<uint32_t>((uint32_t{c.data_bits_.load()} + 4) * 4000 / baud, 1);
        if (c.silent_timeout_.load() < floor) c.silent_timeout_.store(floor);
    }
    rc = port_.SetTimeouts(c.ascii_ ? kNonBlocking : kRtuTimeouts);
    if (rc == plat::ERROR_SUCCESS) rc = port_.Configure(ls);
    if (rc != plat::ERROR_SUCCESS) {
        // A port that cannot take the line settings is not left half open.
        if (log) log->Error("{E1DF964C-49BF-48c0-9CCB-CC77AFF05608} %ld", rc);
        port_.Close();
        error = rc;
        return false;
    }
    open_.store(true);
    return true;
}

bool CSerialModbusLine::Close() {
    if (announce_ && Log()) Log()->Info("Закрытие порта в активном режиме");
    return CloseQuietly();
}

bool CSerialModbusLine::CloseQuietly() {
    Guard guard(Client());
    if (!IsOpen()) return true;
    port_.Close();
    open_.store(false);
    if (Log()) Log()->Trace("{DA20E679-5768-4083-B96F-5F9C6B03E096}");
    return true;
}

bool CSerialModbusLine::SetTimeout(const ser::Timeouts* timeouts) {
    Guard guard(Client());
    if (!guard || !IsOpen()) return false;
    const ser::Timeouts t = timeouts != nullptr ? *timeouts : kNonBlocking;
    if (timeouts != nullptr && Log())
        Log()->Trace("SetTimeout %i %i %i %i %i", int(t.read_interval),
                     int(t.read_total_multiplier), int(t.read_total_constant),
                     int(t.write_total_multiplier), int(t.write_total_constant));
    return port_.SetTimeouts(t) == plat::ERROR_SUCCESS;
}

bool CSerialModbusLine::GetTimeouts(ser::Timeouts& out) {
    Guard guard(Client());
    if (!guard || !IsOpen()) {
        out = {};
        return false;
    }
    out = port_.GetTimeouts();
    return true;
}

bool CSerialModbusLine::Purge() {
    return port_.Purge(true, true) == plat::ERROR_SUCCESS;
}

bool CSerialModbusLine::Write(const uint8_t* frame, size_t length, size_t& written) {
    CLogFile* log = Log();
    written = 0;
    const uint32_t baud = std::max<uint32_t>(Client().GetBaud(), 1);
    const uint32_t wait = static_cast<uint32_t>((length + 4) * 11000 / baud);
    uint32_t done = 0;
    long rc = port_.Write(frame, static_cast<uint32_t>(length), done);
    written = done;
    if (rc != plat::ERROR_SUCCESS) {
        ClearLineErrors();
        if (log) log->Warning("{4BA16EA1-F131-4aa2-9F6A-30A48AF85116} 0x%d", int(rc));
        NoteIoError(rc);
        return false;
    }
    CPerformanceCounter since;
    since.Start();
    if (log && log->TraceOn())
        log->Trace("Запрос %s %i", HexText({frame, length}).c_str(), int(wait));
    // The platform reports the queue as empty only once the bytes have left.
    port_.Drain();
    ser::ErrorCounts ec;
    port_.ClearErrors(ec);
    WaitSince(since, wait);
    AnswerWatch().Start();
    return ec.out_queue == 0;
}

bool CSerialModbusLine::ReadAvailable(uint8_t* buffer, size_t size, size_t& count) {
    count = 0;
    uint32_t got = 0;
    long rc = port_.Read(buffer, static_cast<uint32_t>(size), got);
    count = got;
    if (rc == plat::ERROR_SUCCESS) return true;
    uint32_t errors = 0;
    ClearLineErrors(&errors);
    if (Log()) Log()->Warning("{EC045629-2987-4c5b-8933-AADB84F8E4EC} 0x=%xd", errors);
    NoteIoError(rc);
    return false;
}

ReadResult CSerialModbusLine::ReadAnswer(uint8_t* buffer, size_t, size_t cap, size_t first,
                                         size_t& count) {
    CLogFile* log = Log();
    CPerformanceCounter& answer_watch = AnswerWatch();
    count = 0;
    if (!answer_watch.IsValid() && log) log->Warning("{28219D00-B8B4-4f43-A739-AF876BAF7999}");
    const uint32_t answer_timeout = Client().GetAnswerTimeout();
    const uint32_t silent_timeout = Client().GetSilentTimeout();
    if (answer_timeout == 0 || silent_timeout == 0) {
        if (log) log->Warning("{1F087A41-DD0C-4973-ABDE-C09504135EA2}");
        return ReadResult::kFailed;
    }
    const uint32_t baud = std::max<uint32_t>(Client().GetBaud(), 1);
    const uint32_t poll_ms = std::max<uint32_t>(11000 / baud, 2);
    uint32_t current = answer_timeout;
    bool marked = false;
    bool woke = false;  // the last step ended early for input

    byte_watch_.Start();
    while (count < cap) {
        uint32_t got = 0;
        long rc = port_.Read(buffer + count, static_cast<uint32_t>(cap - count), got);
        if (rc != plat::ERROR_SUCCESS) {
            uint32_t errors = 0;
            ClearLineErrors(&errors);
            if (log) log->Warning("{8C1DDE94-68DF-4289-8CC7-03ED53286B7E} 0x=%xd", errors);
            NoteIoError(rc);
            return ReadResult::kFailed;
        }
        if (got > 0) {
            count += got;
            if (!marked && count > first) {
                answer_watch.Mark();
                marked = true;
                current = silent_timeout;
            }
            byte_watch_.Start();
            woke = false;
            continue;
        }
        if (byte_watch_.MsSinceStart() > current) {
            if (log) log->Trace("{CE707C0D-9E01-45a9-BEF8-5C773373064F}");
            break;
        }
        // The answer is taken as its bytes come, not at the next step; a wake-up without a
        // byte to read (a discarded byte) makes the next step a plain sleep.
        if (woke) {
            plat::Sleep(poll_ms);
            woke = false;
        } else {
            woke = WaitInput(poll_ms);
        }
    }
    if (!marked) answer_watch.Mark();  // the latency then shows the whole wait
    plat::Sleep(std::max<uint32_t>(44000 / baud, 2));
    if (log && log->TraceOn())
        log->Trace("Ответ %s %i", HexText({buffer, count}).c_str(), int(answer_watch.ElapsedMs()));
    return ReadResult::kRead;
}

int CSerialModbusLine::RawExchange(const uint8_t* bytes, size_t count, uint8_t* buffer, size_t size,
                                   size_t& got, uint32_t wait_ms) {
    CLocalModbus& c = Client();
    got = 0;
    Guard guard(c);
    if (!guard) return kMbLockTimeout;
    if (!IsOpen()) {
        PauseAfterTransaction();
        return kMbPortNotOpen;
    }
    if (bytes == nullptr) count = 0;
    if (buffer == nullptr) size = 0;

    ser::Timeouts saved{};
    const bool restore = wait_ms != 0;
    uint32_t wait = wait_ms;
    int code = kMbOk;
    if (restore) {
        saved = port_.GetTimeouts();
        ser::Timeouts t = saved;
        t.read_interval = ser::MAXDWORD;
        t.read_total_multiplier = 0;
        t.read_total_constant = 0;
        if (port_.SetTimeouts(t) != plat::ERROR_SUCCESS) code = kMbPortNotOpen;
    } else {
        wait = c.GetAnswerTimeout();
    }
    bool read_phase = false;
    if (code == kMbOk) {
        Purge();
        uint32_t written = 0;
        long rc = port_.Write(bytes, static_cast<uint32_t>(count), written);
        if (rc != plat::ERROR_SUCCESS || written < count) {
            ClearLineErrors();
            NoteIoError(rc);
            code = kMbWriteError;
        } else {
            CPerformanceCounter since;
            since.Start();
            while (port_.OutputQueued() > 0 && since.MsSinceStart() < wait) plat::Sleep(1);
            since.Start();
            read_phase = true;
            while (got < size && since.MsSinceStart() < wait) {
                size_t n = 0;
                if (!ReadAvailable(buffer + got, size - got, n)) {
                    code = kMbReadError;
                    break;
                }
                if (n == 0)
                    plat::Sleep(10);
                else
                    got += n;
            }
            if (code == kMbOk && got == 0) code = kMbTimeout;
        }
    }
    if (restore && IsOpen() && code != kMbPortNotOpen &&
        port_.SetTimeouts(saved) != plat::ERROR_SUCCESS && read_phase)
        code = kMbPortNotOpen;
    PauseAfterTransaction();
    return code;
}

}  // namespace mb
