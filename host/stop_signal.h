// stop_signal.h - a request from outside to stop the agent (SIGTERM, SIGINT,
// SIGHUP or SIGQUIT on Linux) turned into a call on an ordinary thread, so
// that the main loop shuts down as it does for any other stop: variables
// flushed, exit code 0.
#pragma once

namespace zp {

// Blocks the stop signals in the calling thread (and in every thread started
// after it) and starts a thread that calls `on_stop` once for each stop signal.
// Call once, from the main thread, before other threads are started.
// Returns false when the watch could not be set up (the signals then keep
// their default action).
bool watch_stop_signals(void (*on_stop)());

}  // namespace zp
