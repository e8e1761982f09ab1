#include "platform/registry/registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/sysroot/sysroot.h"

namespace {

using namespace plat;
using namespace plat::reg;
namespace fs = std::filesystem;

constexpr Hive LM = Hive::LocalMachine;
constexpr Hive CR = Hive::ClassesRoot;
const char* const kDrv = "\\Software\\Norvalt\\Drv";

std::string ReadFileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Replaces a file the way an editor does (new file, rename), so it always gets a new identity.
void ReplaceFile(const std::string& path, const std::string& bytes) {
    std::string tmp = path + ".edit";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << bytes;
    }
    ASSERT_EQ(::rename(tmp.c_str(), path.c_str()), 0);
}

uint64_t GenerationOf(const std::string& bytes) {
    auto pos = bytes.find("\nGeneration ");
    if (pos == std::string::npos) return UINT64_MAX;
    return std::stoull(bytes.substr(pos + 12));
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/regtest.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        SetSystemRoot(root_);
        SetErrorReporter([this](const std::string& m) {
            std::lock_guard<std::mutex> lk(mu_);
            messages_.push_back(m);
        });
    }
    void TearDown() override {
        SetErrorReporter({});
        SetSystemRoot("");
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // The same folder under another spelling of its path: the registry keeps its cache per
    // path, so what follows is read from the file, not from memory.
    void UseFreshCache() {
        fresh_ += "/.";
        SetSystemRoot(root_ + fresh_);
    }
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> lk(mu_);
        return messages_;
    }
    void ClearMessages() {
        std::lock_guard<std::mutex> lk(mu_);
        messages_.clear();
    }

    std::string root_, fresh_;
    std::mutex mu_;
    std::vector<std::string> messages_;
};

