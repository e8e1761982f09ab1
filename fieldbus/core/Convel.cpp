#include "fieldbus/core/Convel.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "fieldbus/core/Checksum.h"
#include "fieldbus/core/LogFile.h"
#include "platform/time/clock.h"

namespace mb {

namespace ser = plat::serial;

namespace convel {

namespace {

bool NeedsEscape(uint8_t b) {
    return b == kStart || b == kEnd || b == kEscape;
}

}  // namespace

uint16_t Crc16Arc(std::span<const uint8_t> bytes) {
    uint16_t crc = 0;
    for (uint8_t b : bytes) crc = (crc >> 8) ^ kCrc16Table[(crc ^ b) & 0xFF];
    return crc;
}

uint8_t Crc8Maxim(std::span<const uint8_t> bytes) {
    uint8_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : crc >> 1;
    }
    return crc;
}

std::vector<uint8_t> EncodeFrame(std::span<const uint8_t> header_and_data) {
    const uint16_t crc = Crc16Arc(header_and_data);
    std::vector<uint8_t> out;
    out.reserve(header_and_data.size() * 2 + 6);
    out.push_back(kStart);
    auto put = [&out](uint8_t b) {
        if (NeedsEscape(b)) {
            out.push_back(kEscape);
            out.push_back(static_cast<uint8_t>(b ^ 0x20));
        } else {
            out.push_back(b);
        }
    };
    for (uint8_t b : header_and_data) put(b);
    put(static_cast<uint8_t>(crc & 0xFF));
    put(static_cast<uint8_t>(crc >> 8));
    out.push_back(kEnd);
    return out;
}

void AnswerReader::Reset() {
    started_ = false;
    escaped_ = false;
    collected_.clear();
}

AnswerReader::Status AnswerReader::Feed(uint8_t byte) {
    if (!started_) {
        if (byte != kStart) return kBadStart;
        started_ = true;
        return kMore;
    }
    if (escaped_) {
        escaped_ = false;
        byte ^= 0x20;
    } else if (byte == kEscape) {
        escaped_ = true;
        return kMore;
    } else if (byte == kEnd) {
        return kDone;
    }
    if (collected_.size() >= kMaxCollected) return kTooLong;
    collected_.push_back(byte);
    return kMore;
}

int CheckAnswer(std::span<const uint8_t> collected, const uint8_t source[2],
                const uint8_t destination[2]) {
    // Shorter than header and CRC is no answer at all ("~|" would pass the CRC: that of
    // nothing is 0).
    // decisions FB-28
    if (collected.size() < kHeaderSize + 2) return kInvalid;
    if (Crc16Arc(collected) != 0) return kCrcError;
    if (collected[0] != source[0] || collected[1] != source[1] || collected[2] != destination[0] ||
        collected[3] != destination[1])
        return kInvalid;
    return kOk;
}

int DecodeAnswer(std::span<const uint8_t> stream, const uint8_t source[2],
                 const uint8_t destination[2], std::vector<uint8_t>& collected, size_t& used) {
    AnswerReader reader;
    collected.clear();
    used = 0;
    for (uint8_t b : stream) {
        ++used;
        switch (reader.Feed(b)) {
            case AnswerReader::kMore:
                continue;
            case AnswerReader::kBadStart:
                return kInvalid;
            case AnswerReader::kTooLong:
                return plat::OPC_E_RANGE;
            case AnswerReader::kDone:
                collected = reader.Collected();
                return CheckAnswer(collected, source, destination);
        }
    }
    return kTimeout;
}

}  // namespace convel

// ---------------------------------------------------------------------------------------------
// CConvelProtocol

void CConvelProtocol::SetMaxLength(size_t block) {
    block_ = std::clamp<size_t>(block, 1, convel::kDefaultBlock);
}

void CConvelProtocol::Failed(long rc) {
    line_->ClearErrors();
    if (rc == ser::ERROR_GEN_FAILURE) line_->Close();
}

