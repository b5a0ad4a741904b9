// file_os.h - opening the files the agent reads and writes without ever
// blocking on something that is not a regular file (a FIFO without a writer
// or reader, a device), telling what a path is, and replacing a file so that
// a crash never leaves half of it.
#pragma once

#include <cstddef>
#include <string>

#include "core/err.h"

namespace zp {

enum class file_kind { missing, regular, directory, fifo, char_device, block_device, socket, terminal, other };

// "a directory", "a FIFO", "a character device", ... for the error texts.
const char* file_kind_text(file_kind k);

// What is at `path` (links followed); missing when nothing is reachable there.
file_kind kind_of_path(const std::string& path);

// Reads at most `max_bytes` + 1 bytes of the file at `path`. The file is opened
// without blocking and its kind, from the opened file itself, is in `kind`; only
// a regular file is read. On an open or read failure the system's text is
// returned and `denied` tells whether it was a permission error.
err read_regular_file(const std::string& path, size_t max_bytes, std::string& out, file_kind& kind, bool& denied);

// Replaces the file at `path` with `data` so that, whatever happens (a crash,
// a kill, power loss), the path afterwards holds either the old file or the
// new one, whole. Writes "<path>.tmp" in the same directory (readable and
// writable by the owner only), flushes it to disk, renames it over `path` and
// flushes the directory. Missing parent directories are created (owner only).
// On failure the old file is untouched and the text names the failing step.
err replace_file(const std::string& path, const std::string& data);

// The directory part of `path` ("." when it has none; "/" and "\\" separate
// on Windows, "/" on Linux).
std::string parent_dir(const std::string& path);

// True when something exists at `path` (a file the agent may not be able to read).
bool path_exists(const std::string& path);

}  // namespace zp
