// supervise_os.h - the OS calls of the supervising process: the agent as a
// child process with its two pipes, the events it waits for, and the file
// replacements of an upgrade.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/err.h"

namespace zp::supervise_os {

// A running agent and the supervisor's ends of its pipes.
struct child {
    int64_t pid = -1;
    int64_t to_agent = -1;
    int64_t from_agent = -1;
};

// Blocks the stop signals and the child signal so that wait_event sees them.
err watch_signals();

// Starts `exe` with `args` followed by "--parent-pipes <in> <out>" (the
// agent's ends, inherited).
err start_agent(const std::string& exe, const std::vector<std::string>& args, child& c);

enum class event_kind { timeout, stop, byte, exited };
struct event {
    event_kind kind = event_kind::timeout;
    uint8_t byte = 0;
    int exit_code = 0;  // exited: the exit code, or 128 + the signal
};

// Waits at most `timeout_ms` (-1: no limit) for a stop signal, a byte from the
// agent or its end. Bytes the agent wrote before it ended come first. After
// `exited` the child is released.
event wait_event(child& c, int timeout_ms);

void send_byte(const child& c, uint8_t byte);
// SIGTERM, or SIGKILL when `hard`.
void signal_agent(const child& c, bool hard);

// Waits up to `ms`; true when a stop signal arrived meanwhile.
bool sleep_unless_stopped(int ms);

// Gives `to` the file of `from` at once (rename); with `keep`, `from` stays
// too (a link under a temporary name, then renamed).
err replace_name(const std::string& from, const std::string& to, bool keep);
bool file_exists(const std::string& path);

}  // namespace zp::supervise_os
