// log.h - the agent's one log: a file or standard error, records of
// "<ctime>: <message>\n", a numeric threshold, reopening and rotation by age,
// and the report of fatal errors to the system log.
//
// Levels (plain numbers at every call): -1 trace, 0 debug, 1 info, 2 warning,
// 3 error. log, log_text and the stream functions may be called from any
// thread; one record is one write followed by a flush. check_log_reopen and
// rotate_logfiles belong to the main thread.
#pragma once

#include <cstdarg>
#include <string>

#include "core/err.h"

namespace zp {

// Writes one record when a log stream is open and level >= the threshold.
void log(int level, const char* fmt, ...) ZP_PRINTF(2, 3);
void vlog(int level, const char* fmt, va_list ap);
// Writes `text` as it is (no format), for texts that may hold "%".
void log_text(int level, const std::string& text);

// Points the log at standard error (the state at start-up).
void log_to_stderr();
// Opens `path` for appending (created when missing) as the log. Only a regular
// file or a terminal is taken, and the open never blocks (a FIFO without a
// reader). On failure the log has no stream and nothing is written until a
// later open succeeds.
bool open_log(const std::string& path);
// None when `path` can be the log (missing, a regular file or a terminal);
// else "Log file \"%s\" is %s, not a regular file or a terminal".
err check_log_file(const std::string& path);
// When the log is a file: logs "Closing logfile" (level 2), closes it; no stream.
void close_log();
// True when the log stream is standard error or standard output.
bool log_is_console();

void set_log_level(int level);
int get_log_level();

// Sets the library loggers' pattern and level from the threshold.
void setup_library_logging();

// The reopen rule by age, run by the main loop after each wait. `log_path`,
// `log_days` and `max_log_files` come from the configuration.
void check_log_reopen(const std::string& log_path, int log_days, int max_log_files);
// Asks for a reopen at the next check_log_reopen.
void request_log_reopen();
// Replaces the wait between attempts to open the log again at a reopen (the
// main loop's wake-up wait; tests pass a function that does not sleep). Null
// restores the plain sleep. Call before the main loop starts.
void set_log_reopen_wait(void (*fn)(int seconds));
// Forgets the log file's creation time (the next check_log_reopen reads it
// from the file again) and any pending reopen request (tests).
void reset_log_reopen();

// Renames "<path>" to "<path>.1.txt" after moving the older ones up by one;
// keeps at most `count` old logs. Nothing is done when count < 2.
err rotate_logfiles(const std::string& path, int count);

// Reports `text` to the system log (syslog "Zerpal", daemon, error).
void report_event(const std::string& text);

}  // namespace zp
