// definition_os.h - reading a definition file only when nobody but its owner
// can have changed it.
#pragma once

#include <cstddef>
#include <string>

#include "core/err.h"

namespace zp::definition_os {

// Reads the file at `path` (at most `max_bytes`) into `out`. Fails with
// "Cannot open file" when it cannot be opened, and with a text naming the
// problem when the file or a directory on its path is writable by group or
// others (a directory with the sticky bit excepted), is owned by someone other
// than root or the agent's user, is not a regular file, or is larger than
// `max_bytes`.
// `out` is unchanged on failure.
err read_trusted_file(const std::string& path, size_t max_bytes, std::string& out);

}  // namespace zp::definition_os
