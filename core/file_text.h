// file_text.h - small text helpers: reading a whole small file with a size cap
// (so that a huge or endless file cannot exhaust memory), trimming, atoi.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/err.h"

namespace zp {

// fopen that keeps the file from commands the agent starts (close-on-exec).
std::FILE* open_file(const std::string& path, const char* mode);

// Why read_text_file failed, for callers that treat the cases apart.
enum class file_fault {
    none,
    missing,      // nothing at the path
    not_regular,  // a directory, FIFO, device or socket: never opened for reading
    denied,       // the agent's user may not read it
    unreadable,   // another open or read error
    too_large,
};

// Reads the regular file at `path` into `out`. It is opened without blocking
// and only a regular file is read, so a FIFO or a device at the path can
// neither hang the agent nor feed it endless data. Fails with the system's
// error text when the file cannot be opened or read, with "\"%s\" is %s, not
// a regular file" (path, kind) for anything else, and with "File too large" when
// it holds more than `max_bytes`. `out` is unchanged on failure; `fault`, when
// given, tells which case it was.
err read_text_file(const std::string& path, size_t max_bytes, std::string& out, file_fault* fault = nullptr);

// True for the C `isspace` characters; the trimming rule of every text the
// agent reads from a file.
bool is_space(char c);
// C atoi on the text (leading blanks, sign, digits; anything else reads as 0),
// with values beyond 32 bits clamped instead of undefined.
int32_t atoi32(const std::string& text);

// The text without leading and trailing white space.
std::string trim(const std::string& text);

}  // namespace zp
