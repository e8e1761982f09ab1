// Frames of the native controller protocol, seen from the controller's side, and the small
// value codecs the frames carry.
//
// Request:  'H' address command data... checksum 'E'
//           checksum = 8-bit sum of 'H', address, command, data and 'E'.
// Answer:   'A' 'H' address command data... checksum 'E'
//           checksum = 8-bit sum of every byte from 'H' to 'E' except the checksum.
// Bare acknowledgement: the single byte 'A'.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zrnsim {

inline constexpr char kRequestStart = 'H';
inline constexpr char kAnswerStart = 'A';
inline constexpr char kFrameEnd = 'E';
// Shortest request: 'H', address, command, checksum, 'E'.
inline constexpr size_t kMinRequest = 5;
// The port keeps at most this many answer bytes; longer requests cannot be genuine either.
inline constexpr size_t kMaxFrame = 255;

uint8_t Sum8(std::string_view bytes);

std::string BuildRequest(uint8_t address, char command, std::string_view data);
// `address_byte` goes out as given (flag bits included) and enters the checksum.
std::string BuildAnswer(uint8_t address_byte, char command, std::string_view data);

enum class FrameError { None, TooShort, TooLong, NoStart, NoEnd, BadChecksum };
const char* FrameErrorText(FrameError e);

struct Request {
    uint8_t address = 0;
    char command = 0;
    std::string data;
};

// One whole request frame; `out` is filled only when the result is None.
FrameError ParseRequest(std::string_view frame, Request& out);

// Cuts a byte stream into request frames. A frame ends at an 'E' whose preceding checksum
// fits the bytes from the latest possible 'H'; bytes before that 'H' are discarded (a frame
// with a bad checksum is thrown away once the next good one arrives, or when the buffer
// would pass kMaxFrame).
class FrameAssembler {
  public:
    void Feed(std::string_view bytes);
    // The next complete frame, if any.
    std::optional<std::string> Next();
    // Bytes thrown away since the last call (unparseable lead-in, broken frames).
    std::string TakeDiscarded();
    // Drops everything buffered (counted as discarded).
    void Flush();
    size_t Buffered() const { return buffer_.size(); }

  private:
    std::string buffer_;
    std::string pending_;  // bytes not yet examined
    std::string discarded_;
};

// Codecs as the service's port defines them.
std::string ByteToNibbles(uint8_t v);                  // high nibble + '0', low nibble + '0'
bool NibblesToByte(std::string_view two, uint8_t& v);  // both in '0'..'?'
uint8_t ByteToBcd(int v);                              // (v div 10) × 16 + v mod 10, 8 bits
int BcdToInt(uint8_t b);                               // high nibble × 10 + low nibble
// A number 0..159 as the byte whose nibble characters read as its decimal digits ("DigitsToByte"
// form): 40 -> 0x40, 120 -> 0xC0 (characters "<0").
uint8_t DigitByte(int v);

// Exactly `width` characters: value ×10000 shown with `decimals` decimals and no point,
// zero-padded, higher digits dropped; negatives show as 0.
std::string FormatFixed(int64_t value, int width, int decimals);
// Decimal digits with `decimals` implied decimals -> value ×10000; nullopt for other text.
std::optional<int64_t> ParseFixed(std::string_view digits, int decimals);

// "48 01 58 39 34 ..  |HX94..|" for traces.
std::string ToHex(std::string_view bytes);

}  // namespace zrnsim
