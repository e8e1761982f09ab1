// The lines the service's protocol hook passes on, kept for a test to count.
#pragma once
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class ProtocolLines {
  public:
    // Hand this to drv::SetProtocolHook.
    static void Record(const std::string& text, int) {
        std::lock_guard<std::mutex> lk(Lock());
        Lines().push_back(text);
    }
    static void Clear() {
        std::lock_guard<std::mutex> lk(Lock());
        Lines().clear();
    }
    // How many lines hold `part`.
    static int Count(const std::string& part) {
        std::lock_guard<std::mutex> lk(Lock());
        int n = 0;
        for (const auto& l : Lines()) n += l.find(part) != std::string::npos ? 1 : 0;
        return n;
    }

  private:
    static std::mutex& Lock() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& Lines() {
        static std::vector<std::string> lines;
        return lines;
    }
};

}  // namespace testsupport
