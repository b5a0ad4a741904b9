// supervise.h - the supervising process of the agent (zpsupervise), what the
// service unit runs: it starts the agent with --parent-pipes, passes a stop on
// as the byte 0, installs an upgrade the agent placed beside its executable
// (keeping the previous executable as <exe>.previous), goes back to the
// previous one with --upgrade-failed when the new one does not report that it
// works in time, and restarts an agent that ended on its own, with a growing
// pause.
#pragma once

#include <string>
#include <vector>

#include "core/err.h"

namespace zp {

struct supervise_options {
    std::string exe;                // the agent's executable (full path)
    std::vector<std::string> args;  // its arguments
    int upgrade_timeout = 600;      // seconds a new version has to report that it works
    int max_restart_delay = 60;     // longest pause before restarting an agent that ended
};

// Runs until SIGTERM or SIGINT (then stops the agent and returns 0). Returns
// 1 when the signals cannot be watched.
int supervise(const supervise_options& o);

// Puts "upgrade" (beside exe) in place of exe, keeping exe as <exe>.previous.
// Each step replaces a name at once: exe names a whole executable throughout.
err install_upgrade(const std::string& exe);
// Puts <exe>.previous back in place of exe (keeping <exe>.previous).
err roll_back(const std::string& exe);

// Seconds to wait before the n-th restart in a row (n >= 1): 1, 2, 4, ...,
// at most `max`.
int restart_delay(int n, int max);

}  // namespace zp
