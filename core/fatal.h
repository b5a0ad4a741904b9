// fatal.h - the one routine for fatal conditions: log "Fatal error: %s" at
// level 3, report the text to the system log, release what must not outlive the
// process (wait objects, the command pipe), exit with 1.
#pragma once

#include "core/err.h"

namespace zp {

[[noreturn]] void fatal(const char* fmt, ...) ZP_PRINTF(1, 2);

// Registers a function the fatal routine calls before it exits (at most a few;
// later registrations run first). Not thread-safe: call during start-up.
void on_fatal_release(void (*fn)());

}  // namespace zp
