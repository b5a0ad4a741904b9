// file_open_posix.cpp - fopen with close-on-exec ("e").
#include "core/file_text.h"

namespace zp {

std::FILE* open_file(const std::string& path, const char* mode) {
    std::string m = std::string(mode) + "e";
    return std::fopen(path.c_str(), m.c_str());
}

}  // namespace zp
