// pattern_posix.cpp - the POSIX regcomp/regexec calls behind pattern_os.h.
#include <malloc.h>
#include <regex.h>

#include <limits>
#include <vector>

#include "logcheck/pattern_os.h"

namespace zp {

struct os_regex {
    regex_t re;
    bool compiled = false;
    os_regex() = default;
    os_regex(const os_regex&) = delete;
    os_regex& operator=(const os_regex&) = delete;
    ~os_regex() {
        if (compiled) regfree(&re);
    }
};

void os_regex_deleter::operator()(os_regex* re) const {
    std::default_delete<os_regex>()(re);
}

namespace {
// Bytes in use from the allocator (small blocks and mapped ones).
uint64_t allocated_bytes() {
    struct mallinfo2 mi = mallinfo2();
    return static_cast<uint64_t>(mi.uordblks) + static_cast<uint64_t>(mi.hblkhd);
}
}  // namespace

int os_regex_compile(const std::string& text, unsigned flags, os_regex_ptr* out,
                     std::string* error_text, uint64_t* measured) {
    auto re = std::make_unique<os_regex>();
    int cflags = REG_EXTENDED;
    if (flags & pattern_icase) cflags |= REG_ICASE;
    if (flags & pattern_newline) cflags |= REG_NEWLINE;
    const uint64_t before = measured ? allocated_bytes() : 0;
    int rc = regcomp(&re->re, text.c_str(), cflags);
    if (measured) {
        // Other threads allocate too; a shrink reads as nothing measured.
        uint64_t after = allocated_bytes();
        *measured = after > before ? after - before : 0;
    }
    if (rc != 0) {
        char buf[80];
        regerror(rc, &re->re, buf, sizeof buf);
        *error_text = buf;
        return rc;  // regcomp leaves nothing to free on failure
    }
    re->compiled = true;
    out->reset(re.release());
    return 0;
}

int os_regex_exec(const os_regex& re, std::string_view subject, std::span<match_span> groups) {
    // REG_STARTEND matches the span in place, without a terminating NUL.
    regmatch_t one[1];
    std::vector<regmatch_t> many;
    regmatch_t* pm = one;
    if (groups.size() > 1) {
        many.resize(groups.size());
        pm = many.data();
    }
    if (subject.size() > static_cast<size_t>(std::numeric_limits<regoff_t>::max())) return REG_ESPACE;
    pm[0].rm_so = 0;
    pm[0].rm_eo = static_cast<regoff_t>(subject.size());
    int rc = regexec(&re.re, subject.data(), groups.size(), pm, REG_STARTEND);
    if (rc == REG_NOMATCH) return regex_no_match;
    if (rc != 0) return rc;
    for (size_t i = 0; i < groups.size(); i++) {
        groups[i].start = pm[i].rm_so;
        groups[i].end = pm[i].rm_eo;
    }
    return regex_matched;
}

size_t os_regex_groups(const os_regex& re) {
    return re.re.re_nsub;
}

std::string os_regex_fault_text(regex_fault f) {
    char buf[80];
    int code = f == regex_fault::bad_backref ? REG_ESUBREG : f == regex_fault::too_big ? REG_ESIZE : REG_BADPAT;
    regerror(code, nullptr, buf, sizeof buf);
    return buf;
}

std::string os_regex_error_text(int code) {
    char buf[80];
    regerror(code, nullptr, buf, sizeof buf);
    return buf;
}

// glibc runs such an expression as a DFA.
bool os_regex_one_pass_prefix_pays() { return true; }

}  // namespace zp
