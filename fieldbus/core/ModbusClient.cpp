#include "fieldbus/core/ModbusClient.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "fieldbus/core/Archive.h"
#include "fieldbus/core/ComLine.h"
#include "fieldbus/core/LogFile.h"
#include "platform/time/clock.h"

namespace mb {

namespace ser = plat::serial;

namespace {

// Non-blocking reads; writes get 2 ms a byte plus 1.2 s.
constexpr ser::Timeouts kRtuTimeouts{ser::MAXDWORD, 0, 0, 2, 1200};
constexpr ser::Timeouts kNonBlocking{ser::MAXDWORD, 0, 0, 0, 0};

int HexDigit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;  // lower case and anything else, as the ASCII framing has always read it
}

uint8_t HexByte(const uint8_t* p) {
    return static_cast<uint8_t>(HexDigit(p[0]) << 4 | HexDigit(p[1]));
}

}  // namespace

// --- free functions ---------------------------------------------------------

uint16_t Crc16(std::span<const uint8_t> bytes, size_t length) {
    if (length == 0 || length > bytes.size()) return 0;
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) crc = (crc >> 8) ^ kCrc16Table[(crc ^ bytes[i]) & 0xFF];
    return crc;
}

uint8_t Lrc(std::span<const uint8_t> bytes) {
    uint8_t sum = 0;
    for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
    return static_cast<uint8_t>(-sum);
}

std::string HexText(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s += kDigits[b >> 4];
        s += kDigits[b & 0xF];
    }
    return s;
}

// --- CPerformanceCounter ----------------------------------------------------

CPerformanceCounter::CPerformanceCounter() : frequency_(plat::SysClock().PerfFrequency()) {}

void CPerformanceCounter::Start() {
    start_ = plat::SysClock().PerfCounter();
}
void CPerformanceCounter::Mark() {
    mark_ = plat::SysClock().PerfCounter();
}

int64_t CPerformanceCounter::ElapsedToNow() {
    Mark();
    return Elapsed();
}

double CPerformanceCounter::ToMs(int64_t ticks) const {
    return frequency_ > 0 ? static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency_)
                          : 0.0;
}

double CPerformanceCounter::MsSinceStart() const {
    return ToMs(plat::SysClock().PerfCounter() - start_);
}

// --- CModbusException -------------------------------------------------------

CModbusException::CModbusException(std::string text, uint16_t code)
    : text_(std::move(text)), code_(code) {
    message_ = code_ != 0 ? text_ + " error #" + std::to_string(code_) : text_ + " error";
}

bool CModbusException::GetErrorMessage(char* buffer, size_t size) const {
    if (buffer != nullptr && size > 0) std::snprintf(buffer, size, "%s", message_.c_str());
    return true;
}

// --- CModbus ----------------------------------------------------------------

CModbus::PortGuard::PortGuard(CModbus& m) : m_(m) {
    const uint32_t limit = m.lock_timeout_.load();
    if (limit == kInfinite) {
        m.lock_.lock();
        owns_ = true;
    } else {
        owns_ = m.lock_.try_lock_for(std::chrono::milliseconds(limit));
    }
}

CModbus::PortGuard::~PortGuard() {
    if (owns_) m_.lock_.unlock();
}

void CModbus::PauseAfterTransaction() const {
    if (uint32_t p = pause_.load()) plat::Sleep(p);
}

void CModbus::Serialize(CArchive& ar) {
    if (ar.IsStoring()) {
        ar << retries_.load() << static_cast<uint32_t>(exceptions_.load() ? 1 : 0) << pause_.load();
        return;
    }
    uint16_t retries = 0;
    uint32_t exceptions = 0, pause = 0;
    ar >> retries >> exceptions >> pause;
    if (ar.Failed()) return;
    retries_.store(retries);
    exceptions_.store(exceptions != 0);
    pause_.store(pause);
}

