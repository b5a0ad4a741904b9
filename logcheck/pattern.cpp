// pattern.cpp - escape translation, compilation and bounded matching of the
// agent's regular expressions, with a prefilter on literals that every match
// must contain.
#include "logcheck/pattern.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace zp {

namespace {

// Alternatives kept for one requirement; beyond this the requirement is dropped.
constexpr size_t max_alternatives = 16;
// Requirements kept for one expression, the strongest first.
constexpr size_t max_groups = 3;

// What the scan of an expression knows about a part of it.
struct summary {
    std::vector<std::string> req;    // a match contains one of these; empty: nothing known
    std::vector<std::vector<std::string>> all;  // and one of each of these (req among them)
    std::vector<std::string> exact;  // the part matches exactly these strings (if is_exact)
    bool is_exact = false;
    bool zero_width = false;
    int lit = -1;       // a single unquantified literal byte
    uint64_t size = 0;  // nodes after multiplying out repetition counts
};

uint64_t sat_mul(uint64_t a, uint64_t b) {
    if (a != 0 && b > (pattern_max_size + 1) / a) return pattern_max_size + 1;
    return std::min<uint64_t>(a * b, pattern_max_size + 1);
}

uint64_t sat_add(uint64_t a, uint64_t b) {
    return std::min<uint64_t>(a + b, pattern_max_size + 1);
}

void add_unique(std::vector<std::string>& to, const std::string& s) {
    if (std::find(to.begin(), to.end(), s) == to.end()) to.push_back(s);
}

bool has_empty(const std::vector<std::string>& v) {
    return std::any_of(v.begin(), v.end(), [](const std::string& s) { return s.empty(); });
}

// The shortest alternative's length: a requirement is as good as its weakest part.
size_t strength(const std::vector<std::string>& v) {
    if (v.empty()) return 0;
    size_t m = SIZE_MAX;
    for (auto& s : v) m = std::min(m, s.size());
    return m;
}

// A conservative reading of an extended expression as the C library reads it.
// Anything it does not fully understand turns the prefilter and the one-pass
// form off; it never makes a requirement that a match could lack.
class ere_scan {
public:
    explicit ere_scan(const std::string& s) : s_(s) {}

    summary run() {
        summary r = alternation();
        if (i_ < s_.size()) understood = false;  // a ")" the library takes as a byte
        return r;
    }

    bool understood = true;
    bool backref = false;
    bool unbounded = false;  // some part repeats without limit
    bool anchors = false;    // ^ $ or the buffer anchors appear
    bool too_deep = false;

private:
    int peek() const { return i_ < s_.size() ? static_cast<unsigned char>(s_[i_]) : -1; }

    summary alternation() {
        summary r = branch();
        if (peek() != '|') return r;
        bool all_req = !r.req.empty();
        bool all_exact = r.is_exact;
        std::vector<std::string> req = r.req, exact = r.exact;
        uint64_t size = r.size;
        while (peek() == '|') {
            i_++;
            summary b = branch();
            size = sat_add(size, b.size);
            all_req = all_req && !b.req.empty();
            all_exact = all_exact && b.is_exact;
            for (auto& s : b.req) add_unique(req, s);
            for (auto& s : b.exact) add_unique(exact, s);
        }
        summary out;
        out.size = sat_add(size, 1);
        if (all_req && req.size() <= max_alternatives) {
            out.req = std::move(req);
            out.all = {out.req};
        }
        if (all_exact && exact.size() <= max_alternatives) {
            out.is_exact = true;
            out.exact = std::move(exact);
        }
        return out;
    }

