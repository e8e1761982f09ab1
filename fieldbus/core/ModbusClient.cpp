#include "fieldbus/core/ModbusClient.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "fieldbus/core/Archive.h"
#include "platform/time/clock.h"

namespace mb {

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

// The attempts end at success, a device exception, a check that says stop, or a short answer
// under the request's `stop_below` bytes (the transaction refused it as short).
// decisions FB-23
template <class Check>
int CModbus::RunWithRetries(const pdu::Request& request, uint16_t encapsulation, Check check) {
    if (request.refused != kMbOk) return Finish(request.refused);
    const unsigned attempts = std::max<unsigned>(retries_.load(), 1);
    std::vector<uint8_t> answer;
    int code = kMbOk;
    for (unsigned made = 0; made < attempts;) {
        size_t got = 0;
        code = Transaction(request.bytes.data(), request.bytes.size(), answer, request.expected,
                           encapsulation, got);
        ++made;
        bool stop = false;
        if (code == kMbOk)
            code =
                check(std::span<const uint8_t>(answer.data(), std::min(got, answer.size())), stop);
        if (code == kMbInvalidAnswer && got > 0 && got < request.stop_below) stop = true;
        if (stop || code == kMbOk || IsDeviceException(code)) break;
    }
    return Finish(code);
}

int CModbus::ReadBank(uint8_t address, uint16_t start, uint16_t count, std::vector<uint8_t>& out,
                      uint16_t encapsulation) {
    return RunWithRetries(pdu::ReadBank(address, start, count), encapsulation,
                          [&](std::span<const uint8_t> a, bool&) {
                              return pdu::ReadBankAnswer(a, address, count, out);
                          });
}

int CModbus::ReadHoldingRegisters(uint8_t address, uint16_t start, uint16_t count,
                                  std::vector<uint16_t>& out, uint16_t encapsulation) {
    return RunWithRetries(pdu::ReadHoldingRegisters(address, start, count, encapsulation != 0),
                          encapsulation, [&](std::span<const uint8_t> a, bool&) {
                              return pdu::RegistersAnswer(a, address, count, out);
                          });
}

int CModbus::ReadRegisterPairs(uint8_t address, uint16_t start, uint16_t n,
                               std::vector<uint32_t>& out, uint16_t encapsulation,
                               bool high_word_first) {
    // Two registers a value; more than the register count field can carry cannot be asked.
    if (n > 0x7FFF) return Finish(kMbRequestTooLong);
    std::vector<uint16_t> words;
    const int code =
        ReadHoldingRegisters(address, start, static_cast<uint16_t>(2 * n), words, encapsulation);
    if (code == kMbOk) pdu::RegisterPairs(words, high_word_first, out);
    return code;
}

int CModbus::ReportSlaveId(uint8_t address, std::vector<uint16_t>& out, uint16_t encapsulation) {
    return RunWithRetries(
        pdu::ReportSlaveId(address), encapsulation,
        [&](std::span<const uint8_t> a, bool&) { return pdu::SlaveIdAnswer(a, address, out); });
}

int CModbus::SendEncapsulated(uint8_t address, const uint8_t* payload, size_t length,
                              std::vector<uint8_t>& out, size_t& out_length) {
    out_length = 0;
    const std::span<const uint8_t> data =
        payload != nullptr ? std::span<const uint8_t>(payload, length) : std::span<const uint8_t>();
    return RunWithRetries(pdu::Encapsulated(address, data), 0,
                          [&](std::span<const uint8_t> a, bool&) {
                              const int code = pdu::EncapsulatedAnswer(a, address, out);
                              if (code == kMbOk) out_length = out.size();
                              return code;
                          });
}

int CModbus::WriteMultipleRegisters(uint8_t address, uint16_t start,
                                    std::span<const uint16_t> words, uint16_t encapsulation) {
    const pdu::Request req = pdu::WriteMultipleRegisters(address, start, words);
    return RunWithRetries(req, encapsulation, [&](std::span<const uint8_t> a, bool& stop) {
        return pdu::WriteMultipleAnswer(a, req, stop);
    });
}

int CModbus::WriteSingleRegister(uint8_t address, uint16_t reg, uint16_t value,
                                 uint16_t encapsulation) {
    const pdu::Request req = pdu::WriteSingleRegister(address, reg, value);
    return RunWithRetries(req, encapsulation, [&](std::span<const uint8_t> a, bool& stop) {
        return pdu::WriteSingleAnswer(a, req, stop);
    });
}

int CModbus::ReadExceptionStatus(uint8_t address, uint8_t& out, uint16_t encapsulation) {
    return RunWithRetries(pdu::ReadExceptionStatus(address), encapsulation,
                          [&](std::span<const uint8_t> a, bool& stop) {
                              return pdu::ExceptionStatusAnswer(a, address, out, stop);
                          });
}

int CModbus::Diagnostics(uint8_t address, uint16_t encapsulation) {
    const pdu::Request req = pdu::Diagnostics(address);
    return RunWithRetries(req, encapsulation, [&](std::span<const uint8_t> a, bool&) {
        return pdu::DiagnosticsAnswer(a, req);
    });
}

}  // namespace mb
