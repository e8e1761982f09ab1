#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/com/unknown.h"
#include "platform/types/guid.h"
#include "service/typelib/TypeLib.h"

using namespace tlb;

namespace {

template <class I>
void ExpectMethodTable(int first_slot) {
    std::set<std::string_view> names;
    std::set<DISPID> ids;
    int slot = first_slot;
    for (const TMethodDesc& m : I::kMethods) {
        EXPECT_EQ(m.VtblSlot, slot++) << m.Name;
        EXPECT_TRUE(names.insert(m.Name).second) << "duplicate name " << m.Name;
        EXPECT_TRUE(ids.insert(m.Dispid).second) << "duplicate dispid of " << m.Name;
    }
}

// A sink implementing both event interfaces through one IUnknown.
class Sink final : public INorvaltEventsEx {
  public:
    HRESULT QueryInterface(const plat::IID& iid, void** out) override {
        if (iid == plat::IID_IUnknown || iid == INorvaltEvents::GetIID())
            *out = static_cast<INorvaltEvents*>(this);
        else if (iid == INorvaltEventsEx::GetIID())
            *out = static_cast<INorvaltEventsEx*>(this);
        else
            return (*out = nullptr, plat::E_NOINTERFACE);
        AddRef();
        return plat::S_OK;
    }
    uint32_t AddRef() override { return ++refs; }
    uint32_t Release() override { return --refs; }
    HRESULT PostFound(int8_t) override { return plat::S_OK; }
    HRESULT StateChanged(int8_t, TState s) override { return last = s, plat::S_OK; }
    HRESULT VarValueChanged(int8_t, TVariableEnum, TVariableValue) override { return plat::S_OK; }
    HRESULT PostDeleted(int8_t) override { return plat::S_OK; }
    HRESULT PostWithoutChanges(int8_t, plat::DATE) override { return plat::S_OK; }

    std::atomic<uint32_t> refs{1};
    TState last;
};

}  // namespace

TEST(TypeLib, VariableInfoWireFormRoundTripsEveryField) {
    TVariableInfo info;
    info.Code = cvVCal3F;
    info.ShortName = u"V\u0416";
    info.Name = std::u16string(u"Vol\0ume", 7);  // an embedded NUL survives
    info.IsReadable = plat::VARIANT_TRUE;
    info.IsWriteable = plat::VARIANT_FALSE;
    info.MinValue = {-12345678901234};
    info.MaxValue = {INT64_MAX};
    info.Step = {5};
    info.BelongsTo = -5;
    info.IsRandom = plat::VARIANT_TRUE;

    std::vector<uint8_t> bytes = PackVariableInfo(info);
    ASSERT_EQ(bytes.size(), 44u + 2 * (2 + 7));
    EXPECT_EQ(bytes[0], 98);  // Code
    EXPECT_EQ(bytes[4], 2);   // ShortName length
    EXPECT_EQ(bytes[8], 7);   // Name length
    EXPECT_EQ(bytes[12], 0xFF);
    EXPECT_EQ(bytes[14], 0x00);
    EXPECT_EQ(bytes[16], 0x0E);  // low byte of MinValue
    EXPECT_EQ(bytes[32], 5);     // Step
    EXPECT_EQ(bytes[40], 0xFB);  // BelongsTo
    EXPECT_EQ(bytes[41], 0);     // alignment byte
    EXPECT_EQ(bytes[42], 0xFF);  // IsRandom
    EXPECT_EQ(bytes[43], 0xFF);
    EXPECT_EQ(bytes[44], 'V');
    EXPECT_EQ(bytes[46], 0x16);
    EXPECT_EQ(bytes[47], 0x04);

    auto back = UnpackVariableInfo(bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, info);

    // Empty strings too.
    TVariableInfo bare;
    bare.IsRandom = plat::VARIANT_TRUE;
    auto bare_bytes = PackVariableInfo(bare);
    EXPECT_EQ(bare_bytes.size(), 44u);
    EXPECT_EQ(UnpackVariableInfo(bare_bytes), bare);
}

