// version_posix.cpp - the version text of a Linux build.
#include "core/agent.h"

namespace zp {

const char* version_text() {
#if defined(__x86_64__)
    return "v.4.6.2 build 6183 on Linux (x86-64)";
#elif defined(__aarch64__)
    return "v.4.6.2 build 6183 on Linux (aarch64)";
#elif defined(__i386__)
    return "v.4.6.2 build 6183 on Linux (x86)";
#else
    return "v.4.6.2 build 6183 on Linux (unknown)";
#endif
}

}  // namespace zp
