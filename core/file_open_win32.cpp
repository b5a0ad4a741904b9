// file_open_win32.cpp - fopen whose handle the commands the agent starts do
// not inherit ("N").
#include "core/file_text.h"

namespace zp {

std::FILE* open_file(const std::string& path, const char* mode) {
    std::string m = std::string(mode) + "N";
    return std::fopen(path.c_str(), m.c_str());
}

}  // namespace zp
