// file_os.h - opening the files the agent reads and writes without ever
// blocking on something that is not a regular file (a FIFO without a writer
// or reader, a device), and telling what a path is.
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

}  // namespace zp
