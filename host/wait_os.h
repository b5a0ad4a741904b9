// wait_os.h - the OS calls behind the wait objects: events and a timed wait on
// several of them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/err.h"
#include "host/wait.h"

namespace zp::wait_os {

// A new event, or invalid_os_handle with the reason in `e`.
os_handle create_event(bool manual_reset, bool initially_set, err& e);
void close_event(os_handle h);
void set_event(os_handle h);
void reset_event(os_handle h);

// Waits until one of `handles` is signalled or `ms` milliseconds have passed.
// Returns 0 on time-out, the index + 1 of the first signalled handle (an
// auto-reset event's signal is consumed), or -1 when the wait failed.
int wait_any(const os_handle* handles, size_t n, int64_t ms);

void sleep_ms(int64_t ms);

}  // namespace zp::wait_os
