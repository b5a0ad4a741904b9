// file_text.cpp - capped whole-file reads and trimming.
#include "core/file_text.h"

#include <cctype>
#include <cstdlib>

#include "core/file_os.h"

namespace zp {

const char* file_kind_text(file_kind k) {
    switch (k) {
    case file_kind::missing: return "missing";
    case file_kind::regular: return "a regular file";
    case file_kind::directory: return "a directory";
    case file_kind::fifo: return "a FIFO";
    case file_kind::char_device: return "a character device";
    case file_kind::block_device: return "a block device";
    case file_kind::socket: return "a socket";
    case file_kind::terminal: return "a terminal";
    case file_kind::other: break;
    }
    return "not a regular file";
}

err read_text_file(const std::string& path, size_t max_bytes, std::string& out, file_fault* fault) {
    file_fault none;
    file_fault& why = fault ? *fault : none;
    std::string data;
    file_kind kind;
    bool denied;
    if (err e = read_regular_file(path, max_bytes, data, kind, denied)) {
        why = denied ? file_fault::denied : kind == file_kind::missing ? file_fault::missing : file_fault::unreadable;
        return e;
    }
    if (kind != file_kind::regular) {
        why = file_fault::not_regular;
        return format_error("\"%s\" is %s, not a regular file", path.c_str(), file_kind_text(kind));
    }
    if (data.size() > max_bytes) {
        why = file_fault::too_large;
        return err::text("File too large");
    }
    why = file_fault::none;
    out = std::move(data);
    return {};
}

int32_t atoi32(const std::string& text) {
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string trim(const std::string& text) {
    size_t b = 0, e = text.size();
    while (b < e && is_space(text[b])) ++b;
    while (e > b && is_space(text[e - 1])) --e;
    return text.substr(b, e - b);
}

}  // namespace zp
