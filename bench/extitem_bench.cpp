// Samples of a field-bus variable reaching its item through the host callback, against the
// same samples stored straight into a native leaf: the callback's handle lookup and checks
// should cost little beside the store itself (target: at least 0.75 of the native rate).
#include <benchmark/benchmark.h>

#include "service/core/items/ExternalItems.h"
#include "service/core/items/ItemTree.h"

namespace {

// A library variable that is never called back here: the samples only flow to the host.
class SilentVar : public mb::IModbusItem {
  public:
    plat::HRESULT QueryInterface(const plat::IID&, void**) override { return plat::E_NOINTERFACE; }
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override { return --refs_; }
    plat::HRESULT RequestRead() override { return plat::S_OK; }
    int32_t Write(const plat::Variant&) override { return 0; }
    plat::HRESULT RequestRefresh() override { return plat::S_OK; }
    plat::HRESULT SetUpdateRequest(int32_t) override { return plat::S_OK; }
    plat::HRESULT QueryAvailableProperties(uint32_t* count, uint32_t**, char16_t***,
                                           plat::VARTYPE**) override {
        *count = 0;
        return plat::S_OK;
    }
    plat::HRESULT GetItemProperties(uint32_t, const uint32_t*, plat::LCID, plat::Variant**,
                                    plat::HRESULT**) override {
        return plat::E_FAIL;
    }

  private:
    uint32_t refs_ = 0;
};

class NativeLeaf : public drv::TLeafItem {
  public:
    NativeLeaf() : TLeafItem("V", plat::VT_R8) {}
    uint8_t AccessRights() override { return 1; }
};

void BM_NativeLeafSamples(benchmark::State& state) {
    drv::InitNameSpace();
    auto leaf = drv::New<NativeLeaf>();
    leaf->AddToNS(drv::FindOrCreateBranch(-1, "", "Bench"));
    double v = 0;
    for (auto _ : state) leaf->NewSample(plat::Variant::R8(v += 0.5), 192, 46000.0);
    state.SetItemsProcessed(state.iterations());
    leaf = nullptr;
    drv::DoneNameSpace();
}
BENCHMARK(BM_NativeLeafSamples);

void BM_LibrarySamplesThroughTheCallback(benchmark::State& state) {
    drv::InitNameSpace();
    drv::InitExtItems();
    SilentVar var;
    int32_t handle = -1;
    // Bit 7: a quiet variable, whose samples the service does not log, as a fast sensor's.
    ExtItemCreate(&var, u"V", plat::VT_R8, 0x81, ExtParentCreate(u"Bench", -1), "", &handle);
    if (handle < 0) state.SkipWithError("the item was not created");
    const plat::FILETIME time{0xD53E8000u, 0x01D9C5A0u};
    double v = 0;
    for (auto _ : state) {
        const plat::Variant value = plat::Variant::R8(v += 0.5);
        ExtNewSample(handle, &value, 192, &time);
    }
    state.SetItemsProcessed(state.iterations());
    ExtItemDestroy(handle);
    drv::DropExtItems();
    drv::DoneNameSpace();
}
BENCHMARK(BM_LibrarySamplesThroughTheCallback);

}  // namespace
