#include "fieldbus/core/Icpcon.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "fieldbus/core/LogFile.h"
#include "platform/types/hresult.h"

namespace mb {

namespace ser = plat::serial;

namespace dcon {

namespace {

std::string Address(uint8_t address) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", unsigned{address});
    return buf;
}

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A whole field as a number; false for anything else.
bool Number(std::string_view field, float& out) {
    if (!field.empty() && field.front() == '+') field.remove_prefix(1);
    if (field.empty() || field.front() == '+') return false;
    float v = 0;
    const auto r = std::from_chars(field.data(), field.data() + field.size(), v);
    if (r.ec != std::errc() || r.ptr != field.data() + field.size() || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

}  // namespace

std::string StatusCommand(uint8_t address) {
    return "$" + Address(address) + "I\r";
}

std::string ValueCommand(uint8_t address) {
    return "#" + Address(address) + "0\r";
}

int CheckAnswer(std::string_view answer, std::string_view command, size_t expected) {
    if (answer.empty()) return kTimeout;
    const bool ends_cr = answer.back() == '\r';
    if (answer.size() < expected && !ends_cr) return kTimeout;
    if (answer.size() < 3 || command.size() < 3 || answer.substr(1, 2) != command.substr(1, 2))
        return kBadAddress;
    if (!ends_cr) return kBadAnswer;
    return kOk;
}

int ParseStatus(std::string_view answer, std::string_view command, uint8_t& status) {
    const int code = CheckAnswer(answer, command, kStatusAnswer);
    if (code != kOk) return code;
    if (answer.front() != '!' || answer.size() != kStatusAnswer) return kBadAnswer;
    const int hi = Hex(answer[3]), lo = Hex(answer[4]);
    if (hi < 0 || lo < 0) return kBadAnswer;
    status = static_cast<uint8_t>(hi << 4 | lo);
    return kOk;
}

int ParseValues(std::string_view answer, std::string_view command, float out[3], bool* read) {
    if (read != nullptr) read[0] = read[1] = read[2] = false;
    const int code = CheckAnswer(answer, command, kValueAnswer);
    if (code != kOk) return code;
    const bool refused = answer.front() == '?';
    const bool whole = answer.size() == kValueAnswer;
    if (!refused && !whole) return kBadAnswer;
    float v[3] = {0, 0, 0};
    bool got[3] = {false, false, false};
    for (int i = 0; i < 3 && whole; ++i) {
        got[i] = Number(answer.substr(3 + 6 * static_cast<size_t>(i), 6), v[i]);
        if (!got[i] && !refused) return kBadAnswer;
    }
    for (int i = 0; i < 3; ++i) out[i] = v[i];
    if (read != nullptr)
        for (int i = 0; i < 3; ++i) read[i] = got[i];
    return refused ? kRefused : kOk;
}

}  // namespace dcon

namespace {

// Reads end 50 ms after a byte or 50 ms a byte plus 1 s after they began; writes get 100 ms a
// byte plus 1 s.
// decisions FB-71
constexpr ser::Timeouts kDconTimeouts{50, 50, 1000, 100, 1000};
constexpr int kValueTries = 3;

std::string Printable(const std::string& s) {
    std::string out;
    for (char c : s) out += c == '\r' ? ' ' : c;
    return out;
}

}  // namespace

CLocalICPCON::CLocalICPCON(CLogFile* log) : log_(log) {}

CLocalICPCON::~CLocalICPCON() {
    Close();
}

long CLocalICPCON::Open(int port, uint32_t baud, uint8_t parity) {
    if (IsOpen()) Close();
    port_number_ = port;
    if (baud == 0) return plat::ERROR_INVALID_PARAMETER;
    return line_.Open(PlainLineConfig(port, baud, parity));
}

bool CLocalICPCON::Close() {
    if (line_.IsOpen()) line_.Purge(true, true);
    if (line_.Close() && log_ != nullptr) log_->Trace("{D0AF84DB-A676-4255-9B02-FF5EB96A1B75})");
    return true;
}

uint32_t CLocalICPCON::ClearLineErrors() {
    return line_.ClearErrors();
}

std::string CLocalICPCON::GetErrorText(int code) {
    switch (code) {
        case dcon::kOk:
            return "OK";
        case dcon::kTimeout:
            return "Таймаут";
        case dcon::kWriteError:
            return "Ошибка записи в порт";
        case dcon::kReadError:
            return "Ошибка чтения из порта";
        case dcon::kBadAnswer:
            return "Неверный ответ(CR)";
        case dcon::kBadAddress:
            return "Неверный адрес ответа";
        default:
            return {};
    }
}

int CLocalICPCON::Query(const std::string& command, size_t expected, std::string& answer) {
    answer.clear();
    if (!line_.Purge(true, true) && log_ != nullptr) log_->Info("Ошибка ClearBuffers");
    size_t written = 0;
    long rc =
        line_.Write(reinterpret_cast<const uint8_t*>(command.data()), command.size(), written,
                    static_cast<uint32_t>(kDconTimeouts.write_total_multiplier * command.size() +
                                          kDconTimeouts.write_total_constant));
    if (rc != plat::ERROR_SUCCESS) {
        // Line failures are reported as such: a raw platform value or error bit would read
        // as another DCON code.
        if (log_ != nullptr) log_->Warning("Write_Error1-%x", unsigned(rc));
        ClearLineErrors();
        if (rc == ser::ERROR_GEN_FAILURE) Close();
        return dcon::kWriteError;
    }
    if (written != command.size()) {
        if (log_ != nullptr)
            log_->Warning("Write_Error2-%u %u", unsigned(command.size()), unsigned(written));
        return dcon::kTimeout;
    }
    if (log_ != nullptr) log_->Trace("Запрос %s", Printable(command).c_str());
    // Until the expected count, or a CR ends a shorter answer (a refusal "?AA\r"), or the
    // port's time-outs pass without a byte.
    // decisions DEV-20, FB-30
    uint8_t buf[dcon::kValueAnswer];
    while (answer.size() < expected) {
        const size_t want = std::min(expected - answer.size(), sizeof buf);
        const LineRead r = ReadByRecord(line_, buf, want, kDconTimeouts);
        const size_t got = r.got;
        rc = r.error;
        answer.append(reinterpret_cast<const char*>(buf), got);
        if (rc != plat::ERROR_SUCCESS) {
            if (log_ != nullptr) log_->Warning("Read_Error1-%x", unsigned(rc));
            ClearLineErrors();
            if (rc == ser::ERROR_GEN_FAILURE) Close();
            return dcon::kReadError;
        }
        if (got == 0 || answer.back() == '\r') break;
    }
    if (answer.size() < expected && (answer.empty() || answer.back() != '\r') && log_ != nullptr)
        log_->Trace("Read_Error2-%u %u", unsigned(answer.size()), unsigned(expected));
    if (log_ != nullptr) log_->Trace("Ответ %s", Printable(answer).c_str());
    const int code = dcon::CheckAnswer(answer, command, expected);
    if (log_ != nullptr) log_->Info("%s", GetErrorText(code).c_str());
    return code;
}

int CLocalICPCON::ReadStatus(uint8_t address, uint8_t& status) {
    try {
        const std::string command = dcon::StatusCommand(address);
        std::string answer;
        const int code = Query(command, dcon::kStatusAnswer, answer);
        if (code != dcon::kOk) return code;
        return dcon::ParseStatus(answer, command, status);
    } catch (...) {
        if (log_ != nullptr) log_->Error("Ошибка#%u", 0u);
        return plat::E_FAIL;
    }
}

int CLocalICPCON::ReadParameter(uint8_t address, float out[3], bool* read) {
    if (read != nullptr) read[0] = read[1] = read[2] = false;
    try {
        const std::string command = dcon::ValueCommand(address);
        int code = dcon::kTimeout;
        for (int i = 0; i < kValueTries; ++i) {
            std::string answer;
            code = Query(command, dcon::kValueAnswer, answer);
            if (code == dcon::kOk) code = dcon::ParseValues(answer, command, out, read);
            if (code == dcon::kOk || code == dcon::kRefused) return code;
        }
        return code;
    } catch (...) {
        if (log_ != nullptr) log_->Error("ReadParameter#%u", 0u);
        return plat::E_FAIL;
    }
}

}  // namespace mb
