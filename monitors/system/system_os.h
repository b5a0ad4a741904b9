// system_os.h - the system calls of the file system scanner.
#pragma once

#include <cstdint>
#include <string>

#include "core/err.h"

namespace zp::os {

// Size and space available to unprivileged users of the file system holding
// `path`, in bytes. Fails with the system's text.
err disk_space(const std::string& path, uint64_t& total, uint64_t& avail);

}  // namespace zp::os
