// wait.cpp - the wait object arrays and the timed waits on them.
#include "host/wait.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "core/log.h"
#include "host/wait_os.h"

namespace zp {

namespace {

struct handle_array {
    os_handle h[max_wait_handles] = {};
    size_t count = 0;
};

struct wait_tables {
    std::mutex mu;
    handle_array objects;
    handle_array wakeups;
    os_handle pipe_event = invalid_os_handle;
    void (*serve_pipe)() = nullptr;
};

wait_tables& tables() {
    static wait_tables t;
    return t;
}

bool add_to(handle_array& a, os_handle h) {
    std::lock_guard lk(tables().mu);
    if (a.count >= max_wait_handles) return false;
    a.h[a.count++] = h;
    return true;
}

bool del_from(handle_array& a, os_handle h) {
    std::lock_guard lk(tables().mu);
    auto end = a.h + a.count;
    auto it = std::find(a.h, end, h);
    if (it == end) return false;
    std::move(it + 1, end, it);
    --a.count;
    return true;
}

handle_array snapshot(const handle_array& a) {
    std::lock_guard lk(tables().mu);
    return a;
}

// -1 on failure, else 0 or position + 1.
int wait_on(const handle_array& a, int seconds) {
    int64_t ms = static_cast<int64_t>(seconds) * 1000;
    if (a.count == 0) {
        wait_os::sleep_ms(ms);
        return 0;
    }
    return wait_os::wait_any(a.h, a.count, ms);
}

}  // namespace

// ---------------------------------------------------------------------------

wait_event::~wait_event() {
    if (valid()) wait_os::close_event(h_);
}

wait_event::wait_event(wait_event&& o) noexcept : h_(std::exchange(o.h_, invalid_os_handle)) {}

wait_event& wait_event::operator=(wait_event&& o) noexcept {
    if (this != &o) {
        if (valid()) wait_os::close_event(h_);
        h_ = std::exchange(o.h_, invalid_os_handle);
    }
    return *this;
}

err wait_event::create(bool manual_reset, bool initially_set, wait_event& out) {
    err e;
    os_handle h = wait_os::create_event(manual_reset, initially_set, e);
    if (h == invalid_os_handle) return e;
    wait_event ev;
    ev.h_ = h;
    out = std::move(ev);
    return {};
}

void wait_event::set() {
    if (valid()) wait_os::set_event(h_);
}

void wait_event::reset() {
    if (valid()) wait_os::reset_event(h_);
}

int wait_event::wait(int64_t ms) const {
    if (!valid()) return -1;
    // Without limit: a day at a time, so that no deadline overflows.
    constexpr int64_t day = 86'400'000;
    for (;;) {
        int r = wait_os::wait_any(&h_, 1, ms < 0 ? day : ms);
        if (r != 0 || ms >= 0) return r;
    }
}

bool add_wait_event(os_handle h) { return add_to(tables().objects, h); }
bool del_wait_event(os_handle h) { return del_from(tables().objects, h); }
int wait_event_position(os_handle h) {
    std::lock_guard lk(tables().mu);
    const auto& a = tables().objects;
    for (size_t i = 0; i < a.count; ++i)
        if (a.h[i] == h) return static_cast<int>(i) + 1;
    return -1;
}

bool add_wakeup_event(os_handle h) { return add_to(tables().wakeups, h); }
bool del_wakeup_event(os_handle h) { return del_from(tables().wakeups, h); }

namespace {
// The wait of wait_for_objects on the array `a` was taken from.
int wait_objects_in(const handle_array& a, int seconds) {
    if (seconds <= 0) return 0;
    int r = wait_on(a, seconds);
    if (r < 0) {
        log(3, "wait_for_objects WAIT_FAILED");
        return 0;
    }
    return r;
}
}  // namespace

int wait_for_objects(int seconds) { return wait_objects_in(snapshot(tables().objects), seconds); }

int wakeup_wait(int seconds) {
    if (seconds <= 0) return 0;
    int r = wait_on(snapshot(tables().wakeups), seconds);
    return r < 0 ? 0 : r;
}

void set_command_pipe_event(os_handle h, void (*serve)()) {
    std::lock_guard lk(tables().mu);
    tables().pipe_event = h;
    tables().serve_pipe = h == invalid_os_handle ? nullptr : serve;
}

void wait_for_object(int seconds) {
    handle_array a = snapshot(tables().objects);
    int r = wait_objects_in(a, seconds);
    if (r <= 0) return;
    log(0, "[cmd] wait_for_object Got %d", r);
    os_handle signalled = a.h[r - 1];
    os_handle pipe;
    void (*serve)();
    {
        std::lock_guard lk(tables().mu);
        pipe = tables().pipe_event;
        serve = tables().serve_pipe;
    }
    if (pipe != invalid_os_handle && signalled == pipe) {
        wait_os::reset_event(pipe);
        if (serve) serve();
    }
}

void clear_wait_objects() {
    std::lock_guard lk(tables().mu);
    tables().objects = {};
    tables().wakeups = {};
    tables().pipe_event = invalid_os_handle;
    tables().serve_pipe = nullptr;
}

}  // namespace zp