std::string CModbus::GetErrorText(int code) const {
    if (IsDeviceException(code))
        return "Modbus device return an exception code " +
               std::to_string(code - kMbDeviceException);
    switch (code) {
        case 0:
            return "Ok";
        case 1:
            return "Time Out Error";
        case 2:
            return "invalid returned device response";
        case 3:
            return "crc error";
        case 8:
            return "Write communication error";
        case 9:
            return "Read communication error";
        case 10:
            return "Comm port not opened";
        case 11:
            return "Critical section lock time-out error";
        case 13:
        case 30:
            return "Неверный ответ устройства";
        case 14:
            return "Ошибка контрольной суммы режима программирования";
        case 15:
            return "Ошибка защиты режима программирования";
        case 20:
            return "Запрошен не существующий элемент очереди(65)";
        case 21:
            return "Запрошен удаленный элемент очереди(65)";
        case 40:
            return "Попытка чтения из нескольких банков по функции 67";
        case 41:
            return "Попытка записи в несколько банков по функции 68";
        case 42:
            return "Большая длина запроса инкапсуллированной функции";
        case 43:
            return "Ошибка перевода устройства в режим программирования, возможно контроллер "
                   "находится не в режиме ожидания";
        default:
            return {};
    }
}

int CModbus::Finish(int code) {
    if (code != kMbOk && exceptions_.load())
        throw CModbusException(GetErrorText(code), static_cast<uint16_t>(code));
    return code;
}

// `check` sees a successful answer and turns it into the builder's code; setting its `stop`
// ends the attempts whatever the code. An answer that came shorter than `stop_below` bytes
// (the transaction refused it as short) ends them as well.
template <class Check>
int CModbus::RunWithRetries(const uint8_t* request, size_t length, std::vector<uint8_t>& answer,
                            size_t expected, uint16_t encapsulation, Check check,
                            size_t stop_below) {
    const unsigned attempts = std::max<unsigned>(retries_.load(), 1);
    int code = kMbOk;
    for (unsigned made = 0; made < attempts;) {
        size_t got = 0;
        code = Transaction(request, length, answer, expected, encapsulation, got);
        ++made;
        bool stop = false;
        if (code == kMbOk) code = check(answer.data(), std::min(got, answer.size()), stop);
        if (code == kMbInvalidAnswer && got > 0 && got < stop_below) stop = true;
        if (stop || code == kMbOk || IsDeviceException(code)) break;
    }
    return Finish(code);
}

int CModbus::ReadBank(uint8_t address, uint16_t start, uint16_t count, std::vector<uint8_t>& out,
                      uint16_t encapsulation) {
    if ((start & 0xFF) + count > 256) return Finish(kMbMultiBank);
    const uint8_t req[] = {
        address, 0x43, uint8_t(start >> 8), uint8_t(start), uint8_t(count >> 8), uint8_t(count)};
    std::vector<uint8_t> answer;
    const size_t want = size_t{count} + 3;
    return RunWithRetries(req, sizeof req, answer, want, encapsulation,
                          [&](const uint8_t* a, size_t n, bool&) {
                              if (n < 3 || a[0] != address || a[1] != 0x43)
                                  return int(kMbInvalidAnswer);
                              if (a[2] != count) return int(kMbByteCount);
                              if (n < want) return int(kMbInvalidAnswer);
                              out.assign(a + 3, a + want);
                              return int(kMbOk);
                          });
}

int CModbus::ReadHoldingRegisters(uint8_t address, uint16_t start, uint16_t count,
                                  std::vector<uint16_t>& out, uint16_t encapsulation) {
    if (encapsulation != 0 && count > 14) return Finish(kMbRequestTooLong);
    const uint8_t req[] = {
        address, 0x03, uint8_t(start >> 8), uint8_t(start), uint8_t(count >> 8), uint8_t(count)};
    std::vector<uint8_t> answer;
    const size_t want = 2 * size_t{count} + 3;
    return RunWithRetries(req, sizeof req, answer, want, encapsulation,
                          [&](const uint8_t* a, size_t n, bool&) {
                              if (n < 3 || a[0] != address || a[1] != 0x03)
                                  return int(kMbInvalidAnswer);
                              if (a[2] != 2 * size_t{count}) return int(kMbByteCount);
                              if (n < want) return int(kMbInvalidAnswer);
                              out.resize(count);
                              for (size_t i = 0; i < count; ++i)
                                  out[i] = static_cast<uint16_t>(a[3 + 2 * i] << 8 | a[4 + 2 * i]);
                              return int(kMbOk);
                          });
}

int CModbus::ReadRegisterPairs(uint8_t address, uint16_t start, uint16_t n,
                               std::vector<uint32_t>& out, uint16_t encapsulation,
                               bool high_word_first) {
    // Two registers a value; more than the register count field can carry cannot be asked.
    if (n > 0x7FFF) return Finish(kMbRequestTooLong);
    std::vector<uint16_t> words;
    int code =
        ReadHoldingRegisters(address, start, static_cast<uint16_t>(2 * n), words, encapsulation);
    if (code != kMbOk) return code;
    out.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t first = words[2 * i], second = words[2 * i + 1];
        out[i] = high_word_first ? (first << 16 | second) : (second << 16 | first);
    }
    return code;
}

