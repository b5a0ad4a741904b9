// variables_os.h - the file operations the variables store needs: an atomic
// replace that survives a crash at any moment, and an existence test.
#pragma once

#include <string>

#include "core/err.h"

namespace zp {

// Replaces the file at `path` with `data` so that, whatever happens (a crash,
// kill -9, power loss), the path afterwards holds either the old file or the
// new one, whole. Writes "<path>.tmp" in the same directory (readable and
// writable by the owner only), flushes it to disk, renames it over `path` and
// flushes the directory. Missing parent directories are created (owner only).
// On failure the old file is untouched and the text names the failing step.
err replace_file(const std::string& path, const std::string& data);

// True when something exists at `path` (a file the agent may not be able to read).
bool path_exists(const std::string& path);

}  // namespace zp
