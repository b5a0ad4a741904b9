// host_files_posix.cpp - whole-file reads, directory listings and the
// monotonic clock on Linux.
#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "monitors/counters/host_files_os.h"

namespace zp::os {

namespace {
struct fd_closer {
    int fd;
    ~fd_closer() {
        if (fd >= 0) ::close(fd);
    }
};
struct dir_closer {
    DIR* d;
    ~dir_closer() {
        if (d) ::closedir(d);
    }
};
}  // namespace

err read_whole_file(const std::string& path, std::string& out, size_t max) {
    fd_closer f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) return err::text(system_error_text(errno));
    // /proc files report a size of 0: read in steps until the end.
    out.resize(out.capacity() > 4096 ? out.capacity() : 4096);
    size_t used = 0;
    for (;;) {
        if (used == out.size()) {
            if (out.size() >= max + 1) return err::text("File too large");
            out.resize(std::min(out.size() * 2, max + 1));
        }
        ssize_t n = ::read(f.fd, out.data() + used, out.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            return err::text(system_error_text(errno));
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    if (used > max) return err::text("File too large");
    out.resize(used);
    return {};
}

err read_link(const std::string& path, std::string& out) {
    char buf[4096];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    if (n < 0) return err::text(system_error_text(errno));
    if (static_cast<size_t>(n) >= sizeof buf) return err::text("Link too long");
    out.assign(buf, static_cast<size_t>(n));
    return {};
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

err list_dir(const std::string& path, std::vector<std::string>& names) {
    dir_closer d{::opendir(path.c_str())};
    if (!d.d) return err::text(system_error_text(errno));
    names.clear();
    while (dirent* e = ::readdir(d.d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    return {};
}

int64_t monotonic_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace zp::os
