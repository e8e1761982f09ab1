// Native protocol frames written from the frame rules, independently of the code under test.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace testsupport {

inline uint8_t Sum8(std::string_view s) {
    unsigned v = 0;
    for (unsigned char c : s) v += c;
    return static_cast<uint8_t>(v);
}

inline std::string RequestFrame(uint8_t addr, uint8_t cmd, std::string_view data) {
    std::string f = "H";
    f += static_cast<char>(addr);
    f += static_cast<char>(cmd);
    f += data;
    f += static_cast<char>(Sum8(f) + 'E');
    f += 'E';
    return f;
}

// An answer; `cs_delta` shifts its checksum (0 is the correct one).
inline std::string AnswerFrame(uint8_t addr, uint8_t cmd, std::string_view data, int cs_delta = 0) {
    std::string body = "H";
    body += static_cast<char>(addr);
    body += static_cast<char>(cmd);
    body += data;
    std::string f = "A" + body;
    f += static_cast<char>(Sum8(body) + 'E' + cs_delta);
    f += 'E';
    return f;
}

}  // namespace testsupport