TEST(TypeLib, VariableInfoWireFormRejectsBadInput) {
    TVariableInfo info;
    info.ShortName = u"ab";
    std::vector<uint8_t> bytes = PackVariableInfo(info);
    std::span<const uint8_t> all(bytes);
    EXPECT_FALSE(UnpackVariableInfo(all.first(43)));
    EXPECT_FALSE(UnpackVariableInfo(all.first(bytes.size() - 1)));
    bytes.push_back(0);
    EXPECT_FALSE(UnpackVariableInfo(bytes)) << "trailing bytes";
    bytes.pop_back();
    // A hostile length must be refused before anything is allocated for it.
    bytes[4] = bytes[5] = bytes[6] = bytes[7] = 0xFF;
    bytes[8] = bytes[9] = bytes[10] = bytes[11] = 0xFF;
    EXPECT_FALSE(UnpackVariableInfo(bytes));
}

TEST(TypeLib, EnumerationValues) {
    const std::pair<TStateEnum, int32_t> states[] = {
        {csIdle, 0},
        {csWaitingKey, 1},
        {csWaitingKeyAfterPause, 3},
        {csWorking, 7},
        {csPaused, 80},
        {csNone, 160},
        {csUnknown, 168},
        {csCommError, 169},
        {csHardwareError, 176},
        {csControllerError, 177},
        {csSensorError, 178},
        {csConfigError, 179},
        {csOldController, 186},
        {csNewController, 188},
        {csFire, 255},
    };
    for (auto [e, v] : states) EXPECT_EQ(static_cast<int32_t>(e), v);

    const std::pair<TCmdResult, uint32_t> results[] = {
        {E_TIMEOUT, 0xFFFFFFFF},
        {E_INCOMPATIBLESTATE, 0xFFFFFFFE},
        {E_BADVARIABLE, 0xFFFFFFFD},
        {E_UNKNOWNPOST, 0xFFFFFFFC},
        {E_NOANSWER, 0xFFFFFFFB},
        {E_BADINTERVAL, 0xFFFFFFFA},
        {E_CANCELLED, 0xFFFFFFF9},
        {E_BAD_QUALITY_ON_SET_DOZE, 0xFFFFFFF8},
        {CmdBegin, 0x7FFF0000},
        {CmdEnd, 0x7FFFFFFF},
        {OPC_E_RANGE, 0xC004000B},
        {OPC_E_BADRIGHTS, 0xC0040006},
        {OPC_E_BADTYPE, 0xC0040004},
        {OPC_E_INVALIDITEMID, 0xC0040008},
        {OPC_E_INVALIDHANDLE, 0xC004000F},
        {E_ADDRCONFLICT, 0x80000000},
    };
    for (auto [e, v] : results) EXPECT_EQ(static_cast<uint32_t>(e), v) << static_cast<int32_t>(e);
    static_assert(sizeof(TStateEnum) == 4 && sizeof(TVariableEnum) == 4 && sizeof(TCmdResult) == 4);

    EXPECT_EQ(cvReqS, 40);
    EXPECT_EQ(cvVCal1K, 64);
    EXPECT_EQ(cvVCal4F, 99);
    EXPECT_TRUE(IsCmdID(CmdBegin) && IsCmdID(CmdEnd));
    EXPECT_FALSE(IsCmdID(CmdBegin - 1) || IsCmdID(E_ADDRCONFLICT) || IsCmdID(E_TIMEOUT));
}

