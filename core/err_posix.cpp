// err_posix.cpp - system error texts on POSIX (strerror).
#include <cerrno>
#include <cstring>
#include <type_traits>

#include "core/err.h"

namespace zp {

std::string system_error_text(int code) {
    char buf[256];
    buf[0] = '\0';
    // GNU strerror_r returns the text (maybe not in buf); XSI returns an int.
    auto r = strerror_r(code, buf, sizeof buf);
    const char* text;
    if constexpr (std::is_same_v<decltype(r), char*>) {
        text = r;
    } else {
        text = r == 0 ? buf : "";
    }
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    if (s.empty()) return strprintf("%u", static_cast<unsigned>(code));
    return s;
}

int last_system_error() { return errno; }

}  // namespace zp
