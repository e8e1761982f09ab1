#include "service/core/logs/ParameterText.h"

#include <algorithm>

#include "platform/types/wstr.h"

namespace drv {

namespace {

// Position of "KEY=" at the start of the text or after a blank, or npos.
size_t FindPair(std::string_view key, std::string_view text) {
    const std::string pattern = plat::AsciiUpper(key) + "=";
    const std::string upper = plat::AsciiUpper(text);
    size_t pos = 0;
    while ((pos = upper.find(pattern, pos)) != std::string::npos) {
        if (pos == 0 || upper[pos - 1] == ' ') return pos;
        ++pos;
    }
    return std::string::npos;
}

}  // namespace

std::string GetParamValue(std::string_view key, std::string_view text, size_t max_len) {
    size_t pos = FindPair(key, text);
    if (pos == std::string::npos) return {};
    std::string_view v = text.substr(pos + key.size() + 1);
    v = v.substr(0, std::min(v.size(), max_len));
    size_t blank = v.find(' ');
    if (blank != std::string_view::npos) v = v.substr(0, blank);
    return std::string(v);
}

std::string WithParamValue(std::string s, std::string_view key, std::string_view value) {
    {
        const std::string pair = plat::AsciiUpper(key) + "=" + std::string(value);
        size_t pos = FindPair(key, s);
        if (pos != std::string::npos && !value.empty()) {
            // The old pair runs to the next blank, however long its value was.
            size_t end = s.find(' ', pos);
            if (end == std::string::npos) end = s.size();
            s.replace(pos, end - pos, pair);
        } else if (pos != std::string::npos) {
            // A later repeat of the key would otherwise surface as its value.
            for (; pos != std::string::npos; pos = FindPair(key, s)) {
                size_t end = s.find(' ', pos);
                if (end == std::string::npos) end = s.size();
                size_t from = pos > 0 ? pos - 1 : pos;
                size_t to = pos > 0 ? end : std::min(end + 1, s.size());
                s.erase(from, to - from);
            }
        } else if (!value.empty()) {
            s += s.empty() ? pair : " " + pair;
        }
    }
    return s;
}

}  // namespace drv
