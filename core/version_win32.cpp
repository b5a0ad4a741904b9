// version_win32.cpp - the version text of a Windows build.
#include "core/agent.h"
#include "core/build_config.h"

namespace zp {

const char* version_text() {
#if defined(_M_X64) || defined(__x86_64__)
    return "v." ZP_VERSION " build " ZP_BUILD_NUMBER " on Windows NT (AMD-64)";
#else
    return "v." ZP_VERSION " build " ZP_BUILD_NUMBER " on Windows NT (x86)";
#endif
}

}  // namespace zp
