#include "service/core/ports/PortStatus.h"

#include <atomic>

namespace drv {

namespace {

bool ValidIndex(int i) {
    return i >= 0 && i < kPortCount;
}

}  // namespace

TPortStatusTable& TPortStatusTable::Get() {
    static TPortStatusTable table;
    return table;
}

int32_t TPortStatusTable::Status(int i) const {
    return ValidIndex(i) ? std::atomic_ref<int32_t>(status_[i]).load() : kPortNotOpen;
}
int32_t TPortStatusTable::Info(int i) const {
    return ValidIndex(i) ? std::atomic_ref<int32_t>(info_[i]).load() : 0;
}
void TPortStatusTable::SetStatus(int i, int32_t v) {
    if (ValidIndex(i)) std::atomic_ref<int32_t>(status_[i]).store(v);
}
void TPortStatusTable::SetInfo(int i, int32_t v) {
    if (ValidIndex(i)) std::atomic_ref<int32_t>(info_[i]).store(v);
}
int32_t* TPortStatusTable::StatusAddress(int i) {
    return ValidIndex(i) ? &status_[i] : nullptr;
}
int32_t* TPortStatusTable::InfoAddress(int i) {
    return ValidIndex(i) ? &info_[i] : nullptr;
}

int32_t PortStatus(int i) {
    return TPortStatusTable::Get().Status(i);
}
int32_t PortInfo(int i) {
    return TPortStatusTable::Get().Info(i);
}
void SetPortStatusCell(int i, int32_t v) {
    TPortStatusTable::Get().SetStatus(i, v);
}
void SetPortInfoCell(int i, int32_t v) {
    TPortStatusTable::Get().SetInfo(i, v);
}
int32_t* PortStatusCellAddress(int i) {
    return TPortStatusTable::Get().StatusAddress(i);
}
int32_t* PortInfoCellAddress(int i) {
    return TPortStatusTable::Get().InfoAddress(i);
}

}  // namespace drv
