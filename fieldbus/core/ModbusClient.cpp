#include "fieldbus/core/ModbusClient.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "fieldbus/core/Archive.h"
#include "fieldbus/core/ComLine.h"
#include "fieldbus/core/LogFile.h"
#include "fieldbus/core/ModbusLine.h"
#include "platform/time/clock.h"

namespace mb {

namespace ser = plat::serial;

namespace {

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

CLocalModbus::CLocalModbus(CLogFile* port_log)
    : CLocalModbus(std::make_unique<CSerialModbusLine>(), port_log) {}

CLocalModbus::CLocalModbus(std::unique_ptr<IModbusLine> line, CLogFile* port_log)
    : log_(port_log), line_(std::move(line)) {
    line_->Attach(*this);
}

CLocalModbus::~CLocalModbus() {
    line_->Shutdown();
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

bool CLocalModbus::IsOpen() const {
    return line_->IsOpen();
}

bool CLocalModbus::Open(int port, uint32_t baud, uint8_t parity, long& error) {
    return line_->Open(port, baud, parity, error);
}

bool CLocalModbus::Close() {
    return line_->Close();
}

bool CLocalModbus::SetTimeout(const ser::Timeouts* timeouts) {
    return line_->SetTimeout(timeouts);
}

bool CLocalModbus::GetTimeouts(ser::Timeouts& out) {
    return line_->GetTimeouts(out);
}

bool CLocalModbus::Purge() {
    return line_->Purge();
}

bool CLocalModbus::WriteQuery(const uint8_t* frame, size_t length, size_t& written) {
    return line_->Write(frame, length, written);
}

bool CLocalModbus::ReadAvailable(uint8_t* buffer, size_t size, size_t& count) {
    return line_->ReadAvailable(buffer, size, count);
}

ReadResult CLocalModbus::ReadLineAnswer(uint8_t* buffer, size_t capacity, size_t& count,
                                        size_t expected, size_t sent) {
    // The answer proper starts behind the echo; the echo does not count against its 255 bytes.
    const size_t first = echo_.load() ? sent : 0;
    size_t cap = std::min(capacity, first + kMaxAnswer);
    if (expected >= 3) cap = std::min(cap, expected);
    return line_->ReadAnswer(buffer, capacity, cap, first, count);
}

bool CLocalModbus::ReadAnswer(uint8_t* buffer, size_t capacity, size_t& count, size_t expected,
                              size_t sent) {
    return ReadLineAnswer(buffer, capacity, count, expected, sent) != ReadResult::kFailed;
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
    const ReadResult read_result = ReadLineAnswer(buffer_, sizeof buffer_, count, limit, sent);
    if (read_result == ReadResult::kFailed) return kMbReadError;
    if (read_result == ReadResult::kTooLong) {
        // An answer longer than any RTU frame is a broken answer, not silence.
        answer_watch_.Mark();
        return kMbInvalidAnswer;
    }
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
        } else if (line_->InputQueued() == 0 && idle_watch.MsSinceStart() >= current) {
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
    return line_->RawExchange(bytes, count, buffer, size, got, wait_ms);
}

}  // namespace mb