// Waits for a forked child; true when it exited with status 0.
bool ChildSucceeded(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---------------------------------------------------------------------------------------------

TEST_F(RegistryTest, EveryKindRoundTripsThroughTheFile) {
    const std::vector<std::string> texts = {
        "",
        "plain",
        "line1\nline2\r\nline3",
        "COM1=9600 SHIFT1=0 LOG=2",
        "C:\\Logs\\",
        "%41 is not an escape, %",
        "trailing blank ",
        " leading blank",
        "\t\x01\x7f controls",
        "Привет, мир ✓",
        std::string("nul\0inside", 10),
        "\xff\xfe not UTF-8",
        "End",
        "[NotAKey]",
    };
    Batch batch(LM);
    for (size_t i = 0; i < texts.size(); ++i)
        batch.WriteString(kDrv, "s" + std::to_string(i), texts[i]);

    const std::vector<std::string> names = {"",     "@",   "=",     "a=b", "[x]", ";c",
                                            "a\\b", "%20", "tail ", "Имя", "End", "@@"};
    for (size_t i = 0; i < names.size(); ++i)
        batch.WriteDword("Names", names[i], static_cast<uint32_t>(i));
    ASSERT_EQ(batch.Commit(), ERROR_SUCCESS);

    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    ASSERT_EQ(WriteBinary(LM, kDrv, "All", all), ERROR_SUCCESS);
    ASSERT_EQ(WriteBinary(LM, kDrv, "Empty", {}), ERROR_SUCCESS);
    ASSERT_EQ(WriteDword(LM, kDrv, "Zero", 0), ERROR_SUCCESS);
    ASSERT_EQ(WriteDword(LM, kDrv, "Max", 0xFFFFFFFFu), ERROR_SUCCESS);

    const std::vector<std::string> keys = {"a=b", "[br]", "Ключ", "x%y", "sp ", ";semi", "End"};
    Batch cr(CR);
    for (auto& k : keys) cr.CreateKey("Keys\\" + k + "\\Child");
    ASSERT_EQ(cr.Commit(), ERROR_SUCCESS);

    UseFreshCache();
    for (size_t i = 0; i < texts.size(); ++i) {
        std::string out = "unset";
        ASSERT_EQ(ReadString(LM, kDrv, "s" + std::to_string(i), out), ERROR_SUCCESS) << i;
        EXPECT_EQ(out, texts[i]) << i;
    }
    std::vector<ValueInfo> vals;
    ASSERT_EQ(EnumValues(LM, "Names", vals), ERROR_SUCCESS);
    ASSERT_EQ(vals.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(vals[i].name, names[i]);
        EXPECT_EQ(vals[i].value, Value::Dword(static_cast<uint32_t>(i)));
    }
    std::vector<uint8_t> bin;
    ASSERT_EQ(ReadBinary(LM, kDrv, "All", bin), ERROR_SUCCESS);
    EXPECT_EQ(bin, all);
    bin = {1};
    ASSERT_EQ(ReadBinary(LM, kDrv, "Empty", bin), ERROR_SUCCESS);
    EXPECT_TRUE(bin.empty());
    uint32_t d = 7;
    ASSERT_EQ(ReadDword(LM, kDrv, "Zero", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 0u);
    ASSERT_EQ(ReadDword(LM, kDrv, "Max", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 0xFFFFFFFFu);

    std::vector<std::string> sub;
    ASSERT_EQ(EnumSubKeys(CR, "Keys", sub), ERROR_SUCCESS);
    EXPECT_EQ(std::set<std::string>(sub.begin(), sub.end()),
              std::set<std::string>(keys.begin(), keys.end()));
    for (auto& k : keys) EXPECT_TRUE(KeyExists(CR, "Keys\\" + k + "\\child")) << k;

    // The file is meant to be read by people: text stays as it is where it can.
    std::string file = ReadFileBytes(HiveFile(LM));
    EXPECT_EQ(file.rfind("NORVALT-REGISTRY 1\n", 0), 0u);
    EXPECT_NE(file.find("\n[Software\\Norvalt\\Drv]\n"), std::string::npos);
    EXPECT_NE(file.find("\ns3=sz:COM1=9600 SHIFT1=0 LOG=2\n"), std::string::npos);
    EXPECT_NE(file.find("=sz:C:\\Logs\\\n"), std::string::npos);
    EXPECT_NE(file.find("Привет"), std::string::npos);
    EXPECT_EQ(fs::path(HiveFile(LM)).parent_path(), fs::path(StoreFolder()));
    EXPECT_EQ(fs::path(StoreFolder()), fs::path(root_ + fresh_) / "registry");
}

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheirCase) {
    ASSERT_EQ(WriteString(LM, kDrv, "Parameters", "one"), ERROR_SUCCESS);
    std::string s;
    ASSERT_EQ(ReadString(LM, "software\\NORVALT\\drv\\", "PARAMETERS", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "one");
    ASSERT_EQ(ReadString(LM, "Software\\\\Norvalt\\Drv", "parameters", s), ERROR_SUCCESS);

    // Rewriting under another case changes the value, not the stored names.
    ASSERT_EQ(WriteString(LM, "SOFTWARE\\norvalt\\DRV", "parameters", "two"), ERROR_SUCCESS);
    ASSERT_EQ(CreateKey(LM, "SOFTWARE\\NORVALT\\DRV\\Sub"), ERROR_SUCCESS);
    UseFreshCache();
    std::vector<ValueInfo> vals;
    ASSERT_EQ(EnumValues(LM, kDrv, vals), ERROR_SUCCESS);
    ASSERT_EQ(vals.size(), 1u);
    EXPECT_EQ(vals[0].name, "Parameters");
    EXPECT_EQ(vals[0].value.text, "two");
    std::vector<std::string> keys;
    ASSERT_EQ(EnumSubKeys(LM, "Software", keys), ERROR_SUCCESS);
    EXPECT_EQ(keys, std::vector<std::string>{"Norvalt"});
    ASSERT_EQ(EnumSubKeys(LM, "Software\\Norvalt\\Drv", keys), ERROR_SUCCESS);
    EXPECT_EQ(keys, std::vector<std::string>{"Sub"});

    // Values list in creation order (also after an overwrite), subkeys sorted without case.
    for (auto n : {"Zeta", "alpha", "Mid"}) ASSERT_EQ(WriteDword(LM, "Order", n, 1), ERROR_SUCCESS);
    ASSERT_EQ(WriteDword(LM, "Order", "ZETA", 2), ERROR_SUCCESS);
    for (auto k : {"b", "A", "c", "B2"}) ASSERT_EQ(CreateKey(LM, std::string("Order\\") + k), 0);
    UseFreshCache();
    ASSERT_EQ(EnumValues(LM, "Order", vals), ERROR_SUCCESS);
    ASSERT_EQ(vals.size(), 3u);
    EXPECT_EQ(vals[0].name, "Zeta");
    EXPECT_EQ(vals[0].value.dword, 2u);
    EXPECT_EQ(vals[1].name, "alpha");
    EXPECT_EQ(vals[2].name, "Mid");
    ASSERT_EQ(EnumSubKeys(LM, "Order", keys), ERROR_SUCCESS);
    EXPECT_EQ(keys, (std::vector<std::string>{"A", "b", "B2", "c"}));
}

TEST_F(RegistryTest, BadNamesAreRefusedAndWriteNothing) {
    const std::string nul("a\0b", 3);
    EXPECT_EQ(WriteString(LM, "Key\\" + nul, "v", "x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WriteString(LM, "Key", nul, "x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateKey(LM, nul), ERROR_INVALID_PARAMETER);
    std::string s;
    EXPECT_EQ(ReadString(LM, "Key", nul, s), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(DeleteKeyTree(LM, ""), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(DeleteKeyTree(LM, "\\\\"), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(fs::exists(HiveFile(LM)));
    EXPECT_FALSE(KeyExists(LM, "Key"));
    // The root exists and may hold values.
    EXPECT_TRUE(KeyExists(LM, ""));
    ASSERT_EQ(WriteString(LM, "\\", "RootValue", "r"), ERROR_SUCCESS);
    UseFreshCache();
    ASSERT_EQ(ReadString(LM, "", "rootvalue", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "r");
}

TEST_F(RegistryTest, EnumerationAndRecursiveDelete) {
    const std::string zrn = std::string(kDrv) + "\\ZrnDev";
    ASSERT_EQ(WriteDword(LM, zrn + "\\1", "ComPort", 1), ERROR_SUCCESS);
    ASSERT_EQ(WriteDword(LM, zrn + "\\2", "ComPort", 2), ERROR_SUCCESS);
    ASSERT_EQ(WriteBinary(LM, zrn + "\\2\\deep\\deeper", "x", {1, 2}), ERROR_SUCCESS);
    ASSERT_EQ(WriteDword(LM, zrn + "\\3", "ComPort", 3), ERROR_SUCCESS);
    ASSERT_EQ(CreateKey(CR, "\\NorvaltDrv.DA2\\OPC\\Vendor"), ERROR_SUCCESS);  // empty keys

    ASSERT_EQ(DeleteKeyTree(LM, zrn + "\\2"), ERROR_SUCCESS);
    EXPECT_EQ(DeleteKeyTree(LM, zrn + "\\2"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(DeleteValue(LM, zrn + "\\1", "comport"), ERROR_SUCCESS);
    EXPECT_EQ(DeleteValue(LM, zrn + "\\1", "ComPort"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(DeleteValue(LM, zrn + "\\9", "ComPort"), ERROR_FILE_NOT_FOUND);

    UseFreshCache();
    std::vector<std::string> keys;
    ASSERT_EQ(EnumSubKeys(LM, zrn, keys), ERROR_SUCCESS);
    EXPECT_EQ(keys, (std::vector<std::string>{"1", "3"}));
    EXPECT_FALSE(KeyExists(LM, zrn + "\\2\\deep"));
    EXPECT_TRUE(KeyExists(LM, zrn + "\\1"));
    std::vector<ValueInfo> vals{{"stale", {}}};
    ASSERT_EQ(EnumValues(LM, zrn + "\\1", vals), ERROR_SUCCESS);
    EXPECT_TRUE(vals.empty());
    uint32_t d = 0;
    ASSERT_EQ(ReadDword(LM, zrn + "\\3", "ComPort", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 3u);
    EXPECT_TRUE(KeyExists(CR, "NorvaltDrv.DA2\\OPC\\Vendor"));

    EXPECT_EQ(EnumSubKeys(LM, zrn + "\\2", keys), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(EnumValues(LM, zrn + "\\2", vals), ERROR_FILE_NOT_FOUND);
    std::string s;
    EXPECT_EQ(ReadString(LM, zrn + "\\2", "x", s), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadString(CR, "Nothing", "", s), ERROR_FILE_NOT_FOUND);

    ASSERT_EQ(DeleteKeyTree(LM, "SOFTWARE"), ERROR_SUCCESS);
    ASSERT_EQ(EnumSubKeys(LM, "", keys), ERROR_SUCCESS);
    EXPECT_TRUE(keys.empty());
}

TEST_F(RegistryTest, KindMismatchIsReported) {
    ASSERT_EQ(WriteString(LM, kDrv, "Str", "5"), ERROR_SUCCESS);
    ASSERT_EQ(WriteDword(LM, kDrv, "Num", 5), ERROR_SUCCESS);
    ASSERT_EQ(WriteBinary(LM, kDrv, "Bin", {5, 0, 0, 0}), ERROR_SUCCESS);
    std::string s = "keep";
    uint32_t d = 77;
    std::vector<uint8_t> b = {9};
    EXPECT_EQ(ReadDword(LM, kDrv, "Str", d), ERROR_INVALID_DATA);
    EXPECT_EQ(ReadBinary(LM, kDrv, "Str", b), ERROR_INVALID_DATA);
    EXPECT_EQ(ReadString(LM, kDrv, "Num", s), ERROR_INVALID_DATA);
    EXPECT_EQ(ReadBinary(LM, kDrv, "Num", b), ERROR_INVALID_DATA);
    EXPECT_EQ(ReadString(LM, kDrv, "Bin", s), ERROR_INVALID_DATA);
    EXPECT_EQ(ReadDword(LM, kDrv, "Bin", d), ERROR_INVALID_DATA);
    EXPECT_EQ(s, "keep");
    EXPECT_EQ(d, 77u);
    EXPECT_EQ(b, std::vector<uint8_t>{9});

    Value v;
    ASSERT_EQ(QueryValue(LM, kDrv, "num", v), ERROR_SUCCESS);
    EXPECT_EQ(v.kind, Kind::Dword);
    // A write may change the kind.
    ASSERT_EQ(WriteString(LM, kDrv, "NUM", "text now"), ERROR_SUCCESS);
    UseFreshCache();
    ASSERT_EQ(QueryValue(LM, kDrv, "Num", v), ERROR_SUCCESS);
    EXPECT_EQ(v, Value::String("text now"));
    EXPECT_EQ(ReadDword(LM, kDrv, "Num", d), ERROR_INVALID_DATA);
}

TEST_F(RegistryTest, BatchIsAllOrNothing) {
    const std::string post = std::string(kDrv) + "\\ZrnDev\\7";
    ASSERT_EQ(WriteString(LM, post, "OldValue", "stale"), ERROR_SUCCESS);
    const uint64_t gen0 = GenerationOf(ReadFileBytes(HiveFile(LM)));

    // A bad operation at the end undoes the earlier ones.
    Batch bad(LM);
    bad.DeleteKeyTree(post)
        .WriteDword(post, "ComPort", 3)
        .WriteString(post, std::string("x\0", 2), "");
    EXPECT_EQ(bad.Commit(), ERROR_INVALID_PARAMETER);
    std::string s;
    EXPECT_EQ(ReadString(LM, post, "OldValue", s), ERROR_SUCCESS);
    uint32_t d = 0;
    EXPECT_EQ(ReadDword(LM, post, "ComPort", d), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GenerationOf(ReadFileBytes(HiveFile(LM))), gen0);

    // Delete, recreate and fill: one write; deleting what is missing does not fail a batch.
    Batch save(LM);
    save.DeleteKeyTree(post)
        .DeleteKeyTree(post + "\\NeverThere")
        .DeleteValue(post, "NeverThere")
        .WriteDword(post, "ComPort", 3)
        .WriteBinary(post, "VolumeValue", {1, 2, 3, 4, 5, 6, 7, 8})
        .WriteBinary(post, "VolumeTimeStamp", {8, 7, 6, 5, 4, 3, 2, 1});
    ASSERT_EQ(save.Commit(), ERROR_SUCCESS);
    EXPECT_EQ(GenerationOf(ReadFileBytes(HiveFile(LM))), gen0 + 1);
    UseFreshCache();
    EXPECT_EQ(ReadString(LM, post, "OldValue", s), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(ReadDword(LM, post, "ComPort", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 3u);
    std::vector<ValueInfo> vals;
    ASSERT_EQ(EnumValues(LM, post, vals), ERROR_SUCCESS);
    EXPECT_EQ(vals.size(), 3u);

    // When the file cannot be written, nothing of the batch shows, here or on disk.
    const std::string before = ReadFileBytes(HiveFile(LM));
    ASSERT_TRUE(fs::create_directory(HiveFile(LM) + ".tmp"));
    Batch blocked(LM);
    blocked.WriteDword(post, "ComPort", 4).WriteString(post, "New", "n");
    EXPECT_EQ(blocked.Commit(), ERROR_CANTWRITE);
    EXPECT_FALSE(Messages().empty());
    ASSERT_EQ(ReadDword(LM, post, "ComPort", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 3u);
    EXPECT_EQ(ReadString(LM, post, "New", s), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadFileBytes(HiveFile(LM)), before);
    fs::remove(HiveFile(LM) + ".tmp");
    ASSERT_EQ(blocked.Commit(), ERROR_SUCCESS);
    UseFreshCache();
    ASSERT_EQ(ReadString(LM, post, "New", s), ERROR_SUCCESS);
}

TEST_F(RegistryTest, UpdateDiscardsWhatAFailedCallbackChanged) {
    ASSERT_EQ(WriteDword(LM, "C", "n", 1), ERROR_SUCCESS);
    const std::string before = ReadFileBytes(HiveFile(LM));

    EXPECT_EQ(Update(LM,
                     [](Transaction& t) {
                         EXPECT_EQ(t.WriteDword("C", "n", 2), ERROR_SUCCESS);
                         EXPECT_EQ(t.CreateKey("C\\New"), ERROR_SUCCESS);
                         uint32_t v = 0;
                         EXPECT_EQ(t.ReadDword("c", "N", v), ERROR_SUCCESS);
                         EXPECT_EQ(v, 2u);  // sees its own write
                         return ERROR_INVALID_DATA;
                     }),
              ERROR_INVALID_DATA);
    EXPECT_THROW(Update(LM,
                        [](Transaction& t) -> long {
                            t.WriteDword("C", "n", 3);
                            throw std::runtime_error("boom");
                        }),
                 std::runtime_error);
    uint32_t v = 0;
    ASSERT_EQ(ReadDword(LM, "C", "n", v), ERROR_SUCCESS);
    EXPECT_EQ(v, 1u);
    EXPECT_FALSE(KeyExists(LM, "C\\New"));

    // A read-only update and a rewrite of equal data write nothing.
    EXPECT_EQ(Update(LM, [](Transaction& t) { return t.KeyExists("C") ? 0L : 1L; }), 0L);
    EXPECT_EQ(WriteDword(LM, "c", "N", 1), ERROR_SUCCESS);
    EXPECT_EQ(CreateKey(LM, "C"), ERROR_SUCCESS);
    EXPECT_EQ(ReadFileBytes(HiveFile(LM)), before);

    // A registry call on the same hive from inside an update is refused, not a deadlock.
    EXPECT_EQ(Update(LM,
                     [](Transaction& t) {
                         std::string s;
                         EXPECT_EQ(ReadString(LM, "C", "x", s), ERROR_INVALID_PARAMETER);
                         EXPECT_EQ(WriteString(CR, "Other", "x", "y"), ERROR_SUCCESS);
                         return t.WriteDword("C", "n", 5);
                     }),
              ERROR_SUCCESS);
    ASSERT_EQ(ReadDword(LM, "C", "n", v), ERROR_SUCCESS);
    EXPECT_EQ(v, 5u);
}

TEST_F(RegistryTest, LeftoverTemporaryFileIsIgnoredAndReplaced) {
    ASSERT_EQ(WriteString(LM, kDrv, "A", "a"), ERROR_SUCCESS);
    {
        std::ofstream f(HiveFile(LM) + ".tmp", std::ios::binary);
        f << "NORVALT-REGISTRY 1\nGeneration 99\n[Software]\nhalf=sz:writ";
    }
    UseFreshCache();
    std::string s;
    ASSERT_EQ(ReadString(LM, kDrv, "A", s), ERROR_SUCCESS);
    ASSERT_EQ(WriteString(LM, kDrv, "B", "b"), ERROR_SUCCESS);
    EXPECT_FALSE(fs::exists(HiveFile(LM) + ".tmp"));
    UseFreshCache();
    ASSERT_EQ(ReadString(LM, kDrv, "B", s), ERROR_SUCCESS);
    EXPECT_EQ(ReadString(LM, "Software", "half", s), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, RewriteKeepsTheFilesOwnerAndMode) {
    ASSERT_EQ(WriteString(LM, kDrv, "A", "a"), ERROR_SUCCESS);
    const std::string file = HiveFile(LM);
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    // As root the file goes to another account, as the service's store is; otherwise only the
    // mode can be told apart.
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(file.c_str(), 4321, 4322), 0);
    }
    ASSERT_EQ(WriteString(LM, kDrv, "B", "b"), ERROR_SUCCESS);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 4322u);
    }
    UseFreshCache();
    std::string s;
    ASSERT_EQ(ReadString(LM, kDrv, "B", s), ERROR_SUCCESS);
}

TEST_F(RegistryTest, UnwritableStoreGivesCantWrite) {
    {
        std::ofstream f(root_ + "/registry");  // a file where the folder should be
        f << "x";
    }
    EXPECT_EQ(WriteString(LM, kDrv, "A", "a"), ERROR_CANTWRITE);
    EXPECT_EQ(Batch(LM).WriteDword("K", "n", 1).Commit(), ERROR_CANTWRITE);
    EXPECT_FALSE(Messages().empty());
    std::string s;
    EXPECT_EQ(ReadString(LM, kDrv, "A", s), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadFileBytes(root_ + "/registry"), "x");
}

TEST_F(RegistryTest, DamagedFileIsReportedOnceAndNeverOverwritten) {
    ASSERT_EQ(WriteString(LM, kDrv, "Parameters", "COM1=9600"), ERROR_SUCCESS);
    ASSERT_EQ(WriteDword(LM, kDrv, "Start", 3), ERROR_SUCCESS);
    ASSERT_EQ(WriteString(CR, "AppID\\NorvaltDrv.EXE", "AppID", "{X}"), ERROR_SUCCESS);
    const std::string good = ReadFileBytes(HiveFile(LM));
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        auto pos = s.find(from);
        EXPECT_NE(pos, std::string::npos) << from;
        if (pos != std::string::npos) s.replace(pos, from.size(), to);
        return s;
    };
    const std::vector<std::pair<std::string, std::string>> damages = {
        {"cut in half", good.substr(0, good.size() / 2)},
        {"cut before End", good.substr(0, good.size() - 4)},
        {"cut inside End", good.substr(0, good.size() - 2)},
        {"bad escape", replaced("COM1=9600", "COM1=%G600")},
        {"short escape", replaced("COM1=9600\n", "COM1=9600%4\n")},
        {"unknown kind", replaced("Start=dword:", "Start=qword:")},
        {"dword overflow", replaced("Start=dword:3", "Start=dword:4294967296")},
        {"duplicate value", replaced("Start=dword:3\n", "Start=dword:3\nSTART=dword:4\n")},
        {"value outside a key", replaced("[Software", "x=sz:1\n[Software")},
        {"zero-filled tail", good + std::string(32, '\0')},
        {"newer format", replaced("NORVALT-REGISTRY 1", "NORVALT-REGISTRY 2")},
        {"empty", ""},
    };
    for (const auto& [what, bytes] : damages) {
        SCOPED_TRACE(what);
        ReplaceFile(HiveFile(LM), bytes);
        ClearMessages();
        std::string s;
        EXPECT_EQ(ReadString(LM, kDrv, "Parameters", s), ERROR_BADDB);
        EXPECT_EQ(WriteString(LM, kDrv, "Parameters", "COM2=1"), ERROR_BADDB);
        EXPECT_EQ(WriteDword(LM, "New", "n", 1), ERROR_BADDB);
        EXPECT_EQ(CreateKey(LM, "New"), ERROR_BADDB);
        EXPECT_EQ(DeleteKeyTree(LM, "Software"), ERROR_BADDB);
        EXPECT_EQ(DeleteValue(LM, kDrv, "Start"), ERROR_BADDB);
        EXPECT_EQ(Batch(LM).WriteDword("K", "n", 1).Commit(), ERROR_BADDB);
        EXPECT_EQ(Update(LM, [](Transaction&) { return ERROR_SUCCESS; }), ERROR_BADDB);
        std::vector<std::string> keys;
        EXPECT_EQ(EnumSubKeys(LM, "", keys), ERROR_BADDB);
        EXPECT_FALSE(KeyExists(LM, "Software"));
        EXPECT_EQ(ReadFileBytes(HiveFile(LM)), bytes);
        auto msgs = Messages();
        ASSERT_EQ(msgs.size(), 1u);
        EXPECT_NE(msgs[0].find(HiveFile(LM)), std::string::npos) << msgs[0];
        EXPECT_NE(msgs[0].find("damaged"), std::string::npos) << msgs[0];
        // The other hive is not affected.
        EXPECT_EQ(ReadString(CR, "AppID\\NorvaltDrv.EXE", "AppID", s), ERROR_SUCCESS);
    }
    // Repaired by hand: usable again at once.
    ReplaceFile(HiveFile(LM), good);
    std::string s;
    ASSERT_EQ(ReadString(LM, kDrv, "Parameters", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "COM1=9600");
    ASSERT_EQ(WriteDword(LM, kDrv, "Start", 2), ERROR_SUCCESS);
}

TEST_F(RegistryTest, HandEditedFileIsAccepted) {
    // What a person may reasonably type: CRLF line ends, comments, hex dwords, loose headers.
    ASSERT_TRUE(EnsureDirectory(StoreFolder()));
    ReplaceFile(
        HiveFile(LM),
        "NORVALT-REGISTRY 1\r\nGeneration 0\r\n; ports\r\n\r\n[\\Software\\Norvalt\\Drv\\]\r\n"
        "Parameters=sz:COM1=9600 LOG=2\r\nStart=dword:0x10\r\n@=sz:default\r\n"
        "[Software\\Norvalt\\Drv\\MBDev\\COM3\\5]\r\nNumber=dword:5\r\nEnd\r\n\r\n");
    std::string s;
    ASSERT_EQ(ReadString(LM, kDrv, "Parameters", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "COM1=9600 LOG=2");
    ASSERT_EQ(ReadString(LM, kDrv, "", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "default");
    uint32_t d = 0;
    ASSERT_EQ(ReadDword(LM, kDrv, "Start", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 16u);
    ASSERT_EQ(ReadDword(LM, std::string(kDrv) + "\\MBDev\\COM3\\5", "Number", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 5u);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(RegistryTest, BareBlankAtANameEdgeIsRefusedAsATypo) {
    ASSERT_EQ(WriteString(LM, kDrv, "Parameters", "COM1=9600 PROTOCOL=3"), ERROR_SUCCESS);
    // Names that do begin or end with a blank are written escaped, so they still read back.
    ASSERT_EQ(WriteDword(LM, " Edge ", " v ", 1), ERROR_SUCCESS);
    const std::string good = ReadFileBytes(HiveFile(LM));
    UseFreshCache();
    uint32_t d = 0;
    ASSERT_EQ(ReadDword(LM, " Edge ", " v ", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 1u);

    const std::string kLine = "[Software\\Norvalt\\Drv]\nParameters=sz:";
    ASSERT_NE(good.find(kLine), std::string::npos);
    const std::vector<std::pair<std::string, std::string>> typos = {
        {"[Software\\Norvalt\\Drv ]\n", "Parameters=sz:"},
        {"[Software\\Norvalt\\ Drv]\n", "Parameters=sz:"},
        {"[Software \\Norvalt\\Drv]\n", "Parameters=sz:"},
        {"[ Software\\Norvalt\\Drv]\n", "Parameters=sz:"},
        {"[Software\\Norvalt\\Drv]\n", "Parameters =sz:"},
        {"[Software\\Norvalt\\Drv]\n", " Parameters=sz:"},
    };
    for (const auto& [header, value] : typos) {
        std::string bytes = good;
        bytes.replace(bytes.find(kLine), kLine.size(), header + value);
        SCOPED_TRACE(header + value);
        const size_t line = 1 + static_cast<size_t>(std::count(
                                    bytes.begin(), bytes.begin() + bytes.find(value), '\n'));
        ReplaceFile(HiveFile(LM), bytes);
        ClearMessages();
        std::string s;
        EXPECT_EQ(ReadString(LM, kDrv, "Parameters", s), ERROR_BADDB);
        EXPECT_EQ(WriteString(LM, kDrv, "Parameters", "COM2=1"), ERROR_BADDB);
        EXPECT_EQ(ReadFileBytes(HiveFile(LM)), bytes);
        auto msgs = Messages();
        ASSERT_EQ(msgs.size(), 1u);
        const size_t at = header.find(' ') != std::string::npos ? line - 1 : line;
        EXPECT_NE(msgs[0].find("line " + std::to_string(at) + ": blank at the start or end"),
                  std::string::npos)
            << msgs[0];
    }
}

// ---------------------------------------------------------------------------------------------
// Several processes and threads

TEST_F(RegistryTest, AnotherProcessesWriteIsSeen) {
    ASSERT_EQ(WriteDword(LM, kDrv, "Value", 1), ERROR_SUCCESS);
    uint32_t d = 0;
    ASSERT_EQ(ReadDword(LM, kDrv, "Value", d), ERROR_SUCCESS);  // now cached here
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        _exit(WriteDword(LM, kDrv, "Value", 2) == ERROR_SUCCESS &&
                      WriteDword(LM, kDrv, "Other", 3) == ERROR_SUCCESS
                  ? 0
                  : 1);
    ASSERT_TRUE(ChildSucceeded(pid));
    ASSERT_EQ(ReadDword(LM, kDrv, "Value", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 2u);
    // And a write here keeps the other process's values.
    ASSERT_EQ(WriteDword(LM, kDrv, "Mine", 4), ERROR_SUCCESS);
    UseFreshCache();
    ASSERT_EQ(ReadDword(LM, kDrv, "Other", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 3u);
}

// Processes that read-modify-write a shared counter while the parent reads: no update may be
// lost (that needs the cross-process lock and the reload) and no read may see half an update.
TEST_F(RegistryTest, ConcurrentProcessesLoseNoUpdates) {
    constexpr int kProcs = 3, kRounds = 12;
    ASSERT_EQ(CreateKey(LM, "Pair"), ERROR_SUCCESS);
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const std::string own = "P" + std::to_string(p);
            for (int i = 0; i < kRounds; ++i) {
                long rc = Update(LM, [&](Transaction& t) {
                    uint32_t shared = 0, mine = 0;
                    t.ReadDword("Counters", "Shared", shared);
                    t.ReadDword("Counters", own, mine);
                    t.WriteDword("Counters", "Shared", shared + 1);
                    t.WriteDword("Counters", own, mine + 1);
                    const uint32_t token = static_cast<uint32_t>(p * 1000 + i);
                    t.WriteDword("Pair", "A", token);
                    return t.WriteDword("Pair", "B", token);
                });
                if (rc != ERROR_SUCCESS) _exit(2);
            }
            _exit(0);
        }
        pids.push_back(pid);
    }
    int reads = 0, torn = 0, errors = 0, failed_children = 0;
    for (;;) {
        bool running = false;
        for (pid_t& pid : pids) {
            if (pid < 0) continue;
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == 0) {
                running = true;
                continue;
            }
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed_children;
            pid = -1;
        }
        std::vector<ValueInfo> vals;
        if (EnumValues(LM, "Pair", vals) != ERROR_SUCCESS) {
            ++errors;
        } else if (vals.size() == 2) {
            ++reads;
            if (!(vals[0].value == vals[1].value)) ++torn;
        }
        if (!running) break;
        ::usleep(200);
    }
    EXPECT_EQ(failed_children, 0);
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_GT(reads, 0);
    UseFreshCache();
    uint32_t d = 0;
    ASSERT_EQ(ReadDword(LM, "Counters", "Shared", d), ERROR_SUCCESS);
    EXPECT_EQ(d, static_cast<uint32_t>(kProcs * kRounds));
    for (int p = 0; p < kProcs; ++p) {
        ASSERT_EQ(ReadDword(LM, "Counters", "P" + std::to_string(p), d), ERROR_SUCCESS);
        EXPECT_EQ(d, static_cast<uint32_t>(kRounds));
    }
}

// A writer killed at a random moment: every write it had seen return is in the store, and the
// store still reads.
TEST_F(RegistryTest, KillDuringWritesLosesNothingThatReturned) {
    std::random_device rd;
    const unsigned seed = rd();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    // A bigger file makes the window of a write wider.
    Batch filler(LM);
    for (int k = 0; k < 100; ++k)
        filler.WriteString("Filler", "f" + std::to_string(k), std::string(500, 'f'));
    ASSERT_EQ(filler.Commit(), ERROR_SUCCESS);
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const std::string key = "Kill\\R" + std::to_string(round);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            for (uint32_t i = 0;; ++i) {
                if (WriteDword(LM, key, "v" + std::to_string(i), i) != ERROR_SUCCESS) _exit(2);
                if (::write(fds[1], &i, sizeof i) != static_cast<ssize_t>(sizeof i)) _exit(3);
            }
        }
        ::close(fds[1]);
        const int wanted = std::uniform_int_distribution<int>(2, 12)(rng);
        int64_t last = -1;
        uint32_t i = 0;
        for (int n = 0; n < wanted && ::read(fds[0], &i, sizeof i) == sizeof i; ++n) last = i;
        ::usleep(std::uniform_int_distribution<unsigned>(0, 3000)(rng));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended on its own: " << status;
        while (::read(fds[0], &i, sizeof i) == sizeof i) last = i;
        ::close(fds[0]);
        ASSERT_GE(last, 0);

        UseFreshCache();
        std::vector<ValueInfo> vals;
        ASSERT_EQ(EnumValues(LM, key, vals), ERROR_SUCCESS);
        // Values 0..last all there, plus at most the write that was under way.
        ASSERT_GE(vals.size(), static_cast<size_t>(last + 1));
        ASSERT_LE(vals.size(), static_cast<size_t>(last + 2));
        for (size_t k = 0; k < vals.size(); ++k) {
            EXPECT_EQ(vals[k].name, "v" + std::to_string(k));
            EXPECT_EQ(vals[k].value, Value::Dword(static_cast<uint32_t>(k)));
        }
        // The dead writer's lock is gone and a leftover temporary file does not matter.
        ASSERT_EQ(WriteDword(LM, "After", "round", static_cast<uint32_t>(round)), ERROR_SUCCESS);
    }
    EXPECT_TRUE(Messages().empty());
}

TEST_F(RegistryTest, ThreadsShareAHive) {
    constexpr int kWriters = 4, kRounds = 10;
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < kRounds; ++i) {
                long rc = Update(LM, [&](Transaction& t) {
                    uint32_t n = 0;
                    t.ReadDword("Counters", "Shared", n);
                    t.WriteDword("Pair", "A", n + 1);
                    t.WriteDword("Pair", "B", n + 1);
                    return t.WriteDword("Counters", "Shared", n + 1);
                });
                if (rc != ERROR_SUCCESS) ++bad;
                if (WriteString(CR, "T" + std::to_string(w), "i", std::to_string(i)) != 0) ++bad;
            }
        });
    }
    std::thread reader([&] {
        while (!done) {
            std::vector<ValueInfo> vals;
            if (EnumValues(LM, "Pair", vals) == ERROR_SUCCESS &&
                (vals.size() != 2 || !(vals[0].value == vals[1].value)))
                ++bad;
            std::string s;
            long rc = ReadString(CR, "T0", "i", s);
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) ++bad;
        }
    });
    for (auto& t : threads) t.join();
    done = true;
    reader.join();
    EXPECT_EQ(bad, 0);
    UseFreshCache();
    uint32_t n = 0;
    ASSERT_EQ(ReadDword(LM, "Counters", "Shared", n), ERROR_SUCCESS);
    EXPECT_EQ(n, static_cast<uint32_t>(kWriters * kRounds));
    std::string s;
    ASSERT_EQ(ReadString(CR, "T3", "i", s), ERROR_SUCCESS);
    EXPECT_EQ(s, std::to_string(kRounds - 1));
}

}  // namespace
