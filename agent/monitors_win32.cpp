// monitors_win32.cpp - the Windows build has no monitor modules yet: their
// scanner table entries stay "not available in this build".
#include "agent/monitors.h"

namespace zp {

void register_platform_monitors() {}

clinfo_list platform_host_info() { return {}; }

}  // namespace zp
