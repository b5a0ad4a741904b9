// pattern_win32.cpp - Boost.Regex (POSIX extended syntax, header-only) behind
// pattern_os.h: the Windows C runtime has no regcomp.
#include <boost/regex.hpp>

#include <stdexcept>

#include "logcheck/pattern_os.h"

namespace zp {

namespace {

// The engine's error codes, numbered as the C library numbers them, so that
// both builds hand the same codes to the pattern code.
enum : int { e_nomatch = 1, e_badpat, e_ecollate, e_ectype, e_eescape, e_esubreg, e_ebrack, e_eparen,
             e_ebrace, e_badbr, e_erange, e_espace, e_badrpt, e_eend, e_esize };

int code_of(boost::regex_constants::error_type e) {
    namespace rc = boost::regex_constants;
    switch (e) {
        case rc::error_collate: return e_ecollate;
        case rc::error_ctype: return e_ectype;
        case rc::error_escape: return e_eescape;
        case rc::error_backref: return e_esubreg;
        case rc::error_brack: return e_ebrack;
        case rc::error_paren: return e_eparen;
        case rc::error_brace: return e_ebrace;
        case rc::error_badbrace: return e_badbr;
        case rc::error_range: return e_erange;
        case rc::error_space: return e_espace;
        case rc::error_badrepeat: return e_badrpt;
        case rc::error_complexity: return e_esize;
        case rc::error_stack: return e_espace;
        default: return e_badpat;
    }
}

// The C library's texts for the same codes, so that the server sees one wording.
const char* text_of(int code) {
    switch (code) {
        case e_nomatch: return "No match";
        case e_ecollate: return "Invalid collation character";
        case e_ectype: return "Invalid character class name";
        case e_eescape: return "Trailing backslash";
        case e_esubreg: return "Invalid back reference";
        case e_ebrack: return "Unmatched [, [^, [:, [., or [=";
        case e_eparen: return "Unmatched ( or \\(";
        case e_ebrace: return "Unmatched \\{";
        case e_badbr: return "Invalid content of \\{\\}";
        case e_erange: return "Invalid range end";
        case e_espace: return "Memory exhausted";
        case e_badrpt: return "Invalid preceding regular expression";
        case e_eend: return "Premature end of regular expression";
        case e_esize: return "Regular expression too big";
        default: return "Invalid regular expression";
    }
}

}  // namespace

struct os_regex {
    boost::regex re;
    bool by_line = false;
};

void os_regex_deleter::operator()(os_regex* re) const {
    std::default_delete<os_regex>()(re);
}

int os_regex_compile(const std::string& text, unsigned flags, os_regex_ptr* out, std::string* error_text,
                     uint64_t* measured) {
    // The allocator of this C runtime cannot tell what a compile took.
    if (measured) *measured = 0;
    auto re = std::make_unique<os_regex>();
    boost::regex::flag_type syntax = boost::regex::extended;
    if (flags & pattern_icase) syntax |= boost::regex::icase;
    try {
        re->re.assign(text, syntax);
    } catch (const boost::regex_error& e) {
        int code = code_of(e.code());
        *error_text = text_of(code);
        return code;
    } catch (const std::exception&) {
        *error_text = text_of(e_espace);
        return e_espace;
    }
    re->by_line = (flags & pattern_newline) != 0;
    out->reset(re.release());
    return 0;
}

int os_regex_exec(const os_regex& re, std::string_view subject, std::span<match_span> groups) {
    // Without the line flag "^" and "$" hold only at the ends of the entry and
    // "." takes a line feed, as with the C library.
    auto mflags = re.by_line ? boost::match_not_dot_newline : boost::match_single_line;
    boost::match_results<const char*> m;
    try {
        if (!boost::regex_search(subject.data(), subject.data() + subject.size(), m, re.re, mflags))
            return regex_no_match;
    } catch (const std::exception&) {
        // The engine gives up on expressions whose matching grows too costly.
        return e_espace;
    }
    for (size_t i = 0; i < groups.size(); i++) {
        if (i < m.size() && m[i].matched) {
            groups[i].start = m[i].first - subject.data();
            groups[i].end = m[i].second - subject.data();
        } else {
            groups[i] = {};
        }
    }
    return regex_matched;
}

size_t os_regex_groups(const os_regex& re) { return re.re.mark_count(); }

std::string os_regex_fault_text(regex_fault f) {
    return text_of(f == regex_fault::bad_backref ? e_esubreg : e_esize);
}

std::string os_regex_error_text(int code) { return text_of(code); }

// Boost.Regex backtracks.
bool os_regex_one_pass_prefix_pays() { return false; }

}  // namespace zp
