// host_hookup.h - the host integration as the main loop starts and ends it:
// the command pipe with its requests forwarded to the server, the upgrade
// download and the parent pipes, and the notice of a start after a failed
// upgrade.
#pragma once

#include "agent/main_loop.h"

namespace zp {

// Sets ops.init_host (the loop's events, the parent-pipe reader, the command
// pipe unless this is a command client, the failed-upgrade notice),
// ops.release_host (the reverse, waiting for a running download),
// ops.poll_download and ops.notify_parent (the upgrade's messages to the
// parent). Main thread.
void plug_host(loop_ops& ops);

// What check-in calls when the server offers an upgrade that the
// configuration allows: the download on its own thread. Main thread.
void start_upgrade_download();

// The host start and clean-up themselves.
void init_os_arch_specific();
void release_host_objects();

}  // namespace zp
