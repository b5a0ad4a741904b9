// definition_os.h - reading a definition file only when nobody but its owner
// and the system's administrators can have changed it.
#pragma once

#include <cstddef>
#include <string>

#include "core/err.h"

namespace zp::definition_os {

// Reads the file at `path` (at most `max_bytes`) into `out`. Fails with
// "Cannot open file" when it cannot be opened (or its security cannot be
// read), and with a text naming the problem when the file is not a regular
// file, is larger than `max_bytes`, or when the file or a directory on its
// path (after links) is:
//  - "owned by user ..., neither root nor the agent's user": on Linux an owner
//    other than root or the agent's user; on Windows an owner other than the
//    local Administrators group, SYSTEM, TrustedInstaller or the agent's user
//    (the SID is named);
//  - "writable by group or others": on Linux group or other write permission
//    (a directory with the sticky bit excepted); on Windows no access list at
//    all, or an entry that grants someone not listed above the right to
//    write, append to, delete, or change the access or owner of the file, or
//    to delete entries of, delete, or change the access or owner of a
//    directory (adding entries to a directory is allowed, like the sticky bit).
// `out` is unchanged on failure. Any thread.
err read_trusted_file(const std::string& path, size_t max_bytes, std::string& out);

}  // namespace zp::definition_os
