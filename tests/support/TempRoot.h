// A private system root in a fresh temporary folder for one test.
#pragma once
#include <string>

namespace testsupport {

class TempRoot {
  public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// Whole file as bytes ("" when missing).
std::string ReadFile(const std::string& path);
// Replaces the file with `bytes`; false when it cannot be written.
bool WriteFile(const std::string& path, const std::string& bytes);

}  // namespace testsupport
