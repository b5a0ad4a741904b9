// file_posix.cpp - non-blocking opens and file kinds on Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/file_os.h"

namespace zp {

namespace {

file_kind kind_of(const struct stat& st) {
    if (S_ISREG(st.st_mode)) return file_kind::regular;
    if (S_ISDIR(st.st_mode)) return file_kind::directory;
    if (S_ISFIFO(st.st_mode)) return file_kind::fifo;
    if (S_ISCHR(st.st_mode)) return file_kind::char_device;
    if (S_ISBLK(st.st_mode)) return file_kind::block_device;
    if (S_ISSOCK(st.st_mode)) return file_kind::socket;
    return file_kind::other;
}

struct fd_closer {
    int fd;
    ~fd_closer() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

file_kind kind_of_path(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return file_kind::missing;
    return kind_of(st);
}

err read_regular_file(const std::string& path, size_t max_bytes, std::string& out, file_kind& kind, bool& denied) {
    denied = false;
    kind = file_kind::missing;
    // O_NONBLOCK: a FIFO opens at once instead of waiting for a writer, and a
    // device is never read; only its kind is looked at.
    fd_closer f{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (f.fd < 0) {
        int code = errno;
        denied = code == EACCES || code == EPERM;
        if (code != ENOENT && code != ENOTDIR) kind = kind_of_path(path);
        if (kind == file_kind::regular || kind == file_kind::missing) return err::text(system_error_text(code));
        return {};
    }
    struct stat st {};
    if (::fstat(f.fd, &st) != 0) return err::text(system_error_text(errno));
    kind = kind_of(st);
    if (kind != file_kind::regular) return {};
    std::string data;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(f.fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int code = errno;
            denied = code == EACCES || code == EPERM;
            return err::text(system_error_text(code));
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
        if (data.size() > max_bytes) break;
    }
    out = std::move(data);
    return {};
}

}  // namespace zp
