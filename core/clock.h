// clock.h - the agent's wall clock, replaceable so that tests can run schedules
// on simulated time. Seconds since 1970.
#pragma once

#include <cstdint>

namespace zp {

int64_t time_now();

// Replaces the clock (null restores the system clock). Tests only; not
// thread-safe against concurrent time_now() calls.
void set_clock(int64_t (*fn)());

}  // namespace zp
