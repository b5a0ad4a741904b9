// crash.h - the crash report writer: when the agent dies of a fault (an
// invalid memory access, an illegal instruction, an arithmetic fault, an
// abort, an uncaught exception or a pure virtual call), a report of where it
// happened is written to "quillmar.dmp" and the system log is told where it
// is; the process then ends by the same signal as it would have without the
// writer, so its exit status and core dump stay the system's usual ones.
#pragma once

#include <string>

namespace zp {

inline constexpr const char* crash_file_name = "quillmar.dmp";

// Installs the writer for the whole process; the report goes to
// `dir`/quillmar.dmp (replaced by each crash). Call once from the main thread
// at start-up; the main thread gets a stack of its own for the writer, so that
// a stack overflow is reported too. Everything the writer does at crash time
// is safe in a signal handler.
void install_crash_handler(const std::string& dir);

// The texts reported (exposed for tests): where the report is, and the two
// failures.
std::string crash_report_message(const std::string& path);

}  // namespace zp
