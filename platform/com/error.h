// Error texts that travel with a failing HRESULT (the platform's error info), and the mapping
// of exceptions to HRESULTs at an object boundary.
#pragma once
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/types/hresult.h"

namespace plat {

// An exception that names its HRESULT. Anything else thrown across an object boundary
// becomes E_UNEXPECTED with the exception's text.
class ComError : public std::runtime_error {
  public:
    ComError(HRESULT hr, const std::string& text) : std::runtime_error(text), hr_(hr) {}
    HRESULT Code() const { return hr_; }

  private:
    HRESULT hr_;
};

// The calling thread's error text (UTF-8). A method sets it before returning a failure; the
// transport carries it to the caller, where a failing call leaves it for GetErrorText. A
// call that fails without a text clears it.
void SetErrorText(std::string_view text);
std::string GetErrorText();
void ClearErrorText();

// Inside a catch block: the HRESULT for the exception being handled; its text becomes the
// thread's error text. ComError keeps its code; other exceptions give E_UNEXPECTED.
HRESULT HresultFromCurrentException();

}  // namespace plat
