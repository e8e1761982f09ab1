// The DA2 server object: the OPC server plus driver control (port status, device search,
// restart, ports on and off) and the registration of emulators that stand in for serial lines.
#pragma once
#include <cstdint>
#include <string>

#include "platform/com/classes.h"
#include "service/host/OPCServer.h"
#include "service/typelib/TypeLib.h"

namespace drv {

// How long browsing waits for a client to name itself a friend, counted from the server's
// creation, and how often it looks.
constexpr uint32_t kClientNameWaitMs = 5000;
constexpr uint32_t kClientNameLookMs = 30;

// The driver's own error texts (English, Russian); null when `code` is not one of them.
const char* DriverErrorText(HRESULT code, plat::LCID lcid);

class TDrvOPCServer : public TOPCServer, public tlb::IDrvControl, public tlb::IHWEmuReg {
  public:
    static ComPtr<TDrvOPCServer> Create() { return TOPCServer::Create<TDrvOPCServer>(); }

    // IDrvControl
    HRESULT GetThreadState(int8_t PortNum, int32_t* State, int32_t* PassesCount) override;
    HRESULT SetSearchMode(int8_t bSearch) override;
    HRESULT Restart() override;
    HRESULT SetUsePort(int32_t PortNum, int8_t Use) override;

    // IHWEmuReg
    HRESULT Reg(int32_t PortNum, int32_t* Protocol, tlb::IHWEmu* HWEmu) override;
    HRESULT Unreg(int32_t PortNum) override;

    std::string GetErrorText(HRESULT code, plat::LCID lcid) override;
    // Waits (bounded) until the client is a friend, so that a friend which names itself just
    // after connecting browses with its rights.
    void WaitForClientName() override;

  protected:
    friend class TOPCServer;
    TDrvOPCServer() = default;
    void* FindInterface(const IID& iid) override;
};

// The DA2 class object: a new server per creation.
plat::ComPtr<plat::IClassFactory> MakeDrvOPCServerFactory();
// Puts it in the class table; the cookie, 0 when DA2 already has one.
uint32_t RegisterDrvOPCServerClass();

}  // namespace drv
