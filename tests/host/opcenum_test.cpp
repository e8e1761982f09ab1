// The enumerators: over none, one and many entries; Next, Skip, Reset, Clone; the references
// and task memory they hand out.
#include "service/host/Enum.h"
#include "tests/host/OpcFixture.h"

namespace opctest {
namespace {

using plat::S_FALSE;
using plat::S_OK;

// A counted object to enumerate.
class Thing : public plat::ComObject<plat::IUnknown> {};

std::vector<ComPtr<plat::IUnknown>> Things(size_t n) {
    std::vector<ComPtr<plat::IUnknown>> v;
    for (size_t i = 0; i < n; ++i) v.push_back(ComPtr<plat::IUnknown>(plat::MakeCom<Thing>()));
    return v;
}

uint32_t Count(plat::IUnknown* p) {
    return dynamic_cast<Thing*>(p)->RefCount();
}

class OpcEnum : public OpcTest {};

TEST_F(OpcEnum, UnknownsOverNoneOneAndMany) {
    for (size_t n : {0u, 1u, 5u}) {
        SCOPED_TRACE("entries " + std::to_string(n));
        auto things = Things(n);
        auto e = drv::TEnumUnknown::Create(things);
        for (auto& t : things) EXPECT_EQ(Count(t.Get()), 2u) << "the enumerator holds one each";

        std::vector<plat::IUnknown*> got(n + 2, nullptr);
        uint32_t fetched = 99;
        EXPECT_EQ(e->Next(static_cast<uint32_t>(n + 2), got.data(), &fetched), S_FALSE);
        ASSERT_EQ(fetched, n);
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(got[i], things[i].Get());
            EXPECT_EQ(Count(got[i]), 3u) << "handed out with its own reference";
            got[i]->Release();
        }
        EXPECT_EQ(e->Next(1, got.data(), &fetched), S_FALSE);
        EXPECT_EQ(fetched, 0u);

        EXPECT_EQ(e->Reset(), S_OK);
        if (n > 0) {
            // One at a time, without a count: allowed for a single entry.
            plat::IUnknown* one = nullptr;
            EXPECT_EQ(e->Next(1, &one, nullptr), S_OK);
            EXPECT_EQ(one, things[0].Get());
            one->Release();
        }
        EXPECT_EQ(e->Skip(100), S_FALSE) << "past the end";
        EXPECT_EQ(e->Next(1, got.data(), &fetched), S_FALSE);
        EXPECT_EQ(fetched, 0u);

        e->Reset();
        EXPECT_EQ(e->Skip(static_cast<uint32_t>(n)), S_OK);
        opc::IEnumUnknown* clone = nullptr;
        ASSERT_EQ(e->Clone(&clone), S_OK);
        EXPECT_EQ(clone->Next(1, got.data(), &fetched), S_FALSE) << "a clone starts where it was";
        clone->Reset();
        EXPECT_EQ(clone->Next(static_cast<uint32_t>(n + 1), got.data(), &fetched), S_FALSE);
        ASSERT_EQ(fetched, n);
        for (size_t i = 0; i < n; ++i) got[i]->Release();
        e = nullptr;
        for (auto& t : things) EXPECT_EQ(Count(t.Get()), 2u) << "the clone keeps the entries";
        clone->Release();
        for (auto& t : things) EXPECT_EQ(Count(t.Get()), 1u);
    }
}

TEST_F(OpcEnum, NextRefusesBadArgumentsWithFailures) {
    auto things = Things(3);
    auto e = drv::TEnumUnknown::Create(things);
    plat::IUnknown* got[3] = {};
    uint32_t fetched = 0;
    // Asking for nothing is an error the client can see as one.
    const HRESULT none = e->Next(0, got, &fetched);
    EXPECT_TRUE(plat::Failed(none)) << std::hex << none;
    EXPECT_EQ(none, plat::MakeHr(0x800706F5));
    EXPECT_EQ(e->Next(2, got, nullptr), plat::E_INVALIDARG);
    EXPECT_EQ(got[0], nullptr);
    EXPECT_EQ(e->Next(1, nullptr, &fetched), plat::E_POINTER);
    // Nothing was consumed by the refused calls.
    EXPECT_EQ(e->Next(3, got, &fetched), S_OK);
    EXPECT_EQ(fetched, 3u);
    for (auto* p : got) p->Release();

    auto s = drv::TEnumString::Create({u"a"});
    char16_t* str = nullptr;
    EXPECT_TRUE(plat::Failed(s->Next(0, &str, &fetched)));
    EXPECT_EQ(s->Next(2, &str, nullptr), plat::E_INVALIDARG);
    auto a = drv::TEnumOPCItemAttributes::Create({});
    opc::OPCITEMATTRIBUTES* attrs = nullptr;
    EXPECT_TRUE(plat::Failed(a->Next(0, &attrs, &fetched)));
    EXPECT_EQ(a->Next(2, &attrs, nullptr), plat::E_INVALIDARG);
}

TEST_F(OpcEnum, StringsAreTaskMemoryCopies) {
    for (size_t n : {0u, 1u, 4u}) {
        SCOPED_TRACE("strings " + std::to_string(n));
        std::vector<std::u16string> src;
        for (size_t i = 0; i < n; ++i)
            src.push_back(i == 1 ? u"" : u"Пост" + std::u16string(1, u'0' + i));
        auto e = drv::TEnumString::Create(src);
        EXPECT_EQ(e->Count(), n);
        std::vector<char16_t*> got(n + 1, nullptr);
        uint32_t fetched = 0;
        EXPECT_EQ(e->Next(static_cast<uint32_t>(n + 1), got.data(), &fetched), S_FALSE);
        ASSERT_EQ(fetched, n);
        for (size_t i = 0; i < n; ++i) {
            ASSERT_NE(got[i], nullptr) << "even an empty name is a string";
            EXPECT_EQ(std::u16string(got[i]), src[i]);
            plat::CoTaskMemFree(got[i]);
        }
        e->Reset();
        if (n > 2) {
            EXPECT_EQ(e->Skip(2), S_OK);
            opc::IEnumString* clone = nullptr;
            ASSERT_EQ(e->Clone(&clone), S_OK);
            char16_t* one = nullptr;
            EXPECT_EQ(clone->Next(1, &one, nullptr), S_OK);
            EXPECT_EQ(std::u16string(one), src[2]);
            plat::CoTaskMemFree(one);
            clone->Release();
        }
        ExpectNoTaskMemory();
    }
    // A refused allocation hands out nothing and consumes nothing.
    auto e = drv::TEnumString::Create({u"one", u"two"});
    char16_t* got[2] = {};
    uint32_t fetched = 0;
    const size_t old = plat::CoTaskMemSetLimit(1);
    EXPECT_EQ(e->Next(2, got, &fetched), plat::E_OUTOFMEMORY);
    plat::CoTaskMemSetLimit(old);
    EXPECT_EQ(fetched, 0u);
    ExpectNoTaskMemory();
    EXPECT_EQ(e->Next(2, got, &fetched), S_OK);
    EXPECT_EQ(TakeString(got[0]), "one");
    EXPECT_EQ(TakeString(got[1]), "two");
    ExpectNoTaskMemory();
}

TEST_F(OpcEnum, ItemAttributesOfAHandMadeList) {
    std::vector<drv::TItemAttributes> items(3);
    for (size_t i = 0; i < items.size(); ++i) {
        auto& a = items[i];
        a.item_id = u"Post1.Item" + std::u16string(1, u'0' + i);
        a.active = i != 1;
        a.client_handle = 100 + static_cast<uint32_t>(i);
        a.server_handle = static_cast<uint32_t>(i);
        a.access_rights = i == 2 ? 3 : 1;
        a.requested_type = plat::VT_R8;
        a.canonical_type = plat::VT_CY;
    }
    items[2].blob = {1, 2, 3};
    items[2].eu_type = opc::OPC_ANALOG;
    items[2].eu_info = plat::Variant::Str(std::string("0..100"));

    auto e = drv::TEnumOPCItemAttributes::Create(items);
    opc::OPCITEMATTRIBUTES* out = nullptr;
    uint32_t fetched = 0;
    ASSERT_EQ(e->Next(2, &out, &fetched), S_OK);
    ASSERT_EQ(fetched, 2u);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::u16string(out[0].szItemID), u"Post1.Item0");
    EXPECT_EQ(std::u16string(out[0].szAccessPath), u"");
    EXPECT_EQ(out[0].bActive, 1);
    EXPECT_EQ(out[1].bActive, 0);
    EXPECT_EQ(out[1].hClient, 101u);
    EXPECT_EQ(out[1].hServer, 1u);
    EXPECT_EQ(out[0].vtRequestedDataType, plat::VT_R8);
    EXPECT_EQ(out[0].vtCanonicalDataType, plat::VT_CY);
    EXPECT_EQ(out[0].dwBlobSize, 0u);
    EXPECT_EQ(out[0].pBlob, nullptr);
    for (uint32_t i = 0; i < fetched; ++i) opc::FreeItemAttributes(out[i]);
    plat::CoTaskMemFree(out);

