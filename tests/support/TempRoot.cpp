#include "tests/support/TempRoot.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/sysroot/sysroot.h"

namespace testsupport {

TempRoot::TempRoot() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "norvalt-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    plat::SetSystemRoot(path_);
}

TempRoot::~TempRoot() {
    plat::SetSystemRoot("");
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
    return bool(f);
}

}  // namespace testsupport
