// upgrade_os.h - the OS calls of the self-upgrade: the executable's path, the
// thread priority, the placement of the file, and the parent pipes.
#pragma once

#include <cstdint>
#include <string>

#include "core/err.h"

namespace zp::upgrade_os {

// "upgrade" on Linux ("upgrade.exe" on Windows).
const char* upgrade_file_name();

// The running executable's full path.
err executable_path(std::string& out);

// Lowers the calling thread to idle priority; false when that failed.
bool lower_thread_priority();

// Moves `from` to `to` so that `to` appears whole or not at all: a rename,
// or across file systems a copy into a temporary file in `to`'s directory,
// flushed to disk, then renamed. The result is executable by its owner.
err place_file(const std::string& from, const std::string& to);

// Reads one byte from `fd`: 1 read, 0 cut short by cut_parent_read, -1 end of
// pipe or read error.
int read_parent_byte(uint64_t fd, uint8_t& byte);
// Makes a waiting (and every later) read_parent_byte return 0;
// allow_parent_read undoes it.
void cut_parent_read();
void allow_parent_read();

// Keeps an inherited descriptor from the commands the agent starts (their
// copies would hide from the parent that the agent has ended).
void keep_from_children(uint64_t fd);

// Writes one byte; 0 or the system error code, with the count written.
int write_parent_byte(uint64_t fd, uint8_t byte, int& count);

}  // namespace zp::upgrade_os