    summary branch() {
        std::vector<std::vector<std::string>> candidates;
        std::string run;
        bool is_exact = true;
        std::vector<std::string> exact{""};
        uint64_t size = 0;
        auto flush = [&] {
            if (!run.empty()) candidates.push_back({run});
            run.clear();
        };
        for (;;) {
            int c = peek();
            if (c < 0 || c == '|' || (c == ')' && depth_ > 0)) break;
            summary p = piece();
            size = sat_add(size, p.size);
            if (p.lit >= 0) {
                run += static_cast<char>(p.lit);
            } else {
                flush();
                for (auto& group : p.all) candidates.push_back(group);
            }
            if (is_exact && p.is_exact && exact.size() * p.exact.size() <= max_alternatives) {
                std::vector<std::string> next;
                for (auto& a : exact)
                    for (auto& b : p.exact) add_unique(next, a + b);
                exact = std::move(next);
            } else {
                is_exact = false;
            }
        }
        flush();
        summary out;
        out.size = size;
        const std::vector<std::string>* best = nullptr;
        for (auto& c : candidates)
            if (!has_empty(c) &&
                (!best || strength(c) > strength(*best) ||
                 (strength(c) == strength(*best) && c.size() < best->size())))
                best = &c;
        if (best && strength(*best) > 0) out.req = *best;
        for (auto& c : candidates)
            if (!has_empty(c) && strength(c) > 0) out.all.push_back(c);
        std::stable_sort(out.all.begin(), out.all.end(), [](const auto& a, const auto& b) {
            return strength(a) > strength(b);
        });
        if (out.all.size() > max_groups) out.all.resize(max_groups);
        if (is_exact) {
            out.is_exact = true;
            out.exact = exact;
            if (!has_empty(exact)) {
                out.req = exact;
                out.all = {exact};
            }
        }
        return out;
    }

    summary piece() {
        summary p = atom();
        for (bool quantified = false;; quantified = true) {
            int c = peek();
            long lo, hi;
            if (c == '*') {
                lo = 0, hi = -1, i_++;
            } else if (c == '+') {
                lo = 1, hi = -1, i_++;
            } else if (c == '?') {
                lo = 0, hi = 1, i_++;
            } else if (c == '{') {
                if (!interval(&lo, &hi)) {
                    understood = false;  // read on, so that the limits see everything
                    i_++;
                    continue;
                }
            } else {
                return p;
            }
            if (p.zero_width) understood = false;
            if (hi < 0) unbounded = true;
            uint64_t times = static_cast<uint64_t>(std::max<long>(hi < 0 ? lo + 1 : hi, 1));
            // Stacked repetitions ("a**", "a+*") make the library's closures
            // grow much faster than the expression; count them double.
            if (quantified) times *= 2;
            p.size = sat_add(sat_mul(p.size, times), 1);
            if (lo == 0) {
                p.req.clear();
                p.all.clear();
            }
            p.lit = -1;
            p.is_exact = false;
            p.exact.clear();
        }
    }

    // "{n}", "{n,}", "{n,m}", "{,m}"; false for anything else.
    bool interval(long* lo, long* hi) {
        size_t j = i_ + 1;
        auto number = [&](long* v) {
            size_t start = j;
            long n = 0;
            while (j < s_.size() && s_[j] >= '0' && s_[j] <= '9' && j - start < 7)
                n = n * 10 + (s_[j++] - '0');
            *v = n;
            return j > start;
        };
        bool has_lo = number(lo);
        if (!has_lo) *lo = 0;
        if (j < s_.size() && s_[j] == ',') {
            j++;
            if (!number(hi)) *hi = -1;
        } else {
            if (!has_lo) return false;
            *hi = *lo;
        }
        if (j >= s_.size() || s_[j] != '}') return false;
        if (*hi >= 0 && *hi < *lo) return false;
        i_ = j + 1;
        return true;
    }

    summary atom() {
        summary a;
        a.size = 1;
        int c = peek();
        i_++;
        switch (c) {
        case '(': {
            if (depth_ >= pattern_max_nesting) {
                too_deep = true;
                understood = false;
                return a;
            }
            depth_++;
            summary inner = alternation();
            depth_--;
            if (peek() == ')')
                i_++;
            else
                understood = false;  // the library fails on it, but only after building it
            inner.lit = -1;
            inner.zero_width = false;
            inner.size = sat_add(inner.size, 1);
            return inner;
        }
        case '[':
            bracket();
            return a;
        case '.':
            return a;
        case '^':
        case '$':
            anchors = true;
            a.zero_width = true;
            return a;
        case '*':
        case '+':
        case '?':
        case '{':
        case ')':
            understood = false;
            return a;
        case '\\': {
            int e = peek();
            if (e < 0) {
                understood = false;
                return a;
            }
            i_++;
            if (e >= '1' && e <= '9') {
                backref = true;
            } else if (e == 'b' || e == 'B' || e == '<' || e == '>' || e == '`' || e == '\'') {
                if (e == '`' || e == '\'') anchors = true;
                a.zero_width = true;
            } else if (e > ' ' && e < 127 && !std::isalnum(e)) {
                return literal(e);
            }
            return a;  // classes (\w \s ...) and escapes of unknown meaning
        }
        default:
            if (c >= 1 && c < 127) return literal(c);
            return a;  // bytes above 126: their meaning depends on the locale
        }
    }

