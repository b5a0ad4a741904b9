// version_posix.cpp - the version text of a Linux build.
#include "core/agent.h"
#include "core/build_config.h"

#define ZP_VERSION_TEXT(cpu) "v." ZP_VERSION " build " ZP_BUILD_NUMBER " on Linux (" cpu ")"

namespace zp {

const char* version_text() {
#if defined(__x86_64__)
    return ZP_VERSION_TEXT("x86-64");
#elif defined(__aarch64__)
    return ZP_VERSION_TEXT("aarch64");
#elif defined(__i386__)
    return ZP_VERSION_TEXT("x86");
#else
    return ZP_VERSION_TEXT("unknown");
#endif
}

}  // namespace zp
