#include "platform/registry/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/sysroot/sysroot.h"
#include "platform/types/wstr.h"

namespace plat::reg {

namespace detail {
struct Node {
    struct Entry {
        std::string name;
        Value value;
        uint64_t seq = 0;
    };
    std::string name;
    std::map<std::string, std::unique_ptr<Node>> children;  // by lower-cased name
    std::map<std::string, Entry> values;                    // by lower-cased name
    uint64_t next_seq = 0;
};
}  // namespace detail

using detail::Node;

Value Value::String(std::string_view s) {
    Value v;
    v.kind = Kind::String;
    v.text = std::string(s);
    return v;
}
Value Value::Dword(uint32_t d) {
    Value v;
    v.kind = Kind::Dword;
    v.dword = d;
    return v;
}
Value Value::Binary(std::vector<uint8_t> b) {
    Value v;
    v.kind = Kind::Binary;
    v.bytes = std::move(b);
    return v;
}

namespace {

constexpr std::string_view kMagic = "NORVALT-REGISTRY";
constexpr std::string_view kVersionLine = "NORVALT-REGISTRY 1";
constexpr std::string_view kGenerationPrefix = "Generation ";
constexpr std::string_view kEndLine = "End";
constexpr size_t kPrefixBytes = 64;  // holds the version and generation lines

// ---------------------------------------------------------------------------------------------
// Error reporting

std::mutex g_reporter_mu;
std::function<void(const std::string&)> g_reporter;

void Report(const std::string& msg) {
    std::function<void(const std::string&)> fn;
    {
        std::lock_guard<std::mutex> lk(g_reporter_mu);
        fn = g_reporter;
    }
    if (fn) {
        fn(msg);
    } else {
        std::fprintf(stderr, "%s\n", msg.c_str());
        std::fflush(stderr);
    }
}

std::string ErrnoText(int err) {
    return std::strerror(err);
}

// ---------------------------------------------------------------------------------------------
// Paths and names

bool HasNul(std::string_view s) {
    return s.find('\0') != std::string_view::npos;
}

long SplitKey(std::string_view key, std::vector<std::string_view>& segs) {
    segs.clear();
    size_t start = 0;
    while (start <= key.size()) {
        size_t end = key.find('\\', start);
        if (end == std::string_view::npos) end = key.size();
        std::string_view seg = key.substr(start, end - start);
        if (!seg.empty()) {
            if (HasNul(seg)) return ERROR_INVALID_PARAMETER;
            segs.push_back(seg);
        }
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

const Node* FindNode(const Node& root, const std::vector<std::string_view>& segs) {
    const Node* n = &root;
    for (auto seg : segs) {
        auto it = n->children.find(AsciiLower(seg));
        if (it == n->children.end()) return nullptr;
        n = it->second.get();
    }
    return n;
}

Node* FindNode(Node& root, const std::vector<std::string_view>& segs) {
    return const_cast<Node*>(FindNode(static_cast<const Node&>(root), segs));
}

Node* MakeNode(Node& root, const std::vector<std::string_view>& segs, bool* created = nullptr) {
    Node* n = &root;
    for (auto seg : segs) {
        auto& slot = n->children[AsciiLower(seg)];
        if (!slot) {
            slot = std::make_unique<Node>();
            slot->name = std::string(seg);
            if (created) *created = true;
        }
        n = slot.get();
    }
    return n;
}

// ---------------------------------------------------------------------------------------------
// Operations on a tree

long TreeQuery(const Node& root, std::string_view key, std::string_view name, const Value*& out) {
    std::vector<std::string_view> segs;
    if (SplitKey(key, segs) != ERROR_SUCCESS || HasNul(name)) return ERROR_INVALID_PARAMETER;
    const Node* n = FindNode(root, segs);
    if (!n) return ERROR_FILE_NOT_FOUND;
    auto it = n->values.find(AsciiLower(name));
    if (it == n->values.end()) return ERROR_FILE_NOT_FOUND;
    out = &it->second.value;
    return ERROR_SUCCESS;
}

long TreeSet(Node& root, std::string_view key, std::string_view name, const Value& v,
             bool& changed) {
    std::vector<std::string_view> segs;
    if (SplitKey(key, segs) != ERROR_SUCCESS || HasNul(name)) return ERROR_INVALID_PARAMETER;
    Node* n = MakeNode(root, segs, &changed);
    auto [it, inserted] = n->values.try_emplace(AsciiLower(name));
    if (inserted) {
        it->second.name = std::string(name);
        it->second.seq = n->next_seq++;
        it->second.value = v;
        changed = true;
    } else if (!(it->second.value == v)) {
        it->second.value = v;
        changed = true;
    }
    return ERROR_SUCCESS;
}

long TreeCreateKey(Node& root, std::string_view key, bool& changed) {
    std::vector<std::string_view> segs;
    if (SplitKey(key, segs) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
    MakeNode(root, segs, &changed);
    return ERROR_SUCCESS;
}

long TreeDeleteValue(Node& root, std::string_view key, std::string_view name, bool& changed) {
    std::vector<std::string_view> segs;
    if (SplitKey(key, segs) != ERROR_SUCCESS || HasNul(name)) return ERROR_INVALID_PARAMETER;
    Node* n = FindNode(root, segs);
    if (!n || n->values.erase(AsciiLower(name)) == 0) return ERROR_FILE_NOT_FOUND;
    changed = true;
    return ERROR_SUCCESS;
}

long TreeDeleteKey(Node& root, std::string_view key, bool& changed) {
    std::vector<std::string_view> segs;
    if (SplitKey(key, segs) != ERROR_SUCCESS || segs.empty()) return ERROR_INVALID_PARAMETER;
    auto last = segs.back();
    segs.pop_back();
    Node* parent = FindNode(root, segs);
    if (!parent || parent->children.erase(AsciiLower(last)) == 0) return ERROR_FILE_NOT_FOUND;
    changed = true;
    return ERROR_SUCCESS;
}

std::vector<const Node::Entry*> ValuesInOrder(const Node& n) {
    std::vector<const Node::Entry*> v;
    v.reserve(n.values.size());
    for (auto& [k, e] : n.values) v.push_back(&e);
    std::sort(v.begin(), v.end(), [](auto* a, auto* b) { return a->seq < b->seq; });
    return v;
}

long TreeEnumSubKeys(const Node& root, std::string_view key, std::vector<std::string>& names) {
    names.clear();
    std::vector<std::string_view> segs;
    if (SplitKey(key, segs) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
    const Node* n = FindNode(root, segs);
    if (!n) return ERROR_FILE_NOT_FOUND;
    for (auto& [k, c] : n->children) names.push_back(c->name);
    return ERROR_SUCCESS;
}

long TreeEnumValues(const Node& root, std::string_view key, std::vector<ValueInfo>& values) {
    values.clear();
    std::vector<std::string_view> segs;
    if (SplitKey(key, segs) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
    const Node* n = FindNode(root, segs);
    if (!n) return ERROR_FILE_NOT_FOUND;
    for (auto* e : ValuesInOrder(*n)) values.push_back(ValueInfo{e->name, e->value});
    return ERROR_SUCCESS;
}

bool TreeKeyExists(const Node& root, std::string_view key) {
    std::vector<std::string_view> segs;
    if (SplitKey(key, segs) != ERROR_SUCCESS) return false;
    return FindNode(root, segs) != nullptr;
}

long TreeRead(const Node& root, std::string_view key, std::string_view name, Kind kind,
              const Value*& out) {
    long rc = TreeQuery(root, key, name, out);
    if (rc == ERROR_SUCCESS && out->kind != kind) return ERROR_INVALID_DATA;
    return rc;
}

// ---------------------------------------------------------------------------------------------
// Text format

constexpr char kHex[] = "0123456789ABCDEF";

// %HH-escapes '%', control bytes, a trailing blank and the bytes in `specials`.
void Escape(std::string& out, std::string_view s, std::string_view specials) {
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        bool esc = c < 0x20 || c == 0x7F || c == '%' ||
                   specials.find(static_cast<char>(c)) != std::string_view::npos ||
                   (c == ' ' && i + 1 == s.size());
        if (esc) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
}

// A key name: a leading blank is escaped as well, as the reader refuses a bare blank at either
// end of a name (decisions PLAT-REG-1).
void EscapeKeyName(std::string& out, std::string_view name) {
    if (!name.empty() && name.front() == ' ') {
        out += "%20";
        name.remove_prefix(1);
    }
    Escape(out, name, "\\[]");
}

void EscapeValueName(std::string& out, std::string_view name) {
    if (name.empty()) {
        out += '@';
        return;
    }
    // A leading '[', ';' or '@' would read as a key header, a comment or the default value; a
    // leading blank as a typo (decisions PLAT-REG-1).
    char c0 = name.front();
    if (c0 == '[' || c0 == ';' || c0 == '@' || c0 == ' ') {
        out += '%';
        out += kHex[static_cast<unsigned char>(c0) >> 4];
        out += kHex[c0 & 15];
        name.remove_prefix(1);
    }
    Escape(out, name, "=");
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Unescape(std::string_view s, std::string& out) {
    out.clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) return false;
        int hi = HexDigit(s[i + 1]), lo = HexDigit(s[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

void SerializeNode(std::string& out, const Node& n, const std::string& path, bool is_root) {
    if (!is_root || !n.values.empty()) {
        out += '[';
        out += path;
        out += "]\n";
        for (auto* e : ValuesInOrder(n)) {
            EscapeValueName(out, e->name);
            out += '=';
            switch (e->value.kind) {
                case Kind::String:
                    out += "sz:";
                    Escape(out, e->value.text, "");
                    break;
                case Kind::Dword:
                    out += "dword:";
                    out += std::to_string(e->value.dword);
                    break;
                case Kind::Binary:
                    out += "bin:";
                    for (uint8_t b : e->value.bytes) {
                        out += kHex[b >> 4];
                        out += kHex[b & 15];
                    }
                    break;
            }
            out += '\n';
        }
    }
    for (auto& [k, c] : n.children) {
        std::string child = path;
        if (!is_root) child += '\\';
        EscapeKeyName(child, c->name);
        SerializeNode(out, *c, child, false);
    }
}

std::string Serialize(const Node& root, uint64_t generation) {
    std::string out;
    out += kVersionLine;
    out += '\n';
    out += kGenerationPrefix;
    out += std::to_string(generation);
    out += '\n';
    SerializeNode(out, root, "", true);
    out += kEndLine;
    out += '\n';
    return out;
}

bool ParseUnsigned(std::string_view s, uint64_t max, uint64_t& out) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty() || s.size() > 20) return false;
    uint64_t v = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0 || d >= base) return false;
        if (v > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    out = v;
    return true;
}

// The writer escapes a blank at either end of a key or value name, so a bare one there is a typo
// (`[Drv ]`, `Parameters =`) that would silently name another key or value (decisions PLAT-REG-1).
constexpr const char* kBlankRule =
    "blank at the start or end of a key or value name (the writer spells it %20)";

bool BlankAtEdge(std::string_view raw) {
    return !raw.empty() && (raw.front() == ' ' || raw.back() == ' ');
}

struct ParseResult {
    std::unique_ptr<Node> root;
    uint64_t generation = 0;
    std::string error;  // empty on success
};

ParseResult Parse(std::string_view text) {
    ParseResult r;
    r.root = std::make_unique<Node>();
    size_t line_no = 0;
    auto fail = [&](const std::string& what) {
        r.error = "line " + std::to_string(line_no) + ": " + what;
        r.root.reset();
        return std::move(r);
    };
    Node* cur = nullptr;
    bool ended = false;
    std::string a, b;
    std::vector<std::string_view> segs;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) {
            ++line_no;
            return fail("truncated (no line end)");
        }
        std::string_view line = text.substr(pos, nl - pos);
        pos = nl + 1;
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // CRLF from an editor
        if (line_no == 1) {
            if (line == kVersionLine) continue;
            if (line.substr(0, kMagic.size()) == kMagic) return fail("unsupported format version");
            return fail("not a registry file");
        }
        if (line_no == 2) {
            uint64_t g = 0;
            if (line.substr(0, kGenerationPrefix.size()) != kGenerationPrefix ||
                !ParseUnsigned(line.substr(kGenerationPrefix.size()), UINT64_MAX, g))
                return fail("bad generation line");
            r.generation = g;
            continue;
        }
        if (line.empty() || line.front() == ';') continue;
        if (ended) return fail("data after End");
        for (char c : line) {
            unsigned char u = static_cast<unsigned char>(c);
            if (u < 0x20 || u == 0x7F) return fail("raw control byte");
        }
        if (line == kEndLine) {
            ended = true;
            continue;
        }
        if (line.front() == '[') {
            if (line.size() < 2 || line.back() != ']') return fail("bad key header");
            std::string_view inner = line.substr(1, line.size() - 2);
            SplitKey(inner, segs);  // raw text holds no NUL: control bytes were refused above
            cur = r.root.get();
            for (auto seg : segs) {
                if (BlankAtEdge(seg)) return fail(kBlankRule);
                if (!Unescape(seg, a)) return fail("bad escape in key name");
                if (a.find('\\') != std::string::npos || HasNul(a))
                    return fail("forbidden character in key name");
                std::string_view sv = a;
                cur = MakeNode(*cur, std::vector<std::string_view>{sv});
            }
            continue;
        }
        if (!cur) return fail("value outside a key");
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) return fail("expected name=kind:data");
        std::string_view raw_name = line.substr(0, eq), data = line.substr(eq + 1);
        if (raw_name == "@") {
            a.clear();
        } else {
            if (raw_name.empty()) return fail("empty value name (the default value is @)");
            if (BlankAtEdge(raw_name)) return fail(kBlankRule);
            if (!Unescape(raw_name, a)) return fail("bad escape in value name");
            if (HasNul(a)) return fail("NUL in value name");
        }
        Value v;
        if (data.substr(0, 3) == "sz:") {
            if (!Unescape(data.substr(3), b)) return fail("bad escape in string");
            v = Value::String(b);
        } else if (data.substr(0, 6) == "dword:") {
            uint64_t d = 0;
            if (!ParseUnsigned(data.substr(6), UINT32_MAX, d)) return fail("bad dword");
            v = Value::Dword(static_cast<uint32_t>(d));
        } else if (data.substr(0, 4) == "bin:") {
            std::string_view hex = data.substr(4);
            if (hex.size() % 2) return fail("odd number of hex digits");
            std::vector<uint8_t> bytes;
            bytes.reserve(hex.size() / 2);
            for (size_t i = 0; i < hex.size(); i += 2) {
                int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
                if (hi < 0 || lo < 0) return fail("bad hex digit");
                bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
            }
            v = Value::Binary(std::move(bytes));
        } else {
            return fail("unknown value kind");
        }
        auto [it, inserted] = cur->values.try_emplace(AsciiLower(a));
        if (!inserted) return fail("duplicate value name");
        it->second.name = a;
        it->second.value = std::move(v);
        it->second.seq = cur->next_seq++;
    }
    if (line_no < 2) {
        ++line_no;
        return fail(line_no == 1 ? "empty file" : "truncated (no generation line)");
    }
    if (!ended) return fail("truncated (End line missing)");
    return r;
}

// ---------------------------------------------------------------------------------------------
// Files

struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtime_ns = 0;
    std::string prefix;  // version and generation lines
    bool operator==(const FileId&) const = default;
};

FileId IdOf(const struct stat& st, std::string_view prefix) {
    FileId id;
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.prefix = std::string(prefix.substr(0, kPrefixBytes));
    return id;
}

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }

  private:
    int fd_;
};

int FlockRetry(int fd, int op) {
    int rc;
    do rc = ::flock(fd, op);
    while (rc != 0 && errno == EINTR);
    return rc;
}

bool ReadAll(int fd, std::string& out) {
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Hive state: one per hive file path, so a changed SystemRoot() gets its own cache.

struct HiveState {
    std::mutex mu;
    std::string folder, path, lock_path, tmp_path;

    bool valid = false;  // root/generation/damaged describe the file `id`
    FileId id;
    std::unique_ptr<Node> root;
    uint64_t generation = 0;
    bool damaged = false;
    bool reported = false;  // the damage of `reported_id` has been reported
    FileId reported_id;
};

std::mutex g_states_mu;
std::map<std::string, std::unique_ptr<HiveState>> g_states;

thread_local const HiveState* t_held = nullptr;

const char* HiveFileName(Hive h) {
    return h == Hive::ClassesRoot ? "HKCR" : "HKLM";
}

HiveState& StateFor(Hive h) {
    std::string folder = StoreFolder();
    std::string path = folder + "/" + HiveFileName(h) + ".reg";
    std::lock_guard<std::mutex> lk(g_states_mu);
    auto& slot = g_states[path];
    if (!slot) {
        slot = std::make_unique<HiveState>();
        slot->folder = folder;
        slot->path = path;
        slot->lock_path = folder + "/" + HiveFileName(h) + ".lock";
        slot->tmp_path = path + ".tmp";
    }
    return *slot;
}

void ResetEmpty(HiveState& s) {
    s.root = std::make_unique<Node>();
    s.generation = 0;
    s.damaged = false;
}

// Brings the cache up to date with the file. Called with the hive's file lock held (or with no
// lock where none could be had: the file is always replaced whole, so it is consistent anyway).
long Refresh(HiveState& s, std::vector<std::string>& msgs) {
    Fd fd(::open(s.path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        int err = errno;
        if (err == ENOENT || err == ENOTDIR) {
            if (!(s.valid && !s.id.exists)) {
                ResetEmpty(s);
                s.id = FileId{};
                s.valid = true;
            }
            return ERROR_SUCCESS;
        }
        s.valid = false;
        msgs.push_back("Registry file " + s.path + " cannot be read: " + ErrnoText(err));
        return ERROR_CANTREAD;
    }
    struct stat st {};
    char prefix[kPrefixBytes];
    ssize_t got = -1;
    if (::fstat(fd.get(), &st) == 0) {
        do got = ::pread(fd.get(), prefix, sizeof prefix, 0);
        while (got < 0 && errno == EINTR);
    }
    if (got < 0) {
        int err = errno;
        s.valid = false;
        msgs.push_back("Registry file " + s.path + " cannot be read: " + ErrnoText(err));
        return ERROR_CANTREAD;
    }
    FileId id = IdOf(st, std::string_view(prefix, static_cast<size_t>(got)));
    if (!(s.valid && s.id == id)) {
        std::string text;
        if (!ReadAll(fd.get(), text)) {
            int err = errno;
            s.valid = false;
            msgs.push_back("Registry file " + s.path + " cannot be read: " + ErrnoText(err));
            return ERROR_CANTREAD;
        }
        ParseResult pr = Parse(text);
        if (pr.error.empty()) {
            s.root = std::move(pr.root);
            s.generation = pr.generation;
            s.damaged = false;
        } else {
            s.root.reset();
            s.damaged = true;
            if (!(s.reported && s.reported_id == id)) {
                s.reported = true;
                s.reported_id = id;
                msgs.push_back("Registry file " + s.path + " is damaged (" + pr.error +
                               "); it is left untouched and every operation on it fails until it "
                               "is repaired or removed");
            }
        }
        s.id = id;
        s.valid = true;
    }
    return s.damaged ? ERROR_BADDB : ERROR_SUCCESS;
}

// Replaces the hive file with `text`: temporary file, fsync, rename, fsync of the folder.
long Save(HiveState& s, const std::string& text, std::vector<std::string>& msgs) {
    auto failed = [&](const char* step, int err) {
        msgs.push_back("Registry file " + s.path + " cannot be written (" + step +
                       "): " + ErrnoText(err));
        return ERROR_CANTWRITE;
    };
    // The new file takes the old one's owner and mode: an administrator's rewrite (as root)
    // must leave the store to the service account that owns it. A link is never followed.
    // decisions PLAT-REG-2
    mode_t mode = 0644;
    struct stat old {};
    const bool had_old = ::lstat(s.path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    if (had_old) mode = old.st_mode & 07777;

    // A temporary file left by a crash is simply replaced: writers hold the exclusive lock.
    if (::unlink(s.tmp_path.c_str()) != 0 && errno != ENOENT) return failed("remove", errno);
    Fd fd(::open(s.tmp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
    if (fd.get() < 0) return failed("create", errno);
    // Not root: at least the group when the writer is one of its members, else the writer's.
    if (had_old && ::fchown(fd.get(), old.st_uid, old.st_gid) != 0)
        (void)!::fchown(fd.get(), static_cast<uid_t>(-1), old.st_gid);
    struct stat st {};
    if (!WriteAll(fd.get(), text) || ::fchmod(fd.get(), mode) != 0 || ::fsync(fd.get()) != 0 ||
        ::fstat(fd.get(), &st) != 0) {
        int err = errno;
        ::unlink(s.tmp_path.c_str());
        return failed("write", err);
    }
    if (::close(fd.release()) != 0) {
        int err = errno;
        ::unlink(s.tmp_path.c_str());
        return failed("close", err);
    }
    if (::rename(s.tmp_path.c_str(), s.path.c_str()) != 0) {
        int err = errno;
        ::unlink(s.tmp_path.c_str());
        return failed("rename", err);
    }
    // From here the new contents are in place; only their durability is in doubt.
    s.id = IdOf(st, text);
    Fd dir(::open(s.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || ::fsync(dir.get()) != 0) {
        s.valid = false;
        return failed("sync folder", errno);
    }
    return ERROR_SUCCESS;
}

// Holds the hive's mutex and marks it as held by this thread, so that a registry call from
// inside an Update on the same hive fails instead of deadlocking.
class Held {
  public:
    explicit Held(HiveState& s) : lk_(s.mu) { t_held = &s; }
    ~Held() { t_held = nullptr; }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

  private:
    std::lock_guard<std::mutex> lk_;
};

long NestedCall() {
    Report("Registry call on a hive from inside an Update of the same hive; refused");
    return ERROR_INVALID_PARAMETER;
}

void ReportAll(const std::vector<std::string>& msgs) {
    for (auto& m : msgs) Report(m);
}

template <class F>
long RunRead(Hive h, F&& f) {
    HiveState& s = StateFor(h);
    if (t_held == &s) return NestedCall();
    std::vector<std::string> msgs;
    long rc;
    {
        Held held(s);
        // A reader that cannot have the lock (no folder yet, no right to create the lock file)
        // reads without it.
        int lfd = ::open(s.lock_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (lfd < 0 && errno == ENOENT)
            lfd = ::open(s.lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        Fd lock(lfd);
        if (lock.get() >= 0) FlockRetry(lock.get(), LOCK_SH);
        rc = Refresh(s, msgs);
        if (rc == ERROR_SUCCESS) rc = f(static_cast<const Node&>(*s.root));
    }
    ReportAll(msgs);
    return rc;
}

// f(Node&, bool& changed) -> long. Changes are written when f succeeds and changed something;
// otherwise (failure, exception, failed write) the cache is dropped and re-read next time.
template <class F>
long RunWrite(Hive h, F&& f) {
    HiveState& s = StateFor(h);
    if (t_held == &s) return NestedCall();
    std::vector<std::string> msgs;
    long rc;
    {
        Held held(s);
        rc = [&]() -> long {
            if (!EnsureDirectory(s.folder)) {
                msgs.push_back("Registry folder " + s.folder + " cannot be created");
                return ERROR_CANTWRITE;
            }
            Fd lock(::open(s.lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
            if (lock.get() < 0 || FlockRetry(lock.get(), LOCK_EX) != 0) {
                msgs.push_back("Registry lock " + s.lock_path +
                               " cannot be taken: " + ErrnoText(errno));
                return ERROR_CANTWRITE;
            }
            long r = Refresh(s, msgs);
            if (r != ERROR_SUCCESS) return r;
            struct Rollback {
                HiveState& s;
                bool keep = false;
                ~Rollback() {
                    if (!keep) s.valid = false;
                }
            } rollback{s};
            bool changed = false;
            r = f(*s.root, changed);
            if (r != ERROR_SUCCESS) {
                rollback.keep = !changed;
                return r;
            }
            if (!changed) {
                rollback.keep = true;
                return ERROR_SUCCESS;
            }
            r = Save(s, Serialize(*s.root, s.generation + 1), msgs);
            if (r != ERROR_SUCCESS) return r;
            ++s.generation;
            rollback.keep = s.valid;
            return ERROR_SUCCESS;
        }();
    }
    ReportAll(msgs);
    return rc;
}

}  // namespace

// -------------------------------------------------------------------------------------------------
// Public functions

std::string StoreFolder() {
    std::string root = SystemRoot();
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (root == "/") root.clear();
    return root + "/registry";
}

std::string HiveFile(Hive hive) {
    return StoreFolder() + "/" + HiveFileName(hive) + ".reg";
}

void SetErrorReporter(std::function<void(const std::string&)> reporter) {
    std::lock_guard<std::mutex> lk(g_reporter_mu);
    g_reporter = std::move(reporter);
}

long QueryValue(Hive hive, std::string_view key, std::string_view name, Value& out) {
    return RunRead(hive, [&](const Node& root) {
        const Value* v = nullptr;
        long rc = TreeQuery(root, key, name, v);
        if (rc == ERROR_SUCCESS) out = *v;
        return rc;
    });
}

long ReadString(Hive hive, std::string_view key, std::string_view name, std::string& out) {
    return RunRead(hive, [&](const Node& root) {
        const Value* v = nullptr;
        long rc = TreeRead(root, key, name, Kind::String, v);
        if (rc == ERROR_SUCCESS) out = v->text;
        return rc;
    });
}

long ReadDword(Hive hive, std::string_view key, std::string_view name, uint32_t& out) {
    return RunRead(hive, [&](const Node& root) {
        const Value* v = nullptr;
        long rc = TreeRead(root, key, name, Kind::Dword, v);
        if (rc == ERROR_SUCCESS) out = v->dword;
        return rc;
    });
}

long ReadBinary(Hive hive, std::string_view key, std::string_view name, std::vector<uint8_t>& out) {
    return RunRead(hive, [&](const Node& root) {
        const Value* v = nullptr;
        long rc = TreeRead(root, key, name, Kind::Binary, v);
        if (rc == ERROR_SUCCESS) out = v->bytes;
        return rc;
    });
}

bool KeyExists(Hive hive, std::string_view key) {
    return RunRead(hive, [&](const Node& root) {
               return TreeKeyExists(root, key) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
           }) == ERROR_SUCCESS;
}

long EnumSubKeys(Hive hive, std::string_view key, std::vector<std::string>& names) {
    names.clear();
    return RunRead(hive, [&](const Node& root) { return TreeEnumSubKeys(root, key, names); });
}

long EnumValues(Hive hive, std::string_view key, std::vector<ValueInfo>& values) {
    values.clear();
    return RunRead(hive, [&](const Node& root) { return TreeEnumValues(root, key, values); });
}

long SetValue(Hive hive, std::string_view key, std::string_view name, const Value& value) {
    return RunWrite(
        hive, [&](Node& root, bool& changed) { return TreeSet(root, key, name, value, changed); });
}

long WriteString(Hive hive, std::string_view key, std::string_view name, std::string_view value) {
    return SetValue(hive, key, name, Value::String(value));
}

long WriteDword(Hive hive, std::string_view key, std::string_view name, uint32_t value) {
    return SetValue(hive, key, name, Value::Dword(value));
}

long WriteBinary(Hive hive, std::string_view key, std::string_view name,
                 const std::vector<uint8_t>& value) {
    return SetValue(hive, key, name, Value::Binary(value));
}

long CreateKey(Hive hive, std::string_view key) {
    return RunWrite(hive,
                    [&](Node& root, bool& changed) { return TreeCreateKey(root, key, changed); });
}

long DeleteValue(Hive hive, std::string_view key, std::string_view name) {
    return RunWrite(
        hive, [&](Node& root, bool& changed) { return TreeDeleteValue(root, key, name, changed); });
}

long DeleteKeyTree(Hive hive, std::string_view key) {
    return RunWrite(hive,
                    [&](Node& root, bool& changed) { return TreeDeleteKey(root, key, changed); });
}

// -------------------------------------------------------------------------------------------------
// Transaction

long Transaction::QueryValue(std::string_view key, std::string_view name, Value& out) const {
    const Value* v = nullptr;
    long rc = TreeQuery(root_, key, name, v);
    if (rc == ERROR_SUCCESS) out = *v;
    return rc;
}

long Transaction::ReadString(std::string_view key, std::string_view name, std::string& out) const {
    const Value* v = nullptr;
    long rc = TreeRead(root_, key, name, Kind::String, v);
    if (rc == ERROR_SUCCESS) out = v->text;
    return rc;
}

long Transaction::ReadDword(std::string_view key, std::string_view name, uint32_t& out) const {
    const Value* v = nullptr;
    long rc = TreeRead(root_, key, name, Kind::Dword, v);
    if (rc == ERROR_SUCCESS) out = v->dword;
    return rc;
}

long Transaction::ReadBinary(std::string_view key, std::string_view name,
                             std::vector<uint8_t>& out) const {
    const Value* v = nullptr;
    long rc = TreeRead(root_, key, name, Kind::Binary, v);
    if (rc == ERROR_SUCCESS) out = v->bytes;
    return rc;
}

bool Transaction::KeyExists(std::string_view key) const {
    return TreeKeyExists(root_, key);
}

long Transaction::EnumSubKeys(std::string_view key, std::vector<std::string>& names) const {
    return TreeEnumSubKeys(root_, key, names);
}

long Transaction::EnumValues(std::string_view key, std::vector<ValueInfo>& values) const {
    return TreeEnumValues(root_, key, values);
}

long Transaction::SetValue(std::string_view key, std::string_view name, const Value& value) {
    return TreeSet(root_, key, name, value, changed_);
}

long Transaction::WriteString(std::string_view key, std::string_view name, std::string_view value) {
    return SetValue(key, name, Value::String(value));
}

long Transaction::WriteDword(std::string_view key, std::string_view name, uint32_t value) {
    return SetValue(key, name, Value::Dword(value));
}

long Transaction::WriteBinary(std::string_view key, std::string_view name,
                              const std::vector<uint8_t>& value) {
    return SetValue(key, name, Value::Binary(value));
}

long Transaction::CreateKey(std::string_view key) {
    return TreeCreateKey(root_, key, changed_);
}

long Transaction::DeleteValue(std::string_view key, std::string_view name) {
    return TreeDeleteValue(root_, key, name, changed_);
}

long Transaction::DeleteKeyTree(std::string_view key) {
    return TreeDeleteKey(root_, key, changed_);
}

long Update(Hive hive, const std::function<long(Transaction&)>& fn) {
    return RunWrite(hive, [&](Node& root, bool& changed) {
        Transaction t(root);
        long rc = fn(t);
        changed = t.changed_;
        return rc;
    });
}

// -------------------------------------------------------------------------------------------------
// Batch

Batch& Batch::SetValue(std::string_view key, std::string_view name, Value value) {
    ops_.push_back(Entry{Op::Set, std::string(key), std::string(name), std::move(value)});
    return *this;
}

Batch& Batch::WriteString(std::string_view key, std::string_view name, std::string_view value) {
    return SetValue(key, name, Value::String(value));
}

Batch& Batch::WriteDword(std::string_view key, std::string_view name, uint32_t value) {
    return SetValue(key, name, Value::Dword(value));
}

Batch& Batch::WriteBinary(std::string_view key, std::string_view name, std::vector<uint8_t> value) {
    return SetValue(key, name, Value::Binary(std::move(value)));
}

Batch& Batch::CreateKey(std::string_view key) {
    ops_.push_back(Entry{Op::CreateKey, std::string(key), {}, {}});
    return *this;
}

Batch& Batch::DeleteValue(std::string_view key, std::string_view name) {
    ops_.push_back(Entry{Op::DeleteValue, std::string(key), std::string(name), {}});
    return *this;
}

Batch& Batch::DeleteKeyTree(std::string_view key) {
    ops_.push_back(Entry{Op::DeleteKeyTree, std::string(key), {}, {}});
    return *this;
}

long Batch::Commit() const {
    return Update(hive_, [this](Transaction& t) {
        for (const Entry& e : ops_) {
            long rc = ERROR_SUCCESS;
            switch (e.op) {
                case Op::Set:
                    rc = t.SetValue(e.key, e.name, e.value);
                    break;
                case Op::CreateKey:
                    rc = t.CreateKey(e.key);
                    break;
                case Op::DeleteValue:
                    rc = t.DeleteValue(e.key, e.name);
                    break;
                case Op::DeleteKeyTree:
                    rc = t.DeleteKeyTree(e.key);
                    break;
            }
            // Deleting what is already gone is fine here (bad names were refused before).
            if (rc == ERROR_FILE_NOT_FOUND &&
                (e.op == Op::DeleteValue || e.op == Op::DeleteKeyTree))
                rc = ERROR_SUCCESS;
            if (rc != ERROR_SUCCESS) return rc;
        }
        return ERROR_SUCCESS;
    });
}

}  // namespace plat::reg
