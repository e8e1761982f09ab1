#include "service/host/DrvOPCServer.h"

#include <new>

#include "fieldbus/core/HostApi.h"
#include "platform/com/error.h"
#include "platform/time/clock.h"
#include "service/core/controllers/PollThread.h"
#include "service/core/logs/ProtocolLog.h"
#include "service/core/ports/EmulatorTable.h"
#include "service/core/ports/PortManager.h"
#include "service/core/ports/SystemItems.h"

namespace drv {

namespace {

// The write and command results share their numbers with the field-bus library and with the
// client interface's names: clients compare against them.
static_assert(mb::HostCode(mb::WriteResult::kTimedOut) == tlb::E_TIMEOUT);
static_assert(mb::HostCode(mb::WriteResult::kNotIdle) == tlb::E_INCOMPATIBLESTATE);
static_assert(mb::HostCode(mb::WriteResult::kBadVariable) == tlb::E_BADVARIABLE);

constexpr uint32_t Code(int32_t v) {
    return static_cast<uint32_t>(v);
}
constexpr uint32_t Code(mb::WriteResult r) {
    return Code(mb::HostCode(r));
}

struct DriverErrorRow {
    uint32_t code;
    const char* en;
    const char* ru;
};

constexpr DriverErrorRow kDriverErrors[] = {
    {Code(mb::WriteResult::kNotIdle), "Requested actions available only on idle state (State = 0)",
     "Команда может быть выполнена только в состоянии бездействия (State = 0)"},
    {Code(mb::WriteResult::kRefused), "Requested post can not be inactivated at this time",
     "Запрошенный пост не может сейчас быть активизирован"},
    {Code(mb::WriteResult::kTimedOut), "Timeout reached", "Превышено время ожидания"},
    {Code(tlb::E_NOANSWER), "No answer from device", "Нет ответа от устройства"},
    {Code(tlb::E_UNKNOWNPOST), "Post with this number unknown", "Нет поста с указанным номером"},
    {Code(mb::WriteResult::kBadVariable), "Requested variable is unknown",
     "Указанный параметр не существует"},
    {Code(tlb::E_BAD_QUALITY_ON_SET_DOZE), "Process can not begun when bad quality tags exist",
     "Нельзя отдавать команду на начало отпуска при неудовлетворительном качестве переменных"},
    {Code(tlb::E_ADDRCONFLICT), "Can't write address value conflicted with other device",
     "Невозможна запись адреса, равного адресу другого устройства"},
    {Code(mb::WriteResult::kCaptureRefused), "Can't lock device. It is locked by other process",
     "Невозможно захватить устройство, оно уже используется другим процессом"},
    {0xFFFFFFF5, "Can't lock device. It is busy",
     "Невозможно захватить устройство, оно находится в недопустимом состоянии"},
};

// Primary language 25 (0x19) is Russian, whatever the sublanguage.
bool Russian(plat::LCID lcid) {
    return (lcid & 0x3FF) == 0x19;
}

// GetThreadState's answer for a number that is no port.
// decisions HOST-61
constexpr int32_t kNoSuchPort = -3;

bool ValidPort(int32_t port) {
    return port >= 1 && port <= kPortCount;
}

template <class F>
HRESULT Guarded(const char* tag, F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return plat::E_OUTOFMEMORY;
    } catch (...) {
        ProtocolCurrentException(tag);
        return plat::HresultFromCurrentException();
    }
}

}  // namespace

const char* DriverErrorText(HRESULT code, plat::LCID lcid) {
    for (const DriverErrorRow& r : kDriverErrors)
        if (r.code == static_cast<uint32_t>(code)) return Russian(lcid) ? r.ru : r.en;
    return nullptr;
}

std::string TDrvOPCServer::GetErrorText(HRESULT code, plat::LCID lcid) {
    if (const char* text = DriverErrorText(code, lcid)) return text;
    return TOPCServer::GetErrorText(code, lcid);
}

void TDrvOPCServer::WaitForClientName() {
    while (ClientKind() != kClientFriend &&
           plat::TickDiff(plat::GetTickCount(), StartTick()) < kClientNameWaitMs)
        plat::Sleep(kClientNameLookMs);
}

void* TDrvOPCServer::FindInterface(const IID& iid) {
    if (iid == tlb::IID_IDrvControl) return static_cast<tlb::IDrvControl*>(this);
    if (iid == tlb::IID_IHWEmuReg) return static_cast<tlb::IHWEmuReg*>(this);
    return TOPCServer::FindInterface(iid);
}

