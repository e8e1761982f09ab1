// The registry: a hierarchical store of keys and values with Windows registry semantics,
// kept as one human-readable text file per hive under StoreFolder().
//
// Paths are backslash-separated; a leading backslash and empty segments are ignored, so
// "\Software\Norvalt\Drv" and "Software\\Norvalt\Drv\" name the same key. The empty path is the
// hive's root. Key and value names compare case-insensitively (ASCII) and keep the case they
// were created with. The default value has the empty name. A key name may hold any byte but '\'
// and NUL, a value name any byte but NUL.
//
// Every function returns a Win32 error code: ERROR_SUCCESS; ERROR_FILE_NOT_FOUND for a missing
// key or value; ERROR_INVALID_DATA when a value exists with another kind; ERROR_INVALID_PARAMETER
// for a bad name; ERROR_BADDB when the hive file is damaged (it is then never written);
// ERROR_CANTWRITE when the hive file cannot be written; ERROR_CANTREAD when it cannot be read.
//
// Every write is durable when it returns and all writes to one hive are serialised across
// processes (flock on "<hive>.lock"); readers see other processes' writes at their next call.
//
// File format (HKLM.reg, HKCR.reg), one record per line, '\n' line ends:
//   NORVALT-REGISTRY 1          format version, always the first line
//   Generation 42               bumped by every write
//   [Software\Norvalt\Drv]      key header: the key's full path; every key has one
//   Parameters=sz:COM1=9600     name=kind:data; kinds sz (text), dword (decimal or 0x hex),
//   Start=dword:2               bin (hex pairs); "@" is the default value's name
//   Blob=bin:00ff7f
//   End                         marks a complete file; nothing but blank lines may follow
// Names and text use %HH escapes for '%', control bytes, a trailing blank and the characters
// that would end the field ('=' in value names; '\', '[' and ']' in key names); all other bytes,
// UTF-8 included, stand as they are. Blank lines and lines starting with ';' are ignored.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types/hresult.h"

namespace plat::reg {

enum class Hive { LocalMachine, ClassesRoot };

enum class Kind { String, Dword, Binary };

struct Value {
    Kind kind = Kind::String;
    std::string text;            // Kind::String
    uint32_t dword = 0;          // Kind::Dword
    std::vector<uint8_t> bytes;  // Kind::Binary

    static Value String(std::string_view s);
    static Value Dword(uint32_t v);
    static Value Binary(std::vector<uint8_t> b);
    bool operator==(const Value&) const = default;
};

struct ValueInfo {
    std::string name;  // as created
    Value value;       // value.kind tells the kind
};

// "<SystemRoot()>/registry". Follows SystemRoot() at every call.
std::string StoreFolder();
// The file that holds a hive: StoreFolder() + "/HKLM.reg" or "/HKCR.reg".
std::string HiveFile(Hive hive);

long ReadString(Hive hive, std::string_view key, std::string_view name, std::string& out);
long ReadDword(Hive hive, std::string_view key, std::string_view name, uint32_t& out);
long ReadBinary(Hive hive, std::string_view key, std::string_view name, std::vector<uint8_t>& out);
// Any kind.
long QueryValue(Hive hive, std::string_view key, std::string_view name, Value& out);

// Writes create missing keys. Overwriting a value keeps its name's case and its place in the
// enumeration, and may change its kind.
long WriteString(Hive hive, std::string_view key, std::string_view name, std::string_view value);
long WriteDword(Hive hive, std::string_view key, std::string_view name, uint32_t value);
long WriteBinary(Hive hive, std::string_view key, std::string_view name,
                 const std::vector<uint8_t>& value);
long SetValue(Hive hive, std::string_view key, std::string_view name, const Value& value);

long CreateKey(Hive hive, std::string_view key);
// False also when the hive cannot be read (damaged file).
bool KeyExists(Hive hive, std::string_view key);
// Subkeys sorted case-insensitively; values in the order they were created.
long EnumSubKeys(Hive hive, std::string_view key, std::vector<std::string>& names);
long EnumValues(Hive hive, std::string_view key, std::vector<ValueInfo>& values);

long DeleteValue(Hive hive, std::string_view key, std::string_view name);
// Deletes the key with everything below it. The root cannot be deleted (INVALID_PARAMETER).
long DeleteKeyTree(Hive hive, std::string_view key);

namespace detail {
struct Node;
}

// The view of a hive inside Update(). Reads see the writes made earlier in the same update.
class Transaction {
  public:
    long ReadString(std::string_view key, std::string_view name, std::string& out) const;
    long ReadDword(std::string_view key, std::string_view name, uint32_t& out) const;
    long ReadBinary(std::string_view key, std::string_view name, std::vector<uint8_t>& out) const;
    long QueryValue(std::string_view key, std::string_view name, Value& out) const;
    bool KeyExists(std::string_view key) const;
    long EnumSubKeys(std::string_view key, std::vector<std::string>& names) const;
    long EnumValues(std::string_view key, std::vector<ValueInfo>& values) const;

    long WriteString(std::string_view key, std::string_view name, std::string_view value);
    long WriteDword(std::string_view key, std::string_view name, uint32_t value);
    long WriteBinary(std::string_view key, std::string_view name,
                     const std::vector<uint8_t>& value);
    long SetValue(std::string_view key, std::string_view name, const Value& value);
    long CreateKey(std::string_view key);
    long DeleteValue(std::string_view key, std::string_view name);
    long DeleteKeyTree(std::string_view key);

    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

  private:
    friend long Update(Hive, const std::function<long(Transaction&)>&);
    explicit Transaction(detail::Node& root) : root_(root) {}
    detail::Node& root_;
    bool changed_ = false;
};

// Read-modify-write under the hive's exclusive lock: fn sees the current contents; when it
// returns ERROR_SUCCESS its changes are written in one durable step (nothing is written when
// it changed nothing); any other result, or an exception, discards them all and is passed on.
// fn must use only the Transaction: a registry call on the same hive from inside fn fails
// with ERROR_INVALID_PARAMETER.
long Update(Hive hive, const std::function<long(Transaction&)>& fn);

// Writes and deletes collected and applied together by Commit(): all of them or none.
// Deletes inside a batch do not fail when the key or value is already missing, so
// "delete the key, create it again, fill it" is one batch.
class Batch {
  public:
    explicit Batch(Hive hive) : hive_(hive) {}

    Batch& WriteString(std::string_view key, std::string_view name, std::string_view value);
    Batch& WriteDword(std::string_view key, std::string_view name, uint32_t value);
    Batch& WriteBinary(std::string_view key, std::string_view name, std::vector<uint8_t> value);
    Batch& SetValue(std::string_view key, std::string_view name, Value value);
    Batch& CreateKey(std::string_view key);
    Batch& DeleteValue(std::string_view key, std::string_view name);
    Batch& DeleteKeyTree(std::string_view key);

    size_t size() const { return ops_.size(); }
    void Clear() { ops_.clear(); }
    // Applies every operation in order in one durable write; the first failing operation
    // (a bad name, for instance) makes the whole batch fail with its code. The batch keeps
    // its operations, so Commit may be retried.
    long Commit() const;

  private:
    enum class Op { Set, CreateKey, DeleteValue, DeleteKeyTree };
    struct Entry {
        Op op;
        std::string key;
        std::string name;
        Value value;
    };
    Hive hive_;
    std::vector<Entry> ops_;
};

// Where messages about damaged or unwritable hive files go (default: stderr). An empty
// function restores the default. Called without any registry lock held.
void SetErrorReporter(std::function<void(const std::string&)> reporter);

}  // namespace plat::reg
