#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "service/core/base/Errors.h"
#include "service/core/base/ObjectBase.h"

using namespace drv;

namespace {

struct IProbe : public virtual plat::IUnknown {
    static const plat::IID& GetIID() {
        static const plat::IID iid = plat::GuidOf("{6B0C8A2E-1D55-4B0E-9F59-2C7A4A1E0001}");
        return iid;
    }
    virtual int Value() = 0;
};

class Probe : public TMyInterfacedObject, public IProbe {
  public:
    explicit Probe(int v, std::atomic<int>* destroyed = nullptr) : v_(v), destroyed_(destroyed) {
        // A reference taken and dropped while building must not destroy the object.
        ComPtr<IRef> self(this);
    }
    ~Probe() override {
        if (destroyed_) destroyed_->fetch_add(1);
    }
    int Value() override { return v_; }

  protected:
    void* FindInterface(const plat::IID& iid) override {
        if (iid == IProbe::GetIID()) return static_cast<IProbe*>(this);
        return TMyInterfacedObject::FindInterface(iid);
    }

  private:
    int v_;
    std::atomic<int>* destroyed_;
};

ComPtr<IRef> RefOf(const ComPtr<Probe>& p) {
    return ComPtr<IRef>(p.Get());
}

}  // namespace

TEST(InterfacedObject, LifetimeFollowsTheCountAndDestructionNeedsZero) {
    std::atomic<int> destroyed{0};
    {
        ComPtr<Probe> p = New<Probe>(1, &destroyed);
        EXPECT_EQ(p->RefCount(), 1);
        ComPtr<IProbe> q = plat::QueryAs<IProbe>(static_cast<IRef*>(p.Get()));
        ASSERT_TRUE(q);
        EXPECT_EQ(q->Value(), 1);
        EXPECT_EQ(p->RefCount(), 2);
        void* none = reinterpret_cast<void*>(1);
        EXPECT_EQ(p->QueryInterface(plat::GuidOf("{00000000-0000-0000-0000-0000000000AA}"), &none),
                  plat::E_NOINTERFACE);
        EXPECT_EQ(none, nullptr);
        try {
            p->Destroy();
            FAIL() << "destroyed with live references";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), "1A12CDF1-896E-413A-B38B-8419C0643202");
        }
        EXPECT_EQ(destroyed.load(), 0);
    }
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(InterfacedObject, CountIsExactUnderConcurrentAddRefRelease) {
    std::atomic<int> destroyed{0};
    ComPtr<Probe> p = New<Probe>(2, &destroyed);
    std::vector<std::thread> ts;
    std::latch go(8);
    for (int t = 0; t < 8; ++t)
        ts.emplace_back([&] {
            go.arrive_and_wait();
            for (int i = 0; i < 20000; ++i) {
                ComPtr<Probe> copy = p;
            }
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(p->RefCount(), 1);
    p = nullptr;
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(SafeIntfArray, IndicesHolesAndGrowth) {
    TSafeIntfArray arr("Items");
    EXPECT_EQ(arr.Lock().Name(), "Items Sync");
    EXPECT_EQ(arr.Count(), 0);
    auto a = New<Probe>(10), b = New<Probe>(11), c = New<Probe>(12);
    EXPECT_EQ(arr.Add(RefOf(a)), 0);
    EXPECT_EQ(arr.Add(RefOf(b)), 1);
    EXPECT_EQ(arr.Add(RefOf(c)), 2);
    EXPECT_EQ(arr.Capacity(), 32u);

    // Extracting the last slots makes their index reusable; a hole in the middle is not reused.
    EXPECT_TRUE(arr.Extract(0));
    EXPECT_TRUE(arr.Extract(2));
    EXPECT_EQ(arr.Add(RefOf(c)), 2);
    EXPECT_FALSE(arr.Exists(0));
    EXPECT_FALSE(arr.Extract(0));

    TSafeIntfArray sparse("Sparse");
    sparse.SetAt(40, RefOf(a));
    EXPECT_EQ(sparse.Count(), 41);
    EXPECT_EQ(sparse.Capacity(), 72u);  // index + 32
    TMyInterfacedObject* obj = reinterpret_cast<TMyInterfacedObject*>(1);
    EXPECT_FALSE(sparse.Get(-1, &obj));
    EXPECT_EQ(obj, nullptr);
    EXPECT_FALSE(sparse.Get(1000, &obj));
    EXPECT_FALSE(sparse.Exists(-1));
    EXPECT_EQ(sparse.GetAs<Probe>(40)->Value(), 10);
    EXPECT_FALSE(sparse.GetAs<Probe>(39));
}

TEST(SafeIntfArray, SlotsOwnTheirReferences) {
    std::atomic<int> destroyed{0};
    {
        TSafeIntfArray arr("Owned");
        {
            auto p = New<Probe>(1, &destroyed);
            arr.SetAt(3, RefOf(p));
            arr.SetAt(4, RefOf(New<Probe>(2, &destroyed)));
        }
        EXPECT_EQ(destroyed.load(), 0);
        arr.SetAt(4, nullptr);  // replacing releases the old reference
        EXPECT_EQ(destroyed.load(), 1);
        ComPtr<IRef> taken = arr.Extract(3);
        EXPECT_EQ(destroyed.load(), 1);
        taken = nullptr;
        EXPECT_EQ(destroyed.load(), 2);
        arr.SetAt(0, RefOf(New<Probe>(3, &destroyed)));
    }
    EXPECT_EQ(destroyed.load(), 3);  // the array releases what it still holds
}

TEST(SafeIntfArray, ConcurrentAddsGetDistinctIndices) {
    TSafeIntfArray arr("Concurrent");
    constexpr int kThreads = 8, kEach = 200;
    std::vector<std::vector<int>> got(kThreads);
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                int idx = arr.Add(RefOf(New<Probe>(t * kEach + i)));
                got[t].push_back(idx);
                TMyInterfacedObject* obj = nullptr;
                EXPECT_TRUE(arr.Get(idx, &obj));
                EXPECT_NE(obj, nullptr);
            }
        });
    for (auto& t : ts) t.join();
    std::vector<bool> seen(kThreads * kEach, false);
    for (auto& v : got)
        for (int idx : v) {
            ASSERT_LT(idx, kThreads * kEach);
            EXPECT_FALSE(seen[idx]) << idx;
            seen[idx] = true;
        }
    EXPECT_EQ(arr.Count(), kThreads * kEach);
}

TEST(SafeIDGen, StartsAtOneAndNeverRepeatsAcrossThreads) {
    TSafeIDGen gen;
    EXPECT_EQ(gen.NextID(), 1);
    std::vector<std::thread> ts;
    std::vector<std::vector<int32_t>> ids(4);
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < 10000; ++i) ids[t].push_back(gen.NextID());
        });
    for (auto& t : ts) t.join();
    std::vector<bool> seen(40002, false);
    for (auto& v : ids)
        for (int32_t id : v) {
            ASSERT_GE(id, 2);
            ASSERT_FALSE(seen[id]);
            seen[id] = true;
        }
    EXPECT_EQ(gen.Current(), 40001);
}

TEST(FreeAndNil, ClearsTheVariable) {
    std::string* s = new std::string("x");
    FreeAndNilObject(s);
    EXPECT_EQ(s, nullptr);
    FreeAndNilObject(s);  // already null: nothing happens
}
