// The error texts of the OPC objects, and the failures of calls into an OPC client that the
// server and its groups share.
#pragma once
#include <atomic>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/types/hresult.h"
#include "platform/types/variant.h"

namespace drv {

// A failed call into a client's callback.
class EClientError : public std::runtime_error {
  public:
    EClientError(std::string_view method, plat::HRESULT hr);
    plat::HRESULT Code() const { return hr_; }

  private:
    plat::HRESULT hr_;
};

// The run of failed calls into one client: a failure raises EClientError; the first good call
// after failures logs the recovery.
class TClientCalls {
  public:
    void Check(std::string_view method, plat::HRESULT hr);
    bool Failing() const { return failing_.load(); }

  private:
    std::atomic<bool> failing_{false};
};

// The error tables, outside any server: the server's 24 rows, then the platform's texts.
std::string OPCErrorText(plat::HRESULT code, plat::LCID lcid);

}  // namespace drv
