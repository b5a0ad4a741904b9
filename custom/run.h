// run.h - running the commands of custom checks and agent actions.
//
// A custom check's command runs to its end under the check's time-out while a
// reader thread hands its output, a buffer at a time, to the main thread,
// which parses it line by line. Only one custom check runs at a time; the
// runner's state is process-wide. A command that runs too long, or whose
// output cannot be parsed, is killed with every process of its group.
#pragma once

#include <string>

#include "core/err.h"
#include "custom/custom.h"
#include "devtree/devtree.h"

namespace zp {

// Runs the definition's command and fills `result` through make_custom_result.
// Returns none, an error text ("Timeout (%d s)", "Failed executing '%s': %s",
// ...) or err::no_result(). Blocks the calling (main) thread for at most twice
// the time-out and about a second of clean-up; no process of the command's
// group and no reader thread is left when it returns. A command whose shell
// exits with 127 or 126 (not found, not executable) could not be started.
err run_custom_check(custom_check& c, resnode& result);

// The reader thread's body: reads into the shared buffer and hands each read
// to the main thread. Returns 0, or 2 when a wait failed.
int read_thread();

// Stops the reader thread and closes the read end of the pipe (main thread).
void close_thread();

// Starts the command line and returns at once; "Failed executing \"%s\": %s"
// when it cannot be started.
err run_detached(const std::string& command_line);

}  // namespace zp
