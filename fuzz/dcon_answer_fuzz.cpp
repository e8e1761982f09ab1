// libFuzzer target: arbitrary text as a DCON module's answer to the status and value queries.
// Nothing may crash; a good result comes only from a well-formed answer.
//
// Input: byte 0 the module address; the rest is the answer.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fieldbus/core/Icpcon.h"

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string answer(reinterpret_cast<const char*>(data + 1), size - 1);
    namespace dc = mb::dcon;

    const std::string status_cmd = dc::StatusCommand(data[0]);
    uint8_t status = 0;
    const int s = dc::ParseStatus(answer, status_cmd, status);
    Check(s == dc::kOk || s == dc::kTimeout || s == dc::kBadAnswer || s == dc::kBadAddress);
    if (s == dc::kOk)
        Check(answer.size() == 6 && answer[0] == '!' &&
              answer.substr(1, 2) == status_cmd.substr(1, 2) && answer.back() == '\r');

    const std::string value_cmd = dc::ValueCommand(data[0]);
    float v[3] = {1, 2, 3};
    const int r = dc::ParseValues(answer, value_cmd, v);
    Check(r == dc::kOk || r == dc::kRefused || r == dc::kTimeout || r == dc::kBadAnswer ||
          r == dc::kBadAddress);
    if (r == dc::kOk) {
        Check(answer.size() == 22 && answer.back() == '\r' && answer[0] != '?');
        for (float f : v) Check(std::isfinite(f));
    }
    if (r == dc::kRefused) Check(answer[0] == '?' && answer.back() == '\r');
    return 0;
}
