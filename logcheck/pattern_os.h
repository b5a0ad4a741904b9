// pattern_os.h - the C library's regular expression engine behind four calls, so
// that the portable pattern code never sees regex.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace zp {

struct os_regex;  // one compiled expression of the C library
struct os_regex_deleter {
    void operator()(os_regex* re) const;
};
using os_regex_ptr = std::unique_ptr<os_regex, os_regex_deleter>;

// Start and end offset of a match or sub-expression; -1 when it took no part.
struct match_span {
    ptrdiff_t start = -1;
    ptrdiff_t end = -1;
};

// Compile flags on top of the always-on extended syntax.
inline constexpr unsigned pattern_icase = 1;    // case-insensitive
inline constexpr unsigned pattern_newline = 2;  // ^ $ . respect line feeds
// Tests and fuzzing only: no prefilter and no long-entry form, every match is
// one plain regexec, so that the fast paths can be compared with it.
inline constexpr unsigned pattern_plain = 0x100;

// Outcome of os_regex_exec besides the engine's own error codes (> 0).
inline constexpr int regex_matched = 0;
inline constexpr int regex_no_match = -1;

// Texts of faults that the pattern code finds itself, in the engine's words.
enum class regex_fault { bad_backref, too_big, bad_pattern };

// Compiles `text` (NUL-free) as an extended expression. On failure returns the
// engine's error code, sets *error_text to its message (at most 79 bytes) and
// leaves *out alone. With `measured`, it receives the bytes the allocator
// handed out during the compile (0 where the platform cannot tell); measuring
// walks the allocator's lists, so it is asked for only for large expressions.
int os_regex_compile(const std::string& text, unsigned flags, os_regex_ptr* out,
                     std::string* error_text, uint64_t* measured = nullptr);
// Matches `subject` in place (it need not be NUL-terminated and may hold NUL
// bytes). Fills `groups` (group 0 is the whole match) when not empty.
// Returns regex_matched, regex_no_match or the engine's error code.
int os_regex_exec(const os_regex& re, std::string_view subject, std::span<match_span> groups);
// Number of parenthesised sub-expressions.
size_t os_regex_groups(const os_regex& re);
std::string os_regex_fault_text(regex_fault f);
// True when the engine matches "^(.|[^.])*(P)" in one pass over the entry (a
// DFA), so that this form beats trying every start position on long entries;
// a backtracking engine would pay far more for it.
bool os_regex_one_pass_prefix_pays();
// The engine's text for one of its error codes (at most 79 bytes).
std::string os_regex_error_text(int code);

}  // namespace zp
