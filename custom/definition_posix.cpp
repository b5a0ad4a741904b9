// definition_posix.cpp - opening a definition file and checking who can change
// it and its directory.
#include "custom/definition_os.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

namespace zp::definition_os {

namespace {

struct fd_closer {
    int fd;
    ~fd_closer() {
        if (fd >= 0) ::close(fd);
    }
};

// None when only root or the agent's user can change what `st` describes.
err check_owner(const struct stat& st, const char* what, const std::string& path) {
    uid_t me = ::geteuid();
    if (st.st_uid != 0 && st.st_uid != me)
        return format_error("%s %s is owned by user %u, neither root nor the agent's user", what, path.c_str(),
                            static_cast<unsigned>(st.st_uid));
    bool sticky_dir = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !sticky_dir)
        return format_error("%s %s is writable by group or others", what, path.c_str());
    return {};
}

std::string directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

err read_trusted_file(const std::string& path, size_t max_bytes, std::string& out) {
    fd_closer f{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (f.fd < 0) return err::text("Cannot open file");
    struct stat st;
    if (::fstat(f.fd, &st) != 0) return err::text("Cannot open file");
    if (!S_ISREG(st.st_mode)) return format_error("File %s is not a regular file", path.c_str());
    if (auto e = check_owner(st, "File", path)) return e;

    // The directories that lead to the file itself, after following links:
    // whoever can write in one of them can put another file in its place.
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real)) return err::text("Cannot open file");
    for (std::string dir = directory_of(real);; dir = directory_of(dir)) {
        struct stat dst;
        if (::stat(dir.c_str(), &dst) != 0) return err::text("Cannot open file");
        if (auto e = check_owner(dst, "Directory", dir)) return e;
        if (dir == "/") break;
    }

    if (static_cast<uint64_t>(st.st_size) > max_bytes) return format_error("File %s is too large", path.c_str());
    std::string data;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(f.fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return err::text("Cannot open file");
        }
        if (n == 0) break;
        if (data.size() + static_cast<size_t>(n) > max_bytes)
            return format_error("File %s is too large", path.c_str());
        data.append(buf, static_cast<size_t>(n));
    }
    out = std::move(data);
    return {};
}

}  // namespace zp::definition_os
