// loop_conversations.h - the server conversations as the main loop calls
// them: registration and check-in on the loop's configured tree, action tree
// and client information.
#pragma once

#include "agent/main_loop.h"

namespace zp {

// Sets ops.register_agent and ops.checkin: registration with failover, and one
// check-in with the loop's result throttle as its limit (the loop adjusts the
// throttle and fails over after each check-in). Main thread only.
void plug_conversations(loop_ops& ops);

}  // namespace zp
