#include "platform/logfile/logfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "platform/sysroot/sysroot.h"

namespace plat {

bool MakeLogFolder(const std::string& folder) {
    return EnsureDirectory(folder);
}

std::vector<std::string> LogGenerationNames(const std::string& stem, int count) {
    std::vector<std::string> names;
    for (int n = 1; n <= count; ++n) names.push_back(stem + std::to_string(n));
    return names;
}

void RotateLogGenerations(std::span<const std::string> generations, LogGenerationGap gap) {
    if (generations.size() < 2) return;
    std::error_code ec;
    // Looked at before anything moves: StopShift needs the length of the unbroken run.
    std::vector<bool> present(generations.size() - 1, false);
    for (size_t i = 0; i + 1 < generations.size(); ++i) {
        present[i] = std::filesystem::exists(generations[i], ec);
        if (!present[i] && gap == LogGenerationGap::StopShift) break;
    }
    for (size_t i = present.size(); i-- > 0;) {
        if (!present[i]) continue;
        // Cleared first: rename cannot replace an (empty) folder standing in the way.
        std::filesystem::remove(generations[i + 1], ec);
        std::filesystem::rename(generations[i], generations[i + 1], ec);
    }
}

int OpenLogFile(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
}

bool WriteLogLine(int fd, std::string_view line) {
    if (fd < 0) return false;
    ssize_t w = ::write(fd, line.data(), line.size());
    return w == static_cast<ssize_t>(line.size());
}

void CloseLogFile(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace plat
