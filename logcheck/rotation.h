// rotation.h - finding where the lines of a rotated log file went, so that the
// reader finishes the old file before it starts on the new one. Both look-ups
// stay in the log file's directory, examine at most log_rotation_scan_max
// entries and consider regular files only. Main thread.
#pragma once

#include <string>

#include "logcheck/logfile.h"

namespace zp {

// Rename rotation: the path (in the directory of `path`, under another name)
// of the file with `identity`, or "" when it is not there.
std::string find_renamed_file(const std::string& path, const file_identity& identity);

// Copy and truncate: the path of a regular, uncompressed file beside `path`
// (not the file `current` itself) that begins with the state's head, holds the
// state's tail just before its offset and is longer than that offset; or "".
std::string find_file_copy(const std::string& path, const log_file_state& st, const file_identity* current);

}  // namespace zp
