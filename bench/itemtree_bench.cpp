// Samples into a leaf read by K buffered group items, and the command registry's round trip.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "service/core/base/ChangeRing.h"
#include "service/core/commands/CommandRegistry.h"
#include "service/core/items/ItemTree.h"

namespace {

class BenchLeaf : public drv::TLeafItem {
  public:
    BenchLeaf() : TLeafItem("V", plat::VT_I4) {}
    uint8_t AccessRights() override { return 1; }
};

void BM_SamplesWithBufferedReaders(benchmark::State& state) {
    drv::InitNameSpace();
    int32_t branch = drv::FindOrCreateBranch(-1, "", "Bench");
    auto leaf = drv::New<BenchLeaf>();
    leaf->AddToNS(branch);
    const int readers = static_cast<int>(state.range(0));
    std::vector<std::unique_ptr<drv::TGItem>> groups;
    for (int i = 0; i < readers; ++i) {
        groups.push_back(std::make_unique<drv::TGItem>(drv::ComPtr<drv::TLeafItem>(leaf.Get()),
                                                       "Bench.V", leaf->ID()));
        groups.back()->requested_type = plat::VT_I4;
    }
    leaf->NewSample(plat::Variant::I4(0), drv::OPC_QUALITY_GOOD, 46000.0);
    int32_t v = 0;
    std::vector<drv::SampleRead> out;
    for (auto _ : state) {
        leaf->NewSample(plat::Variant::I4(++v), drv::OPC_QUALITY_GOOD, 46000.0);
        // Each reader drains every few samples, as an update cycle would.
        if (v % 8 == 0) {
            for (auto& g : groups) {
                int n = g->UnreadCount(true);
                if (n <= 0) continue;
                g->count_to_read = n;
                out.clear();
                int counter = 0;
                bool bad = false;
                g->Read(true, 1033, out, counter, bad);
                g->CommitCursor();
            }
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["slots"] = static_cast<double>(leaf->SampleSlots());
    groups.clear();
    leaf = nullptr;
    drv::DoneNameSpace();
}
BENCHMARK(BM_SamplesWithBufferedReaders)->Arg(0)->Arg(1)->Arg(4)->Arg(16);

void BM_CommandIssueCompleteQuery(benchmark::State& state) {
    if (state.thread_index() == 0) {
        drv::ChangeRing().Init();
        drv::CmdRegistryInit();
    }
    for (auto _ : state) {
        int32_t id = drv::CmdNewID();
        drv::CmdSetResult(id, 0);
        benchmark::DoNotOptimize(drv::CmdQuery(id));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CommandIssueCompleteQuery)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace
