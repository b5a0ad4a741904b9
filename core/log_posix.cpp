// log_posix.cpp - local time and file creation (birth) time on Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return err::text(system_error_text(last_system_error()));
    ::close(fd);
    return {};
}

}  // namespace zp
