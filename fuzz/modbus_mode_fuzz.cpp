// libFuzzer target: the field-bus library's two readings of host text. The input up to the
// first NUL is a mode string of MBCreateThread; the whole input (up to a NUL) is also read as
// "Parameters" for the flat-posts flag, which must agree with the port manager's reading.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fieldbus/core/App.h"
#include "service/core/ports/PortManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* mode = text.c_str();  // ends at the first NUL

    mb::PortMode m;
    const mb::ModeError error = mb::ParseMode(mode, m);
    if (error == mb::ModeError::kNone) {
        const size_t length = std::strlen(mode);
        if (m.protocol < 0 || m.protocol > 2 || (m.parity != 0 && m.parity != 2)) std::abort();
        if (m.baud < 9600 || m.baud > 256000) std::abort();
        if (m.emulation != (length >= 4 && mode[length - 1] == 'E')) std::abort();
    } else if (m.baud != 0 || m.emulation) {
        std::abort();  // a refused mode reports nothing
    }
    if (*mb::ModeErrorTag(error) == '\0' && error != mb::ModeError::kNone) std::abort();

    const std::string_view parameters(mode, std::strlen(mode));
    const int32_t flat = mb::FlatPostsFromParameters(parameters);
    const int32_t owner = drv::GetParamValue("FLATPOSTS", parameters) != "0" ? 1 : 0;
    if (flat != owner) std::abort();
    return 0;
}
