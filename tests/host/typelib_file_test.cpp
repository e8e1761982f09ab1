// The type library file: the embedded bytes read back into the header's declarations, the
// reader refuses damaged input, and the written file is the embedded bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <fstream>
#include <set>

#include "platform/com/error.h"
#include "service/host/TypeLibFile.h"
#include "service/typelib/TypeLib.h"
#include "tests/support/TempRoot.h"

namespace {

using namespace tlb::file;

template <class T>
const T& Named(const std::vector<T>& list, std::string_view name) {
    auto it = std::find_if(list.begin(), list.end(), [&](const T& x) { return x.name == name; });
    if (it == list.end()) throw std::out_of_range(std::string(name));
    return *it;
}

int32_t ValueOf(const Enumeration& e, std::string_view name) {
    return Named(e.members, name).value;
}

template <size_t N>
void ExpectMethods(const Interface& i, const tlb::TMethodDesc (&decl)[N]) {
    ASSERT_EQ(i.methods.size(), N) << i.name;
    for (size_t k = 0; k < N; ++k) {
        EXPECT_EQ(i.methods[k].name, decl[k].Name) << i.name;
        EXPECT_EQ(i.methods[k].dispid, decl[k].Dispid) << i.methods[k].name;
        EXPECT_EQ(i.methods[k].slot, decl[k].VtblSlot) << i.methods[k].name;
    }
}

TEST(TypeLibFile, EmbeddedBytesReadBackIntoTheDeclarations) {
    auto lib = ReadTypeLib(EmbeddedTypeLib());
    ASSERT_TRUE(lib.has_value());
    EXPECT_EQ(*lib, DescribeTypeLib());

    EXPECT_EQ(lib->name, tlb::kLibName);
    EXPECT_EQ(lib->libid, tlb::LIBID_NorvaltDrv);
    EXPECT_EQ(lib->major, 1);
    EXPECT_EQ(lib->minor, 0);
    EXPECT_EQ(lib->lcid, 0x409u);
    EXPECT_EQ(lib->help, tlb::kLibHelpString);

    const Enumeration& state = Named(lib->enumerations, "TStateEnum");
    EXPECT_EQ(state.guid, tlb::GUID_TStateEnum);
    EXPECT_EQ(state.members.size(), 15u);
    EXPECT_EQ(ValueOf(state, "csWorking"), tlb::csWorking);
    EXPECT_EQ(ValueOf(state, "csFire"), 255);
    const Enumeration& vars = Named(lib->enumerations, "TVariableEnum");
    EXPECT_EQ(vars.members.size(), 49u);
    EXPECT_EQ(ValueOf(vars, "cvReqS"), tlb::cvReqS);
    EXPECT_EQ(vars.members[41].name, "cvVCal1K") << "each K directly before its F";
    EXPECT_EQ(vars.members[42].name, "cvVCal1F");
    EXPECT_EQ(ValueOf(vars, "cvVCal1F"), tlb::cvVCal1F);
    EXPECT_EQ(ValueOf(vars, "cvVCal4F"), 99);
    for (const Enumeration& e : lib->enumerations) {
        std::set<int32_t> values;
        for (const EnumMember& m : e.members)
            EXPECT_TRUE(values.insert(m.value).second) << e.name << "." << m.name << " repeats";
    }
    const Enumeration& results = Named(lib->enumerations, "TCmdResult");
    EXPECT_EQ(ValueOf(results, "E_ADDRCONFLICT"), INT32_MIN);
    EXPECT_EQ(ValueOf(results, "CmdEnd"), INT32_MAX);
    EXPECT_EQ(ValueOf(results, "OPC_E_INVALIDHANDLE"), tlb::OPC_E_INVALIDHANDLE);
    EXPECT_EQ(Named(lib->aliases, "TCmdID").guid, tlb::GUID_TCmdID);

    const Record& value = Named(lib->records, "TVariableValue");
    EXPECT_EQ(value.size, 16u);
    EXPECT_EQ(Named(value.fields, "TimeStamp").offset, 8u);
    const Record& st = Named(lib->records, "TState");
    EXPECT_EQ(st.size, 12u) << "packed: the date follows the state";
    EXPECT_EQ(Named(st.fields, "TimeStamp").offset, 4u);
    const Record& info = Named(lib->records, "TVariableInfo");
    EXPECT_EQ(info.guid, tlb::GUID_TVariableInfo);
    EXPECT_EQ(info.size, 44u);
    EXPECT_EQ(info.fields.size(), 10u);
    EXPECT_EQ(Named(info.fields, "ShortName").type, "BSTR");
    EXPECT_EQ(Named(info.fields, "BelongsTo").offset, 40u);
    EXPECT_EQ(Named(info.fields, "IsRandom").offset, 42u);

    const Interface& norvalt = Named(lib->interfaces, "INorvalt");
    EXPECT_EQ(norvalt.iid, tlb::IID_INorvalt);
    EXPECT_EQ(norvalt.parent, "IDispatch");
    EXPECT_EQ(norvalt.flags, kDual | kOleAutomation);
    ExpectMethods(norvalt, tlb::INorvalt::kMethods);
    EXPECT_EQ(norvalt.methods.front().slot, 7) << "after the seven IDispatch slots";
    ExpectMethods(Named(lib->interfaces, "INorvaltEvents"), tlb::INorvaltEvents::kMethods);
    EXPECT_EQ(Named(lib->interfaces, "INorvaltEvents").methods.front().slot, 3);
    EXPECT_EQ(Named(lib->interfaces, "INorvaltEventsEx").parent, "INorvaltEvents");
    ExpectMethods(Named(lib->interfaces, "INorvaltEventsEx"), tlb::INorvaltEventsEx::kMethods);
    const Interface& drv = Named(lib->interfaces, "IDrvControl");
    ExpectMethods(drv, tlb::IDrvControl::kMethods);
    EXPECT_EQ(drv.methods.front().name, "GetThreadState") << "slot order, not dispid order";
    EXPECT_EQ(Named(drv.methods, "Restart").dispid, 1);
    ExpectMethods(Named(lib->interfaces, "IHWEmuReg"), tlb::IHWEmuReg::kMethods);
    ExpectMethods(Named(lib->interfaces, "IHWEmu"), tlb::IHWEmu::kMethods);
    ExpectMethods(Named(lib->interfaces, "IOPCItemSamplingMgtExt"),
                  tlb::IOPCItemSamplingMgtExt::kMethods);
    EXPECT_EQ(lib->interfaces.size(), 7u);

    const Coclass& tork = Named(lib->coclasses, "TORK");
    EXPECT_EQ(tork.clsid, tlb::CLSID_TORK);
    EXPECT_EQ(tork.help, tlb::kHelpTORK);
    ASSERT_EQ(tork.interfaces.size(), 1u);
    EXPECT_EQ(tork.interfaces[0], (CoclassMember{"INorvalt", kDefault}));
    const Coclass& da2 = Named(lib->coclasses, "DA2");
    EXPECT_EQ(da2.clsid, tlb::CLSID_DA2);
    ASSERT_EQ(da2.interfaces.size(), 3u);
    EXPECT_EQ(da2.interfaces[0], (CoclassMember{"IUnknown", kDefault}));
    EXPECT_EQ(da2.interfaces[2].interface, "IHWEmuReg");
}

TEST(TypeLibFile, WriterAtRunTimeGivesTheEmbeddedBytes) {
    const std::vector<uint8_t> bytes = WriteTypeLib(DescribeTypeLib());
    const auto embedded = EmbeddedTypeLib();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), embedded.begin(), embedded.end()));

    // A changed description survives the round trip too (negative values, empty lists).
    TypeLibInfo other;
    other.name = "X";
    other.enumerations = {{"E", tlb::GUID_TCmdResult, {{"m", -7}}}};
    other.coclasses = {{"C", tlb::CLSID_DA2, "", {}}};
    auto back = ReadTypeLib(WriteTypeLib(other));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, other);

    TypeLibInfo huge;
    huge.help.assign(70000, 'h');
    EXPECT_THROW(WriteTypeLib(huge), std::length_error);
}

