// log_os.h - the few calls the log needs from the system: local time, and the
// creation time of the log file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include "core/err.h"

namespace zp {

// The local time of `t` (seconds since 1970). False when it cannot be converted.
bool local_time(int64_t t, std::tm& out);

// The creation time of the file at `path`, in seconds since 1970, in `out`.
// Fails (with the system's text) when the file cannot be reached; leaves `out`
// empty when the file system keeps no creation time for it.
err file_creation_time(const std::string& path, std::optional<int64_t>& out);

// Creates the file at `path` when it is missing (readable by all, writable by
// the owner); an existing file is left as it is. Never blocks on a FIFO.
err create_file(const std::string& path);

// Opens `path` for appending (created when missing) without ever blocking, and
// keeps it only when it is a regular file or a terminal; null otherwise.
std::FILE* open_append(const std::string& path);

// True when `path` is missing, a regular file or a terminal; else false with
// what it is in `what` ("a FIFO", "a directory", ...).
bool usable_log_path(const std::string& path, std::string& what);

}  // namespace zp
