// err_win32.cpp - system error texts on Windows (FormatMessage).
#include <windows.h>

#include "core/err.h"

namespace zp {

std::string system_error_text(int code) {
    char buf[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf,
                             sizeof buf, nullptr);
    std::string s(buf, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.'))
        s.pop_back();
    if (s.empty()) return strprintf("%u", static_cast<unsigned>(code));
    return s;
}

int last_system_error() { return static_cast<int>(GetLastError()); }

}  // namespace zp
