// log_posix.cpp - local time and file creation (birth) time on Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/file_os.h"
#include "core/log_os.h"

namespace zp {

bool local_time(int64_t t, std::tm& out) {
    std::time_t tt = static_cast<std::time_t>(t);
    return localtime_r(&tt, &out) != nullptr;
}

err file_creation_time(const std::string& path, std::optional<int64_t>& out) {
    struct statx st {};
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &st) != 0)
        return err::text(system_error_text(last_system_error()));
    // Older kernels and some file systems keep no birth time.
    if (!(st.stx_mask & STATX_BTIME)) {
        out.reset();
        return {};
    }
    out = static_cast<int64_t>(st.stx_btime.tv_sec);
    return {};
}

err create_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) return err::text(system_error_text(last_system_error()));
    ::close(fd);
    return {};
}

}  // namespace zp

namespace zp {

namespace {

// A regular file or a terminal opened by `fd`.
bool log_target(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    return S_ISREG(st.st_mode) || (S_ISCHR(st.st_mode) && ::isatty(fd));
}

}  // namespace

std::FILE* open_append(const std::string& path) {
    // O_NONBLOCK: a FIFO without a reader fails at once instead of hanging.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    int fl = ::fcntl(fd, F_GETFL);
    if (!log_target(fd) || fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "a");
    if (!f) ::close(fd);
    return f;
}

bool usable_log_path(const std::string& path, std::string& what) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return true;
    if (S_ISCHR(st.st_mode)) {
        int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        bool tty = fd >= 0 && ::isatty(fd);
        if (fd >= 0) ::close(fd);
        if (tty) return true;
    }
    what = file_kind_text(kind_of_path(path));
    return false;
}

}  // namespace zp
