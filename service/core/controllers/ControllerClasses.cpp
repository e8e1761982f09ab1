#include "service/core/controllers/ControllerClasses.h"

#include <atomic>

namespace drv {

namespace {

struct ProgramRow {
    uint8_t family;
    uint8_t version;
    TorkClass cls;
    bool newest;
};

// Scanned from the last row to the first.
constexpr ProgramRow kPrograms[] = {
    {1, 44, TorkClass::T1, false},    {1, 55, TorkClass::T1, false},
    {1, 68, TorkClass::T1, false},    {1, 69, TorkClass::T1, true},
    {1, 97, TorkClass::T1, true},     {1, 98, TorkClass::T1, true},
    {1, 102, TorkClass::T1, true},    {1, 103, TorkClass::T1, true},
    {2, 68, TorkClass::T1, false},    {2, 69, TorkClass::T1, true},
    {2, 97, TorkClass::T1, true},     {2, 102, TorkClass::T1, true},
    {10, 64, TorkClass::T10, false},  {10, 66, TorkClass::T10, false},
    {10, 67, TorkClass::T10, false},  {10, 68, TorkClass::T10, false},
    {10, 74, TorkClass::T10, false},  {10, 83, TorkClass::T10, false},
    {10, 85, TorkClass::T10, false},  {10, 96, TorkClass::T10, false},
    {10, 105, TorkClass::T10, false}, {10, 108, TorkClass::T10, true},
    {19, 105, TorkClass::T10, true},  {19, 108, TorkClass::T10, true},
    {30, 12, TorkClass::T30, false},  {30, 65, TorkClass::T30, false},
    {30, 67, TorkClass::T30, false},  {40, 4, TorkClass::T40, false},
    {40, 5, TorkClass::T40, false},   {40, 8, TorkClass::T40, false},
    {40, 51, TorkClass::T40, false},  {40, 54, TorkClass::T40, false},
    {40, 58, TorkClass::T40, false},  {40, 65, TorkClass::T40, false},
    {40, 66, TorkClass::T40, false},  {40, 67, TorkClass::T40, false},
    {40, 68, TorkClass::T40, false},  {40, 70, TorkClass::T40, false},
    {40, 71, TorkClass::T40, false},  {40, 72, TorkClass::T40, true},
    {40, 74, TorkClass::T40, true},   {46, 105, TorkClass::T46, true},
    {20, 78, TorkClass::T20, false},  {20, 101, TorkClass::T46, true},
    {41, 4, TorkClass::T40, true},    {30, 68, TorkClass::T30, true},
    {32, 69, TorkClass::T30, true},   {90, 1, TorkClass::T46, true},
    {90, 2, TorkClass::T46, true},    {20, 104, TorkClass::T46, true},
    {47, 106, TorkClass::T46, true},  {90, 3, TorkClass::T46, true},
    {90, 4, TorkClass::TFF, true},    {90, 5, TorkClass::TFF, true},
    {90, 6, TorkClass::TFF, true},    {90, 7, TorkClass::TFF, true},
    {90, 8, TorkClass::TFF, true},    {90, 9, TorkClass::TFF, true},
    {90, 10, TorkClass::TFF, true},   {90, 11, TorkClass::TFF, true},
    {90, 12, TorkClass::TFF, true},   {90, 13, TorkClass::TFF, true},
    {90, 14, TorkClass::TFF, true},   {90, 15, TorkClass::TFF, true},
    {90, 16, TorkClass::TFF, true},   {90, 17, TorkClass::TFF, true},
    {90, 18, TorkClass::TFF, true},
};
static_assert(sizeof(kPrograms) / sizeof(kPrograms[0]) == 67);

std::atomic<TorkFactory> g_installed[kTorkClassCount];
std::atomic<TorkFactory> g_overrides[kTorkClassCount];
std::atomic<TorkFallbackFactory> g_fallback{nullptr};

}  // namespace

ProgramMatch FindProgram(uint8_t family, uint8_t version) {
    ProgramMatch m;
    for (int row = 66; row >= 0; --row) {
        const ProgramRow& r = kPrograms[row];
        if (r.family != family) continue;
        m.family_known = true;
        if (r.version == version) {
            m.found = true;
            m.cls = r.cls;
            return m;
        }
        if (r.newest) m.newest = r.version;
    }
    return m;
}

void InstallTorkClass(TorkClass cls, TorkFactory factory) {
    g_installed[static_cast<int>(cls)].store(factory);
}

void InstallTorkFallback(TorkFallbackFactory factory) {
    g_fallback.store(factory);
}

void RegisterTorkClass(TorkClass cls, TorkFactory factory) {
    g_overrides[static_cast<int>(cls)].store(factory);
}

ComPtr<TBasicTork> CreateTork(TorkClass cls, const TorkCreateArgs& args) {
    const int i = static_cast<int>(cls);
    if (TorkFactory f = g_overrides[i].load()) return f(args);
    if (TorkFactory f = g_installed[i].load()) return f(args);
    return {};
}

ComPtr<TBasicTork> CreateTorkX(const TorkCreateArgs& args, bool newer_program,
                               const std::string& program_id, bool reprobe) {
    if (TorkFallbackFactory f = g_fallback.load())
        return f(args, newer_program, program_id, reprobe);
    return {};
}

}  // namespace drv