    summary literal(int c) {
        summary a;
        a.size = 1;
        a.lit = c;
        a.req = {std::string(1, static_cast<char>(c))};
        a.all = {a.req};
        a.exact = a.req;
        a.is_exact = true;
        return a;
    }

    void bracket() {
        if (peek() == '^') i_++;
        if (peek() == ']') i_++;
        for (;;) {
            int c = peek();
            if (c < 0) {
                understood = false;
                return;
            }
            i_++;
            if (c == ']') return;
            if (c == '[' && (peek() == ':' || peek() == '.' || peek() == '=')) {
                char kind = s_[i_];
                size_t close = s_.find(std::string{kind, ']'}, i_ + 1);
                if (close == std::string::npos) {
                    understood = false;
                    return;
                }
                i_ = close + 2;
            }
        }
    }

    const std::string& s_;
    size_t i_ = 0;
    int depth_ = 0;
};

// Rough rank of a byte's frequency in log text; the search probes the rarest.
int frequency_rank(unsigned char c) {
    if (c == ' ') return 255;
    if (c && std::strchr("etaoinsrhldcu", c)) return 200;
    if (c >= '0' && c <= '9') return 180;
    if (c >= 'a' && c <= 'z') return 150;
    if (c && std::strchr(":.-/[]=_,", c)) return 130;
    if (c >= 'A' && c <= 'Z') return 100;
    return 50;
}

required_literal make_literal(const std::string& s) {
    required_literal r;
    r.text = s;
    for (size_t i = 1; i < s.size(); i++)
        if (frequency_rank(static_cast<unsigned char>(s[i])) <
            frequency_rank(static_cast<unsigned char>(s[r.probe])))
            r.probe = i;
    std::string distinct;
    for (char c : s)
        if (distinct.find(c) == std::string::npos) distinct += c;
    std::stable_sort(distinct.begin(), distinct.end(), [](char a, char b) {
        return frequency_rank(static_cast<unsigned char>(a)) < frequency_rank(static_cast<unsigned char>(b));
    });
    r.rare = distinct.substr(0, 4);
    return r;
}

}  // namespace

bool entry_scan::may_contain(std::string_view bytes) {
    // Taking the set costs about as much as a few searches, so an entry that
    // only a few patterns look at goes without it.
    if (!built_) {
        if (++asked_ < 6) return true;
        std::memset(present_, 0, sizeof present_);
        for (unsigned char c : text_) present_[c] = 1;
        built_ = true;
    }
    for (unsigned char c : bytes)
        if (!present_[c]) return false;
    return true;
}

bool required_literal::found_in(std::string_view s) const {
    size_t m = text.size();
    if (m == 0) return true;
    if (s.size() < m) return false;
    const char c = text[probe];
    const char* lo = s.data() + probe;
    const char* hi = s.data() + (s.size() - m) + probe;  // last place the probe byte can be
    while (lo <= hi) {
        const void* q = std::memchr(lo, c, static_cast<size_t>(hi - lo) + 1);
        if (!q) return false;
        const char* at = static_cast<const char*>(q);
        if (std::memcmp(at - probe, text.data(), m) == 0) return true;
        lo = at + 1;
    }
    return false;
}

pattern::~pattern() = default;

size_t pattern::groups() const {
    return os_regex_groups(*plain_);
}

const os_regex& pattern::engine(bool whole, size_t scanned) const {
    os_regex_ptr& re = whole ? whole_ : plain_;
    uint64_t& count = whole ? whole_scanned_ : plain_scanned_;
    count += scanned;
    if (count > pattern_rebuild_bytes) {
        // The engine caches the states it has built and never lets them go;
        // a fresh copy keeps that cache bounded for expressions with many states.
        os_regex_ptr fresh;
        std::string ignored;
        if (os_regex_compile(whole ? whole_text_ : text_, flags_, &fresh, &ignored) == 0)
            re = std::move(fresh);
        count = scanned;
    }
    return *re;
}

