// The service's exception classes. Many messages are GUID tags that identify the call site.
#pragma once
#include <stdexcept>
#include <string>

namespace drv {

class Exception : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class EOutOfMemory : public Exception {
  public:
    using Exception::Exception;
};

// A failing platform call; carries the system error code.
class EOSError : public Exception {
  public:
    EOSError(int code, const std::string& what) : Exception(what), code_(code) {}
    int Code() const { return code_; }

  private:
    int code_;
};

}  // namespace drv