int CConvelProtocol::Write(const uint8_t* bytes, size_t count) {
    size_t written = 0;
    const uint64_t within =
        uint64_t{timeouts_.write_total_multiplier} * count + timeouts_.write_total_constant;
    const long rc =
        line_->Write(bytes, count, written, static_cast<uint32_t>(std::min<uint64_t>(within, ~0u)));
    if (rc != plat::ERROR_SUCCESS) {
        Failed(rc);
        return convel::kWriteError;
    }
    return written == count ? convel::kOk : convel::kWriteError;
}

int CConvelProtocol::ReadByte(uint8_t& byte) {
    const LineRead r = ReadByRecord(*line_, &byte, 1, timeouts_);
    if (r.error != plat::ERROR_SUCCESS) {
        Failed(r.error);
        return convel::kReadError;
    }
    return r.got == 1 ? convel::kOk : convel::kTimeout;
}

int CConvelProtocol::ReadAnswer(std::vector<uint8_t>& collected) {
    convel::AnswerReader reader;
    for (;;) {
        uint8_t b = 0;
        const int rc = ReadByte(b);
        if (rc != convel::kOk) return rc;
        switch (reader.Feed(b)) {
            case convel::AnswerReader::kMore:
                continue;
            case convel::AnswerReader::kBadStart:
                if (log_ != nullptr) log_->Trace("Error BYTE %X", unsigned{b});
                return convel::kInvalid;
            case convel::AnswerReader::kTooLong:
                return plat::OPC_E_RANGE;
            case convel::AnswerReader::kDone:
                collected = reader.Collected();
                if (log_ != nullptr && log_->TraceOn())
                    log_->Trace("%s",
                                HexText({collected.data(), std::min<size_t>(collected.size(), 255)})
                                    .c_str());
                return convel::CheckAnswer(collected, source_, destination_);
        }
    }
}

int CConvelProtocol::SendBlock(const std::vector<uint8_t>& body, std::vector<uint8_t>& collected) {
    const std::vector<uint8_t> frame = convel::EncodeFrame(body);
    if (log_ != nullptr && log_->TraceOn()) {
        // The frame as it would be without escapes.
        std::vector<uint8_t> plain;
        plain.reserve(body.size() + 4);
        plain.push_back(convel::kStart);
        plain.insert(plain.end(), body.begin(), body.end());
        const uint16_t crc = convel::Crc16Arc(body);
        plain.push_back(static_cast<uint8_t>(crc & 0xFF));
        plain.push_back(static_cast<uint8_t>(crc >> 8));
        plain.push_back(convel::kEnd);
        log_->Trace("%s", HexText({plain.data(), std::min<size_t>(plain.size(), 255)}).c_str());
    }
    PurgeInput();
    const int rc = Write(frame.data(), frame.size());
    if (rc != convel::kOk) return rc;
    return ReadAnswer(collected);
}

int CConvelProtocol::Exchange(uint8_t command, std::span<const uint8_t> data,
                              uint8_t& answer_command, std::vector<uint8_t>& answer_data) {
    answer_command = 0;
    answer_data.clear();
    if (line_ == nullptr) return plat::E_FAIL;
    uint8_t sequence = 0;
    size_t offset = 0;
    std::vector<uint8_t> body;
    std::vector<uint8_t> collected;
    for (;;) {
        const size_t n = std::min(block_, data.size() - offset);
        const bool last = offset + n == data.size();
        body.assign({destination_[0], destination_[1], source_[0], source_[1], command,
                     static_cast<uint8_t>(last ? (sequence | convel::kLastBlock) : sequence)});
        body.insert(body.end(), data.begin() + static_cast<ptrdiff_t>(offset),
                    data.begin() + static_cast<ptrdiff_t>(offset + n));
        int rc = convel::kOk;
        for (int sends = 1;; ++sends) {
            rc = SendBlock(body, collected);
            if (rc != convel::kOk) return rc;
            if (collected[4] != convel::kCmdResend || sends >= 3) break;
        }
        answer_command = collected[4];
        if (!last) {
            if (answer_command != convel::kCmdNextBlock) return convel::kInvalid;
            offset += n;
            sequence = static_cast<uint8_t>((sequence + 1) & 0x0F);
            continue;
        }
        if (answer_command != command && answer_command != convel::kCmdDone)
            return convel::kInvalid;
        answer_data.assign(collected.begin() + convel::kHeaderSize, collected.end() - 2);
        return convel::kOk;
    }
}

