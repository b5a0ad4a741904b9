// host_files_os.h - the system calls behind host_files.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/err.h"

namespace zp::os {

err read_whole_file(const std::string& path, std::string& out, size_t max);
err read_link(const std::string& path, std::string& out);
bool exists(const std::string& path);
err list_dir(const std::string& path, std::vector<std::string>& names);
int64_t monotonic_ms();
void sleep_ms(int ms);

}  // namespace zp::os
