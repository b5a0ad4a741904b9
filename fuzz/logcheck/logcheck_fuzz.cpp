// logcheck_fuzz.cpp - fuzz target of the log rule language.
//
// The first byte chooses the mode:
//   even: the rest is a clause text; it is parsed and, when it parses, its
//         condition is evaluated against a few entries.
//   odd:  the second byte is the length of a pattern that follows; the rest is
//         an entry (repeated by the count in the third byte, so that long
//         entries are reached). The pattern is compiled with and without the
//         fast paths, and both must give the same result on the entry.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/log.h"
#include "logcheck/rules.h"

namespace {

bool quiet = [] {
    zp::set_log_level(4);
    return true;
}();

void clause_mode(std::string_view text) {
    std::unique_ptr<zp::log_cond> cond;
    if (zp::parse_log_condition(text, &cond)) return;
    for (std::string_view entry : {"", "error: disk", "a\nb\tc", "debug error 42"})
        (void)zp::log_cond_match(entry, *cond);
}

void pattern_mode(std::string_view data) {
    if (data.size() < 3) return;
    size_t len = static_cast<unsigned char>(data[0]);
    size_t repeat = static_cast<unsigned char>(data[1]) % 32 + 1;
    data.remove_prefix(2);
    std::string_view text = data.substr(0, std::min(len, data.size()));
    // A copy: the sanitizer's regexec interceptor reads the subject up to a NUL
    // even with REG_STARTEND, where the library itself stops at the span's end.
    std::string piece(data.substr(text.size()));
    std::string entry;
    for (size_t i = 0; i < repeat && entry.size() + piece.size() <= 3000; i++) entry += piece;

    std::unique_ptr<zp::pattern> fast, plain;
    zp::err e1 = zp::compile_pattern(text, 0, &fast);
    zp::err e2 = zp::compile_pattern(text, zp::pattern_plain, &plain);
    if (e1.message() != e2.message()) abort();
    if (e1) return;
    for (const std::string& s : {entry, piece}) {
        int a = fast->exec(s);
        int b = plain->exec(s);
        if (a != b) {
            fprintf(stderr, "prefilter changed the result: pattern \"%.*s\", %d vs %d\n",
                    static_cast<int>(text.size()), text.data(), a, b);
            abort();
        }
        zp::match_span m1[2], m2[2];
        if (fast->exec(s, m1) != plain->exec(s, m2) || m1[0].start != m2[0].start ||
            m1[0].end != m2[0].end)
            abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 0)
        clause_mode(rest);
    else
        pattern_mode(rest);
    return 0;
}