    opc::IEnumOPCItemAttributes* clone = nullptr;
    ASSERT_EQ(e->Clone(&clone), S_OK);
    ASSERT_EQ(e->Next(5, &out, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(out[0].dwAccessRights, 3u);
    ASSERT_EQ(out[0].dwBlobSize, 3u);
    EXPECT_EQ(out[0].pBlob[2], 3);
    EXPECT_EQ(out[0].dwEUType, opc::OPC_ANALOG);
    EXPECT_EQ(out[0].vEUInfo, plat::Variant::Str(std::string("0..100")));
    opc::FreeItemAttributes(out[0]);
    plat::CoTaskMemFree(out);

    EXPECT_EQ(e->Next(1, &out, nullptr), S_FALSE);
    EXPECT_EQ(out, nullptr) << "nothing left: no array";
    EXPECT_EQ(e->Skip(1), S_FALSE);

    // The clone stood at 2 and reads the last one; then past the end.
    ASSERT_EQ(clone->Next(1, &out, nullptr), S_OK);
    EXPECT_EQ(out[0].hServer, 2u);
    opc::FreeItemAttributes(out[0]);
    plat::CoTaskMemFree(out);
    clone->Reset();
    EXPECT_EQ(clone->Skip(3), S_OK);
    EXPECT_EQ(clone->Skip(1), S_FALSE);
    clone->Release();

    auto empty = drv::TEnumOPCItemAttributes::Create({});
    EXPECT_EQ(empty->Next(1, &out, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(out, nullptr);
    ExpectNoTaskMemory();
}

}  // namespace
}  // namespace opctest
