// host_hookup.h - the host integration as the main loop starts and ends it:
// the command pipe with its requests forwarded to the server, and the
// messages of a start after a failed upgrade.
#pragma once

#include "agent/main_loop.h"

namespace zp {

// Sets ops.init_host (the loop's events, the command pipe unless this is a
// command client, the failed-upgrade notice) and ops.release_host (the
// reverse). Main thread.
void plug_host(loop_ops& ops);

// The host start and clean-up themselves.
void init_os_arch_specific();
void release_host_objects();

}  // namespace zp