int CConvelProtocol::ExpectOk() {
    uint8_t reply[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        const int rc = ReadByte(reply[i]);
        if (rc != convel::kOk) {
            if (log_ != nullptr) log_->Error("{0D730412-8E8C-43d3-A0F9-291CB97698C4} %d %d", rc, i);
            return plat::E_FAIL;
        }
    }
    return reply[0] == 'O' && reply[1] == 'K' ? convel::kOk : convel::kFailed;
}

int CConvelProtocol::SendData(uint8_t command, std::span<const uint8_t> data) {
    if (line_ == nullptr) return plat::E_FAIL;
    std::vector<uint8_t> raw;
    raw.reserve(data.size() + 2);
    raw.push_back(command);
    raw.insert(raw.end(), data.begin(), data.end());
    raw.push_back(convel::Crc8Maxim(data));
    PurgeInput();
    if (Write(raw.data(), raw.size()) != convel::kOk) return convel::kFailed;
    return ExpectOk();
}

int CConvelProtocol::SendCommandByte() {
    if (line_ == nullptr) return plat::E_FAIL;
    const uint8_t cc = 0xCC;
    PurgeInput();
    if (Write(&cc, 1) != convel::kOk) return convel::kFailed;
    return ExpectOk();
}

// ---------------------------------------------------------------------------------------------
// CLocalConvel

namespace {

constexpr ser::Timeouts kNonBlocking{ser::MAXDWORD, 0, 0, 0, 0};

}  // namespace

CLocalConvel::CLocalConvel(CLogFile* log)
    : log_(log),
      line_(std::make_unique<CSerialLine>()),
      protocol_(std::make_unique<CConvelProtocol>(line_.get(), log)) {}

CLocalConvel::~CLocalConvel() {
    Close();
}

bool CLocalConvel::IsOpen() const {
    return line_->IsOpen();
}

// decisions FB-26
long CLocalConvel::Open(int port, uint32_t baud, uint8_t parity) {
    if (IsOpen()) Close();
    port_number_ = port;
    if (baud == 0) return plat::ERROR_INVALID_PARAMETER;
    protocol_->SetTimeouts(CConvelProtocol::kTimeouts);
    return line_->Open(PlainLineConfig(port, baud, parity));
}

bool CLocalConvel::Close() {
    if (line_->IsOpen()) line_->Purge(true, true);
    if (line_->Close() && log_ != nullptr) log_->Trace("{1B268ECF-8493-4744-B5AF-3F2339FD853B})");
    return true;
}

bool CLocalConvel::Purge() {
    return IsOpen() && line_->Purge(true, true);
}

bool CLocalConvel::SetTimeout(const ser::Timeouts* timeouts) {
    if (!IsOpen()) return false;
    const ser::Timeouts t = timeouts != nullptr ? *timeouts : kNonBlocking;
    if (timeouts != nullptr && log_ != nullptr)
        log_->Trace("SetTimeout %i %i %i %i %i", int(t.read_interval), int(t.read_total_multiplier),
                    int(t.read_total_constant), int(t.write_total_multiplier),
                    int(t.write_total_constant));
    protocol_->SetTimeouts(t);
    return true;
}

bool CLocalConvel::GetTimeouts(ser::Timeouts& out) {
    if (!IsOpen()) {
        out = {};
        return false;
    }
    out = protocol_->Timeouts();
    return true;
}

