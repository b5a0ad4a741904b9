// crash_os.h - the OS side of the crash report writer: the fault handlers and
// the report itself, written with calls that are safe in a signal handler.
#pragma once

namespace zp::crash_os {

// Installs the handlers. `path` is the report file; `written` and
// `create_failed` are the messages for the system log after the report was
// written or could not be created ("(error %d)" follows the latter). The texts
// are copied.
void install(const char* path, const char* written, const char* create_failed);

// Writes the report of std::terminate and aborts (the std::terminate handler).
[[noreturn]] void terminate_handler();

}  // namespace zp::crash_os
