// Stand-in for the outside configurator: records its arguments and open descriptors into
// $VESKOR_RECORD (arguments NUL-terminated, then "fds:" and the descriptor numbers), then stays
// while $VESKOR_HOLD exists.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    std::string out;
    for (int i = 0; i < argc; ++i) {
        out += argv[i];
        out += '\0';
    }
    out += "fds:";
    if (DIR* d = ::opendir("/proc/self/fd")) {
        const int own = ::dirfd(d);
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            if (std::atoi(e->d_name) == own) continue;
            out += e->d_name;
            out += ' ';
        }
        ::closedir(d);
    }
    if (const char* path = std::getenv("VESKOR_RECORD")) {
        const std::string tmp = std::string(path) + ".tmp";
        if (FILE* f = std::fopen(tmp.c_str(), "wb")) {
            std::fwrite(out.data(), 1, out.size(), f);
            std::fclose(f);
            std::rename(tmp.c_str(), path);
        }
    }
    if (const char* hold = std::getenv("VESKOR_HOLD"))
        while (::access(hold, F_OK) == 0) ::usleep(5000);
    return 0;
}