int CModbus::ReportSlaveId(uint8_t address, std::vector<uint16_t>& out, uint16_t encapsulation) {
    const uint8_t req[] = {address, 0x11};
    std::vector<uint8_t> answer;
    return RunWithRetries(req, sizeof req, answer, 0, encapsulation,
                          [&](const uint8_t* a, size_t n, bool&) {
                              if (n < 2 || a[0] != address || a[1] != 0x11)
                                  return int(kMbInvalidAnswer);
                              const size_t words = (n - 2) / 2;
                              if (words == 0) return int(kMbInvalidAnswer);
                              out.resize(words);
                              for (size_t i = 0; i < words; ++i) {
                                  const size_t hi = 3 + 2 * i;
                                  const uint8_t lo = hi + 1 < n ? a[hi + 1] : 0;
                                  out[i] = static_cast<uint16_t>(a[hi] << 8 | lo);
                              }
                              return int(kMbOk);
                          });
}

int CModbus::SendEncapsulated(uint8_t address, const uint8_t* payload, size_t length,
                              std::vector<uint8_t>& out, size_t& out_length) {
    out_length = 0;
    std::vector<uint8_t> req{address, 0x42};
    if (payload != nullptr) req.insert(req.end(), payload, payload + length);
    std::vector<uint8_t> answer;
    return RunWithRetries(req.data(), req.size(), answer, 0, 0,
                          [&](const uint8_t* a, size_t n, bool&) {
                              if (n < 2 || a[0] != address || a[1] != 0x42)
                                  return int(kMbInvalidAnswer);
                              out.assign(a + 2, a + n);
                              out_length = n - 2;
                              return int(kMbOk);
                          });
}

int CModbus::WriteMultipleRegisters(uint8_t address, uint16_t start,
                                    std::span<const uint16_t> words, uint16_t encapsulation) {
    // The byte count is one byte and a frame at most 256 bytes: 123 registers at most.
    if (words.size() > 123) return Finish(kMbRequestTooLong);
    const size_t count = words.size();
    std::vector<uint8_t> req{address,
                             0x10,
                             uint8_t(start >> 8),
                             uint8_t(start),
                             uint8_t(count >> 8),
                             uint8_t(count),
                             uint8_t(2 * count)};
    for (uint16_t w : words) {
        req.push_back(uint8_t(w >> 8));
        req.push_back(uint8_t(w));
    }
    std::vector<uint8_t> answer;
    return RunWithRetries(
        req.data(), req.size(), answer, 6, encapsulation,
        [&](const uint8_t* a, size_t n, bool& stop) {
            if (n < 6) {
                stop = true;
                return int(kMbInvalidAnswer);
            }
            return std::memcmp(a, req.data(), 6) == 0 ? int(kMbOk) : int(kMbInvalidAnswer);
        },
        6);
}

int CModbus::WriteSingleRegister(uint8_t address, uint16_t reg, uint16_t value,
                                 uint16_t encapsulation) {
    const uint8_t req[] = {
        address, 0x06, uint8_t(reg >> 8), uint8_t(reg), uint8_t(value >> 8), uint8_t(value)};
    std::vector<uint8_t> answer;
    return RunWithRetries(
        req, sizeof req, answer, 6, encapsulation,
        [&](const uint8_t* a, size_t n, bool& stop) {
            if (n <= 3) stop = true;
            if (n < 6) return int(kMbInvalidAnswer);
            return std::memcmp(a, req, 6) == 0 ? int(kMbOk) : int(kMbInvalidAnswer);
        },
        4);
}

int CModbus::ReadExceptionStatus(uint8_t address, uint8_t& out, uint16_t encapsulation) {
    const uint8_t req[] = {address, 0x07};
    std::vector<uint8_t> answer;
    return RunWithRetries(req, sizeof req, answer, 3, encapsulation,
                          [&](const uint8_t* a, size_t n, bool& stop) {
                              if (n < 3 || a[0] != address) {
                                  stop = true;
                                  return int(kMbInvalidAnswer);
                              }
                              out = a[2];
                              return int(kMbOk);
                          });
}

