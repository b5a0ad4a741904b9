// logfile_os.h - the file system calls the log file reader and the log
// discovery need: how the platform writes paths, a file opened for reading
// with positioned and sequential reads, its identity, and directory listings
// and file kinds.
// Failures come back as the system's error code or text; nothing here logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/err.h"

namespace zp {

// How paths are written: Linux paths begin with "/" and split at "/";
// Windows paths begin with a drive ("C:") or a share ("\\\\server\\share")
// and split at "\\" and "/".
enum class path_style { posix, windows };
path_style os_path_style();

// What names a file independently of its path (device and inode number).
struct file_identity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const file_identity&) const = default;
};

struct os_file;  // an open file, read only
struct os_file_deleter {
    void operator()(os_file* f) const;
};
using os_file_ptr = std::unique_ptr<os_file, os_file_deleter>;

// Opens `path` for binary reading. On failure returns the system's error text
// and leaves *out unchanged.
err os_file_open(const std::string& path, os_file_ptr* out);
// Reads up to `n` bytes at the current position: the count, 0 at the end of
// the file, -1 on an error (kept until os_file_clear_error).
int64_t os_file_read(os_file& f, char* buf, size_t n);
// Reads up to `n` bytes at `pos` without moving the current position; the
// count or -1.
int64_t os_file_read_at(os_file& f, int64_t pos, char* buf, size_t n);
// Moves to `pos` / to the end; the new position or -1 (error kept).
int64_t os_file_seek(os_file& f, int64_t pos);
int64_t os_file_seek_end(os_file& f);
// The current position, or -1.
int64_t os_file_tell(os_file& f);
// The last error code of the file (0: none), and clearing it.
int os_file_error(const os_file& f);
void os_file_clear_error(os_file& f);
bool os_file_identity(const os_file& f, file_identity* out);

enum class path_kind { missing, file, directory, other };

struct path_info {
    path_kind kind = path_kind::missing;
    int error = 0;  // the system's code when kind is missing
    int64_t size = 0;
    file_identity identity;
};
// Follows symbolic links.
path_info os_path_info(const std::string& path);

struct dir_entry {
    std::string name;
    bool is_dir = false;  // a directory itself, not a link to one
};
// Lists `dir` ("." and ".." left out), at most `max` entries in the system's
// order. Returns 0 or the system's error code.
int os_list_dir(const std::string& dir, size_t max, std::vector<dir_entry>& out);

}  // namespace zp
