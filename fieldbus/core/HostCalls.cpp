#include "fieldbus/core/HostCalls.h"

#include "fieldbus/core/LogFile.h"

namespace mb {

namespace {

// Runs `call` with the callback when there is one; a throw is reported through `report`.
template <class Fn, class Call, class Report>
bool Guarded(Fn fn, CLogFile* log, Call&& call, Report&& report) {
    if (fn == nullptr) return false;
    try {
        call(fn);
        return true;
    } catch (...) {
        if (log != nullptr) report(*log);
        return false;
    }
}

// The report of a callback whose tag is fixed.
auto Tagged(const char* tag, const char* own) {
    return [text = tag != nullptr ? tag : own](CLogFile& log) { log.Error("%s", text); };
}

}  // namespace

bool CHostCalls::SearchWanted() const {
    return table_ != nullptr && table_->pSearchFlag != nullptr && table_->pSearchFlag->load() == 1;
}

bool CHostCalls::ItemFind(const char16_t* name, int16_t& is_leaf, int32_t& parent, int32_t& handle,
                          CLogFile* log, const char* tag) const {
    handle = -1;
    if (table_ == nullptr) return false;
    int32_t found = -1;
    const bool ok = Guarded(
        table_->pItemFind, To(log), [&](PItemFind f) { found = f(name, &is_leaf, &parent); },
        Tagged(tag, "{EEEEEEEE-098D-4e03} pItemFind"));
    if (ok) handle = found;
    return ok;
}

bool CHostCalls::ItemCreate(IModbusItem* item, const char16_t* name, plat::VARTYPE vt,
                            uint8_t access, int32_t parent, const char* description,
                            int32_t& handle, CLogFile* log, const char* tag) const {
    handle = -1;
    if (table_ == nullptr) return false;
    int32_t made = -1;
    const bool ok = Guarded(
        table_->pItemCreate, To(log),
        [&](PItemCreate f) {
            int32_t out = -1;
            made = f(item, name, vt, access, parent, description, &out);
        },
        Tagged(tag, "{FFFFFF-098D-4e03} pItemCreate"));
    if (ok) handle = made;
    return ok;
}

bool CHostCalls::ItemDestroy(int32_t handle, CLogFile* log, const char* tag) const {
    if (table_ == nullptr) return false;
    return Guarded(
        table_->pItemDestroy, To(log), [&](PItemDestroy f) { f(handle); },
        [&](CLogFile& l) {
            if (tag != nullptr)
                l.Error("%s", tag);
            else
                l.Error("pItemDestroy %d", handle);
        });
}

bool CHostCalls::ParentCreate(const char16_t* name, int32_t parent, int32_t& handle, CLogFile* log,
                              const char* tag) const {
    handle = -1;
    if (table_ == nullptr) return false;
    int32_t made = -1;
    const bool ok = Guarded(
        table_->pParentCreate, To(log), [&](PParentCreate f) { made = f(name, parent); },
        Tagged(tag, "pParentCreate"));
    if (ok) handle = made;
    return ok;
}

bool CHostCalls::CmdNewID(int32_t& id, CLogFile* log, const char* tag) const {
    id = 0;
    if (table_ == nullptr) return false;
    int32_t got = 0;
    const bool ok = Guarded(
        table_->pCmdNewID, To(log), [&](PCmdNewID f) { got = f(); },
        Tagged(tag, "{1EA0FAAC-3202-4e99-ACB0-CEB94AF2BC08} pCmdNewID"));
    if (ok) id = got;
    return ok;
}

bool CHostCalls::CmdSetResult(int32_t id, int32_t result, CLogFile* log) const {
    if (table_ == nullptr) return false;
    return Guarded(
        table_->pCmdSetResult, To(log), [&](PCmdSetResult f) { f(id, result); },
        Tagged(nullptr, "{98550170-6C9A-41e7-B4F5-2EB09A5C7110} pCmdSetResult"));
}

bool CHostCalls::CmdIsCancelled(int32_t id, CLogFile* log) const {
    if (table_ == nullptr) return false;
    uint8_t cancelled = 0;
    return Guarded(
               table_->pCmdIsCancelled, To(log), [&](PCmdIsCancelled f) { cancelled = f(id); },
               [&](CLogFile& l) { l.Error("pCmdIsCancelled %d", id); }) &&
           cancelled == 1;
}

bool CHostCalls::NewSample(int32_t handle, const plat::Variant& value, uint16_t quality,
                           const plat::FILETIME& time, CLogFile* log) const {
    if (table_ == nullptr) return false;
    return Guarded(
        table_->pNewSample, To(log), [&](PNewSample f) { f(handle, &value, quality, &time); },
        Tagged(nullptr, "{41EC84A0-BA67-4c76-8FEC-129D83746BD5} pNewSample"));
}

bool CHostCalls::UpdateTS(int32_t handle, const plat::FILETIME& time, CLogFile* log) const {
    if (table_ == nullptr) return false;
    return Guarded(
        table_->pUpdateTS, To(log), [&](PUpdateTS f) { f(handle, &time); },
        Tagged(nullptr, "{8D609CAE-09DF-407d-A35D-62EE322C3F84} pUpdateTS"));
}

}  // namespace mb
