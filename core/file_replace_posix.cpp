// file_replace_posix.cpp - atomic file replacement on Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/file_os.h"

namespace zp {

namespace {

err sys_err(const char* step) {
    return format_error("%s: %s", step, system_error_text(last_system_error()).c_str());
}


// mkdir -p with mode 0700 for the directories it creates.
err make_dirs(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return {};
    std::string parent = parent_dir(dir);
    if (parent != dir)
        if (err e = make_dirs(parent)) return e;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return sys_err("mkdir");
    return {};
}

struct fd_closer {
    int fd;
    ~fd_closer() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::string parent_dir(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

err replace_file(const std::string& path, const std::string& data) {
    std::string dir = parent_dir(path);
    if (err e = make_dirs(dir)) return e;

    std::string tmp = path + ".tmp";
    fd_closer f{::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (f.fd < 0) return sys_err("open");
    // A temporary file left by an earlier run may carry other permissions.
    if (::fchmod(f.fd, 0600) != 0) return sys_err("fchmod");
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(f.fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            err e = sys_err("write");
            ::unlink(tmp.c_str());
            return e;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(f.fd) != 0) {
        err e = sys_err("fsync");
        ::unlink(tmp.c_str());
        return e;
    }
    int fd = f.fd;
    f.fd = -1;
    if (::close(fd) != 0) {
        err e = sys_err("close");
        ::unlink(tmp.c_str());
        return e;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        err e = sys_err("rename");
        ::unlink(tmp.c_str());
        return e;
    }
    // The rename itself reaches the disk with the directory.
    fd_closer d{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (d.fd < 0) return sys_err("open directory");
    if (::fsync(d.fd) != 0) return sys_err("fsync directory");
    return {};
}

bool path_exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace zp
