// err.cpp - formatting of error texts.
#include "core/err.h"

#include <cstdio>

namespace zp {

std::string vstrprintf(const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    char small[256];
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n), '\0');
    std::vsnprintf(out.data(), out.size() + 1, fmt, ap);
    return out;
}

std::string strprintf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = vstrprintf(fmt, ap);
    va_end(ap);
    return s;
}

err vformat_error(const char* fmt, va_list ap) {
    std::string s = vstrprintf(fmt, ap);
    if (s.size() > format_error_max) s.resize(format_error_max);
    return err::text(std::move(s));
}

err format_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    err e = vformat_error(fmt, ap);
    va_end(ap);
    return e;
}

}  // namespace zp
