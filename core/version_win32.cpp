// version_win32.cpp - the version text of a Windows build.
#include "core/agent.h"

namespace zp {

const char* version_text() {
#if defined(_M_X64) || defined(__x86_64__)
    return "v.4.6.2 build 6183 on Windows NT (AMD-64)";
#else
    return "v.4.6.2 build 6183 on Windows NT (x86)";
#endif
}

}  // namespace zp
