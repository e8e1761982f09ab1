// Windows-compatible result codes. Numeric values are the published ones, because they cross
// process boundaries and are stored by clients.
#pragma once
#include <cstdint>

namespace plat {

using HRESULT = int32_t;

constexpr HRESULT MakeHr(uint32_t v) {
    return static_cast<HRESULT>(v);
}
constexpr bool Succeeded(HRESULT hr) {
    return hr >= 0;
}
constexpr bool Failed(HRESULT hr) {
    return hr < 0;
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHr(0x80004001);
constexpr HRESULT E_NOINTERFACE = MakeHr(0x80004002);
constexpr HRESULT E_POINTER = MakeHr(0x80004003);
constexpr HRESULT E_ABORT = MakeHr(0x80004004);
constexpr HRESULT E_FAIL = MakeHr(0x80004005);
constexpr HRESULT E_UNEXPECTED = MakeHr(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = MakeHr(0x80070005);
constexpr HRESULT E_HANDLE = MakeHr(0x80070006);
constexpr HRESULT E_OUTOFMEMORY = MakeHr(0x8007000E);
constexpr HRESULT E_INVALIDARG = MakeHr(0x80070057);

constexpr HRESULT DISP_E_BADVARTYPE = MakeHr(0x80020008);
constexpr HRESULT DISP_E_OVERFLOW = MakeHr(0x8002000A);
constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHr(0x80020005);
constexpr HRESULT DISP_E_DIVBYZERO = MakeHr(0x80020012);

constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHr(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHr(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHr(0x80040154);
constexpr HRESULT CO_E_SERVER_STOPPING = MakeHr(0x80004008);
constexpr HRESULT CONNECT_E_NOCONNECTION = MakeHr(0x80040200);
constexpr HRESULT CONNECT_E_ADVISELIMIT = MakeHr(0x80040201);
constexpr HRESULT CONNECT_E_CANNOTCONNECT = MakeHr(0x80040202);
constexpr HRESULT RPC_E_DISCONNECTED = MakeHr(0x80010108);
constexpr HRESULT RPC_E_SERVERFAULT = MakeHr(0x80010105);
// decisions PLAT-RPC-9
constexpr HRESULT RPC_E_INVALID_DATA = MakeHr(0x8001000F);
constexpr HRESULT OLE_E_ADVISENOTSUPPORTED = MakeHr(0x80040003);
constexpr HRESULT OLE_E_NOCONNECTION = MakeHr(0x80040004);
constexpr HRESULT DV_E_FORMATETC = MakeHr(0x80040064);

// OPC Data Access error codes.
constexpr HRESULT OPC_E_INVALIDHANDLE = MakeHr(0xC0040001);
constexpr HRESULT OPC_E_BADTYPE = MakeHr(0xC0040004);
constexpr HRESULT OPC_E_PUBLIC = MakeHr(0xC0040005);
constexpr HRESULT OPC_E_BADRIGHTS = MakeHr(0xC0040006);
constexpr HRESULT OPC_E_UNKNOWNITEMID = MakeHr(0xC0040007);
constexpr HRESULT OPC_E_INVALIDITEMID = MakeHr(0xC0040008);
constexpr HRESULT OPC_E_INVALIDFILTER = MakeHr(0xC0040009);
constexpr HRESULT OPC_E_UNKNOWNPATH = MakeHr(0xC004000A);
constexpr HRESULT OPC_E_RANGE = MakeHr(0xC004000B);
constexpr HRESULT OPC_E_DUPLICATENAME = MakeHr(0xC004000C);
constexpr HRESULT OPC_S_UNSUPPORTEDRATE = MakeHr(0x0004000D);
constexpr HRESULT OPC_S_CLAMP = MakeHr(0x0004000E);
constexpr HRESULT OPC_S_INUSE = MakeHr(0x0004000F);
constexpr HRESULT OPC_E_INVALIDCONFIGFILE = MakeHr(0xC0040010);
constexpr HRESULT OPC_E_NOTFOUND = MakeHr(0xC0040011);
constexpr HRESULT OPC_E_INVALID_PID = MakeHr(0xC0040203);

// Win32 error codes used by the registry and the serial ports.
constexpr long ERROR_SUCCESS = 0;
constexpr long ERROR_FILE_NOT_FOUND = 2;
constexpr long ERROR_PATH_NOT_FOUND = 3;
constexpr long ERROR_ACCESS_DENIED = 5;
constexpr long ERROR_INVALID_HANDLE = 6;
constexpr long ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr long ERROR_INVALID_DATA = 13;
constexpr long ERROR_SHARING_VIOLATION = 32;
constexpr long ERROR_INVALID_PARAMETER = 87;
constexpr long ERROR_MORE_DATA = 234;
constexpr long ERROR_NO_MORE_ITEMS = 259;
constexpr long ERROR_BADDB = 1009;
constexpr long ERROR_BADKEY = 1010;
constexpr long ERROR_CANTREAD = 1012;
constexpr long ERROR_CANTWRITE = 1013;
constexpr long ERROR_KEY_DELETED = 1018;

// Turns a Win32 error code into an HRESULT (FACILITY_WIN32).
constexpr HRESULT HresultFromWin32(long e) {
    return e <= 0 ? static_cast<HRESULT>(e)
                  : MakeHr((static_cast<uint32_t>(e) & 0xFFFFu) | (7u << 16) | 0x80000000u);
}

}  // namespace plat
