// libFuzzer target: arbitrary text as the stored "Parameters" string, read by the port manager
// as the service reads it at start (no port kind has a factory here, so nothing is started),
// then looked up and edited pair by pair.
//
// Input: the string up to the first NUL; behind it, NUL-separated edits "KEY=value" (an
// edit without '=' removes that key).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/registry/registry.h"
#include "platform/sysroot/sysroot.h"
#include "service/core/ports/PortManager.h"

namespace {

std::string g_root;

void RemoveRoot() {
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
}

constexpr std::string_view kKeys[] = {"PORT",          "PROTOCOL",    "DEFSHIFT", "ADDRSPACE",
                                      "EXITTIMEOUT",   "FLATPOSTS",   "COM1",     "COM2",
                                      "COM32",         "SHIFT1",      "SHIFT32",  "DISABLEALLPORTS",
                                      "RESTRICTUSERS", "PROTOCOLPATH"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_root = "/dev/shm/norvalt-parfuzz-" + std::to_string(::getpid());
    if (!std::filesystem::exists("/dev/shm"))
        g_root = "/tmp/norvalt-parfuzz-" + std::to_string(::getpid());
    std::filesystem::create_directories(g_root);
    std::atexit(RemoveRoot);
    plat::SetSystemRoot(g_root);
    plat::reg::SetErrorReporter([](const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const size_t nul = in.find('\0');
    const std::string_view text = in.substr(0, nul);

    for (auto key : kKeys) {
        const std::string v = drv::GetParamValue(key, text);
        if (v.size() > 20 || v.find(' ') != std::string::npos) __builtin_trap();
    }

    drv::WriteParameters(std::string(text));
    drv::StartPorts();
    (void)drv::ExitTimeout();
    (void)drv::HighestPostNumber();
    for (int com = 1; com <= drv::kPortCount; ++com) (void)drv::PortDescription(com);

    if (nul != std::string_view::npos) {
        std::string_view rest = in.substr(nul + 1);
        while (!rest.empty()) {
            const size_t end = rest.find('\0');
            const std::string_view edit = rest.substr(0, end);
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
            const size_t eq = edit.find('=');
            const std::string_view key = edit.substr(0, eq);
            const std::string_view value =
                eq == std::string_view::npos ? std::string_view() : edit.substr(eq + 1);
            drv::SetParamValue(key, value);
            (void)drv::GetParam(key);
        }
        for (auto key : kKeys) (void)drv::GetParam(key);
        drv::RestartChangedPorts();
    }
    drv::StopPorts();
    return 0;
}