int pattern::exec(std::string_view subject, std::span<match_span> spans) const {
    for (auto& group : required_) {
        bool any = false;
        for (auto& r : group)
            if (r.found_in(subject)) {
                any = true;
                break;
            }
        if (!any) return regex_no_match;
    }
    if (exact_ && spans.empty()) return regex_matched;
    return run(subject, spans);
}

int pattern::exec(entry_scan& entry) const {
    for (auto& group : required_) {
        bool any = false;
        for (auto& r : group)
            if (entry.may_contain(r.rare) && r.found_in(entry.text())) {
                any = true;
                break;
            }
        if (!any) return regex_no_match;
    }
    if (exact_) return regex_matched;
    return run(entry.text(), {});
}

int pattern::run(std::string_view subject, std::span<match_span> spans) const {
    bool whole = spans.empty() && whole_ && subject.size() > pattern_long_entry;
    return os_regex_exec(engine(whole, subject.size()), subject, spans);
}

std::string translate_pattern_escapes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c != '\\' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        char n = text[++i];
        if (n == 'n') {
            out += '\n';
        } else if (n == 'r') {
            out += '\r';
        } else if (n == 't') {
            out += '\t';
        } else {
            out += '\\';
            out += n;
        }
    }
    return out;
}

namespace {

thread_local uint64_t compiled_bytes = 0;

// What one compiled expression of `size` nodes costs: the allocator's figure
// when there is one, never less than the engine's linear minimum; for small
// expressions (size at most pattern_measured_size) a bound that covers their
// worst case (about 26 KB at 32 nodes).
uint64_t compile_cost(uint64_t size, uint64_t measured) {
    uint64_t linear = 4096 + 128 * size;
    if (size <= pattern_measured_size) return 4096 + 700 * size;
    return std::max(measured, linear);
}

}  // namespace

uint64_t compiled_pattern_bytes() { return compiled_bytes; }

err compile_pattern(std::string_view text, unsigned flags, std::unique_ptr<pattern>* out) {
    // The engine reads a pattern up to its first NUL byte, like every text the
    // agent's configuration carries.
    size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    std::string translated = translate_pattern_escapes(text);

    ere_scan scan(translated);
    summary sum = scan.run();
    // Refused before the engine sees them: deep nesting costs the compiler's
    // stack, multiplied-out repetitions its memory and time.
    if (scan.too_deep || sum.size > pattern_max_size)
        return err::text(os_regex_fault_text(regex_fault::too_big));

    // Back-references make the engine backtrack, with exponential time and deep
    // recursion on some inputs; extended expressions have none by definition.
    // Refused before compiling, so that every engine gives the same text.
    if (scan.backref) return err::text(os_regex_fault_text(regex_fault::bad_backref));
    auto p = std::make_unique<pattern>(pattern::key{});
    p->flags_ = flags;
    std::string error_text;
    const bool measure = sum.size > pattern_measured_size;
    uint64_t measured = 0;
    if (os_regex_compile(translated, flags, &p->plain_, &error_text, measure ? &measured : nullptr) != 0)
        return err::text(error_text);
    compiled_bytes += compile_cost(sum.size, measured);
    p->text_ = std::move(translated);

    if (!(flags & pattern_plain) && scan.understood) {
        if (!(flags & pattern_icase)) {
            for (auto& group : sum.all) {
                if (group.empty() || has_empty(group)) continue;
                auto& literals = p->required_.emplace_back();
                for (auto& s : group) literals.push_back(make_literal(s));
            }
            p->exact_ = sum.is_exact && !has_empty(sum.exact) && sum.all.size() == 1 &&
                        sum.all[0] == sum.exact && !p->required_.empty();
        }
        // The engine tries every start position and runs from each as far as the
        // expression can still match, which is quadratic for "a.*b" on a long
        // run of "a". Anchored behind a prefix that takes any bytes, one pass
        // from the start decides the same question.
        // The library lets "^" and "$" inside an expression match at line feeds,
        // so expressions with anchors keep the plain form.
        if (os_regex_one_pass_prefix_pays() && scan.unbounded && !scan.anchors && !(flags & pattern_newline)) {
            p->whole_text_ = "^(.|[^.])*(" + p->text_ + ")";
            if (os_regex_compile(p->whole_text_, flags, &p->whole_, &error_text, measure ? &measured : nullptr) != 0)
                p->whole_text_.clear();
            else
                compiled_bytes += compile_cost(sum.size, measured);
        }
    }
    *out = std::move(p);
    return {};
}

}  // namespace zp