std::string CLocalConvel::GetErrorText(int code) {
    switch (code) {
        case 0:
            return "OK";
        case 1:
            return "Timeout";
        case 2:
            return "Invalid Response";
        case 3:
            return "CRC Error";
        default:
            return "Unknown";
    }
}

int CLocalConvel::CheckLink(uint8_t address) {
    try {
        plat::Sleep(5);
        if (!FramedMode()) return convel::kOk;
        protocol_->SetMaxLength(180);
        protocol_->SetAddress(address, 1);
        static constexpr uint8_t kProbe[] = {0xAA, 0xBB, 0xCC, 0xDF};
        uint8_t command = 0;
        std::vector<uint8_t> answer;
        const int rc = protocol_->Exchange(1, kProbe, command, answer);
        if (rc != convel::kOk) {
            if (log_ != nullptr) log_->Info("{5DE5D589-23F5-4ebb-AA23-42A6082FA9A7}");
            return rc;
        }
        if (command != 1) {
            if (log_ != nullptr) log_->Info("{BEBF337A-D042-4089-82F6-BA4B21EBBFC4}");
            return convel::kInvalid;
        }
        static constexpr uint8_t kEcho[] = {0xAA, 0xBB, 0xCC, 0xDF, 0x00};
        if (answer.size() < sizeof kEcho ||
            !std::equal(std::begin(kEcho), std::end(kEcho), answer.begin()))
            return convel::kInvalid;
        return convel::kOk;
    } catch (...) {
        if (log_ != nullptr) log_->Error("Ошибка#%u.", 0u);
        return convel::kTimeout;
    }
}

int CLocalConvel::Request(uint8_t first, uint8_t second, uint8_t command,
                          std::span<const uint8_t> data) {
    try {
        if (data.size() >= 3501) {
            if (log_ != nullptr)
                log_->Warning("{51754234-4150-4427-85CE-797ADD0B2E9A} %d", int(data.size()));
            return plat::OPC_E_RANGE;
        }
        if (!IsOpen()) {
            if (log_ != nullptr) log_->Warning("{49DDADCD-C110-4a00-A81F-F5F95F42FCCA}");
            return convel::kFailed;
        }
        protocol_->SetMaxLength(180);
        protocol_->SetAddress(second, first);
        uint8_t answer_command = 0;
        std::vector<uint8_t> answer;
        const int rc = protocol_->Exchange(command, data, answer_command, answer);
        if (rc != convel::kOk) {
            if (log_ != nullptr) log_->Trace("{9145D4C3-A597-46b7-AEC0-F0D66E16B8C4}");
            return convel::kFailed;
        }
        if (answer_command != command) {
            if (log_ != nullptr) log_->Warning("{C9A71C5E-89D9-467b-8701-28BFC5A9511A}");
            return convel::kFailed;
        }
        return convel::kOk;
    } catch (...) {
        if (log_ != nullptr) log_->Warning("Ошибка#%u.", 0u);
        return plat::E_FAIL;
    }
}

int CLocalConvel::WriteData(std::span<const uint8_t> bytes) {
    try {
        if (!IsOpen()) {
            if (log_ != nullptr) log_->Warning("{F050D618-50F3-4b93-B940-80DFDF0A421E}");
            return convel::kFailed;
        }
        int rc = protocol_->SendCommandByte();
        if (rc != convel::kOk) {
            if (log_ != nullptr) log_->Trace("{B49C2B2C-FDC4-4bed-8C96-BC79B1F4C1C7}");
            return rc;
        }
        rc = protocol_->SendData(0x42, bytes);
        if (rc != convel::kOk) {
            if (log_ != nullptr) log_->Trace("{8D07F903-754B-45d4-8B9C-80733BB21B8E}");
            return convel::kFailed;
        }
        return convel::kOk;
    } catch (...) {
        if (log_ != nullptr) log_->Warning("Ошибка#%u.", 0u);
        return plat::E_FAIL;
    }
}

}  // namespace mb
