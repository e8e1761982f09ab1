// Command line and system root of the simulated-station demo. The demo wipes and rewrites the
// registry under its root on every run, so it only ever works in a folder it made itself.
#pragma once
#include <charconv>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace demo {

inline constexpr const char* kDefaultRoot = "/tmp/norvalt-demo";
// Written into every root the demo creates; a non-empty folder without it is not ours.
inline constexpr const char* kMarker = ".norvalt-demo";

struct Options {
    enum Action { Run, Help, Error };
    Action action = Run;
    std::string root;  // absolute
    int seconds = 10;
    std::string error;  // with Error
};

// `synopsis` and `lines` name a program's own options besides the demo's.
inline std::string Usage(const std::string& program, const std::string& synopsis = {},
                         const std::string& lines = {}) {
    return "usage: " + program + synopsis +
           " [--seconds N] [ROOT]\n"
           "  Runs a simulated station: dispenser controllers on pseudo-terminals, polled by the\n"
           "  service core, then one scripted delivery on Post1.\n"
           "  ROOT       private system root (registry, logs); default $NORVALT_ROOT, else " +
           std::string(kDefaultRoot) +
           ".\n"
           "             A relative ROOT is taken from the current folder. The demo creates it\n"
           "             and marks it; an existing folder is used only when empty or marked.\n"
           "  --seconds N  keep running N seconds after the script (0: until Ctrl-C; default "
           "10)\n" +
           lines + "  --help     show this text\n";
}

// `env_root` is $NORVALT_ROOT (null or empty when unset); an argument wins over it.
inline Options ParseOptions(int argc, const char* const* argv, const char* env_root) {
    Options o;
    auto fail = [&o](std::string text) {
        o.action = Options::Error;
        o.error = std::move(text);
        return o;
    };
    std::string root;
    bool have_root = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            o.action = Options::Help;
            return o;
        }
        if (a == "--seconds") {
            if (i + 1 >= argc) return fail("--seconds needs a number");
            const std::string v = argv[++i];
            int n = -1;
            auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
            if (ec != std::errc() || end != v.data() + v.size() || n < 0)
                return fail("--seconds needs a number of seconds, not '" + v + "'");
            o.seconds = n;
        } else if (!a.empty() && a[0] == '-') {
            return fail("unknown option '" + a + "'");
        } else if (have_root) {
            return fail("only one root folder can be given");
        } else if (a.empty()) {
            return fail("the root folder must not be empty");
        } else {
            root = a;
            have_root = true;
        }
    }
    if (!have_root) root = env_root && *env_root ? env_root : kDefaultRoot;
    std::error_code ec;
    std::filesystem::path abs = std::filesystem::absolute(root, ec);
    if (ec) return fail("cannot resolve the root folder '" + root + "': " + ec.message());
    o.root = abs.lexically_normal().string();
    while (o.root.size() > 1 && o.root.back() == '/') o.root.pop_back();
    return o;
}

// Makes `root` ready for a run: a missing folder is created and marked, an empty one is
// marked, a marked one has its registry cleared. Anything else is refused. Returns an empty
// string when ready, else what went wrong.
inline std::string PrepareRoot(const std::string& root) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path dir(root);
    const fs::path marker = dir / kMarker;
    auto fs_error = [&](const std::string& what, const fs::path& p) {
        return "cannot " + what + " " + p.string() + ": " + ec.message();
    };
    const fs::file_status st = fs::status(dir, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) return fs_error("inspect", dir);
    bool mark = false;
    if (!fs::exists(st)) {
        fs::create_directories(dir, ec);
        if (ec) return fs_error("create the root folder", dir);
        mark = true;
    } else if (!fs::is_directory(st)) {
        return root + " exists and is not a folder";
    } else if (!fs::exists(fs::symlink_status(marker, ec))) {
        fs::directory_iterator it(dir, ec);
        if (ec) return fs_error("read the root folder", dir);
        if (it != fs::directory_iterator())
            return root + " is not empty and was not made by the demo (no " + kMarker +
                   " in it); it is left alone: give a new or empty folder";
        mark = true;
    } else if (!fs::is_regular_file(fs::symlink_status(marker, ec))) {
        return marker.string() + " is not a plain file; " + root + " is left alone";
    }
    if (mark) {
        std::ofstream out(marker);
        out << "Made by norvalt_demo; the demo clears the registry below on every run.\n";
        out.close();
        if (!out) return "cannot write " + marker.string();
    }
    fs::remove_all(dir / "registry", ec);
    if (ec) return fs_error("clear", dir / "registry");
    return {};
}

}  // namespace demo
