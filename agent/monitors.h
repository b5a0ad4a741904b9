// monitors.h - the host monitors this build has: the Linux build has every
// monitors/ module, the Windows build none yet (their scanners report that they
// are not available in this build). Main thread, at start-up.
#pragma once

#include "devtree/devtree.h"

namespace zp {

// Fills the scanner table entries of the monitor modules.
void register_platform_monitors();

// The host information sent at registration (empty where no module gathers it).
clinfo_list platform_host_info();

}  // namespace zp
