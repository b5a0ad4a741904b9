// file_text.cpp - capped whole-file reads and trimming.
#include "core/file_text.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace zp {

namespace {
struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
}  // namespace

err read_text_file(const std::string& path, size_t max_bytes, std::string& out) {
    std::unique_ptr<std::FILE, file_closer> f(open_file(path, "rb"));
    if (!f) return err::text(system_error_text(last_system_error()));
    std::string data;
    char buf[8192];
    for (;;) {
        size_t n = std::fread(buf, 1, sizeof buf, f.get());
        if (n > 0) {
            if (data.size() + n > max_bytes) return err::text("File too large");
            data.append(buf, n);
        }
        if (n < sizeof buf) {
            if (std::ferror(f.get())) return err::text(system_error_text(last_system_error()));
            break;
        }
    }
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
