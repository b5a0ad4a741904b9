// clock.cpp - the replaceable wall clock.
#include "core/clock.h"

#include <atomic>
#include <ctime>

namespace zp {

namespace {
std::atomic<int64_t (*)()> clock_fn{nullptr};
}

int64_t time_now() {
    auto fn = clock_fn.load(std::memory_order_relaxed);
    return fn ? fn() : static_cast<int64_t>(std::time(nullptr));
}

void set_clock(int64_t (*fn)()) { clock_fn.store(fn, std::memory_order_relaxed); }

}  // namespace zp
