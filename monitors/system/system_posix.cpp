// system_posix.cpp - free space of a file system on Linux.
#include <sys/statvfs.h>

#include <cerrno>

#include "monitors/system/system_os.h"

namespace zp::os {

err disk_space(const std::string& path, uint64_t& total, uint64_t& avail) {
    struct statvfs st{};
    if (::statvfs(path.c_str(), &st) != 0) return err::text(system_error_text(errno));
    total = static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
    avail = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    return {};
}

}  // namespace zp::os
