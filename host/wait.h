// wait.h - the host's wait objects: events that other threads (or the command
// pipe) signal, the main loop's timed wait on them, and the wake-up events that
// cut the agent's other timed sleeps short when a stop is requested or a
// download has finished.
//
// Two process-wide arrays of at most 4 handles each, kept in the order of
// adding; removing a handle moves the later ones down. Adding, removing and
// waiting may happen on any thread; the waits themselves are meant for the
// main thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/err.h"

namespace zp {

// An OS event (an eventfd on Linux, an event HANDLE on Windows).
using os_handle = std::intptr_t;
inline constexpr os_handle invalid_os_handle = -1;
inline constexpr size_t max_wait_handles = 4;

// An event, closed when destroyed. Manual-reset events stay signalled until
// reset and so wake every later wait; auto-reset events wake one wait, which
// consumes the signal.
class wait_event {
public:
    wait_event() = default;
    ~wait_event();
    wait_event(wait_event&& o) noexcept;
    wait_event& operator=(wait_event&& o) noexcept;
    wait_event(const wait_event&) = delete;
    wait_event& operator=(const wait_event&) = delete;

    // Creates the event; on failure `out` is unchanged and the error says why.
    static err create(bool manual_reset, bool initially_set, wait_event& out);

    void set();    // any thread
    void reset();
    // Waits up to `ms` milliseconds (negative: without limit) for the event:
    // 1 signalled (an auto-reset event's signal is consumed), 0 timed out, -1
    // the wait failed. Any thread.
    int wait(int64_t ms) const;
    bool valid() const { return h_ != invalid_os_handle; }
    os_handle handle() const { return h_; }

private:
    os_handle h_ = invalid_os_handle;
};

// The wait objects of the main loop's wait. False when the array is full (add)
// or the handle is not in it (del).
bool add_wait_event(os_handle h);
bool del_wait_event(os_handle h);
// The position + 1 of `h` among the wait objects, or -1 when it is not there.
int wait_event_position(os_handle h);
// The wake-up events of the other timed sleeps; same rules.
bool add_wakeup_event(os_handle h);
bool del_wakeup_event(os_handle h);

// Waits up to `seconds` on the wait objects: 0 on time-out, or the position + 1
// of the signalled object (the first one when several are). Just sleeps when
// there are none; 0 or less returns 0 at once. A failure of the wait logs
// "wait_for_objects WAIT_FAILED" at level 3 and returns 0.
int wait_for_objects(int seconds);

// The same on the wake-up events only; never serves the command pipe.
int wakeup_wait(int seconds);

// The command pipe's event and the operation that serves a request; when
// wait_for_object finds this event signalled it resets it and calls `serve`.
// An invalid handle removes the hook.
void set_command_pipe_event(os_handle h, void (*serve)());

// The main loop's wait: wait_for_objects, logging "[cmd] wait_for_object Got %d"
// at level 0 when something was signalled, and serving the command pipe when
// its event was.
void wait_for_object(int seconds);

// Forgets every wait object and wake-up event (the events stay open).
void clear_wait_objects();

}  // namespace zp