// --- IDrvControl ---------------------------------------------------------------------------------

HRESULT TDrvOPCServer::GetThreadState(int8_t PortNum, int32_t* State, int32_t* PassesCount) {
    if (!State || !PassesCount) return plat::E_POINTER;
    if (!ValidPort(PortNum)) {
        *State = kNoSuchPort;
        *PassesCount = 0;
        return plat::S_OK;
    }
    // -2: configured, waiting for its device; -1: not started.
    // decisions HOST-66
    *State = PortStatus(PortNum - 1);
    *PassesCount = PortInfo(PortNum - 1);
    return plat::S_OK;
}

// decisions HOST-60
HRESULT TDrvOPCServer::SetSearchMode(int8_t bSearch) {
    WriteProtocolLine(
        "OPCServer " + std::to_string(Number()) + " SetSearchMode " + std::to_string(bSearch),
        PL_INFO);
    if (bSearch != 0) {
        // A new search counts its passes from zero.
        for (int i = 0; i < kPortCount; ++i) SetPortInfoCell(i, 0);
    }
    // The field-bus library searches only while the flag is exactly 1, so a client's TRUE
    // (-1 as a variant boolean) is stored as 1.
    SearchMode().store(bSearch != 0 ? 1 : 0);
    return plat::S_OK;
}

HRESULT TDrvOPCServer::Restart() {
    return Guarded("DrvOPCServer Restart", [&] {
        WriteProtocolLine("OPCServer " + std::to_string(Number()) + " Restart", PL_INFO);
        // A string that cannot be read stops nothing: the ports go on with the one they run.
        // decisions HOST-62
        if (const long rc = ReloadParameters(); rc != plat::ERROR_SUCCESS) {
            plat::SetErrorText("Parameters cannot be read, registry error " + std::to_string(rc));
            return plat::HresultFromWin32(rc);
        }
        RestartChangedPorts();
        RefreshSystemItems();
        return plat::S_OK;
    });
}

HRESULT TDrvOPCServer::SetUsePort(int32_t PortNum, int8_t Use) {
    WriteProtocolLine("OPCServer " + std::to_string(Number()) + " SetUsePort " +
                          std::to_string(PortNum) + " " + std::to_string(Use),
                      PL_INFO);
    if (!Privileged()) return plat::E_ACCESSDENIED;
    return Guarded("DrvOPCServer SetUsePort", [&] { return UsePort(PortNum, Use != 0); });
}

// --- IHWEmuReg -----------------------------------------------------------------------------------

HRESULT TDrvOPCServer::Reg(int32_t PortNum, int32_t* Protocol, tlb::IHWEmu* HWEmu) {
    WriteProtocolLine("OPCServer " + std::to_string(Number()) + " Reg " + std::to_string(PortNum),
                      PL_INFO);
    if (!ValidPort(PortNum)) return plat::E_INVALIDARG;
    if (Protocol) *Protocol = 0;
    return Guarded("DrvOPCServer Reg", [&] {
        SetEmulator(PortNum, plat::ComPtr<tlb::IHWEmu>(HWEmu));
        return plat::S_OK;
    });
}

HRESULT TDrvOPCServer::Unreg(int32_t PortNum) {
    WriteProtocolLine("OPCServer " + std::to_string(Number()) + " Unreg " + std::to_string(PortNum),
                      PL_INFO);
    if (!ValidPort(PortNum)) return plat::E_INVALIDARG;
    return Guarded("DrvOPCServer Unreg", [&] {
        SetEmulator(PortNum, nullptr);
        return plat::S_OK;
    });
}

// --- class object --------------------------------------------------------------------------------

plat::ComPtr<plat::IClassFactory> MakeDrvOPCServerFactory() {
    return plat::MakeCom<plat::FunctionClassFactory>([](const IID& iid, void** out) -> HRESULT {
        ComPtr<TDrvOPCServer> server = TDrvOPCServer::Create();
        return static_cast<TOPCServer*>(server.Get())->QueryInterface(iid, out);
    });
}

uint32_t RegisterDrvOPCServerClass() {
    plat::ComPtr<plat::IClassFactory> f = MakeDrvOPCServerFactory();
    return plat::RegisterClassObject(tlb::CLSID_DA2, f.Get());
}

}  // namespace drv
