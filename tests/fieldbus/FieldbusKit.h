// Shared pieces of the field-bus tests: a line on a pseudo-terminal registered as COM7, frame
// helpers written from the protocol rules (not from the library), and the settings string.
#pragma once
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fieldbus/core/LogFile.h"
#include "fieldbus/core/ModbusClient.h"
#include "platform/registry/registry.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempRoot.h"

namespace fbtest {

constexpr int kCom = 7;

// Bitwise CRC-16/MODBUS, independent of the library's table.
inline uint16_t RefCrc(const std::string& bytes) {
    uint16_t crc = 0xFFFF;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

inline std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b) s += static_cast<char>(v);
    return s;
}

// The bytes with their CRC appended, low byte first.
inline std::string WithCrc(const std::string& body) {
    uint16_t c = RefCrc(body);
    return body + static_cast<char>(c & 0xFF) + static_cast<char>(c >> 8);
}
inline std::string Frame(std::initializer_list<int> b) {
    return WithCrc(Bytes(b));
}

inline std::string Hex(const std::string& s) {
    static const char* d = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

inline void SetParameters(const std::string& value) {
    ASSERT_EQ(plat::reg::WriteString(plat::reg::Hive::LocalMachine, mb::kSettingsKey,
                                     mb::kSettingsValue, value),
              plat::ERROR_SUCCESS);
}

inline std::string ReadText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            out.push_back(text.substr(pos));
            break;
        }
        out.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return out;
}

// Digits where `pattern` has '9', the same character elsewhere.
inline bool MatchesPattern(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (pattern[i] == '9' ? !std::isdigit(static_cast<unsigned char>(text[i]))
                              : text[i] != pattern[i])
            return false;
    }
    return true;
}
// A log line: "HH:MM:SS:mmm " and some text.
inline bool IsLogLine(const std::string& line) {
    return line.size() > 13 && MatchesPattern(line.substr(0, 13), "99:99:99:999 ");
}

inline double MsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// A Modbus client on COM7 with the far end of the line in the test's hands. The port log
// "NorvaltDrv7.lg" traces every frame into <root>/logs.
class LineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetParameters("PROTOCOL=4 PROTOCOLPATH=" + root_.Path() + "/logs");
        log_ = std::make_unique<mb::CLogFile>("NorvaltDrv7.lg");
        mb_ = std::make_unique<mb::CLocalModbus>(log_.get());
        long error = -1;
        ASSERT_TRUE(mb_->Open(kCom, 19200, 0, error));
        ASSERT_EQ(error, 0);
    }
    void TearDown() override {
        mb_.reset();
        log_.reset();
    }
    std::string LogText() { return ReadText(root_.Path() + "/logs/NorvaltDrv7.lg1"); }
    // Requests the far end sees within `ms` (the line is quiet otherwise).
    std::string Drain(int ms) { return pty_.ReadFar(4096, ms); }

    testsupport::TempRoot root_;
    testsupport::PtyPair pty_{kCom};
    std::unique_ptr<mb::CLogFile> log_;
    std::unique_ptr<mb::CLocalModbus> mb_;
};

}  // namespace fbtest