TEST(TypeLibFile, DamagedBytesAreRefused) {
    const auto embedded = EmbeddedTypeLib();
    std::vector<uint8_t> bytes(embedded.begin(), embedded.end());
    for (size_t n = 0; n < bytes.size(); ++n)
        ASSERT_FALSE(ReadTypeLib(std::span(bytes.data(), n)).has_value()) << "cut at " << n;

    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(ReadTypeLib(longer).has_value()) << "trailing byte";

    std::vector<uint8_t> magic = bytes;
    magic[0] = 'X';
    EXPECT_FALSE(ReadTypeLib(magic).has_value());
    std::vector<uint8_t> format = bytes;
    format[4] = 2;
    EXPECT_FALSE(ReadTypeLib(format).has_value()) << "unknown format";

    // The library name's length (after magic, format, GUID, version and lcid) made huge.
    std::vector<uint8_t> length = bytes;
    length[8 + 16 + 4 + 4] = 0xFF;
    length[8 + 16 + 4 + 5] = 0xFF;
    EXPECT_FALSE(ReadTypeLib(length).has_value());
}

TEST(TypeLibFile, WrittenFileIsTheEmbeddedBytes) {
    testsupport::TempRoot root;
    const std::string path = root.Path() + "/" + kTypeLibFileName;
    {
        std::ofstream old(path, std::ios::binary);
        old << std::string(EmbeddedTypeLib().size() + 100, 'x');  // longer: must be cut
    }
    EXPECT_EQ(WriteTypeLibFile(root.Path() + "/"), path);
    const std::string text = testsupport::ReadFile(path);
    const auto embedded = EmbeddedTypeLib();
    ASSERT_EQ(text.size(), embedded.size());
    EXPECT_TRUE(std::equal(embedded.begin(), embedded.end(),
                           reinterpret_cast<const uint8_t*>(text.data())));
    auto lib = ReadTypeLib(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    ASSERT_TRUE(lib.has_value());
    EXPECT_EQ(lib->libid, tlb::LIBID_NorvaltDrv);

    try {
        WriteTypeLibFile(root.Path() + "/no/such/folder");
        ADD_FAILURE() << "no error for a folder that does not exist";
    } catch (const plat::ComError& e) {
        EXPECT_TRUE(plat::Failed(e.Code()));
        EXPECT_NE(std::string(e.what()).find("NorvaltDrv.TLB"), std::string::npos) << e.what();
    }
}

}  // namespace