int CModbus::Diagnostics(uint8_t address, uint16_t encapsulation) {
    const uint8_t req[] = {address, 0x08, 0x00, 0x00, 0x00, 0x00};
    std::vector<uint8_t> answer;
    return RunWithRetries(req, sizeof req, answer, 6, encapsulation,
                          [&](const uint8_t* a, size_t n, bool&) {
                              if (n < 6 || std::memcmp(a, req, 6) != 0)
                                  return int(kMbInvalidAnswer);
                              return int(kMbOk);
                          });
}

// --- CLocalModbus -----------------------------------------------------------

CLocalModbus::CLocalModbus(CLogFile* port_log) : log_(port_log) {}

CLocalModbus::~CLocalModbus() {
    CLocalModbus::Close();
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

void CLocalModbus::ClearLineErrors(uint32_t* errors) {
    ser::ErrorCounts ec;
    port_.ClearErrors(ec);
    if (errors != nullptr) *errors = ec.errors;
}

void CLocalModbus::NoteIoError(long rc) {
    if (rc == plat::serial::ERROR_GEN_FAILURE) Close();
}

void CLocalModbus::WaitSince(const CPerformanceCounter& since, uint32_t ms) {
    for (;;) {
        const double left = ms - since.MsSinceStart();
        if (left <= 0) return;
        plat::Sleep(static_cast<uint32_t>(std::min(5.0, left + 0.999)));
    }
}

bool CLocalModbus::WaitInput(uint32_t ms) {
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

    long rc = OpenComPort(port_, port);
    if (rc != plat::ERROR_SUCCESS) {
        if (log_) log_->Warning("{5713E766-B958-4818-BA2C-48C8A79D75CC}");
        error = rc;
        return false;
    }
    // Driver queue sizes have no counterpart here.

    ser::LineSettings ls;
    ls.baud = baud;
    ls.data_bits = static_cast<uint8_t>(data_bits_.load());
    ls.parity = static_cast<ser::Parity>(parity);
    ls.stop_bits = static_cast<ser::StopBits>(stop_bits_);
    ls.parity_check = true;
    ls.dtr = false;
    ls.rts = ser::RtsMode::Toggle;
    ls.rtscts = false;
    ls.xonxoff = false;

    if (baud != 0) {
        // Above 48000 baud the formula gives 0, and a silent time-out of 0 fails every read:
        // 1 ms is the least.
        const uint32_t floor =
            std::max<uint32_t>((uint32_t{data_bits_.load()} + 4) * 4000 / baud, 1);
        if (silent_timeout_.load() < floor) silent_timeout_.store(floor);
    }
    rc = port_.SetTimeouts(ascii_ ? kNonBlocking : kRtuTimeouts);
    if (rc == plat::ERROR_SUCCESS) rc = port_.Configure(ls);
    if (rc != plat::ERROR_SUCCESS) {
        // A port that cannot take the line settings is not left half open.
        if (log_) log_->Error("{E1DF964C-49BF-48c0-9CCB-CC77AFF05608} %ld", rc);
        port_.Close();
        error = rc;
        return false;
    }
    open_.store(true);
    return true;
}

bool CLocalModbus::Close() {
    PortGuard guard(*this);
    if (!IsOpen()) return true;
    port_.Close();
    open_.store(false);
    if (log_) log_->Trace("{DA20E679-5768-4083-B96F-5F9C6B03E096}");
    return true;
}

bool CLocalModbus::SetTimeout(const ser::Timeouts* timeouts) {
    PortGuard guard(*this);
    if (!guard || !IsOpen()) return false;
    const ser::Timeouts t = timeouts != nullptr ? *timeouts : kNonBlocking;
    if (timeouts != nullptr && log_)
        log_->Trace("SetTimeout %i %i %i %i %i", int(t.read_interval), int(t.read_total_multiplier),
                    int(t.read_total_constant), int(t.write_total_multiplier),
                    int(t.write_total_constant));
    return port_.SetTimeouts(t) == plat::ERROR_SUCCESS;
}

bool CLocalModbus::GetTimeouts(ser::Timeouts& out) {
    PortGuard guard(*this);
    if (!guard || !IsOpen()) {
        out = {};
        return false;
    }
    out = port_.GetTimeouts();
    return true;
}

bool CLocalModbus::Purge() {
    return port_.Purge(true, true) == plat::ERROR_SUCCESS;
}

bool CLocalModbus::WriteQuery(const uint8_t* frame, size_t length, size_t& written) {
    written = 0;
    const uint32_t baud = std::max<uint32_t>(baud_.load(), 1);
    const uint32_t wait = static_cast<uint32_t>((length + 4) * 11000 / baud);
    uint32_t done = 0;
    long rc = port_.Write(frame, static_cast<uint32_t>(length), done);
    written = done;
    if (rc != plat::ERROR_SUCCESS) {
        ClearLineErrors();
        if (log_) log_->Warning("{4BA16EA1-F131-4aa2-9F6A-30A48AF85116} 0x%d", int(rc));
        NoteIoError(rc);
        return false;
    }
    CPerformanceCounter since;
    since.Start();
    if (log_ && log_->TraceOn())
        log_->Trace("Запрос %s %i", HexText({frame, length}).c_str(), int(wait));
    // The platform reports the queue as empty only once the bytes have left.
    port_.Drain();
    ser::ErrorCounts ec;
    port_.ClearErrors(ec);
    WaitSince(since, wait);
    answer_watch_.Start();
    return ec.out_queue == 0;
}

bool CLocalModbus::ReadAvailable(uint8_t* buffer, size_t size, size_t& count) {
    count = 0;
    uint32_t got = 0;
    long rc = port_.Read(buffer, static_cast<uint32_t>(size), got);
    count = got;
    if (rc == plat::ERROR_SUCCESS) return true;
    uint32_t errors = 0;
    ClearLineErrors(&errors);
    if (log_) log_->Warning("{EC045629-2987-4c5b-8933-AADB84F8E4EC} 0x=%xd", errors);
    NoteIoError(rc);
    return false;
}

bool CLocalModbus::ReadAnswer(uint8_t* buffer, size_t capacity, size_t& count, size_t expected,
                              size_t sent) {
    count = 0;
    if (!answer_watch_.IsValid() && log_) log_->Warning("{28219D00-B8B4-4f43-A739-AF876BAF7999}");
    const uint32_t answer_timeout = answer_timeout_.load();
    const uint32_t silent_timeout = silent_timeout_.load();
    if (answer_timeout == 0 || silent_timeout == 0) {
        if (log_) log_->Warning("{1F087A41-DD0C-4973-ABDE-C09504135EA2}");
        return false;
    }
    // The answer proper starts behind the echo; the echo does not count against its 255 bytes.
    const size_t first = echo_.load() ? sent : 0;
    size_t cap = std::min(capacity, first + kMaxAnswer);
    if (expected >= 3) cap = std::min(cap, expected);
    const uint32_t baud = std::max<uint32_t>(baud_.load(), 1);
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
            if (log_) log_->Warning("{8C1DDE94-68DF-4289-8CC7-03ED53286B7E} 0x=%xd", errors);
            NoteIoError(rc);
            return false;
        }
        if (got > 0) {
            count += got;
            if (!marked && count > first) {
                answer_watch_.Mark();
                marked = true;
                current = silent_timeout;
            }
            byte_watch_.Start();
            woke = false;
            continue;
        }
        if (byte_watch_.MsSinceStart() > current) {
            if (log_) log_->Trace("{CE707C0D-9E01-45a9-BEF8-5C773373064F}");
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
    if (!marked) answer_watch_.Mark();  // the latency then shows the whole wait
    plat::Sleep(std::max<uint32_t>(44000 / baud, 2));
    if (log_ && log_->TraceOn())
        log_->Trace("Ответ %s %i", HexText({buffer, count}).c_str(),
                    int(answer_watch_.ElapsedMs()));
    return true;
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
    frame.reserve(length + 4);
    if (encapsulation != 0) {
        if (length > 80) return kMbRequestTooLong;
        frame.push_back(uint8_t(encapsulation >> 8));
        frame.push_back(uint8_t(encapsulation));
        if (expected != 0) expected += 2;
    }
    frame.insert(frame.end(), request, request + length);
    // Longer than a Modbus frame may be: the far end could not take it.
    if (frame.size() + 2 > kMaxFrame) return kMbRequestTooLong;
    const uint16_t crc = Crc16(frame);
    frame.push_back(uint8_t(crc));
    frame.push_back(uint8_t(crc >> 8));
    const size_t sent = frame.size();

    Purge();
    if (log_)
        log_->Trace("Timeout %i  Silent %i", int(answer_timeout_.load()),
                    int(silent_timeout_.load()));
    size_t written = 0;
    if (!WriteQuery(frame.data(), sent, written) || written < sent) return kMbWriteError;

    std::memset(buffer_, 0, sizeof buffer_);
    const bool echo = echo_.load();
    // With an echo and an answer of any length there is no limit (the echo alone would reach it).
    size_t limit = expected + 2;
    if (echo) limit = expected != 0 ? sent + expected + 2 : 0;
    size_t count = 0;
    if (!ReadAnswer(buffer_, sizeof buffer_, count, limit, sent)) return kMbReadError;
    if (count == 0) {
        answer_watch_.Mark();
        return kMbTimeout;
    }
    const uint8_t* a = buffer_;
    size_t got = count;
    if (echo) {
        if (count <= sent) return kMbTimeout;
        if (count - sent < 5 || std::memcmp(buffer_, frame.data(), sent) != 0)
            return kMbInvalidAnswer;
        a += sent;
        got -= sent;
    }
    const size_t read = got;

    const uint8_t function = got > 1 ? a[1] : 0;
    if (function > 0x80) {
        if (function == 0xC1) {
            // The only exception answer whose body goes to the caller.
            if (got < 11 || Crc16({a, 11}) != 0) return kMbCrcError;
            answer.assign(a, a + 9);
            answer_length = 9;
            return kMbDeviceException + a[2];
        }
        if (got < 5 || Crc16({a, 5}) != 0) return kMbCrcError;
        return kMbDeviceException + a[2];
    }
    if (Crc16({a, got}) != 0) return kMbCrcError;
    got = got > 2 ? got - 2 : 0;

    if (encapsulation != 0) {
        if (got <= 2) return kMbTimeout;
        a += 2;  // the echoed encapsulation word
        got -= 2;
        if (got < 3) return kMbInvalidAnswer;
        if (a[1] > 0x80) return kMbDeviceException + a[2];
    } else if (got < 2) {
        answer.assign(a, a + got);
        answer_length = got;
        return kMbInvalidAnswer;  // no address and function
    }
    if (expected > 2 && read < expected + 2) {
        // Short: handed back, so that the builder can tell whether another attempt may help.
        answer.assign(a, a + got);
        answer_length = got;
        return kMbInvalidAnswer;
    }

    answer.assign(a, a + got);
    answer_length = got;
    return kMbOk;
}

int CLocalModbus::TransactionAscii(const uint8_t* request, size_t length,
                                   std::vector<uint8_t>& answer, size_t& answer_length) {
    const uint8_t lrc = Lrc({request, length});
    const std::string frame = ":" + HexText({request, length}) + HexText({&lrc, 1}) + "\r\n";
    Purge();
    size_t written = 0;
    if (!WriteQuery(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), written) ||
        written < frame.size())
        return kMbWriteError;

    uint32_t current = answer_timeout_.load();
    const uint32_t silent = silent_timeout_.load();
    size_t count = 0;
    bool idle = false;
    CPerformanceCounter idle_watch;
    for (;;) {
        if (count >= kBufferSize) return kMbReadError;
        size_t got = 0;
        if (!ReadAvailable(buffer_ + count, 1, got)) return kMbReadError;
        if (got > 0) {
            if (count == 0) {
                answer_watch_.Mark();
                current = silent;
            }
            count += got;
            idle = false;
            if (count > 5 && buffer_[count - 2] == '\r' && buffer_[count - 1] == '\n') break;
            continue;
        }
        if (!idle) {
            idle = true;
            idle_watch.Start();
        } else if (port_.InputQueued() == 0 && idle_watch.MsSinceStart() >= current) {
            break;
        }
        plat::Sleep(10);
    }
    if (log_ && log_->TraceOn())
        log_->Trace("Ответ %s %i", HexText({buffer_, count}).c_str(),
                    int(answer_watch_.ElapsedMs()));
    if (count == 0) {
        answer_watch_.Mark();
        return kMbTimeout;
    }
    if (count < 5) return kMbCrcError;
    const size_t n = (count - 5) / 2;
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = HexByte(buffer_ + 1 + 2 * i);
    if (Lrc(bytes) != HexByte(buffer_ + count - 4)) return kMbCrcError;
    if (n < 2) return kMbInvalidAnswer;
    if (bytes[1] >= 129) {
        if (n < 3) return kMbInvalidAnswer;
        return kMbDeviceException | bytes[2];
    }
    answer = std::move(bytes);
    answer_length = n;
    return kMbOk;
}

int CLocalModbus::RawExchange(const uint8_t* bytes, size_t count, uint8_t* buffer, size_t size,
                              size_t& got, uint32_t wait_ms) {
    got = 0;
    PortGuard guard(*this);
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
        wait = answer_timeout_.load();
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
