// output.cpp - turning a custom check's output and exit code into a result.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/clock.h"
#include "core/file_text.h"
#include "core/log.h"
#include "custom/custom.h"
#include "logcheck/pattern.h"

namespace zp {

namespace {

// Digits after leading white space, up to the first non-digit; a number beyond
// 64 bits stays at the largest one instead of wrapping to a small value.
uint64_t read_unsigned(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && is_space(s[i])) ++i;
    uint64_t v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        unsigned d = static_cast<unsigned>(s[i] - '0');
        if (v > (UINT64_MAX - d) / 10) return UINT64_MAX;
        v = v * 10 + d;
    }
    return v;
}

// One complete line (without its line feed).
err take_line(const custom_check& c, std::string_view line, output_values& v) {
    line = line.substr(0, line.find('\0'));
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string l(line);
    if (!c.result_pattern || v.matched) {
        if (!l.empty()) log(0, "%s : %s", c.name.c_str(), l.c_str());
        return {};
    }
    match_span m[2];
    int r = c.result_pattern->exec(l, m);
    // A match whose first sub-expression took no part (an alternative without
    // it) has no value: it counts as no match.
    if (r == regex_matched && m[1].start < 0) r = regex_no_match;
    if (r == regex_no_match) {
        log(0, "%s : %s", c.name.c_str(), l.c_str());
        return {};
    }
    if (r != regex_matched) {
        log(3, "zp_regexec returned error %d", r);
        if (!l.empty()) log(0, "%s!: %s", c.name.c_str(), l.c_str());
        return {};
    }
    log(0, "%s*: %s", c.name.c_str(), l.c_str());
    std::string sub = l.substr(static_cast<size_t>(m[1].start), static_cast<size_t>(m[1].end - m[1].start));
    size_t skip = 0;
    while (skip < sub.size() && is_space(sub[skip])) ++skip;
    std::string value = sub.substr(skip);
    if (!value.empty() && value[0] == '-')
        return format_error("%s: Error parsing result \"%s\": Negative numbers are not supported", c.name.c_str(),
                            sub.c_str());
    v.matched = true;
    switch (c.type) {
    case custom_boolean: v.text = value; break;
    case custom_integer:
    case custom_diff_integer: v.ivalue = read_unsigned(value); break;
    case custom_real:
    case custom_diff_real: v.dvalue = std::atof(value.c_str()); break;
    default: break;
    }
    return {};
}

}  // namespace

err process_output(const custom_check& c, output_buffer& buf, output_values& v) {
    if (buf.fill > custom_output_size) buf.fill = custom_output_size;
    buf.data[buf.fill] = '\0';
    log(0, "process_output: buf=%s", buf.data);
    err result;
    size_t pos = 0;
    while (const void* lf = std::memchr(buf.data + pos, '\n', buf.fill - pos)) {
        size_t end = static_cast<size_t>(static_cast<const char*>(lf) - buf.data);
        if (!result) result = take_line(c, std::string_view(buf.data + pos, end - pos), v);
        pos = end + 1;
        if (result) break;
    }
    if (pos > 0) {
        std::memmove(buf.data, buf.data + pos, buf.fill - pos);
        buf.fill -= pos;
        buf.data[buf.fill] = '\0';
    }
    if (result) return result;
    if (buf.fill >= custom_output_size) {
        log(0, "%s : %s", c.name.c_str(), buf.data);
        buf.fill = 0;
        buf.data[0] = '\0';
    }
    return {};
}

err make_custom_result(resnode& res, custom_check& c, const output_values& v, int exit_code) {
    if (c.no_value_exitcode != 0 && c.no_value_exitcode == exit_code) return err::no_result();
    if (c.type == custom_boolean) {
        bool ok = exit_code == 0;
        res.ivalue = ok ? 1 : 0;
        const char* word = ok ? "Success" : "Failed";
        set_result_text(res, v.matched ? strprintf("%s (%s)", word, v.text.c_str()) : std::string(word));
        return {};
    }
    if (exit_code != 0) return format_error("Failed with exit code %d", exit_code);
    if (!v.matched) {
        if (c.no_value_if_no_match) return err::no_result();
        return err::text("Custom check returned no value");
    }
    int64_t now = time_now();
    switch (c.type) {
    case custom_integer:
        if (v.ivalue > INT32_MAX)
            return err::text("Number too large to fit in an integer check result. Use type=real instead.");
        res.ivalue = static_cast<int32_t>(v.ivalue);
        return {};
    case custom_real: res.dvalue = v.dvalue; return {};
    case custom_diff_integer: {
        if (c.prev_time != 0) {
            uint64_t delta = v.ivalue - c.prev_integer;
            bool restarted = false;
            if ((delta >> 32) > 4294967293u) {
                log(-1, "Counter is 32-bit wrapping");
                delta = static_cast<uint32_t>(static_cast<uint32_t>(v.ivalue) - static_cast<uint32_t>(c.prev_integer));
            } else if (v.ivalue < c.prev_integer) {
                // A counter that went back by more than a 32-bit wrap has
                // started over; its change is not known until the next reading.
                restarted = true;
            }
            if (!restarted) {
                res.dvalue = static_cast<double>(delta) / static_cast<double>(now - c.prev_time);
                c.prev_time = now;
                c.prev_integer = v.ivalue;
                return {};
            }
        }
        c.prev_time = now;
        c.prev_integer = v.ivalue;
        res.dvalue = -1.0;
        return err::text("Value available after one more reading");
    }
    case custom_diff_real:
        if (c.prev_time == 0) {
            c.prev_time = now;
            c.prev_real = v.dvalue;
            res.dvalue = -1.0;
            return err::text("Value available after one more reading");
        }
        res.dvalue = (v.dvalue - c.prev_real) / static_cast<double>(now - c.prev_time);
        c.prev_time = now;
        c.prev_real = v.dvalue;
        return {};
    default: return err::text("Uninitialized custom check type");
    }
}

}  // namespace zp
