#include "tools/zrnsim/Frame.h"

#include <cstdio>
#include <utility>

namespace zrnsim {

uint8_t Sum8(std::string_view bytes) {
    uint8_t s = 0;
    for (char c : bytes) s = static_cast<uint8_t>(s + static_cast<uint8_t>(c));
    return s;
}

std::string BuildRequest(uint8_t address, char command, std::string_view data) {
    std::string f;
    f.reserve(data.size() + kMinRequest);
    f += kRequestStart;
    f += static_cast<char>(address);
    f += command;
    f += data;
    f += static_cast<char>(Sum8(f) + static_cast<uint8_t>(kFrameEnd));
    f += kFrameEnd;
    return f;
}

std::string BuildAnswer(uint8_t address_byte, char command, std::string_view data) {
    std::string body;
    body += kRequestStart;
    body += static_cast<char>(address_byte);
    body += command;
    body += data;
    std::string f(1, kAnswerStart);
    f += body;
    f += static_cast<char>(Sum8(body) + static_cast<uint8_t>(kFrameEnd));
    f += kFrameEnd;
    return f;
}

const char* FrameErrorText(FrameError e) {
    switch (e) {
        case FrameError::None:
            return "ok";
        case FrameError::TooShort:
            return "too short";
        case FrameError::TooLong:
            return "too long";
        case FrameError::NoStart:
            return "no 'H' at the start";
        case FrameError::NoEnd:
            return "no 'E' at the end";
        case FrameError::BadChecksum:
            return "bad checksum";
    }
    return "?";
}

FrameError ParseRequest(std::string_view frame, Request& out) {
    if (frame.size() < kMinRequest) return FrameError::TooShort;
    if (frame.size() > kMaxFrame) return FrameError::TooLong;
    if (frame.front() != kRequestStart) return FrameError::NoStart;
    if (frame.back() != kFrameEnd) return FrameError::NoEnd;
    uint8_t expect = static_cast<uint8_t>(Sum8(frame.substr(0, frame.size() - 2)) +
                                          static_cast<uint8_t>(kFrameEnd));
    if (static_cast<uint8_t>(frame[frame.size() - 2]) != expect) return FrameError::BadChecksum;
    out.address = static_cast<uint8_t>(frame[1]);
    out.command = frame[2];
    out.data.assign(frame.substr(3, frame.size() - kMinRequest));
    return FrameError::None;
}

void FrameAssembler::Feed(std::string_view bytes) {
    pending_.append(bytes);
}

std::optional<std::string> FrameAssembler::Next() {
    while (!pending_.empty()) {
        char c = pending_.front();
        pending_.erase(0, 1);
        if (buffer_.empty() && c != kRequestStart) {
            discarded_ += c;
            continue;
        }
        buffer_ += c;
        if (c == kFrameEnd && buffer_.size() >= kMinRequest) {
            // Shortest candidate first: 'H' never occurs in an address, command or data
            // character of a genuine frame, and joining a broken frame to the next good one
            // could pass the checksum by chance (1 in 256).
            Request r;
            for (size_t p = buffer_.size() - kMinRequest + 1; p-- > 0;) {
                if (buffer_[p] != kRequestStart) continue;
                if (ParseRequest(std::string_view(buffer_).substr(p), r) == FrameError::None) {
                    discarded_.append(buffer_, 0, p);
                    std::string frame = buffer_.substr(p);
                    buffer_.clear();
                    return frame;
                }
            }
        }
        if (buffer_.size() >= kMaxFrame) {
            // Keep the tail from the next 'H' on; what precedes it can never become a frame.
            size_t next = buffer_.find(kRequestStart, 1);
            size_t cut = next == std::string::npos ? buffer_.size() : next;
            discarded_.append(buffer_, 0, cut);
            buffer_.erase(0, cut);
        }
    }
    return std::nullopt;
}

std::string FrameAssembler::TakeDiscarded() {
    return std::exchange(discarded_, {});
}

void FrameAssembler::Flush() {
    discarded_ += buffer_;
    discarded_ += pending_;
    buffer_.clear();
    pending_.clear();
}

std::string ByteToNibbles(uint8_t v) {
    return {static_cast<char>('0' + (v >> 4)), static_cast<char>('0' + (v & 0x0F))};
}

bool NibblesToByte(std::string_view two, uint8_t& v) {
    if (two.size() != 2) return false;
    for (char c : two)
        if (c < '0' || c > '?') return false;
    v = static_cast<uint8_t>((two[0] - '0') * 16 + (two[1] - '0'));
    return true;
}

uint8_t ByteToBcd(int v) {
    return static_cast<uint8_t>((v / 10) * 16 + v % 10);
}

int BcdToInt(uint8_t b) {
    return (b >> 4) * 10 + (b & 0x0F);
}

uint8_t DigitByte(int v) {
    if (v < 0) v = 0;
    if (v > 159) v = 159;
    return static_cast<uint8_t>((v / 10) << 4 | v % 10);
}

namespace {
int64_t Pow10(int n) {
    int64_t p = 1;
    while (n-- > 0) p *= 10;
    return p;
}
}  // namespace

std::string FormatFixed(int64_t value, int width, int decimals) {
    if (width <= 0) return {};
    if (value < 0) value = 0;
    if (decimals > 4)
        value *= Pow10(decimals - 4);
    else
        value /= Pow10(4 - decimals);
    std::string s(static_cast<size_t>(width), '0');
    for (int i = width - 1; i >= 0 && value > 0; --i, value /= 10)
        s[static_cast<size_t>(i)] = static_cast<char>('0' + value % 10);
    return s;
}

std::optional<int64_t> ParseFixed(std::string_view digits, int decimals) {
    if (digits.empty() || digits.size() > 15) return std::nullopt;
    int64_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (decimals > 4) return v / Pow10(decimals - 4);
    return v * Pow10(4 - decimals);
}

std::string ToHex(std::string_view bytes) {
    std::string hex, text;
    char buf[4];
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        std::snprintf(buf, sizeof buf, "%02X ", b);
        hex += buf;
        text += (b >= 0x20 && b < 0x7F) ? c : '.';
    }
    if (!hex.empty()) hex.pop_back();
    return hex + "  |" + text + "|";
}

}  // namespace zrnsim