TEST(TypeLib, GuidsMatchTheirRegisteredText) {
    const std::pair<plat::GUID, const char*> ids[] = {
        {LIBID_NorvaltDrv, "{F6702C6A-4A90-4873-B43C-C03EA082CA77}"},
        {GUID_TStateEnum, "{2DA2DB99-E984-43FF-9DE3-B58381C82001}"},
        {GUID_TVariableEnum, "{F271243A-CA1D-4382-B0A5-12371869E2C2}"},
        {GUID_TCmdResult, "{34839C37-BF75-473E-A05A-779EFF997B52}"},
        {GUID_TCmdID, "{2F4DF752-0F78-4B52-A702-914037A2AA69}"},
        {GUID_TVariableValue, "{CA85E5B5-5E3B-43E8-9925-01B47694CC9D}"},
        {GUID_TState, "{DCB31A7B-FBB6-4FB6-AC4B-7456527A3D7E}"},
        {GUID_TVariableInfo, "{D57CC606-B5AC-4B21-94F7-89364A7E6C3B}"},
        {INorvalt::GetIID(), "{D5D4D2E4-3080-4B6B-B4C0-4274DE7D54E8}"},
        {INorvaltEvents::GetIID(), "{682D5ADB-7BF8-4DFF-A4AA-DD1579DC07E4}"},
        {INorvaltEventsEx::GetIID(), "{682D5ADC-7BF8-4DFF-A4AA-DD1579DC07E4}"},
        {IDrvControl::GetIID(), "{CB828D38-29F0-4DE6-8AB7-DDAE6F62DE5C}"},
        {IHWEmuReg::GetIID(), "{0890DE41-5FFF-46C2-9032-841F2FE2942B}"},
        {IHWEmu::GetIID(), "{C4A598EF-73C4-4DFE-9A5C-9A6BB5BFE7D5}"},
        {IOPCItemSamplingMgtExt::GetIID(), "{D8738C30-D93B-46F5-8921-D3D90E7018CF}"},
        {CLSID_TORK, "{40902B39-AC7C-4682-9E76-EC41E0F2A4A4}"},
        {CLSID_DA2, "{40902B3A-AC7C-4682-9E76-EC41E0F2A4A4}"},
    };
    for (auto& [g, text] : ids) {
        EXPECT_EQ(plat::FormatGuid(g), text);
        EXPECT_EQ(plat::ParseGuid(text), g) << text;
    }

    // The Ex sink and the second coclass differ from their partners in the first group only.
    auto same_tail = [](const plat::GUID& a, const plat::GUID& b) {
        plat::GUID x = a, y = b;
        x.Data1 = y.Data1 = 0;
        return x == y;
    };
    EXPECT_TRUE(same_tail(IID_INorvaltEvents, IID_INorvaltEventsEx));
    EXPECT_NE(IID_INorvaltEvents.Data1, IID_INorvaltEventsEx.Data1);
    EXPECT_TRUE(same_tail(CLSID_TORK, CLSID_DA2));
    EXPECT_NE(CLSID_TORK.Data1, CLSID_DA2.Data1);
}

TEST(TypeLib, MethodTablesFollowSlotOrder) {
    ExpectMethodTable<INorvalt>(7);  // after IUnknown and IDispatch
    ExpectMethodTable<INorvaltEvents>(3);
    ExpectMethodTable<INorvaltEventsEx>(7);  // after the four inherited events
    ExpectMethodTable<IDrvControl>(3);
    ExpectMethodTable<IHWEmuReg>(3);
    ExpectMethodTable<IHWEmu>(3);
    ExpectMethodTable<IOPCItemSamplingMgtExt>(3);
    EXPECT_EQ(std::size(INorvalt::kMethods), 16u);
    EXPECT_EQ(INorvalt::kMethods[15].Name, "BandUsed");

    // IDrvControl: GetThreadState comes first though Restart has dispatch id 1.
    EXPECT_EQ(IDrvControl::kMethods[0].Name, "GetThreadState");
    EXPECT_EQ(IDrvControl::kMethods[0].Dispid, 3);
    EXPECT_EQ(IDrvControl::kMethods[2].Name, "Restart");
    EXPECT_EQ(IDrvControl::kMethods[2].Dispid, 1);
}

TEST(TypeLib, OneSinkAnswersBothEventInterfaces) {
    Sink sink;
    auto ex = plat::QueryAs<INorvaltEventsEx>(static_cast<INorvaltEvents*>(&sink));
    ASSERT_TRUE(ex);
    auto base = plat::QueryAs<INorvaltEvents>(ex.Get());
    ASSERT_TRUE(base);
    EXPECT_EQ(sink.refs.load(), 3u) << "one count behind both interfaces";
    EXPECT_FALSE(plat::QueryAs<IHWEmu>(ex.Get()));

    TState st;
    st.Value = csFire;
    st.TimeStamp = 45000.5;
    EXPECT_EQ(base->StateChanged(3, st), plat::S_OK);
    EXPECT_EQ(sink.last.Value, csFire);
    EXPECT_EQ(sink.last.TimeStamp, 45000.5);
}
