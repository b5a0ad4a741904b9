// host_files.h - reading the kernel's /proc and /sys files (and a few /etc
// files) for the host monitors, below a replaceable root so that tests and
// benchmarks can point every reader at captured files.
//
// Paths are absolute ("/proc/stat"); with a root set they are read below it.
// Main thread only (the root is a plain global).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/err.h"

namespace zp {

// Largest /proc or /sys file the monitors read; a longer one is an error.
inline constexpr size_t host_file_max = 4 << 20;

// Puts every later read below `root` ("" restores the real files).
void set_host_root(const std::string& root);
// The path as it is read: root + path.
std::string host_path(const char* path);

// Reads the whole file into `out` (at most `max` bytes, else "File too large").
// Fails with the system's text; `out` is then unspecified.
err read_host_file(const char* path, std::string& out, size_t max = host_file_max);
// The names in a directory (without "." and ".."), in the order the system
// gives them.
err list_host_dir(const char* path, std::vector<std::string>& names);

// The same for a path that already includes the root (host_path), for
// readers that build many paths below one directory.
err read_file_path(const std::string& path, std::string& out, size_t max = host_file_max);
// The target of a symbolic link (at most 4095 bytes).
err read_link_path(const std::string& path, std::string& out);
// True when something (a file, a directory, a link to one) is at `path`.
bool host_path_exists(const std::string& path);

// A monotonic clock in milliseconds and a sleep, replaceable by tests (null
// restores the system's).
int64_t monotonic_ms();
void sleep_ms(int ms);
void set_monotonic_clock(int64_t (*now)(), void (*sleep)(int ms));

}  // namespace zp
