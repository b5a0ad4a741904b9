// pattern.h - compiled regular expressions of the agent: log conditions, record
// separators and custom check result patterns all go through compile_pattern.
//
// A pattern is compiled once per configuration and then matched against many
// entries in place. Matching is bounded: before the engine runs, a pattern skips
// entries that lack a literal every match must contain, and long entries are
// searched in one linear pass instead of once per start position. None of this
// changes which entries match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/err.h"
#include "logcheck/pattern_os.h"

namespace zp {

// One entry as the patterns of one evaluation see it: when several patterns
// look at the same entry, the set of its bytes is taken once and rules out
// most literals without a search. Lives on the evaluation's stack; the entry
// must not change while it is in use.
class entry_scan {
public:
    explicit entry_scan(std::string_view text) : text_(text) {}
    std::string_view text() const { return text_; }
    // False when the entry lacks one of `bytes`.
    bool may_contain(std::string_view bytes);

private:
    std::string_view text_;
    int asked_ = 0;
    bool built_ = false;
    unsigned char present_[256];
};

// A literal that an entry must contain for a pattern to match, with the byte
// the search looks for first (the rarest in ordinary text).
struct required_literal {
    std::string text;
    size_t probe = 0;  // index into text
    std::string rare;  // up to four distinct bytes of text, rarest first
    bool found_in(std::string_view s) const;
};

class pattern {
public:
    pattern(const pattern&) = delete;
    pattern& operator=(const pattern&) = delete;
    ~pattern();

    // The pattern as compiled (after the escape translation).
    const std::string& text() const { return text_; }
    // Number of parenthesised sub-expressions.
    size_t groups() const;

    // Matches `subject` (any bytes, not NUL-terminated). When `spans` is not
    // empty it receives the match (spans[0]) and the sub-expressions. Returns
    // regex_matched, regex_no_match or the engine's error code.
    // A pattern is used by one thread at a time.
    int exec(std::string_view subject, std::span<match_span> spans = {}) const;
    // The same without spans, for an entry that other patterns look at too.
    int exec(entry_scan& entry) const;

    // What the prefilter uses: the entry must contain one literal of each group
    // (no groups: no prefilter); `exact` when containing one literal of the only
    // group is the whole pattern.
    const std::vector<std::vector<required_literal>>& required() const { return required_; }
    bool exact() const { return exact_; }

private:
    friend err compile_pattern(std::string_view, unsigned, std::unique_ptr<pattern>*);
    struct key {};

public:
    explicit pattern(key) {}  // only compile_pattern makes patterns

private:
    const os_regex& engine(bool whole, size_t scanned) const;
    int run(std::string_view subject, std::span<match_span> spans) const;

    std::string text_;
    unsigned flags_ = 0;
    std::vector<std::vector<required_literal>> required_;
    bool exact_ = false;
    // The expression itself, and for long entries the same expression behind a
    // start anchor and a prefix that takes any bytes (absent when not needed or
    // not safe). Both are rebuilt after they have scanned rebuild_bytes, which
    // bounds the engine's cache of states.
    mutable os_regex_ptr plain_;
    mutable os_regex_ptr whole_;
    std::string whole_text_;
    mutable uint64_t plain_scanned_ = 0;
    mutable uint64_t whole_scanned_ = 0;
};

// Entries longer than this are searched with the one-pass form.
inline constexpr size_t pattern_long_entry = 1024;
// Bytes an expression may scan before it is rebuilt.
inline constexpr uint64_t pattern_rebuild_bytes = 1 << 20;
// Limits on what compile_pattern accepts: parenthesis nesting and the size of
// the expression with its repetition counts multiplied out. The library's
// compiler needs memory and time that grow with the square of that size
// (about 30 MB and 60 ms at 2000; gigabytes and seconds at 20000).
inline constexpr int pattern_max_nesting = 100;
inline constexpr uint64_t pattern_max_size = 2000;

// Bytes of compiled expressions that compile_pattern has made on the calling
// thread so far (a running total, never decreased). Expressions larger than
// pattern_measured_size are measured through the allocator where the platform
// allows it; smaller ones and the rest are estimated from their size. Callers
// that bound what a configuration may cost compare it before and after.
uint64_t compiled_pattern_bytes();
inline constexpr uint64_t pattern_measured_size = 32;

// The escape translation: backslash n, r, t become line feed, carriage return
// and tab; a backslash before any other byte is kept with that byte; a final
// backslash is kept.
std::string translate_pattern_escapes(std::string_view text);

// Translates the escapes of `text` (which ends at its first NUL byte, if any)
// and compiles it as an extended regular expression with `flags`
// (pattern_icase, pattern_newline). On failure returns the engine's error text
// (at most 79 bytes) and leaves *out unchanged. Back-references, nesting deeper
// than pattern_max_nesting and expressions larger than pattern_max_size are
// refused with the engine's texts for those faults.
err compile_pattern(std::string_view text, unsigned flags, std::unique_ptr<pattern>* out);

}  // namespace zp
