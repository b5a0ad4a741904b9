// logpath.cpp - separators and directory texts of log file paths.
#include "logcheck/logpath.h"

namespace zp {

bool is_path_separator(char c, path_style style) { return c == '/' || (c == '\\' && style == path_style::windows); }

char path_separator(path_style style) { return style == path_style::windows ? '\\' : '/'; }

std::string path_directory(std::string_view path, path_style style) {
    for (size_t i = path.size(); i-- > 0;)
        if (is_path_separator(path[i], style)) return std::string(path.substr(0, i + 1));
    return {};
}

std::string path_below(std::string_view dir, std::string_view name, path_style style) {
    std::string out(dir);
    out += name;
    if (out.empty() || !is_path_separator(out.back(), style)) out += path_separator(style);
    return out;
}

}  // namespace zp
