#include "platform/com/error.h"

#include <exception>
#include <new>

namespace plat {

namespace {
thread_local std::string t_error_text;
}

void SetErrorText(std::string_view text) {
    t_error_text.assign(text);
}
std::string GetErrorText() {
    return t_error_text;
}
void ClearErrorText() {
    t_error_text.clear();
}

HRESULT HresultFromCurrentException() {
    try {
        throw;
    } catch (const ComError& e) {
        SetErrorText(e.what());
        return e.Code();
    } catch (const std::bad_alloc&) {
        SetErrorText("Out of memory");
        return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        SetErrorText(e.what());
        return E_UNEXPECTED;
    } catch (...) {
        SetErrorText("Unknown exception");
        return E_UNEXPECTED;
    }
}

}  // namespace plat
