// run_os.h - the OS calls behind the command runner: a pipe, a child whose
// standard output and standard error both go to that pipe, reading it,
// stopping and reaping the child, and a command left to run on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/err.h"

namespace zp::run_os {

// The read end of the output pipe, with what it takes to cut a blocked read
// short from another thread. Plain handles: the runner closes them.
struct pipe_reader {
    intptr_t fd = -1;
    intptr_t cancel = -1;
};

// A started child: its process (id or handle) and, where the OS has one, a
// handle that becomes ready when it ends.
struct child {
    int64_t id = -1;
    intptr_t exit_handle = -1;
};

enum class read_status { data, ended, failed };
struct read_outcome {
    read_status status = read_status::failed;
    size_t bytes = 0;
    int error = 0;  // system error code of a failed read
};

enum class wait_status { exited, abnormal, running, failed };

// A pipe whose read end the child does not inherit. False on failure.
bool make_pipe(pipe_reader& read_end, intptr_t& write_end);
void close_write_end(intptr_t write_end);

// Starts the command line with the system's shell in a process group of its
// own, standard output and standard error on `write_end`, standard input from
// nowhere. Returns the system's error text on failure; `out` is unchanged.
err start_child(const std::string& command_line, intptr_t write_end, child& out);

// Reads what is there (at most `n` bytes, blocking until some arrive): data,
// the end of the output, or a failure (also when cancel_read was called).
// Called by the reader thread; `p` is a copy, so the runner may forget it.
read_outcome read_pipe(pipe_reader p, char* buf, size_t n);
// Makes a blocked or later read_pipe fail at once. Any thread.
void cancel_read(const pipe_reader& p);
// Closes both handles once no thread reads any more; `p` is forgotten.
void close_pipe(pipe_reader& p);

// Kills the child and every process of its group.
void kill_child(child& c);
// Waits up to `ms` milliseconds for the child to end, without reaping it:
// exited (with `exit_code`), abnormal (ended by a signal, no exit code),
// running (time-out) or failed (`error` set).
wait_status wait_child(child& c, int64_t ms, int& exit_code, int& error);
// Kills what is left of the child's group and reaps the child; `c` is
// forgotten. Every started child goes through here once.
void release_child(child& c);

// The shell's exit codes for a command it could not start (not found, not
// executable), as a system error text; none for any other code.
std::optional<std::string> shell_start_failure(int exit_code);

// Starts the command line in a session of its own, its standard handles on
// nothing, and returns at once; the command's end is never observed and leaves
// no zombie. Returns the system's error text on failure.
err start_detached(const std::string& command_line);

}  // namespace zp::run_os
