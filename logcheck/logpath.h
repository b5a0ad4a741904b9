// logpath.h - log file paths as the platform writes them: which bytes
// separate components, the directory part of a path and the text of a
// directory below another. Text only; any thread.
#pragma once

#include <string>
#include <string_view>

#include "logcheck/logfile_os.h"

namespace zp {

// "/" on both platforms; "\\" on Windows only (on Linux it is a byte of a name).
bool is_path_separator(char c, path_style style);
// The separator written between components: "/" or "\\".
char path_separator(path_style style);
// `path` up to and including its last separator; "" when it has none.
std::string path_directory(std::string_view path, path_style style);
// The directory `name` below `dir` ("" or ending with a separator), ending
// with a separator itself ("/" below "" stays "/").
std::string path_below(std::string_view dir, std::string_view name, path_style style);

}  // namespace zp
